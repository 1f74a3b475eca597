#!/usr/bin/env bash
# The live merge benchmark: the highest packet rate corvex-merge merges from 2 and from 4 veth
# links without losing a packet, and its latency from capture to write, against a plain libpcap
# capture of the same links (live_plain_capture: one thread per interface, written as delivered).
#
# For each number of links and each rate of the ladder (frames per second per link), the sender
# sends 60-byte frames on every link for SECONDS seconds from a network namespace of its own, and
# each program captures the other ends in another one. A step passes when every frame was written
# and nothing was dropped (kernel, interface, or corvex-merge's waiting queue); the table shows
# the latency (median, 99 %, max over the interfaces) and, for the baseline, how often time went
# backwards in its file. The namespaces are removed at the end. Needs root and iproute2.
#
# Usage: bench/live/run_live_bench.sh [-b BUILD] [-l "2 4"] [-r "RATE ..."] [-t SECONDS]
#                                     [-d DELAY] [-q]
#   -b  the build tree (default: build)    -l  numbers of links (default: "2 4")
#   -r  rates per link, ascending (default: "10000 25000 50000 100000 200000 400000")
#   -t  seconds per step (default: 5)      -d  corvex-merge --delay (default: 100ms)
#   -q  a quick check that everything runs: one low rate, one second
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build
link_counts="2 4"
rates="10000 25000 50000 100000 200000 400000"
seconds=5
delay=100ms
while getopts "b:l:r:t:d:qh" option; do
  case $option in
    b) build=$(cd "$OPTARG" && pwd) ;;
    l) link_counts=$OPTARG ;;
    r) rates=$OPTARG ;;
    t) seconds=$OPTARG ;;
    d) delay=$OPTARG ;;
    q) rates=1000; seconds=1 ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done

merge=$build/tools/corvex-merge
plain=$build/bench/live/live_plain_capture
sender=$build/bench/live/live_bench_sender
fail() { echo "run_live_bench: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (network namespaces, packet sockets)"
command -v ip >/dev/null || fail "ip (iproute2) is missing"
if [ ! -x "$merge" ] || [ ! -x "$plain" ] || [ ! -x "$sender" ]; then
  echo "Building corvex-merge, live_plain_capture and live_bench_sender in $build ..."
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target corvex-merge live_plain_capture live_bench_sender >/dev/null
fi

work=$(mktemp -d /tmp/corvex_live_bench.XXXXXX)
tx=cvxbench$$tx
rx=cvxbench$$rx
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  ip netns del "$tx" 2>/dev/null || true
  ip netns del "$rx" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$tx"
ip netns add "$rx"
max_links=0
for n in $link_counts; do [ "$n" -gt "$max_links" ] && max_links=$n; done
for ((i = 0; i < max_links; i++)); do
  ip link add name "tx$i" netns "$tx" type veth peer name "rx$i" netns "$rx"
  ip -n "$tx" link set "tx$i" up
  ip -n "$rx" link set "rx$i" up
done

# Starts a capture program in the receiving namespace and waits until it captures.
start() { # log, command...
  local log=$1
  shift
  ip netns exec "$rx" "$@" >"$log.out" 2>"$log.err" &
  pids+=($!)
  started=$!
  for _ in $(seq 300); do
    grep -q "capturing" "$log.err" 2>/dev/null && return 0
    sleep 0.01
  done
  fail "$* did not start: $(cat "$log.err")"
}
stop() { # pid
  kill -INT "$1"
  wait "$1" || true
}

# The worst of the interfaces' latency figures in a summary: median, 99 %, max (microseconds).
worst_latency() { # file, pattern
  awk -v pattern="$2" '
    function us(value, unit) {
      gsub(/[,;]/, "", unit)
      return unit == "s" ? value * 1e6 : unit == "ms" ? value * 1e3 : value
    }
    $0 ~ pattern {
      for (i = 1; i <= NF; ++i) {
        if ($i == "median") m = us($(i + 1) + 0, $(i + 2))
        else if ($i == "99%") p = us($(i + 1) + 0, $(i + 2))
        else if ($i == "max") x = us($(i + 1) + 0, $(i + 2))
      }
      if (m > wm) wm = m; if (p > wp) wp = p; if (x > wx) wx = x
    }
    END { printf "%d/%d/%d", wm, wp, wx }' "$1"
}

printf "%-5s %9s %9s | %-4s %8s %22s | %-4s %8s %22s %9s\n" links "pps/link" "pps" \
  merge drops "p50/p99/max us" plain drops "p50/p99/max us" backwards
for n in $link_counts; do
  ifaces=()
  names=()
  for ((i = 0; i < n; i++)); do
    ifaces+=(-i "rx$i")
    names+=("rx$i")
  done
  best_merge=0
  best_plain=0
  for rate in $rates; do
    count=$((rate * seconds))
    links=()
    for ((i = 0; i < n; i++)); do links+=("tx$i=$i:r${rate}x$count"); done

    start "$work/merge" "$merge" "${ifaces[@]}" --delay "$delay" --filter "ether proto 0x88b5" \
      -w "$work/merge.pcap"
    merge_pid=$started
    ip netns exec "$tx" "$sender" "${links[@]}" >"$work/sent" 2>&1
    sleep 0.5
    stop "$merge_pid"
    sent=$(awk '{ s += $4 } END { print s }' "$work/sent")
    written=$(awk '/output:/ { gsub(",", "", $1); print $1 }' "$work/merge.err")
    mdrops=$(grep -o "dropped by the kernel [0-9,]*, by the interface [0-9,]*\(, while waiting (queue full) [0-9,]*\)\?" "$work/merge.err" |
      grep -o "[0-9,]\+" | tr -d , | awk '{ s += $1 } END { print s + 0 }')
    mlat=$(worst_latency "$work/merge.err" "capture to write")
    mok=no
    [ "${written:-0}" = "$sent" ] && [ "$mdrops" = 0 ] && mok=yes && best_merge=$((rate * n))

    start "$work/plain" "$plain" -w "$work/plain.pcap" --filter "ether proto 0x88b5" \
      "${names[@]}"
    plain_pid=$started
    ip netns exec "$tx" "$sender" "${links[@]}" >/dev/null 2>&1
    sleep 0.5
    stop "$plain_pid"
    pwritten=$(awk '/packets/ { gsub(",", "", $3); s += $3 } END { print s + 0 }' "$work/plain.out")
    pdrops=$(grep -o "kernel [0-9]*, by the interface [0-9]*" "$work/plain.out" |
      grep -o "[0-9]\+" | awk '{ s += $1 } END { print s + 0 }')
    plat=$(worst_latency "$work/plain.out" "capture to write")
    backwards=$(awk '/backwards/ { print $5 }' "$work/plain.out")
    pok=no
    [ "$pwritten" = "$sent" ] && [ "$pdrops" = 0 ] && pok=yes && best_plain=$((rate * n))

    printf "%-5s %9s %9s | %-4s %8s %22s | %-4s %8s %22s %9s\n" "$n" "$rate" $((rate * n)) \
      "$mok" "$mdrops" "$mlat" "$pok" "$pdrops" "$plat" "$backwards"
  done
  echo "$n links: corvex-merge up to $best_merge packets/s without loss, plain capture up to" \
    "$best_plain packets/s (its file is in delivery order, not time order)"
done
