#!/usr/bin/env bash
# The main job: builds the probe, makes the test network (three routers, 20 % loss
# after r2), runs a client session with the hop engine against the server for
# 40 seconds, prints every event, and removes the network again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/build.sh build

network=$(lab/lab up --hops 3 --loss r2:eth1:20)
trap '"$root/lab/lab" down "$network"' EXIT
echo "test network $network: client 192.168.1.10 -> r1 -> r2 -(20 % loss)-> r3 -> server 203.0.113.10"

cd client
/usr/bin/python3 -m tarnvale session 203.0.113.10 --engines hop --duration "${DEMO_SECONDS:-40}" \
  --probe ../build/tarnvale_probe --netns "$network-client"
