#!/bin/sh
# Uploads LOCAL into REMOTE_DIR, reads the run's summary with jq, lists what failed and why, and
# ends with talvex-cli's own exit status. The command to run (with its options) follows:
#   upload-report.sh LOCAL REMOTE_DIR [talvex-cli [OPTIONS...]]
set -u
local_path=$1 remote_dir=$2
shift 2
[ $# -eq 0 ] && set -- talvex-cli
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT

"$@" --json put "$local_path" "$remote_dir" >"$out"
code=$?

summary=$(jq -c 'select(.type == "summary")' "$out")
if [ -z "$summary" ]; then
    echo "no summary: talvex-cli ended with $code before sending" >&2
    exit "$code"
fi
uploaded=$(printf '%s' "$summary" | jq .uploaded)
failed=$(printf '%s' "$summary" | jq .failed)
# Each failure with its stable code word, for a script to act on.
jq -r 'select(.type == "file" and .outcome == "failed") | "\(.reason_code)\t\(.local)"' "$out" >&2

case $code in
    0) echo "all $uploaded uploaded" ;;
    1) echo "$uploaded uploaded, $failed failed" ;;
    6) echo "the connection failed: talvex-cli put --resume goes on from here" ;;
    *) echo "talvex-cli ended with $code" ;;
esac
exit "$code"
