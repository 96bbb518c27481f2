#!/usr/bin/env bash
# Uploads over WAN-like paths: talvex-cli put against talvex-devserver, the two in network
# namespaces of their own. The path is made with netem (a veth pair) where the kernel has it,
# otherwise with ../shared/tools/wan_emu.py (two TUN devices and a relay that delays and
# rate-limits packets in user space). For each send-buffer setting (16384, 0 = system tuning,
# 262144) it measures:
#   one large file over 40 ms round trip; 1,000 files of 4 KiB over 40 ms;
#   one large file over a 100 Mbit/s link with 10 ms round trip.
# Then, with the system's tuning, the same two 40 ms cases without loss and with 1 % of the
# packets lost each way, in ROUNDS interleaved rounds (medians and ranges), beside the figures
# other tools reached over the same link.
# Time is the put's sending plus waiting for the last answers (log-in and log-out left out).
# Needs root (ip netns); takes a few minutes. Not part of the tests.
#
# CASE=small: only FILES files of FILE_BYTES over the 40 ms round trip, in ROUNDS interleaved
# rounds beside rsync over ssh of the same files over the same link (an sshd in the server's
# namespace; openssh-server is installed when it is missing). rsync's time is taken less the
# time of an rsync of an empty folder (its connection and log-in), as the put's leaves out its
# log-in.
#
#   bench/upload_wan.sh [BUILD_DIR] [SIZE_MIB] [FILES] [ROUNDS]   (defaults: build, 64, 1000, 3)
#   CASE=small FILE_BYTES=1024 bench/upload_wan.sh build 0 10000 5
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
SIZE=${2:-64}
FILES=${3:-1000}
ROUNDS=${4:-3}
CASE=${CASE:-all}
FILE_BYTES=${FILE_BYTES:-4096}
CLI="$BUILD/cli/talvex-cli"
SERVER="$BUILD/devserver/talvex-devserver"
EMU="$ROOT/../shared/tools/wan_emu.py"
[ -x "$CLI" ] && [ -x "$SERVER" ] || { echo "build first: ./talvex.sh build" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces)" >&2; exit 1; }

NS_C=tvxwanc$$       # the client's namespace
NS_S=tvxwans$$       # the server's namespace
WORK=$(mktemp -d)
LINK_PID=
SERVER_PID=
SSHD_PID=
LINK_KIND=

stop_link() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
    [ -n "$SSHD_PID" ] && kill "$SSHD_PID" 2>/dev/null && wait "$SSHD_PID" 2>/dev/null || true
    SSHD_PID=
    if [ -n "$LINK_PID" ]; then
        kill "$LINK_PID" 2>/dev/null || true
        wait "$LINK_PID" 2>/dev/null || true
        LINK_PID=
    fi
    ip netns del "$NS_C" 2>/dev/null || true
    ip netns del "$NS_S" 2>/dev/null || true
}
cleanup() { stop_link; rm -rf "$WORK"; }
trap cleanup EXIT INT TERM

# start_link DELAY_MS_EACH_WAY RATE_MBIT (0 = none) [LOSS_PCT]: SERVER_ADDR is then reachable
# from NS_C; LOSS_PCT of the packets are lost each way.
start_link() {
    local delay=$1 rate=$2 loss=${3:-0}
    if [ -z "$LINK_KIND" ]; then
        # Does this kernel have netem? Try it on a throw-away pair.
        ip netns add "$NS_C"
        if ip -n "$NS_C" link add tvxprobe0 type veth peer name tvxprobe1 2>/dev/null &&
           ip netns exec "$NS_C" tc qdisc add dev tvxprobe0 root netem delay 1ms 2>/dev/null; then
            LINK_KIND=netem
        else
            LINK_KIND=wan_emu
        fi
        ip netns del "$NS_C"
    fi
    if [ "$LINK_KIND" = netem ]; then
        ip netns add "$NS_C"
        ip netns add "$NS_S"
        ip link add tvxwc$$ netns "$NS_C" type veth peer name tvxws$$ netns "$NS_S"
        ip -n "$NS_C" addr add 198.18.0.1/30 dev tvxwc$$
        ip -n "$NS_S" addr add 198.18.0.2/30 dev tvxws$$
        for side in "$NS_C tvxwc$$" "$NS_S tvxws$$"; do
            set -- $side
            ip -n "$1" link set lo up
            ip -n "$1" link set "$2" up
            local extra=()
            [ "$rate" != 0 ] && extra+=(rate "${rate}mbit")
            [ "$loss" != 0 ] && extra+=(loss "${loss}%")
            ip netns exec "$1" tc qdisc add dev "$2" root netem delay "${delay}ms" "${extra[@]}" limit 100000
        done
    else
        [ -f "$EMU" ] || { echo "no netem and no $EMU" >&2; exit 3; }
        rm -f "$WORK/emu.log" # an earlier run's "ready" must not be taken for this one's
        python3 "$EMU" --ns-a "$NS_C" --ns-b "$NS_S" --delay-ms "$delay" --rate-mbit "$rate" --loss-pct "$loss" \
            >"$WORK/emu.log" 2>&1 &
        LINK_PID=$!
        for _ in $(seq 1 100); do grep -q "wan_emu ready" "$WORK/emu.log" 2>/dev/null && break; sleep 0.1; done
        grep -q "wan_emu ready" "$WORK/emu.log" || { cat "$WORK/emu.log" >&2; exit 3; }
    fi
    SERVER_ADDR=198.18.0.2
    rm -rf "$WORK/storage" "$WORK/ports"
    ip netns exec "$NS_S" "$SERVER" --root "$WORK/storage" --bind "$SERVER_ADDR" --web-port 0 \
        --command-port 0 --control-port 0 --ports-file "$WORK/ports" --quiet >/dev/null 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 50); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
    # shellcheck disable=SC1091
    . "$WORK/ports"
}

