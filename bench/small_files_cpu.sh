#!/usr/bin/env bash
# The CPU a small file costs: talvex-cli put of 10,000 files of 1 KiB and of 4 KiB to the
# development server on loopback, files on a RAM disk. For each size: files per second, the
# client's and the server's CPU in microseconds a file (user + system, the client from its
# rusage, the server from /proc), medians of RUNS runs; beside them a local `rsync -a` of the
# same files (both of its ends on this machine) as the reference. With BEFORE_BUILD (a build
# folder of another version) the two versions run interleaved, each against its own server, and
# the ratio of their medians is shown.
#   bench/small_files_cpu.sh [BUILD_DIR] [RUNS]      (BEFORE_BUILD=DIR, FILES=N, SIZES="1024 4096")
set -euo pipefail
BUILD=${1:-build}
RUNS=${2:-5}
FILES=${FILES:-10000}
SIZES=${SIZES:-"1024 4096"}
BEFORE=${BEFORE_BUILD:-}
for b in "$BUILD" ${BEFORE:+"$BEFORE"}; do
  [ -x "$b/cli/talvex-cli" ] && [ -x "$b/devserver/talvex-devserver" ] || { echo "build first: $b" >&2; exit 1; }
done
RAM=/dev/shm
[ -d "$RAM" ] && [ -w "$RAM" ] || RAM=${TMPDIR:-/tmp}
WORK=$(mktemp -d "$RAM/talvex-small-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

python3 - "$WORK" "$BUILD" "$BEFORE" "$RUNS" "$FILES" $SIZES <<'PY'
import os, resource, shutil, statistics, subprocess, sys, time

work, build, before, runs, files = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
sizes = [int(s) for s in sys.argv[6:]]
tick = os.sysconf("SC_CLK_TCK")

def make_files(size):
    src = os.path.join(work, "src%d" % size)
    data = os.urandom(size)
    for i in range(files):
        d = os.path.join(src, "d%03d" % (i // 100))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%05d.bin" % i), "wb") as f:
            f.write(data)
    return src

def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime

class Server:
    def __init__(self, b, name):
        self.root = os.path.join(work, "storage-" + name)
        ports = os.path.join(work, "ports-" + name)
        self.proc = subprocess.Popen([os.path.join(b, "devserver", "talvex-devserver"), "--root", self.root, "--web-port", "0",
                                      "--command-port", "0", "--control-port", "0", "--ports-file", ports, "--quiet"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(ports) and os.path.getsize(ports) > 0:
                break
            time.sleep(0.05)
        self.ports = dict(l.strip().split("=", 1) for l in open(ports) if "=" in l)
    def cpu(self):
        f = open("/proc/%d/stat" % self.proc.pid).read().rsplit(")", 1)[1].split()
        return (int(f[11]) + int(f[12])) / tick
    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)

def put(b, server, src, label):
    p = server.ports
    c0, s0, t0 = children_cpu(), server.cpu(), time.monotonic()
    subprocess.run([os.path.join(b, "cli", "talvex-cli"), "--web-host", "127.0.0.1:" + p["WEB_PORT"],
                    "--command-port", p["COMMAND_PORT"], "--control-port", p["CONTROL_PORT"], "--user", "demo",
                    "--password", "demo1234", "--work-dir", os.path.join(work, "cli-" + label), "put", src, "/" + label],
                   check=True, stdout=subprocess.DEVNULL)
    t = time.monotonic() - t0
    client, srv = children_cpu() - c0, server.cpu() - s0
    shutil.rmtree(os.path.join(server.root, "demo", label), ignore_errors=True)
    return files / t, client * 1e6 / files, srv * 1e6 / files

def rsync(src, label):
    if not shutil.which("rsync"):
        return None
    dest = os.path.join(work, "rsync-" + label)
    c0, t0 = children_cpu(), time.monotonic()
    subprocess.run(["rsync", "-a", src + "/", dest + "/"], check=True)
    t = time.monotonic() - t0
    cpu = children_cpu() - c0
    shutil.rmtree(dest)
    return files / t, cpu * 1e6 / files

versions = [("now", build)] + ([("before", before)] if before else [])
servers = {name: Server(b, name) for name, b in versions}
print("%d files a size, %d runs, medians; CPU in microseconds a file (user + system)" % (files, runs))
try:
    for size in sizes:
        src = make_files(size)
        got = {name: [] for name, _ in versions}
        ref = []
        for run in range(runs):
            for name, b in (versions if run % 2 == 0 else versions[::-1]):
                got[name].append(put(b, servers[name], src, "%s%d_%d" % (name, size, run)))
            r = rsync(src, "%d_%d" % (size, run))
            if r:
                ref.append(r)
        med = {name: [statistics.median(x[i] for x in got[name]) for i in range(3)] for name in got}
        print("== %d x %d bytes" % (files, size))
        for name, _ in versions:
            m = med[name]
            print("  talvex %-6s  %7.0f files/s   client %6.1f us/file   server %6.1f us/file" % (name, m[0], m[1], m[2]))
        if before:
            n, b = med["now"], med["before"]
            print("  now / before:  files/s %.2f   client CPU %.2f   server CPU %.2f" % (n[0] / b[0], n[1] / b[1], n[2] / b[2]))
        if ref:
            print("  rsync -a        %7.0f files/s   both ends %6.1f us/file" % (statistics.median(r[0] for r in ref),
                                                                            statistics.median(r[1] for r in ref)))
        else:
            print("  rsync -a        not installed")
        shutil.rmtree(src)
finally:
    for s in servers.values():
        s.stop()
PY
