#!/usr/bin/env bash
# put of a folder of many small files against the development server: files per second, and
# where the time goes (expansion, sending, waiting for the last answers).
#   bench/put_small_files.sh [BUILD_DIR] [FILES] [BYTES_PER_FILE]
set -euo pipefail
BUILD=${1:-build}
FILES=${2:-10000}
BYTES=${3:-1024}
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
start=$(date +%s.%N)
"$CLI" --web-host "127.0.0.1:$WEB_PORT" --command-port "$COMMAND_PORT" --control-port "$CONTROL_PORT" \
       --user demo --password demo1234 --work-dir "$WORK/cli" put --stats "$WORK/src" /bench
end=$(date +%s.%N)
python3 -c "import sys; t=float(sys.argv[2])-float(sys.argv[1]); n=int(sys.argv[3]); print('wall %.2f s, %.0f files/s (process start, log-in and log-out included)' % (t, n/t))" "$start" "$end" "$FILES"
stored=$(find "$WORK/storage" -type f | wc -l)
echo "files stored by the server: $stored"
