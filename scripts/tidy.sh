#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over the C++ sources a change touched, using the
# compile commands of a configured build tree (the plain one, build/, by default).
#
# Usage: scripts/tidy.sh [BASE|all]
#   BASE: the files changed between BASE and HEAD (default: HEAD~1, the last commit; for a merge
#         commit, everything the merged branch changed against the first parent).
#   all:  every source file of the build.
# The source folders are checked; tests/, bench/ and fuzz/ are not (the registry tests hand
# objects to an owner the analyser does not see, and test doubles keep their own shapes).
# Environment: CORVEX_TIDY_BUILD the build tree, JOBS the parallelism (default: the cores).
#
# Every finding is printed. The run fails on the findings that name real faults (the checks in
# `errors` below: the static analyser, use after move, dangling handles, memory functions on
# objects, a missing virtual destructor, a lost override); the style checks only warn.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEX_TIDY_BUILD:-$root/build}
jobs=${JOBS:-$(nproc)}
base=${1:-HEAD~1}
errors='clang-analyzer-core.*,clang-analyzer-cplusplus.*,bugprone-use-after-move,bugprone-dangling-handle,bugprone-undefined-memory-manipulation,cppcoreguidelines-virtual-class-destructor,modernize-use-override'

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
cd "$root"
# Only files the build compiles have compile commands (the fuzz targets are not configured in a
# plain tree).
mapfile -t known < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" | sed 's/"file": "//;s/"$//' |
  sed "s|^$root/||" | grep -v -E '^(tests|bench|fuzz)/' | sort -u)
if [ "$base" = all ]; then
  files=("${known[@]}")
elif git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  # A changed header counts as a change of the source file of the same name beside it.
  mapfile -t changed < <(git diff --name-only --diff-filter=AMR "$base" HEAD -- '*.cpp' '*.h' |
    sed 's/\.h$/.cpp/' | sort -u)
  mapfile -t files < <(comm -12 <(printf '%s\n' "${changed[@]}") <(printf '%s\n' "${known[@]}"))
else
  echo "tidy: no commit $base: checking every file" >&2
  files=("${known[@]}")
fi
if [ ${#files[@]} -eq 0 ] || [ -z "${files[0]}" ]; then
  echo "== clang-tidy: no C++ source changed"
  exit 0
fi
echo "== clang-tidy: ${#files[@]} files"
start=$SECONDS
status=0
printf '%s\n' "${files[@]}" |
  xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors="$errors" 2>/dev/null ||
  status=$?
echo "== clang-tidy: $((SECONDS - start)) s, status $status"
exit $status
