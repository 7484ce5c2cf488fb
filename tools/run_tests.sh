#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}
bash "$root/tools/bootstrap.sh"
bash "$root/tools/install_rsyslog.sh"
# One Wine server for the whole run, booted once.
"$build/wine-run" --server >/dev/null 2>&1 || true
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || status=$?
# Nothing of the run stays behind: the Wine server and its programs end here.
"$build/wine-run" --stop >/dev/null 2>&1 || true
exit "$status"
