#!/bin/bash
# Runs a command inside a fresh private network namespace, so that anything it
# multicasts (Ethernet discovery to 232.2.2.2, beacons) never reaches the
# host's real interfaces. The namespace has loopback up and a veth pair
# v0 (10.77.0.1/24, broadcast 10.77.0.255) <-> v1 (10.77.0.2/24), with the
# multicast routes through v0. It disappears when the command ends.
#
#   scripts/netns-run.sh COMMAND [ARGS...]
#
# Needs root (or CAP_SYS_ADMIN and CAP_NET_ADMIN), unshare and ip.
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi

if [ "${1:-}" != "--inside-private-netns" ]; then
    # Re-run this script in a new network namespace, telling it the namespace
    # it came from.
    outer=$(readlink /proc/self/ns/net)
    exec unshare --net --fork -- "$0" --inside-private-netns "$outer" "$@"
fi
outer=${2:-}
shift 2

# Never go on in the namespace we started from: that would put traffic on real interfaces.
if [ -z "$outer" ] || [ "$(readlink /proc/self/ns/net)" = "$outer" ]; then
    echo "$0: not in a private network namespace; refusing" >&2
    exit 1
fi
# Tells programs (tarnix-sim --discovery) that they run in such a namespace.
export TARNIX_PRIVATE_NETNS=$(readlink /proc/self/ns/net)

ip link set lo up
ip link add v0 type veth peer name v1
ip addr add 10.77.0.1/24 broadcast 10.77.0.255 dev v0
ip addr add 10.77.0.2/24 broadcast 10.77.0.255 dev v1
ip link set v0 up
ip link set v1 up
ip route add 224.0.0.0/4 dev v0
ip route add 232.0.0.0/8 dev v0 2>/dev/null || true

exec "$@"
