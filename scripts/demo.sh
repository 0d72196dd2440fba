#!/usr/bin/env bash
# The main job: installs what is missing, builds the probe and the `tarnvale`
# command, makes the test network (three routers; after r2 a 30 Mbit/s link, a
# broadband uplink with a 200 ms buffer, that also adds 15 ms each way), watches
# the server live for six minutes with every engine while a TCP upload from the
# client fills that link from the second minute on, removes the network and
# draws the recording as a chart.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/build.sh build >/dev/null
scripts/install-client.sh

output=${DEMO_OUTPUT:-$root/demo-output}
seconds=${DEMO_SECONDS:-360}
mkdir -p "$output"
recording="$output/demo-$(date +%Y%m%d-%H%M%S).jsonl"

network=$(lab/lab up --hops 3)
background=()
finish() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  lab/lab down "$network"
}
trap finish EXIT
echo "test network $network: client 192.168.1.10 -> r1 -> r2 -(30 Mbit/s, 15 ms)-> r3 -> server 203.0.113.10"
lab/lab exec "$network" r2 -- tc qdisc replace dev eth1 root tbf rate 30mbit burst 64kb latency 200ms

lab/lab delay "$network" r2:eth1 15 >/dev/null &
background+=($!)
lab/lab delay "$network" r3:eth0 15 >/dev/null &
background+=($!)

lab/lab exec "$network" server -- iperf3 -s -p 5201 >/dev/null 2>&1 &
background+=($!)
# The upload starts once the probe has learnt the quiet path's round trips. It
# runs on CUBIC, as the uploads of real hosts do.
(sleep 110 && lab/lab exec "$network" client -- iperf3 -c 203.0.113.10 -p 5201 -C cubic -t "$seconds" \
  >/dev/null 2>&1) &
background+=($!)

tarnvale watch 203.0.113.10 --duration "$seconds" --record "$recording" --probe "$root/build/tarnvale_probe" \
  --netns "$network-client"
tarnvale report "$recording"
echo "recording: $recording"
