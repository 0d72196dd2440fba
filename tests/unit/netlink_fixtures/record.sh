#!/usr/bin/env bash
# Records the netlink fixtures of the network change tests in namespaces of its
# own (root needed): a host namespace with an uplink veth to a peer namespace,
# then one change per fixture, recorded by record_netlink.py.
# Usage: tests/unit/netlink_fixtures/record.sh [FIXTURE...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run=tvlrec-$$
host=$run-host
peer=$run-peer

cleanup() {
  ip netns del "$host" 2>/dev/null || true
  ip netns del "$peer" 2>/dev/null || true
}
trap cleanup EXIT

in_host() { ip netns exec "$host" "$@"; }
in_peer() { ip netns exec "$peer" "$@"; }

# An uplink NAME in the host namespace to the peer, with IPv4 net 10.77.N.0/24
# and IPv6 net 2001:db8:N::/64; the peer's side is .1 and ::1.
uplink() {
  local name=$1 n=$2
  ip link add "$name" netns "$host" type veth peer name "p$name" netns "$peer"
  in_peer ip link set "p$name" up
  in_peer ip addr add "10.77.$n.1/24" dev "p$name"
  in_peer ip addr add "2001:db8:$n::1/64" dev "p$name" nodad
  in_host ip link set "$name" up
}

fresh() {
  cleanup
  ip netns add "$host"
  ip netns add "$peer"
  in_host ip link set lo up
  in_peer ip link set lo up
  in_host sysctl -qw net.ipv6.conf.all.accept_ra=0 net.ipv6.conf.default.accept_ra=0
}

v4_uplink() {
  uplink eth0 1
  in_host ip addr add 10.77.1.10/24 dev eth0
  in_host ip route add default via 10.77.1.1
}

v6_uplink() {
  uplink eth0 1
  in_host ip addr add 2001:db8:1::10/64 dev eth0
  sleep 2.5  # duplicate address detection
  in_host ip route add default via 2001:db8:1::1
}

record() {
  local fixture=$1
  shift
  in_host /usr/bin/python3 "$here/record_netlink.py" "$here/$fixture.netlink" "/tmp/$run.stop" >"/tmp/$run.ready" &
  local recorder=$!
  until grep -q ready "/tmp/$run.ready" 2>/dev/null; do sleep 0.1; done
  "$@"
  sleep 3  # what the kernel sends after the last command (DAD, route re-adds)
  touch "/tmp/$run.stop"
  wait "$recorder"
  rm -f "/tmp/$run.ready" "/tmp/$run.stop"
}

link_bounce_v4() {
  in_host ip link set eth0 down
  sleep 1
  in_host ip link set eth0 up
  in_host ip route add default via 10.77.1.1
}

renew_v4() {
  in_host ip addr del 10.77.1.10/24 dev eth0
  in_host ip addr add 10.77.1.11/24 dev eth0
  in_host ip route replace default via 10.77.1.1
}

swap_v4() {
  uplink eth1 2
  in_host ip addr add 10.77.2.10/24 dev eth1
  in_host ip route replace default via 10.77.2.1
  sleep 0.3
  in_host ip link del eth0
}

link_bounce_v6() {
  in_host ip link set eth0 down
  sleep 1
  in_host ip link set eth0 up
  # The global address went with the link (keep_addr_on_down is off); its
  # configuration puts it back, as a network manager would.
  in_host ip addr replace 2001:db8:1::10/64 dev eth0
  sleep 2.5
  in_host ip route replace default via 2001:db8:1::1
}

renew_v6() {
  in_host ip addr add 2001:db8:1::11/64 dev eth0
  sleep 2.5
  in_host ip addr del 2001:db8:1::10/64 dev eth0
}

swap_v6() {
  uplink eth1 2
  in_host ip addr add 2001:db8:2::10/64 dev eth1
  sleep 2.5
  in_host ip route replace default via 2001:db8:2::1
  sleep 0.3
  in_host ip link del eth0
}

# Changes that must not make the engines re-learn anything.
noise() {
  in_host ip addr add 127.0.0.2/8 dev lo
  in_host ip addr add fe80::1234/64 dev eth0
  in_host ip route add local 10.88.0.0/24 dev lo table local
  in_host ip route add 10.99.0.0/24 via 10.77.1.1 table 100
  in_host ip link set eth0 promisc on
  in_host ip addr change 10.77.1.10/24 dev eth0 valid_lft 3600 preferred_lft 3600
  in_host ip addr change 2001:db8:1::10/64 dev eth0 valid_lft 3600 preferred_lft 3600
  in_host ip link set eth0 promisc off
  in_host ip addr del fe80::1234/64 dev eth0
  in_host ip route del local 10.88.0.0/24 dev lo table local
  in_host ip route del 10.99.0.0/24 via 10.77.1.1 table 100
  in_host ip addr del 127.0.0.2/8 dev lo
}

fixtures=("$@")
((${#fixtures[@]})) || fixtures=(link_bounce_v4 renew_v4 swap_v4 link_bounce_v6 renew_v6 swap_v6 noise)
for fixture in "${fixtures[@]}"; do
  fresh
  case $fixture in
    *_v6) v6_uplink ;;
    noise) v4_uplink; in_host ip addr add 2001:db8:1::10/64 dev eth0; sleep 2.5 ;;
    *) v4_uplink ;;
  esac
  record "$fixture" "$fixture"
  echo "recorded $fixture: $(grep -vc '^snapshot' "$here/$fixture.netlink") datagrams"
done
