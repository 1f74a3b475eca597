#!/usr/bin/env bash
# Builds the project under the sanitizers and runs its tests; any sanitizer report fails the run.
#
# Usage: scripts/sanitize.sh [address|thread|all]   (default: all)
#   address: AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, into build-asan/,
#            then the whole CTest suite.
#   thread:  ThreadSanitizer, into build-tsan/, then the whole CTest suite as well.
# Environment: CORVEX_ASAN_DIR and CORVEX_TSAN_DIR override the build directories, JOBS the
# parallelism of the build and of CTest (default: the number of cores), CXX the compiler.
#
# Every sanitizer writes its reports to <build>/sanitizer-reports/ instead of stderr, so a report
# is seen even when it comes from a child process whose exit code a test does not check, or from
# a test that would pass despite it. The run fails when CTest fails or when that folder is not
# empty afterwards; the reports are printed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-all}
jobs=${JOBS:-$(nproc)}

case "$mode" in
address | thread | all) ;;
*)
  echo "usage: $0 [address|thread|all]" >&2
  exit 2
  ;;
esac

# Configures and builds one sanitized tree; extra arguments are the targets to build (all when
# none are given).
build_tree() {
  local build=$1 sanitizer=$2
  shift 2
  cmake -S "$root" -B "$build" -G Ninja -DCORVEX_SANITIZE="$sanitizer" -DCORVEX_BUILD_BENCH=OFF \
    -DCORVEX_FUZZ=OFF -DCORVEX_BUILD_TESTS=ON >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$build" -j "$jobs" --target "$@"
  else
    cmake --build "$build" -j "$jobs"
  fi
}

# A test that fails its own checks gets one more run: the sanitizers slow everything down by
# several times, and the tests that measure engine time have bounds made for full speed. A
# sanitizer report is never retried away: every report of every run stays in the reports folder
# and fails the job.
retry=(--repeat until-pass:2)

report_pattern='runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer)|WARNING: ThreadSanitizer'

# Leaks that are not ours: glibc keeps the locale path of a setlocale under LOCPATH (the comma
# locale test of sync sets one) in a block it never frees.
write_suppressions() {
  cat >"$1" <<'EOF_SUPP'
leak:__argz_add_sep
leak:__argz_create_sep
EOF_SUPP
}

# Reports that are not about our code: when a thread ends, glibc frees its dynamic TLS (that of
# a dlopen'ed package) into memory another, already finished thread used before; the
# synchronisation of that reuse lies inside the dynamic loader, where ThreadSanitizer cannot see
# it.
write_thread_suppressions() {
  cat >"$1" <<'EOF_SUPP'
race:_dl_deallocate_tls
EOF_SUPP
}

# Prints the reports that a run left behind; fails when there is any. Reports that a sanitizer
# printed on stderr all the same (UndefinedBehaviorSanitizer does with GCC) are found in CTest's
# log of the test output.
check_reports() {
  local reports=$1 name=$2 log=$3
  if [ -f "$log" ] && grep -E -q "$report_pattern" "$log"; then
    grep -E -n -A3 "$report_pattern" "$log" >"$reports/ctest-output" || true
  fi
  if [ -n "$(ls -A "$reports")" ]; then
    echo "== $name: sanitizer reports:" >&2
    for report in "$reports"/*; do
      echo "---- $report" >&2
      cat "$report" >&2
    done
    return 1
  fi
  echo "== $name: no sanitizer report"
}

run_address() {
  local build=${CORVEX_ASAN_DIR:-$root/build-asan}
  local start=$SECONDS status=0
  build_tree "$build" address
  local reports=$build/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  write_suppressions "$build/lsan.supp"
  # halt_on_error: the first error ends the process with a failure. Leak checking is on by
  # default with AddressSanitizer; say it anyway.
  (
    cd "$build"
    export ASAN_OPTIONS="log_path=$reports/asan:log_exe_name=1:detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:detect_invalid_pointer_pairs=0"
    export UBSAN_OPTIONS="log_path=$reports/ubsan:log_exe_name=1:print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="log_path=$reports/lsan:log_exe_name=1:suppressions=$build/lsan.supp:print_suppressions=0"
    ctest --output-on-failure -j "$jobs" --timeout 600 "${retry[@]}"
  ) || status=$?
  check_reports "$reports" address "$build/Testing/Temporary/LastTest.log" || status=1
  echo "== address: $((SECONDS - start)) s (build and tests), status $status"
  return $status
}

run_thread() {
  local build=${CORVEX_TSAN_DIR:-$root/build-tsan}
  local start=$SECONDS status=0
  build_tree "$build" thread
  local reports=$build/sanitizer-reports
  rm -rf "$reports"
  mkdir -p "$reports"
  write_thread_suppressions "$build/tsan.supp"
  # The whole suite: nearly every test runs components on threads of their own, and the end-to-end
  # tests run the merge tool (built under ThreadSanitizer too) as a child process.
  (
    cd "$build"
    export TSAN_OPTIONS="log_path=$reports/tsan:log_exe_name=1:halt_on_error=0:exitcode=66:second_deadlock_stack=1:history_size=4:suppressions=$build/tsan.supp"
    ctest --output-on-failure -j "$jobs" --timeout 600 "${retry[@]}"
  ) || status=$?
  check_reports "$reports" thread "$build/Testing/Temporary/LastTest.log" || status=1
  echo "== thread: $((SECONDS - start)) s (build and tests), status $status"
  return $status
}

overall=0
if [ "$mode" = address ] || [ "$mode" = all ]; then
  run_address || overall=1
fi
if [ "$mode" = thread ] || [ "$mode" = all ]; then
  run_thread || overall=1
fi
exit $overall
