#!/usr/bin/env bash
# FTP relay benchmark: RETR and STOR of a 100 MB file through moatkeep's FTP relay, against the same
# transfers straight from the site (pyftpdlib), measured in the same run inside a private network
# namespace.
#
#   bench/ftp/run.sh                   uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/ftp/run.sh
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit. Prints a Markdown table.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${FTP_BENCH_NETNS:-}" != "1" ]; then
  bench_install python3-pyftpdlib
  bench_moatkeep
  # Files in memory when there is room, so the disk does not set the pace.
  BASE=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && BASE=/dev/shm
  WORK="$(mktemp -d "$BASE/ftp-bench.XXXXXX")"
  bench_reenter_in_namespace FTP_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
ip link set lo up
PYTHON=/usr/bin/python3   # Debian's, with pyftpdlib
SIZE_MB=100
ROUNDS=3

trap bench_stop_servers EXIT

mkdir -p "$WORK/site" "$WORK/moatkeep"
head -c $((SIZE_MB * 1024 * 1024)) /dev/urandom >"$WORK/site/file.bin"
cp "$WORK/site/file.bin" "$WORK/upload.bin"

cat >"$WORK/site.py" <<'PY'
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user("bench", "bench", sys.argv[1], perm="elradfmwMT")
FTPHandler.authorizer = authorizer
FTPServer(("127.0.0.1", 21), FTPHandler).serve_forever(timeout=0.5)
PY
"$PYTHON" "$WORK/site.py" "$WORK/site" >"$WORK/site.log" 2>&1 &
PIDS+=($!)

cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like the references, which log nothing per connection; at level 1
# every connection would also log that no dial-up link was made.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
2121=(FTP)
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
PIDS+=($!)

wait_port 21 || exit 1
wait_port 2121 || exit 1

# One client for every measurement: passive mode, binary, 256 KiB blocks, the best of ROUNDS.
"$PYTHON" - "$WORK" "$SIZE_MB" "$ROUNDS" <<'PY'
import ftplib, hashlib, os, sys, time
work, size_mb, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = size_mb * 1024 * 1024
expected = hashlib.sha256(open(os.path.join(work, "site", "file.bin"), "rb").read()).hexdigest()
paths = {"direct": (21, "bench"), "moatkeep": (2121, "bench@127.0.0.1")}

def session(port, user):
    ftp = ftplib.FTP(timeout=120)
    ftp.connect("127.0.0.1", port)
    ftp.login(user, "bench")
    ftp.voidcmd("TYPE I")
    return ftp

def retr(port, user):
    ftp = session(port, user)
    received = [0]
    digest = hashlib.sha256()
    def take(block):
        received[0] += len(block)
        digest.update(block)
    start = time.perf_counter()
    ftp.retrbinary("RETR file.bin", take, blocksize=256 * 1024)
    elapsed = time.perf_counter() - start
    ftp.quit()
    assert received[0] == size and digest.hexdigest() == expected, "RETR delivered wrong data"
    return elapsed

def stor(port, user):
    ftp = session(port, user)
    with open(os.path.join(work, "upload.bin"), "rb") as source:
        start = time.perf_counter()
        ftp.storbinary("STOR up-%d.bin" % port, source, blocksize=256 * 1024)
        elapsed = time.perf_counter() - start
    ftp.quit()
    assert os.path.getsize(os.path.join(work, "site", "up-%d.bin" % port)) == size, "STOR stored wrong size"
    return elapsed

rows = []
for name, measure in (("RETR", retr), ("STOR", stor)):
    best = {}
    for _ in range(rounds):
        # Interleaved, so a burst of load elsewhere hits both paths alike.
        for path, (port, user) in paths.items():
            elapsed = measure(port, user)
            best[path] = min(best.get(path, elapsed), elapsed)
    direct = size_mb / best["direct"]
    relay = size_mb / best["moatkeep"]
    rows.append((name, direct, relay, relay / direct))

print()
print("| transfer (%d MB, passive, best of %d) | direct MB/s | moatkeep MB/s | moatkeep / direct |" % (size_mb, rounds))
print("|---|---:|---:|---:|")
for name, direct, relay, ratio in rows:
    print("| %s | %.0f | %.0f | %.2f |" % (name, direct, relay, ratio))
PY