# put_seconds SEND_BUFFER SOURCE...: seconds of sending plus the last answers.
put_seconds() {
    local buffer=$1; shift
    local out
    out=$(ip netns exec "$NS_C" "$CLI" --web-host "$SERVER_ADDR:$WEB_PORT" --command-port "$COMMAND_PORT" \
            --control-port "$CONTROL_PORT" --user demo --password-stdin --work-dir "$WORK/cli" \
            --timeout 600 --send-buffer "$buffer" put --stats "$@" /bench 2>&1 <<<"demo1234") || {
        echo "put failed: $out" >&2
        echo 0
        return
    }
    # "sending and answers T ms" (older builds: "sending S ms, last answers A ms").
    sed -n -e 's/.*sending and answers \([0-9.]*\) ms.*/\1 0/p' \
        -e 's/.*sending \([0-9.]*\) ms, last answers \([0-9.]*\) ms.*/\1 \2/p' <<<"$out" |
        awk '{ printf "%.4f\n", ($1 + $2) / 1000 }'
}

rate() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "failed" }'; }
median() {
    tr ' ' '\n' | grep -v '^$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
range() { tr ' ' '\n' | grep -v '^$' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (NR) printf "%s–%s", lo, hi }'; }

mkdir -p "$WORK/small"
python3 - "$WORK/small" "$FILES" "$FILE_BYTES" <<'PY'
import os, sys
folder, files, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(1, files + 1):
    with open(os.path.join(folder, "f%d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY

if [ "$CASE" = small ]; then
    command -v sshd >/dev/null || [ -x /usr/sbin/sshd ] ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openssh-server >/dev/null
    mkdir -p "$WORK/ssh" "$WORK/empty" /run/sshd
    ssh-keygen -q -t ed25519 -N '' -f "$WORK/ssh/host"
    ssh-keygen -q -t ed25519 -N '' -f "$WORK/ssh/user"
    cp "$WORK/ssh/user.pub" "$WORK/ssh/authorized_keys"
    SSH="ssh -p 2222 -i $WORK/ssh/user -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
    # rsync_seconds SOURCE_FOLDER: the whole rsync -a over ssh, in seconds
    rsync_seconds() {
        rm -rf "$WORK/rsync-dest"
        local t0 t1
        t0=$(date +%s.%N)
        ip netns exec "$NS_C" rsync -a -e "$SSH" "$1/" "root@$SERVER_ADDR:$WORK/rsync-dest/" >&2 || { echo 0; return; }
        t1=$(date +%s.%N)
        awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }'
    }
    declare -A SMALL
    for round in $(seq 1 "$ROUNDS"); do
        start_link 20 0
        ip netns exec "$NS_S" /usr/sbin/sshd -D -e -f /dev/null -h "$WORK/ssh/host" -o ListenAddress="$SERVER_ADDR:2222" \
            -o AuthorizedKeysFile="$WORK/ssh/authorized_keys" -o PermitRootLogin=prohibit-password -o StrictModes=no \
            -o PidFile=none >"$WORK/sshd.log" 2>&1 &
        SSHD_PID=$!
        for _ in $(seq 1 50); do
            ip netns exec "$NS_C" bash -c "</dev/tcp/$SERVER_ADDR/2222" 2>/dev/null && break
            sleep 0.1
        done
        t0=$(date +%s.%N)
        SMALL[talvex]+=" $(rate "$FILES" "$(put_seconds 0 "$WORK/small")")"
        SMALL[talvexwhole]+=" $(rate "$FILES" "$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.4f", b - a }')")"
        setup=$(rsync_seconds "$WORK/empty")
        whole=$(rsync_seconds "$WORK/small")
        SMALL[rsync]+=" $(rate "$FILES" "$(awk -v w="$whole" -v s="$setup" 'BEGIN { printf "%.4f", w - s }')")"
        SMALL[rsyncwhole]+=" $(rate "$FILES" "$whole")"
        stop_link
        echo "round $round: talvex ${SMALL[talvex]##* }, rsync over ssh ${SMALL[rsync]##* } files/s" >&2
    done
    echo "$FILES files of $FILE_BYTES bytes over a 40 ms round trip ($LINK_KIND); medians of $ROUNDS interleaved rounds (range)"
    echo
    echo "| | talvex-cli put | rsync -a over ssh |"
    echo "|---|---|---|"
    echo "| sending (put: less log-in and listing the files; rsync: less its connection) |" \
         "$(median <<<"${SMALL[talvex]}") files/s ($(range <<<"${SMALL[talvex]}")) |" \
         "$(median <<<"${SMALL[rsync]}") files/s ($(range <<<"${SMALL[rsync]}")) |"
    echo "| the whole command |" \
         "$(median <<<"${SMALL[talvexwhole]}") files/s ($(range <<<"${SMALL[talvexwhole]}")) |" \
         "$(median <<<"${SMALL[rsyncwhole]}") files/s ($(range <<<"${SMALL[rsyncwhole]}")) |"
    exit 0
fi

head -c $((SIZE << 20)) /dev/urandom >"$WORK/large.bin"
BYTES=$((SIZE << 20))
BUFFERS="16384 0 262144"
declare -A LARGE40 SMALL40 LARGE100

start_link 20 0
echo "path: $LINK_KIND, 20 ms each way" >&2
for b in $BUFFERS; do
    LARGE40[$b]=$(rate "$(awk -v n=$BYTES 'BEGIN { print n / 1e6 }')" "$(put_seconds "$b" "$WORK/large.bin")")
    SMALL40[$b]=$(rate "$FILES" "$(put_seconds "$b" "$WORK/small")")
done
stop_link

start_link 5 100
echo "path: $LINK_KIND, 5 ms each way, 100 Mbit/s" >&2
for b in $BUFFERS; do
    LARGE100[$b]=$(rate "$(awk -v n=$BYTES 'BEGIN { print n / 1e6 }')" "$(put_seconds "$b" "$WORK/large.bin")")
done
stop_link

echo "talvex-cli put against talvex-devserver; path made with $LINK_KIND"
echo
echo "| case | SendBufferBytes 16384 | 0 (system tuning, default) | 262144 |"
echo "|---|---|---|---|"
echo "| $SIZE MiB, 40 ms round trip | ${LARGE40[16384]} MB/s | ${LARGE40[0]} MB/s | ${LARGE40[262144]} MB/s |"
echo "| $FILES files of 4 KiB, 40 ms | ${SMALL40[16384]} files/s | ${SMALL40[0]} files/s | ${SMALL40[262144]} files/s |"
echo "| $SIZE MiB, 100 Mbit/s, 10 ms | ${LARGE100[16384]} MB/s | ${LARGE100[0]} MB/s | ${LARGE100[262144]} MB/s |"

# Loss: 40 ms round trip, the system's tuning, without and with 1 % loss each way, interleaved.
declare -A LOSSY
for round in $(seq 1 "$ROUNDS"); do
    for loss in 0 1; do
        start_link 20 0 "$loss"
        LOSSY[large$loss]+=" $(rate "$(awk -v n=$BYTES 'BEGIN { print n / 1e6 }')" "$(put_seconds 0 "$WORK/large.bin")")"
        LOSSY[small$loss]+=" $(rate "$FILES" "$(put_seconds 0 "$WORK/small")")"
        stop_link
    done
    echo "loss round $round:${LOSSY[large1]##* } MB/s, ${LOSSY[small1]##* } files/s with 1 % loss" >&2
done
echo
echo "40 ms round trip, SendBufferBytes 0, without and with 1 % of the packets lost each way; medians of"
echo "$ROUNDS interleaved rounds (range). The other tools over the same link, 1 % loss each way (3 rounds):"
echo
echo "| case | no loss | 1 % loss each way | others, 1 % loss |"
echo "|---|---|---|---|"
echo "| $FILES files of 4 KiB | $(median <<<"${LOSSY[small0]}") files/s ($(range <<<"${LOSSY[small0]}")) |" \
     "$(median <<<"${LOSSY[small1]}") files/s ($(range <<<"${LOSSY[small1]}")) |" \
     "FTP (lftp) 3.2 (4 in parallel: 12.9), rsync over ssh 557, SFTP 5.9 files/s |"
echo "| $SIZE MiB | $(median <<<"${LOSSY[large0]}") MB/s ($(range <<<"${LOSSY[large0]}")) |" \
     "$(median <<<"${LOSSY[large1]}") MB/s ($(range <<<"${LOSSY[large1]}")) |" \
     "FTP (lftp) 23.2, rsync over ssh 15.3, SFTP 14.6, raw TCP 28.2 MB/s |"
