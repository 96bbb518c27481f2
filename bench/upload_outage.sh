#!/usr/bin/env bash
# A large upload over a slow link that goes dark in the middle: talvex-cli put --retries against
# talvex-devserver, the two in network namespaces of their own joined by
# ../shared/tools/wan_emu.py (which drops every packet while the link is dark; this script
# darkens it by signal, OUTAGE_AT_S seconds after the put starts). Rounds are interleaved; each
# round runs, for every outage length:
#   no outage (the reference, once a round);
#   the outage with the system's timers in the client's namespace;
#   the outage with the namespace's retransmission back-off capped at 1 s
#     (net.ipv4.tcp_rto_max_ms=1000, and tcp_retries2=60 so that the kernel does not give the
#     connection up in the middle): what any program gets once the whole system is tuned so;
# and, where talvex-cli has --stall-timeout, an outage longer than the dead-path bound
# (--stall-timeout 10, dark for 20 s): the connection must end within about a second of the
# bound, and the put connect again and send the file once more when the link is back.
# Reports medians (and ranges) of the time lost beyond the outage itself (the put's wall with
# the outage, less the reference of the same round, less the outage), whether the file arrived
# whole, the reconnects, and the bytes the link carried towards the server over the file's size
# (a file sent twice shows as about 2x). Needs root (ip netns, sysctl). Not part of the tests.
#
#   bench/upload_outage.sh [BUILD_DIR] [SIZE_MIB] [RATE_MBIT] [OUTAGE_AT_S] [OUTAGES_S] [ROUNDS]
#   (defaults: build, 64, 50, 4, "15 30", 3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
SIZE=${2:-64}
RATE=${3:-50}
AT=${4:-4}
OUTAGES=${5:-15 30}
ROUNDS=${6:-3}
CLI="$BUILD/cli/talvex-cli"
SERVER="$BUILD/devserver/talvex-devserver"
EMU="$ROOT/../shared/tools/wan_emu.py"
[ -x "$CLI" ] && [ -x "$SERVER" ] || { echo "build first: ./talvex.sh build" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }
[ -f "$EMU" ] || { echo "no $EMU" >&2; exit 3; }
STALL=10    # the dead-path case: --stall-timeout
DEAD_FOR=20 # and how long its link stays dark
HAS_STALL=no
if "$CLI" --help 2>&1 | grep -q -- --stall-timeout; then HAS_STALL=yes; fi

NS_C=tvxoutc$$
NS_S=tvxouts$$
WORK=$(mktemp -d)
LINK_PID=
SERVER_PID=
DARK_PID=
stop_link() {
    [ -n "$DARK_PID" ] && { kill "$DARK_PID" 2>/dev/null || true; wait "$DARK_PID" 2>/dev/null || true; }
    DARK_PID=
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
    [ -n "$LINK_PID" ] && { kill "$LINK_PID" 2>/dev/null || true; wait "$LINK_PID" 2>/dev/null || true; }
    LINK_PID=
    ip netns del "$NS_C" 2>/dev/null || true
    ip netns del "$NS_S" 2>/dev/null || true
}
trap 'stop_link; rm -rf "$WORK"' EXIT INT TERM

# start_link [cap]: a 5 ms (each way), RATE Mbit/s path and a server behind it; with "cap", the
# client's namespace caps the retransmission back-off at 1 s (false when this kernel cannot).
start_link() {
    # A real-time relay: builds and tests running beside the bench delay its packets less.
    rm -f "$WORK/emu.log" # an earlier run's "ready" must not be taken for this one's
    python3 "$EMU" --ns-a "$NS_C" --ns-b "$NS_S" --delay-ms 5 --rate-mbit "$RATE" --rt-prio 50 >"$WORK/emu.log" 2>&1 &
    LINK_PID=$!
    for _ in $(seq 1 100); do grep -q "wan_emu ready" "$WORK/emu.log" 2>/dev/null && break; sleep 0.1; done
    grep -q "wan_emu ready" "$WORK/emu.log" || { cat "$WORK/emu.log" >&2; exit 3; }
    if [ "${1:-}" = cap ]; then
        ip netns exec "$NS_C" sysctl -qw net.ipv4.tcp_rto_max_ms=1000 net.ipv4.tcp_retries2=60 >/dev/null 2>&1 || return 1
    fi
    rm -rf "$WORK/storage" "$WORK/ports"
    ip netns exec "$NS_S" "$SERVER" --root "$WORK/storage" --bind 198.18.0.2 --web-port 0 \
        --command-port 0 --control-port 0 --ports-file "$WORK/ports" --quiet >/dev/null 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 50); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
    # shellcheck disable=SC1091
    . "$WORK/ports"
}

