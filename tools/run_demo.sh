#!/usr/bin/env bash
# The main job: builds everything, starts router-sim (the router stand-in)
# publishing counters, registers the provider DLL, samples the counters
# through it exactly as WMI would drive it, prints typeperf-style CSV, and
# stops the stand-in.
# Options after the command go to router-sampler (see its --help).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}
bash "$root/tools/bootstrap.sh" >/dev/null

wine="$build/wine-run"
bin="$build/bin"
log=$(mktemp)
trap 'rm -f "$log"; [[ -n ${sim:-} ]] && kill "$sim" 2>/dev/null; true' EXIT

"$wine" "$bin/router-sim.exe" --rate 10 --duration 0 >"$log" 2>&1 &
sim=$!
for _ in $(seq 300); do
    grep -q 'publishing' "$log" && break
    kill -0 "$sim" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
done
grep -q 'publishing' "$log" || { echo "router-sim did not start" >&2; exit 1; }
head -n 1 "$log" >&2

# Registered as on a Windows machine, the provider is activated through COM.
(cd "$bin" && "$wine" regsvr32 /s RouterPerfClient.dll)
"$wine" "$bin/router-sampler.exe" --samples 8 --interval 1000 "$@"
