#!/usr/bin/env bash
# Builds everything and runs the performance benchmark under Wine: router-bench
# starts router-sim itself (publishing with its publish times), measures the
# provider DLL as WMI drives it and prints every figure beside its goal.
# Options after the command go to router-bench (see its --help; --quick for a
# short try-out run). Not a test: it fails only when a figure cannot be taken,
# never on a missed goal.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! bash "$root/tools/bootstrap.sh" >"$log" 2>&1; then
    cat "$log" >&2
    echo "run_bench: the build failed" >&2
    exit 1
fi
# One Wine server for the whole run, so no figure pays for booting one.
"$build/wine-run" --server >/dev/null 2>&1 || true
trap 'rm -f "$log"; "$build/wine-run" --stop >/dev/null 2>&1 || true' EXIT
echo "router-bench on $(nproc) cores, $(uptime | sed 's/.*load average/load average/')"
"$build/wine-run" "$build/bin/router-bench.exe" "$@"
# The logger's producer cost; --quick applies to it too.
quick=()
for option in "$@"; do
    [[ "$option" == --quick ]] && quick=(--quick)
done
echo
"$build/wine-run" "$build/bin/logger-bench.exe" "${quick[@]}"
# The timer heap beside std::priority_queue; --quick applies to it too.
echo
"$build/wine-run" "$build/bin/timer-bench.exe" "${quick[@]}"
# The logger beside spdlog (left out of the build without spdlog's headers).
if [[ -x "$build/bin/spdlog-bench.exe" ]]; then
    echo
    "$build/wine-run" "$build/bin/spdlog-bench.exe" "${quick[@]}"
fi