# put_run DARK_FOR_S [CLI_OPTIONS...]: the put, the link dark from AT s after its start for
# DARK_FOR_S s (0: no outage); then the link is taken down. Sets WALL (seconds, or "failed"),
# WHOLE, RECONNECTS, RATIO (bytes towards the server over the file's size) and NOTICED (seconds
# from dark to the put's first word of a lost connection, or "-").
put_run() {
    local dark=$1 start end t_dark=
    shift
    rm -f "$WORK/dark"
    start=$(date +%s.%N)
    if [ "$dark" != 0 ]; then
        (sleep "$AT"; date +%s.%N >"$WORK/dark"; kill -USR1 "$LINK_PID"; sleep "$dark"; kill -USR1 "$LINK_PID") &
        DARK_PID=$!
    fi
    if ip netns exec "$NS_C" "$CLI" --web-host "198.18.0.2:$WEB_PORT" --command-port "$COMMAND_PORT" \
        --control-port "$CONTROL_PORT" --user demo --password-stdin --work-dir "$WORK/cli" --timeout 60 "$@" \
        put --retries 10 "$WORK/large.bin" /bench <<<"demo1234" >"$WORK/put.out" \
        2> >(while IFS= read -r line; do echo "$(date +%s.%N) $line"; done >"$WORK/put.err"); then
        end=$(date +%s.%N)
        WALL=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    else
        WALL=failed
    fi
    sleep 0.2 # the time stamper writes its last line
    if [ -n "$DARK_PID" ]; then
        wait "$DARK_PID" 2>/dev/null || true
        DARK_PID=
    fi
    WHOLE=yes
    cmp -s "$WORK/large.bin" "$WORK/storage/demo/bench/large.bin" || WHOLE=no
    RECONNECTS=$(grep -c "다시 연결합니다" "$WORK/put.err" || true)
    NOTICED=-
    [ -f "$WORK/dark" ] && t_dark=$(cat "$WORK/dark")
    if [ -n "$t_dark" ] && grep -q "연결이 끊겼습니다" "$WORK/put.err"; then
        NOTICED=$(grep -m1 "연결이 끊겼습니다" "$WORK/put.err" | awk -v d="$t_dark" '{ printf "%.1f", $1 - d }')
    fi
    # The relay says what it carried when it stops.
    kill "$LINK_PID" 2>/dev/null || true
    wait "$LINK_PID" 2>/dev/null || true
    LINK_PID=
    RATIO=$(sed -n 's/^A->B: [0-9]* packets, \([0-9]*\) bytes forwarded.*/\1/p' "$WORK/emu.log" |
        awk -v s=$((SIZE << 20)) '{ printf "%.2f", $1 / s }')
    stop_link
}

