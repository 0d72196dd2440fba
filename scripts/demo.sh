#!/usr/bin/env bash
# The main job: builds the probe and runs a client session against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd client
exec /usr/bin/python3 -m tarnvale session tarnvale-demo-target.invalid --engines capture --duration 3 "$@"
