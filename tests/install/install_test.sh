#!/usr/bin/env bash
# What an installation gives its users, checked from outside the build tree.
#
#   install_test.sh install BUILD PREFIX       cmake --install BUILD --prefix PREFIX
#   install_test.sh sdk SOURCE PREFIX WORK EXAMPLES_TESTS
#       the installed headers name nothing of the build or source tree, and the example package
#       builds out of tree against the installed SDK and runs between a file player and the
#       multiplexer (EXAMPLES_TESTS, with the installed multiplexer package)
#   install_test.sh deb SOURCE BUILD WORK
#       the Debian package: its dependencies, and extracted into WORK/root, corvex-merge merges
#       the bundled captures into the reference merge, corvex-pckinfo checks and lists the
#       installed package file, and the manual pages render
set -euo pipefail

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

mode=$1
shift
case $mode in
install)
  build=$1 prefix=$2
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  ;;

sdk)
  source=$1 prefix=$2 work=$3 examples_tests=$4
  [[ -f $prefix/include/corvex/runtime/vant_component.h ]] || fail "no headers in $prefix/include"
  [[ -f $prefix/lib/corvex/packages/corvex_sorting_multiplexer.pck ]] || fail "no package file"
  if grep -rlE "$source|$(dirname "$prefix")|#include \"tests/" "$prefix/include" "$prefix"/lib*/cmake \
      "$prefix"/lib/*/cmake 2>/dev/null; then
    fail "installed SDK files name the source or build tree, or test support (above)"
  fi
  if find "$prefix" -mindepth 1 -printf '%P\n' | grep -E 'test|bench|fuzz'; then
    fail "tests, benchmarks or fuzz targets installed (above)"
  fi
  rm -rf "$work"
  cp -r "$source/examples/size_filter_package" "$work"
  cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" ||
    { cat "$work/configure.log"; fail "the example does not configure against the SDK"; }
  cmake --build "$work/build" >"$work/build.log" ||
    { cat "$work/build.log"; fail "the example does not build against the SDK"; }
  package=$work/build/corvex_size_filter.pck
  "$prefix/bin/corvex-pckinfo" --models "$package" | grep -q "model PcapSizeFilter" ||
    fail "corvex-pckinfo does not list the example's model"
  CORVEX_SIZE_FILTER_PACKAGE=$package "$examples_tests" --gtest_brief=1 ||
    fail "the example built against the SDK does not run as it should"
  ;;

deb)
  source=$1 build=$2 work=$3
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log") ||
    { cat "$work/cpack.log"; fail "cpack"; }
  deb=$(ls "$work"/*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  for needed in libpcap0.8 libc6 libstdc++6; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
  done
  [[ -n $(dpkg-deb -f "$deb" Description) ]] || fail "no description"
  dpkg-deb -x "$deb" "$work/root"
  usr=$work/root/usr
  captures=$source/data/captures
  env -u CORVEX_PACKAGE "$usr/bin/corvex-merge" -q -w "$work/merged.pcap" "$captures/cap_http.pcap" \
    "$captures/cap_udp.pcap" "$captures/cap_tcpchat.pcap" "$captures/cap_icmp.pcap" ||
    fail "the installed corvex-merge failed"
  # The reference merge's packets, in time order (it was written by another tool, which puts the
  # one pair of equal times the other way round).
  packets() {
    tshark -o frame.generate_md5_hash:TRUE -r "$1" -T fields -e frame.time_epoch -e frame.len \
      -e frame.cap_len -e frame.md5_hash 2>/dev/null
  }
  packets "$work/merged.pcap" >"$work/merged.txt"
  packets "$captures/ref_merged.pcap" >"$work/reference.txt"
  [[ -s $work/reference.txt ]] || fail "tshark read no packets from the reference"
  sort -c -s -k1,1n "$work/merged.txt" || fail "the merge is not in time order"
  diff <(sort "$work/merged.txt") <(sort "$work/reference.txt") >/dev/null ||
    fail "the merge does not hold the reference merge's packets"
  "$usr/bin/corvex-pckinfo" --models "$usr/lib/corvex/packages/corvex_sorting_multiplexer.pck" \
    >"$work/pckinfo.txt" || { cat "$work/pckinfo.txt"; fail "corvex-pckinfo"; }
  grep -q "model SortingMultiplexer" "$work/pckinfo.txt" || fail "the model is not listed"
  # The installed example diagram runs from a copy of the documentation, and merges what the
  # installed corvex-merge merged.
  cp -r "$usr/share/doc/corvex-sorting-multiplexer" "$work/doc"
  env -u CORVEX_PACKAGE "$usr/bin/corvex-run" -q "$work/doc/examples/diagrams/merge.toml" ||
    fail "the installed example diagram failed"
  cmp -s "$work/doc/examples/diagrams/merged.pcap" "$work/merged.pcap" ||
    fail "the installed example diagram does not write corvex-merge's merge"
  for page in corvex-merge corvex-run corvex-pckinfo; do
    file=$(ls "$usr/share/man/man1/$page.1"*) || fail "no manual page $page"
    MANWIDTH=80 man -l "$file" 2>&1 | grep -q "EXIT STATUS" || fail "$page.1 does not render"
  done
  ;;
subproject)
  source=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work"
  cat >"$work/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(outer LANGUAGES C CXX)
add_subdirectory("$source" corvex)
corvex_add_package(NAME outer_filter VERSION 0.1.0 DESCRIPTION "Outer test package"
                   SOURCES "$source/examples/size_filter_package/vant_pcap_size_filter.cpp")
END
  cmake -S "$work" -B "$work/build" -G Ninja -DCORVEX_BUILD_TESTS=OFF -DCORVEX_BUILD_BENCH=OFF \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure as a subproject"; }
  targets=$(cmake --build "$work/build" --target help)
  for target in outer_filter corvex_sorting_multiplexer corvex-merge corvex_runtime; do
    grep -q "^$target:" <<<"$targets" || fail "no target $target in the outer project"
  done
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
