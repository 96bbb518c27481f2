#!/usr/bin/env bash
# A large upload over a slow link that goes dark in the middle: talvex-cli put --retries
# against talvex-devserver, the two in network namespaces of their own joined by
# ../shared/tools/wan_emu.py (which drops every packet during the outage). Reports the time of
# the same upload without an outage, with it, and the time lost beyond the outage itself; and
# checks that the file arrived whole. Needs root (ip netns). Not part of the tests.
#
#   bench/upload_outage.sh [BUILD_DIR] [SIZE_MIB] [RATE_MBIT] [OUTAGE_AT_S] [OUTAGE_FOR_S]
#   (defaults: build, 64, 50, 4, 15)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
SIZE=${2:-64}
RATE=${3:-50}
AT=${4:-4}
FOR=${5:-15}
CLI="$BUILD/cli/talvex-cli"
SERVER="$BUILD/devserver/talvex-devserver"
EMU="$ROOT/../shared/tools/wan_emu.py"
[ -x "$CLI" ] && [ -x "$SERVER" ] || { echo "build first: ./talvex.sh build" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }
[ -f "$EMU" ] || { echo "no $EMU" >&2; exit 3; }

NS_C=tvxoutc$$
NS_S=tvxouts$$
WORK=$(mktemp -d)
LINK_PID=
SERVER_PID=
stop_link() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
    [ -n "$LINK_PID" ] && { kill "$LINK_PID" 2>/dev/null || true; wait "$LINK_PID" 2>/dev/null || true; }
    LINK_PID=
    ip netns del "$NS_C" 2>/dev/null || true
    ip netns del "$NS_S" 2>/dev/null || true
}
trap 'stop_link; rm -rf "$WORK"' EXIT INT TERM

# start_link EXTRA_EMU_ARGS...: a 5 ms (each way), RATE Mbit/s path and a server behind it.
start_link() {
    python3 "$EMU" --ns-a "$NS_C" --ns-b "$NS_S" --delay-ms 5 --rate-mbit "$RATE" "$@" >"$WORK/emu.log" 2>&1 &
    LINK_PID=$!
    for _ in $(seq 1 100); do grep -q "wan_emu ready" "$WORK/emu.log" 2>/dev/null && break; sleep 0.1; done
    grep -q "wan_emu ready" "$WORK/emu.log" || { cat "$WORK/emu.log" >&2; exit 3; }
    rm -rf "$WORK/storage" "$WORK/ports"
    ip netns exec "$NS_S" "$SERVER" --root "$WORK/storage" --bind 198.18.0.2 --web-port 0 \
        --command-port 0 --control-port 0 --ports-file "$WORK/ports" --quiet >/dev/null 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 50); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
    # shellcheck disable=SC1091
    . "$WORK/ports"
}

# put_wall: seconds of the whole put (log-in included), or "failed".
put_wall() {
    local start end
    start=$(date +%s.%N)
    if ip netns exec "$NS_C" "$CLI" --web-host "198.18.0.2:$WEB_PORT" --command-port "$COMMAND_PORT" \
        --control-port "$CONTROL_PORT" --user demo --password-stdin --work-dir "$WORK/cli" --timeout 60 \
        put --retries 10 "$WORK/large.bin" /bench >"$WORK/put.out" 2>&1 <<<"demo1234"; then
        end=$(date +%s.%N)
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
    else
        echo failed
    fi
}

head -c $((SIZE << 20)) /dev/urandom >"$WORK/large.bin"
start_link
BASE=$(put_wall)
cmp -s "$WORK/large.bin" "$WORK/storage/demo/bench/large.bin" || BASE="$BASE (stored copy differs!)"
stop_link
start_link --outage-at "$AT" --outage-for "$FOR"
OUT=$(put_wall)
WHOLE=yes
cmp -s "$WORK/large.bin" "$WORK/storage/demo/bench/large.bin" || WHOLE=no
stop_link
echo "talvex-cli put --retries 10 of $SIZE MiB over $RATE Mbit/s, 10 ms round trip (wan_emu)"
echo "| case | wall |"
echo "|---|---|"
echo "| no outage | $BASE s |"
echo "| outage of $FOR s from second $AT | $OUT s (file whole on the server: $WHOLE) |"
if [ "$OUT" != failed ] && [ "${BASE%% *}" != failed ]; then
    awk -v o="$OUT" -v b="${BASE%% *}" -v f="$FOR" 'BEGIN { printf "time lost beyond the outage: %.2f s\n", o - b - f }'
fi
tail -3 "$WORK/put.out"
