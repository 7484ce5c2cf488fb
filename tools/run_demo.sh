#!/usr/bin/env bash
# Builds everything, then loads the provider DLL under Wine the way COM does
# and shows that it serves its class.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}
bash "$root/tools/bootstrap.sh"
"$build/wine-run" "$build/bin/router-sampler.exe" "$@"
