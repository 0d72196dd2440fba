#!/usr/bin/env bash
# Installs the Debian 12 packages the probe, its tests and the test network need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libasio-dev nlohmann-json3-dev libpcap-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-pytest-xdist
  libnetfilter-queue-dev
  iproute2 nftables iptables iperf3 traceroute iputils-ping procps
  clang libclang-rt-14-dev
  python3-rich python3-matplotlib tmux
  python3-prometheus-client prometheus python3-yaml python3-bcrypt
  debootstrap systemd-container libcap2-bin
  g++-mingw-w64-x86-64-posix wine64
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
