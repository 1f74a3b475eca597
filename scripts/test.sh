#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite with CTest.
# Usage: scripts/test.sh [BUILD_DIR]   (default: build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --label-exclude slow
