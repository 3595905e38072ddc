#!/usr/bin/env bash
# CONNECT tunnel benchmark: moatkeep's HTTP tunnels against direct loopback (no proxy) and tinyproxy's
# CONNECT, all measured in the same run inside a private network namespace. 3proxy, the other peer one
# would compare with, is not packaged in Debian 12 (apt-cache search 3proxy finds nothing) and is not
# built here.
#
#   bench/tunnel/run.sh                    uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/tunnel/run.sh
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit; the run takes about
# one minute on two CPUs. Prints a Markdown table at the end.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${TUNNEL_BENCH_NETNS:-}" != "1" ]; then
  bench_install tinyproxy gcc python3
  bench_moatkeep
  WORK="$(mktemp -d /tmp/tunnel-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/tunnelprobe" "$HERE/tunnelprobe.c" || exit 1
  bench_reenter_in_namespace TUNNEL_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
bench_busy_loopback

PROBE="$WORK/tunnelprobe"
DURATION=5          # seconds per measurement
SINK=9001           # counts what a stream sends
ECHO=9002           # echoes a tunnel's byte
RELAY=9003          # moatkeep's plain relay to the sink: the same copy loop without CONNECT

trap bench_stop_servers EXIT

"$PROBE" sink "$SINK" &
PIDS+=($!)
"$PROBE" echo "$ECHO" &
PIDS+=($!)

# moatkeep: its HTTP agent on the HTTP port, tunnels to the two servers' ports.
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like tinyproxy, which logs only errors here.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
Connect Ports=$SINK $ECHO
[Relays]
$RELAY=127.0.0.1:$SINK
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
PIDS+=($!)

# tinyproxy on 8888: loopback allowed, CONNECT to the two ports, errors logged only, enough workers.
cat >"$WORK/tinyproxy.conf" <<TINY
Port 8888
Listen 127.0.0.1
Timeout 600
LogFile "$WORK/tinyproxy.log"
LogLevel Error
PidFile "$WORK/tinyproxy.pid"
MaxClients 256
Allow 127.0.0.1
ConnectPort $SINK
ConnectPort $ECHO
DisableViaHeader Yes
TINY
/usr/bin/tinyproxy -d -c "$WORK/tinyproxy.conf" </dev/null >"$WORK/tinyproxy.stdout" 2>&1 &
PIDS+=($!)

for port in $SINK $ECHO 18082 8888 $RELAY; do
  wait_port "$port" || { tail -5 "$WORK/tinyproxy.stdout" "$WORK/moatkeep.log" 2>/dev/null; exit 1; }
done

NAMES=(direct moatkeep tinyproxy)
declare -A PROXY=([direct]=0 [moatkeep]=18082 [tinyproxy]=8888)
declare -A R

ratio() {  # value reference
  python3 -c 'import sys
try: print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))
except Exception: print("-")' "$1" "$2"
}

field() {  # "a=1 b=2" name
  sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}

echo "load average at start: $(cut -d" " -f1-3 /proc/loadavg) on $(nproc) CPUs; open files limit $(ulimit -n)"
echo "== throughput through one tunnel and through 8 at once (${DURATION} s, bytes counted by the sink)"
for name in "${NAMES[@]}"; do
  for streams in 1 8; do
    line="$(timeout 60 "$PROBE" stream "$SINK" "${PROXY[$name]}" "$streams" "$DURATION")"
    R[$name,gbit$streams]="$(field "$line" gbit_s)"
    echo "$name streams=$streams $line"
    sleep 1
  done
done
for streams in 1 8; do
  line="$(timeout 60 "$PROBE" stream "$RELAY" 0 "$streams" "$DURATION")"
  R[relay,gbit$streams]="$(field "$line" gbit_s)"
  echo "moatkeep plain relay streams=$streams $line"
  sleep 1
done

echo "== tunnels per second (connect, CONNECT, answer, one byte there and back, close; ${DURATION} s)"
for name in "${NAMES[@]}"; do
  for clients in 1 32; do
    line="$(timeout 60 "$PROBE" rate "$ECHO" "${PROXY[$name]}" "$clients" "$DURATION")"
    R[$name,rate$clients]="$(field "$line" rate)"
    echo "$name clients=$clients $line"
    sleep 1
  done
done

echo "load average at end: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "| measure | direct | moatkeep | tinyproxy | moatkeep / direct | moatkeep / tinyproxy |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # label key
  printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[tinyproxy,$2]:-}" \
    "$(ratio "${R[moatkeep,$2]:-}" "${R[direct,$2]:-}")" "$(ratio "${R[moatkeep,$2]:-}" "${R[tinyproxy,$2]:-}")"
}
row "throughput, 1 tunnel, Gbit/s" gbit1
row "throughput, 8 tunnels, Gbit/s" gbit8
row "tunnels/s, 1 client" rate1
row "tunnels/s, 32 clients" rate32
echo
echo "moatkeep's plain relay to the sink in the same run (the same copy loop, no CONNECT): ${R[relay,gbit1]:-} Gbit/s" \
  "with 1 stream, ${R[relay,gbit8]:-} Gbit/s with 8."
for log in moatkeep.log tinyproxy.log; do
  errors="$(grep -ci "sanitizer\|error" "$WORK/$log" 2>/dev/null)"
  if [ "${errors:-0}" -gt 0 ]; then
    echo
    echo "$log: $errors error lines, last lines:"
    tail -5 "$WORK/$log"
  fi
done
