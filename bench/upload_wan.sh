#!/bin/sh
# Upload throughput over a WAN-like path: a veth pair into a network namespace of our own, with
# 20 ms of netem delay each way (40 ms round trip). Runs the engine's upload and a raw send for
# both send-buffer settings. Needs root (ip netns, tc). Not part of the tests.
#
#   bench/upload_wan.sh [BUILD_DIR] [SIZE_MIB]     (defaults: build, 16)
set -eu
BUILD=${1:-$(dirname "$0")/../build}
SIZE=${2:-16}
BENCH=$(find "$BUILD" -name protocol_upload_bench -type f | head -n 1)
[ -x "$BENCH" ] || { echo "protocol_upload_bench not found under $BUILD" >&2; exit 1; }
NS=talvex-wan-$$
HOST_IF=tvxh$$
NS_IF=tvxn$$
SINK_PID=

cleanup() {
    [ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null || true
    ip link del "$HOST_IF" 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

ip netns add "$NS"
ip link add "$HOST_IF" type veth peer name "$NS_IF"
ip link set "$NS_IF" netns "$NS"
ip addr add 10.231.0.1/30 dev "$HOST_IF"
ip link set "$HOST_IF" up
ip netns exec "$NS" ip addr add 10.231.0.2/30 dev "$NS_IF"
ip netns exec "$NS" ip link set "$NS_IF" up
ip netns exec "$NS" ip link set lo up
if ! tc qdisc add dev "$HOST_IF" root netem delay 20ms limit 100000; then
    echo "netem is not available in this kernel (module sch_netem); no WAN figures" >&2
    exit 3
fi
ip netns exec "$NS" tc qdisc add dev "$NS_IF" root netem delay 20ms limit 100000

ip netns exec "$NS" "$BENCH" --serve 20001 &
SINK_PID=$!
sleep 1
echo "WAN-like path: 20 ms each way (veth + netem), $SIZE MiB"
"$BENCH" --host 10.231.0.2 --port 20001 --size-mib "$SIZE"
