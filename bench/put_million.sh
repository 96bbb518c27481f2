#!/usr/bin/env bash
# talvex-cli put at scale: a folder of FILES small files (a million by default) on a RAM disk,
# the development server storing them on the RAM disk too. Reports files per second and the
# client's peak resident memory for 10,000 of them and for all of them, then the same for
# put --resume of a journal holding every file unfinished (a put stopped as its first file
# went out), and the journal's size per entry.
#   bench/put_million.sh [BUILD_DIR] [FILES] [BYTES_PER_FILE]
set -euo pipefail
BUILD=${1:-build}
FILES=${2:-1000000}
BYTES=${3:-1024}
CLI="$BUILD/cli/talvex-cli"
SERVER="$BUILD/devserver/talvex-devserver"
[ -x "$CLI" ] && [ -x "$SERVER" ] || { echo "build first: ./talvex.sh build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

BASE=/dev/shm
[ -d "$BASE" ] && [ -w "$BASE" ] || BASE=${TMPDIR:-/tmp}
WORK=$(mktemp -d "$BASE/talvex-million.XXXXXX")
SERVER_PID=
trap '[ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null; rm -rf "$WORK"' EXIT
echo "files and storage in $WORK ($(df -h "$WORK" | awk 'NR==2 {print $1}')); load: $(cut -d' ' -f1-3 /proc/loadavg)"

make_files() { # DIR COUNT
  python3 - "$1" "$2" "$BYTES" <<'PY'
import os, sys
root, files, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = os.urandom(size)
for i in range(files):
    d = os.path.join(root, "d%04d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%07d.bin" % i), "wb") as f:
        f.write(data)
PY
}
start=$(date +%s)
make_files "$WORK/small" 10000
make_files "$WORK/all" "$FILES"
echo "made $FILES + 10000 files of $BYTES bytes in $(( $(date +%s) - start )) s"

"$SERVER" --root "$WORK/storage" --web-port 0 --command-port 0 --control-port 0 \
          --ports-file "$WORK/ports" --quiet >/dev/null 2>&1 &
SERVER_PID=$!
for _ in $(seq 1 50); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
# shellcheck disable=SC1091
. "$WORK/ports"
ARGS=(--web-host "127.0.0.1:$WEB_PORT" --command-port "$COMMAND_PORT" --control-port "$CONTROL_PORT"
      --user demo --password-stdin --work-dir "$WORK/cli")

measure() { # LABEL COUNT put-arguments...: files/s and peak memory of one run
  local label=$1 count=$2; shift 2
  local out
  echo demo1234 | /usr/bin/time -o "$WORK/last.time" -f "%e %M" "$CLI" "${ARGS[@]}" put "$@" >"$WORK/last.out" 2>"$WORK/last.err" || true
  out=$(tail -1 "$WORK/last.time")
  local wall=${out% *} kb=${out#* }
  python3 -c "import sys; w=float(sys.argv[1]); print('%-28s %8d files %7.1f s %8.0f files/s  peak memory %6.1f MB  (%s)' % (sys.argv[3], int(sys.argv[4]), w, int(sys.argv[4])/w, int(sys.argv[2])/1024, sys.argv[5]))" \
    "$wall" "$kb" "$label" "$count" "$(tail -1 "$WORK/last.out")"
}
measure "put, 10,000 files" 10000 "$WORK/small" /small
measure "put, all files" "$FILES" "$WORK/all" /all

# A journal holding every file unfinished: a put at 1 KB/s stopped as its first file is stored.
rm -rf "$WORK/storage/demo/again"
echo demo1234 | "$CLI" "${ARGS[@]}" --limit-rate 1 put "$WORK/all" /again >/dev/null 2>&1 &
PUT_PID=$!
until [ -n "$(find "$WORK/storage/demo/again" -type f -print -quit 2>/dev/null)" ]; do sleep 0.2; done
kill -9 "$PUT_PID"; wait "$PUT_PID" 2>/dev/null || true
journal=$(ls "$WORK"/cli/journal/*.sqlite)
size=$(( $(stat -c %s "$journal") + $( [ -f "$journal-wal" ] && stat -c %s "$journal-wal" || echo 0) ))
python3 -c "print('journal with %d entries: %.1f MB, %.0f bytes an entry' % ($FILES, $size/1048576, $size/$FILES))"
measure "put --resume, all files" "$FILES" --resume
