#!/usr/bin/env bash
# The main job: installs what is missing, builds the probe and the `tarnvale`
# command, makes the test network (three routers, a 500 kbit bottleneck after r2
# that also adds 15 ms each way, loss after r2 ramping from 0 to 30 % over three
# minutes, an iperf3 upload from the client that fills the bottleneck), watches
# the server live for six minutes with every engine, removes the network and
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

network=$(lab/lab up --hops 3 --bottleneck r2:eth1:500kbit)
background=()
finish() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  lab/lab down "$network"
}
trap finish EXIT
echo "test network $network: client 192.168.1.10 -> r1 -> r2 -(500 kbit, 15 ms, loss 0 -> 30 %)-> r3 -> server 203.0.113.10"

lab/lab delay "$network" r2:eth1 15 >/dev/null &
background+=($!)
lab/lab delay "$network" r3:eth0 15 >/dev/null &
background+=($!)

lab/lab ramp "$network" r2:eth1 0 30 180 &
background+=($!)
lab/lab exec "$network" server -- iperf3 -s -p 5201 >/dev/null 2>&1 &
background+=($!)
# The upload starts once the bandwidth engine has measured the quiet path.
(sleep 20 && lab/lab exec "$network" client -- iperf3 -c 203.0.113.10 -p 5201 -u -b 1M -t "$seconds" \
  >/dev/null 2>&1) &
background+=($!)

tarnvale watch 203.0.113.10 --duration "$seconds" --record "$recording" --probe "$root/build/tarnvale_probe" \
  --netns "$network-client"
tarnvale report "$recording"
echo "recording: $recording"
