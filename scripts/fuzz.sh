#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each of them for a while.
#
# Usage: scripts/fuzz.sh [SECONDS|smoke] [TARGET...]
#   SECONDS: how long each target runs (default 60); 0 only builds.
#   smoke:   the short runs CI makes: the CTest entries of label "fuzz" (each target a fixed number
#            of inputs from a fixed seed).
#   TARGET:  the targets to run (default: every fuzz_* target of fuzz/).
# Environment: CORVEX_FUZZ_DIR overrides the build directory, JOBS the build parallelism,
#   FUZZ_FLAGS adds libFuzzer flags (e.g. "-jobs=2 -workers=2" or "-max_len=65536").
#
# Each target starts from its committed seeds (fuzz/corpus/<target>/, never written) and keeps
# what it finds in build-fuzz/fuzz-corpus/<target>/; a crashing input lands in
# build-fuzz/fuzz-artifacts/<target>/. The run fails when any target finds a crash, a leak or a
# sanitizer report. Reproduce one with: build-fuzz/fuzz/<folder>/<target> <artifact>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${CORVEX_FUZZ_DIR:-$root/build-fuzz}
jobs=${JOBS:-$(nproc)}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVEX_FUZZ=ON -DCORVEX_BUILD_BENCH=OFF -DCORVEX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs" --target corvex_fuzzers

if [ "$seconds" = smoke ]; then
  start=$SECONDS
  status=0
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -L fuzz || status=$?
  echo "== fuzz smoke runs: $((SECONDS - start)) s, status $status"
  exit $status
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd "$root/fuzz/corpus" && ls -d fuzz_* | sort)
fi
[ "$seconds" -gt 0 ] || exit 0

status=0
for target in "${targets[@]}"; do
  binary=$(find "$build/fuzz" -type f -name "$target" -perm -u+x | head -n 1)
  if [ -z "$binary" ]; then
    echo "== $target: no such fuzz target" >&2
    status=1
    continue
  fi
  corpus=$build/fuzz-corpus/$target
  artifacts=$build/fuzz-artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: $seconds s"
  # -close_fd_mask=2: the reports of damaged inputs stay off the console; sanitizer reports and
  # libFuzzer's own output still come through.
  # shellcheck disable=SC2086
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=2 \
    -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} "$corpus" "$root/fuzz/corpus/$target"; then
    echo "== $target: FAILED (see $artifacts)" >&2
    status=1
  fi
done
exit $status