median() {
    tr ' ' '\n' | grep -v '^$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
range() { tr ' ' '\n' | grep -v '^$' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%s–%s", lo, hi; else print "-" }'; }

declare -A LOST WHOLES RECON RATIOS NOTICE
record() { # KEY OUTAGE_S: the figures of the run just made
    local key=$1 d=$2
    if [ "$WALL" != failed ] && [ "$base" != failed ]; then
        LOST[$key]+=" $(awk -v o="$WALL" -v b="$base" -v f="$d" 'BEGIN { printf "%.2f", o - b - f }')"
    else
        LOST[$key]+=" failed"
    fi
    WHOLES[$key]+=" $WHOLE"
    RECON[$key]+=" $RECONNECTS"
    RATIOS[$key]+=" $RATIO"
    NOTICE[$key]+=" $NOTICED"
}
summary() { # KEY: the lost seconds (median and range) | the file whole | reconnects | link carried
    local key=$1 lost whole=yes
    lost=${LOST[$key]:-}
    if grep -q failed <<<"$lost"; then
        lost="failed in some rounds:$lost"
    else
        lost="$(median <<<"$lost") s ($(range <<<"$lost"))"
    fi
    if grep -q no <<<"${WHOLES[$key]:-}"; then whole="no (rounds:${WHOLES[$key]})"; fi
    printf "%s | %s | %s | %sx" "$lost" "$whole" "$(median <<<"${RECON[$key]:-}")" "$(median <<<"${RATIOS[$key]:-}")"
}

head -c $((SIZE << 20)) /dev/urandom >"$WORK/large.bin"
CAP_OK=yes
for round in $(seq 1 "$ROUNDS"); do
    start_link
    put_run 0
    base=$WALL
    [ "$WHOLE" = yes ] || base=failed
    echo "round $round: no outage $base s" >&2
    for d in $OUTAGES; do
        for kind in system cap; do
            if [ "$kind" = cap ]; then
                if ! start_link cap; then
                    CAP_OK=no
                    stop_link
                    continue
                fi
            else
                start_link
            fi
            put_run "$d"
            record "$d $kind" "$d"
            echo "round $round: dark $d s, $kind timers: $WALL s, whole $WHOLE, reconnects $RECONNECTS, link carried ${RATIO}x the file" >&2
        done
    done
    if [ "$HAS_STALL" = yes ]; then
        start_link
        put_run "$DEAD_FOR" --stall-timeout "$STALL"
        record dead "$DEAD_FOR"
        echo "round $round: dark $DEAD_FOR s, --stall-timeout $STALL: $WALL s, loss said after $NOTICED s, whole $WHOLE, reconnects $RECONNECTS, link carried ${RATIO}x the file" >&2
    fi
done

echo "talvex-cli put --retries 10 of $SIZE MiB over $RATE Mbit/s, 10 ms round trip (wan_emu), dark from second $AT of"
echo "the put; medians of $ROUNDS interleaved rounds (range)"
echo
echo "| case | time lost beyond the outage | file whole | reconnects | link carried |"
echo "|---|---|---|---|---|"
for d in $OUTAGES; do
    echo "| dark $d s, the system's timers | $(summary "$d system") |"
    if [ "$CAP_OK" = yes ]; then
        echo "| dark $d s, back-off capped at 1 s for the namespace | $(summary "$d cap") |"
    else
        echo "| dark $d s, back-off capped at 1 s for the namespace | skipped: this kernel has no net.ipv4.tcp_rto_max_ms | | | |"
    fi
done
if [ "$HAS_STALL" = yes ]; then
    echo "| dark $DEAD_FOR s, --stall-timeout $STALL (longer than the bound) | $(summary dead) |"
    echo
    echo "With --stall-timeout $STALL and the link dark for $DEAD_FOR s, the put said the connection was lost"
    echo "$(median <<<"${NOTICE[dead]:-}") s after the link went dark (median; range $(range <<<"${NOTICE[dead]:-}") s)."
else
    echo
    echo "This talvex-cli has no --stall-timeout: the case of an outage longer than the dead-path bound was skipped."
fi
echo
echo "The peers over the same link (64 MiB, 50 Mbit/s, 10 ms, dark for 15 s from second 4, time lost beyond the"
echo "outage, the system's timers): FTP (lftp) 21.0 s, rsync over ssh 20.6 s, raw TCP 21.8 s, Talvex before it"
echo "capped its own back-off 20.5 s; with the back-off capped at 1 s for the namespace, Talvex and raw TCP 2.0 s."
