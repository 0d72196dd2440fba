#!/usr/bin/env bash
# Installs the `tarnvale` command (the Python client's command line) as
# /usr/local/bin/tarnvale, running this checkout's client with Debian's Python.
# Idempotent. (With pip: `pip install ./client` gives the same entry point.)
set -euo pipefail
client=$(cd "$(dirname "$0")/../client" && pwd)
target=${TARNVALE_BIN_DIR:-/usr/local/bin}/tarnvale
wrapper="#!/bin/sh
PYTHONPATH=\"$client\${PYTHONPATH:+:\$PYTHONPATH}\" exec /usr/bin/python3 -m tarnvale \"\$@\"
"
if [ -f "$target" ] && [ "$(cat "$target")" = "${wrapper%$'\n'}" ]; then
  exit 0
fi
printf '%s' "$wrapper" >"$target"
chmod 755 "$target"
