#!/usr/bin/env bash
# Installs rsyslog for the syslog tests when it is missing, without starting
# its system service. The tests skip without it, so a failed install is no
# failure here.
set -uo pipefail

# rsyslog is the real receiver the syslog tests send to; they skip without
# it, so a failed install does not stop the build. Its system service must
# not start: the tests run a private instance on loopback ports of their own.
if ! dpkg-query -W -f='${Status}' rsyslog 2>/dev/null | grep -q 'install ok installed'; then
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing rsyslog (for the syslog tests) ..."
    policy=/usr/sbin/policy-rc.d
    own_policy=false
    if [[ ! -e $policy ]]; then
        # invoke-rc.d asks this script first; 101 = "action forbidden".
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null &&
            "${sudo[@]}" chmod 755 "$policy" && own_policy=true
    fi
    if ! { "${sudo[@]}" apt-get update -qq &&
           "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
               apt-get install -y -qq --no-install-recommends rsyslog >/dev/null; }; then
        echo "rsyslog could not be installed: the rsyslog tests will be skipped" >&2
    elif [[ -d /run/systemd/system ]]; then
        # Installed for the tests only: not a service that starts at boot either.
        "${sudo[@]}" systemctl disable --quiet rsyslog.service || true
    fi
    if $own_policy; then
        "${sudo[@]}" rm -f "$policy"
    fi
fi
exit 0
