#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ROUTER_BUILD_DIR:-$root/build}
bash "$root/tools/bootstrap.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
