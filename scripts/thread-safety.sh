#!/usr/bin/env bash
# Builds the runtime and what stands on it (the package's libraries, the component, the host and
# its components) with clang, whose thread-safety analysis (-Wthread-safety -Wthread-safety-beta,
# added by cmake/CorvexOptions.cmake for clang) checks the lock annotations; warnings are errors.
# Usage: scripts/thread-safety.sh   Environment: CORVEX_CLANG_DIR the build tree (build-clang/),
# JOBS the parallelism.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_CLANG_DIR:-$root/build-clang}
jobs=${JOBS:-$(nproc)}
start=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVEX_BUILD_TESTS=OFF -DCORVEX_BUILD_BENCH=OFF -DCORVEX_FUZZ=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target vant_runtime vant_package vant_package_entry \
  vant_pcap_component vant_component vant_pcap_stream corvex_host corvex_host_components \
  corvex_size_filter
echo "== thread safety analysis: $((SECONDS - start)) s"
