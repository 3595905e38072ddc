#!/usr/bin/env bash
# Status page under load: how long "control.html" takes to answer while 1,000 relayed connections are
# open through moatkeep. Needs root (unshare -n); uses bench/relay/relayprobe.c as the echo server.
#
#   bench/status/run.sh                 uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/status/run.sh
set -u
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"
CONNECTIONS="${CONNECTIONS:-1000}"

if [ "${STATUS_BENCH_NETNS:-}" != "1" ]; then
  bench_moatkeep
  export MOATKEEP STATUS_BENCH_NETNS=1
  exec unshare -n bash -c 'ip link set lo up && exec "$0"' "$HERE/run.sh"
fi

WORK="$(mktemp -d)"
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
gcc -O2 -pthread -o "$WORK/relayprobe" "$ROOT/bench/relay/relayprobe.c" || exit 1
"$WORK/relayprobe" echo 7007 600 &
PIDS+=($!)

mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
cp "$(dirname "$MOATKEEP")"/*.html "$(dirname "$MOATKEEP")"/*.gif "$WORK/moatkeep/" 2>/dev/null
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
17007=127.0.0.1:7007
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
PIDS+=($!)
for _ in $(seq 100); do
  curl -s -o /dev/null http://127.0.0.1:18082/ && break
  sleep 0.05
done

python3 - "$CONNECTIONS" <<'PY'
import socket, subprocess, sys
count = int(sys.argv[1])
held = []
for _ in range(count):
    conn = socket.create_connection(("127.0.0.1", 17007), timeout=5)
    conn.sendall(b"x")
    conn.recv(1)
    held.append(conn)
times = []
for _ in range(20):
    result = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "-u", "admin:pebble",
                             "http://127.0.0.1:18082/control.html"], capture_output=True, text=True, timeout=30)
    code, seconds = result.stdout.split()
    if code != "200":
        sys.exit("control.html answered %s" % code)
    times.append(float(seconds) * 1000)
times.sort()
print("| open connections | answers | median ms | slowest ms |")
print("|---:|---:|---:|---:|")
print("| %d | %d | %.1f | %.1f |" % (count, len(times), times[len(times) // 2], times[-1]))
for conn in held:
    conn.close()
PY
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
