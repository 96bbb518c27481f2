#!/usr/bin/env bash
# put of a folder of many small files against the development server: files per second, and
# where the time goes (expansion, sending and answers); once without the upload journal
# (TALVEX_JOURNAL=off) and once with it, side by side, and the journal's cost as a ratio.
#   bench/put_small_files.sh [BUILD_DIR] [FILES] [BYTES_PER_FILE] [RUNS]
set -euo pipefail
BUILD=${1:-build}
FILES=${2:-10000}
BYTES=${3:-1024}
RUNS=${4:-1}
CLI="$BUILD/cli/talvex-cli"
SERVER="$BUILD/devserver/talvex-devserver"
[ -x "$CLI" ] && [ -x "$SERVER" ] || { echo "build first: ./talvex.sh build" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'kill "$SERVER_PID" 2>/dev/null || true; rm -rf "$WORK"' EXIT

mkdir -p "$WORK/src"
python3 - "$WORK/src" "$FILES" "$BYTES" <<'PY'
import os, sys
root, files, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = os.urandom(size)
for i in range(files):
    d = os.path.join(root, "d%03d" % (i // 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.bin" % i), "wb") as f:
        f.write(data)
PY

"$SERVER" --root "$WORK/storage" --web-port 0 --command-port 0 --control-port 0 \
          --ports-file "$WORK/ports" --quiet >/dev/null 2>&1 &
SERVER_PID=$!
for _ in $(seq 1 50); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
# shellcheck disable=SC1091
. "$WORK/ports"

echo "put of $FILES files of $BYTES bytes in $((FILES / 100)) folders"
put() { # LABEL JOURNAL RUN -> files/s on standard output
  local start end
  start=$(date +%s.%N)
  TALVEX_JOURNAL=$2 "$CLI" --web-host "127.0.0.1:$WEB_PORT" --command-port "$COMMAND_PORT" --control-port "$CONTROL_PORT" \
         --user demo --password demo1234 --work-dir "$WORK/cli" put --stats "$WORK/src" "/bench$3" >/dev/null
  end=$(date +%s.%N)
  python3 -c "import sys; t=float(sys.argv[2])-float(sys.argv[1]); n=int(sys.argv[3]); print('%s: wall %.2f s, %.0f files/s (process start, log-in and log-out included)' % (sys.argv[4], t, n/t))" "$start" "$end" "$FILES" "$1" >&2
  python3 -c "import sys; print(int(sys.argv[2]) / (float(sys.argv[1])))" "$(python3 -c "print($end-$start)")" "$FILES"
}
best_off=0; best_on=0
for run in $(seq 1 "$RUNS"); do
  off=$(put "journal off" off "off$run"); on=$(put "journal on " on "on$run")
  best_off=$(python3 -c "print(max($best_off, $off))"); best_on=$(python3 -c "print(max($best_on, $on))")
done
python3 -c "print('best of $RUNS: journal off %.0f files/s, journal on %.0f files/s, ratio %.2f' % ($best_off, $best_on, $best_on / $best_off))"
stored=$(find "$WORK/storage" -type f | wc -l)
echo "files stored by the server: $stored (of $((FILES * RUNS * 2)))"
ls -l "$WORK/cli/journal/" | tail -n +2 | awk '{print "journal after the runs: " $5 " bytes " $9}'
