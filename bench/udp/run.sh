#!/usr/bin/env bash
# UDP relay benchmark: request/reply exchanges through moatkeep's UDP relay against direct loopback and
# socat (UDP4-RECVFROM with fork: one process per datagram), all measured in the same run inside a private
# network namespace, against a C echo server.
#
#   bench/udp/run.sh                   uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/udp/run.sh
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit; the run takes about
# 40 seconds. Prints a Markdown table at the end.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${UDP_BENCH_NETNS:-}" != "1" ]; then
  bench_install socat gcc python3
  bench_moatkeep
  WORK="$(mktemp -d /tmp/udp-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/udpprobe" "$HERE/udpprobe.c" || exit 1
  bench_reenter_in_namespace UDP_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
ip link set lo up

PROBE="$WORK/udpprobe"
DURATION=5          # seconds per measurement
SIZE=64             # bytes each way
WAIT_MS=250         # a reply later than this counts as lost
ECHO=5300

trap bench_stop_servers EXIT

# Echo server on 5300, for longer than the whole run.
"$PROBE" echo "$ECHO" 300 2>"$WORK/echo.log" &
PIDS+=($!)

# moatkeep: relay 15300/udp; its HTTP port and SOCKS agent are on TCP ports no back end uses.
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like the references, which log nothing per connection; at level 1
# every connection would also log that no dial-up link was made.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
15300/udp=127.0.0.1:$ECHO
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
MOATKEEP_PID=$!
PIDS+=($MOATKEEP_PID)

# socat: 25300, a child process per datagram.
socat "UDP4-RECVFROM:25300,bind=127.0.0.1,fork" "UDP4-SENDTO:127.0.0.1:$ECHO" 2>"$WORK/socat.log" &
PIDS+=($!)

# Ready once one exchange goes through each (up to 10 s).
for port in $ECHO 15300 25300; do
  ready=0
  for _ in $(seq 20); do
    line="$("$PROBE" rate "$port" 0.2 1 "$SIZE" 100)"
    case "$line" in exchanges=0\ *) sleep 0.3 ;; *) ready=1; break ;; esac
  done
  [ "$ready" = 1 ] || { echo "no reply through port $port" >&2; exit 1; }
done

NAMES=(direct moatkeep socat)
declare -A PORT=([direct]=$ECHO [moatkeep]=15300 [socat]=25300)
declare -A R

ratio() {  # value reference
  python3 -c 'import sys
try: print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))
except Exception: print("-")' "$1" "$2"
}

field() {  # "a=1 b=2" name
  sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}

echo "load average at start: $(cut -d" " -f1-3 /proc/loadavg) on $(nproc) CPUs"
echo "== exchanges per second ($SIZE bytes each way, reply within $WAIT_MS ms, ${DURATION} s)"
for name in "${NAMES[@]}"; do
  for clients in 1 8; do
    line="$(timeout 60 "$PROBE" rate "${PORT[$name]}" "$DURATION" "$clients" "$SIZE" "$WAIT_MS")"
    R[$name,rate$clients]="$(field "$line" rate)"
    R[$name,lost$clients]="$(field "$line" lost)"
    echo "$name clients=$clients $line threads=$(grep -s Threads: /proc/$MOATKEEP_PID/status | cut -f2)"
    sleep 1
  done
done
echo "load average at end: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "| measure | direct | moatkeep | socat | moatkeep / direct | moatkeep / socat |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # label key
  printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[socat,$2]:-}" \
    "$(ratio "${R[moatkeep,$2]:-}" "${R[direct,$2]:-}")" "$(ratio "${R[moatkeep,$2]:-}" "${R[socat,$2]:-}")"
}
row "exchanges/s, 1 client" rate1
row "exchanges/s, 8 clients" rate8
count_row() {  # label key: no ratios for counts of lost exchanges
  printf '| %s | %s | %s | %s | | |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[socat,$2]:-}"
}
count_row "lost, 1 client" lost1
count_row "lost, 8 clients" lost8
if grep -qi "sanitizer\|error" "$WORK/moatkeep.log"; then
  echo
  echo "moatkeep log (last lines):"
  tail -5 "$WORK/moatkeep.log"
fi
