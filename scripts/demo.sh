#!/usr/bin/env bash
# The main job on the bundled captures: installs what is missing, builds what is not built yet,
# merges data/captures/cap_{http,udp,tcpchat,icmp}.pcap into one time-ordered capture and prints
# the summary. Usage: scripts/demo.sh [BUILD_DIR] [OUT.pcap]
#   BUILD_DIR  default: build/        OUT.pcap  default: BUILD_DIR/merged.pcap
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$build/merged.pcap}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target corvex-merge
captures=$root/data/captures
echo
echo "corvex-merge -w $out cap_http.pcap cap_udp.pcap cap_tcpchat.pcap cap_icmp.pcap"
"$build/tools/corvex-merge" -w "$out" "$captures/cap_http.pcap" "$captures/cap_udp.pcap" \
  "$captures/cap_tcpchat.pcap" "$captures/cap_icmp.pcap"
echo
echo "Written: $out (open it with: wireshark $out, or: tshark -r $out)"
