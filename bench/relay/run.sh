#!/usr/bin/env bash
# Relay benchmark: moatkeep against direct loopback, rinetd (event loop) and socat (a process per
# connection), all measured in the same run inside a private network namespace.
#
#   bench/relay/run.sh                 uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/relay/run.sh
#   RELAY_BENCH_ONLY=cps ROUNDS=3 bench/relay/run.sh   only the connection rates, three rounds in turn
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit; the run takes about
# two and a half minutes on two CPUs. Prints a Markdown table at the end.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${RELAY_BENCH_NETNS:-}" != "1" ]; then
  bench_install iperf3 rinetd socat nginx gcc
  bench_moatkeep all
  WORK="$(mktemp -d /tmp/relay-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/relayprobe" "$HERE/relayprobe.c" || exit 1
  bench_reenter_in_namespace RELAY_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
bench_busy_loopback

PROBE="$WORK/relayprobe"
DURATION=5          # seconds per throughput and connection-rate measurement
ROUND_TRIPS=20000
HELD=5000

trap bench_stop_servers EXIT

# Back ends: iperf3 5201, nginx 8080, echo 7007.
iperf3 -s -p 5201 >"$WORK/iperf3-server.log" 2>&1 &
PIDS+=($!)
mkdir -p "$WORK/nginx/logs" "$WORK/nginx/tmp"
cat >"$WORK/nginx/nginx.conf" <<NGINX
worker_processes 1;
master_process off;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  server {
    listen 127.0.0.1:8080 backlog=4096;
    location / { return 200 "ok\n"; }
  }
}
NGINX
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" >"$WORK/nginx/stdout.log" 2>&1 &
PIDS+=($!)
"$PROBE" echo 7007 600 &
PIDS+=($!)

# moatkeep: 15201, 18080, 17007.
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like the references, which log nothing per connection; at level 1
# every connection would also log that no dial-up link was made.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
15201=127.0.0.1:5201
18080=127.0.0.1:8080
17007=127.0.0.1:7007
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
MOATKEEP_PID=$!
PIDS+=($MOATKEEP_PID)

# rinetd: 25201, 28080, 27007.
cat >"$WORK/rinetd.conf" <<RINETD
127.0.0.1 25201 127.0.0.1 5201
127.0.0.1 28080 127.0.0.1 8080
127.0.0.1 27007 127.0.0.1 7007
RINETD
rinetd -f -c "$WORK/rinetd.conf" >"$WORK/rinetd.log" 2>&1 &
PIDS+=($!)

# socat, one process per relay, forking per connection: 35201, 38080, 37007.
for pair in 35201:5201 38080:8080 37007:7007; do
  socat "TCP-LISTEN:${pair%%:*},bind=127.0.0.1,reuseaddr,fork,backlog=4096" "TCP:127.0.0.1:${pair##*:}" 2>>"$WORK/socat.log" &
  PIDS+=($!)
done

for port in 5201 8080 7007 15201 18080 17007 25201 28080 27007 35201 38080 37007; do
  wait_port "$port" || exit 1
done

NAMES=(direct moatkeep rinetd socat)
declare -A BASE=([direct]=0 [moatkeep]=10000 [rinetd]=20000 [socat]=30000)
declare -A R

throughput() {  # port streams -> Gbit/s received
  local json
  json="$(timeout 30 iperf3 -c 127.0.0.1 -p "$1" -t "$DURATION" -P "$2" -J 2>/dev/null)"
  python3 -c 'import json,sys; print("%.2f" % (json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"]/1e9))' <<<"$json" 2>/dev/null || echo "fail"
}

ratio() {  # value reference
  python3 -c 'import sys
try: print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))
except Exception: print("-")' "$1" "$2"
}

field() {  # "a=1 b=2" name
  sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}

echo "load average at start: $(cut -d" " -f1-3 /proc/loadavg) on $(nproc) CPUs; open files limit $(ulimit -n)"
ONLY="${RELAY_BENCH_ONLY:-}"
ROUNDS="${ROUNDS:-1}"
[ -z "$ONLY" ] || [ "$ONLY" = tp ] && echo "== throughput (iperf3 -t $DURATION)"
[ -z "$ONLY" ] || [ "$ONLY" = tp ] && for name in "${NAMES[@]}"; do
  port=$((BASE[$name] + 5201))
  [ "$name" = direct ] && port=5201
  for streams in 1 8; do
    R[$name,tp$streams]="$(throughput "$port" "$streams")"
    echo "$name streams=$streams ${R[$name,tp$streams]} Gbit/s"
    sleep 1
  done
done

# With ROUNDS > 1 the peers take turns round after round and the median of each is reported, so a
# passing disturbance of the machine does not decide the comparison.
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
if [ -z "$ONLY" ] || [ "$ONLY" = cps ]; then
  echo "== connections per second (HTTP/1.0 to nginx, ${DURATION} s, $ROUNDS round(s))"
  declare -A SAMPLES PAIRED
  for round in $(seq "$ROUNDS"); do
    for name in "${NAMES[@]}"; do
      port=$((BASE[$name] + 8080))
      [ "$name" = direct ] && port=8080
      for clients in 1 32; do
        line="$(timeout 60 "$PROBE" rate "$port" "$DURATION" "$clients")"
        SAMPLES[$name,$clients]="${SAMPLES[$name,$clients]:-} $(field "$line" rate)"
        echo "round $round $name clients=$clients $line"
        sleep 1
      done
    done
  done
  for name in "${NAMES[@]}"; do
    for clients in 1 32; do
      # shellcheck disable=SC2086
      R[$name,cps$clients]="$(median ${SAMPLES[$name,$clients]})"
    done
  done
  # Each round's moatkeep and rinetd figures are taken seconds apart, so their ratio is the fairest
  # comparison on a machine whose other load comes and goes.
  if [ "$ROUNDS" -gt 1 ]; then
    for clients in 1 32; do
      read -r -a mk <<<"${SAMPLES[moatkeep,$clients]}"
      read -r -a ri <<<"${SAMPLES[rinetd,$clients]}"
      ratios=()
      for i in "${!mk[@]}"; do ratios+=("$(ratio "${mk[$i]}" "${ri[$i]:-}")"); done
      PAIRED[$clients]="$(median "${ratios[@]}") (rounds: ${ratios[*]})"
    done
  fi
fi

[ -z "$ONLY" ] || [ "$ONLY" = rtt ] && echo "== round-trip latency ($ROUND_TRIPS x 64 bytes)"
[ -z "$ONLY" ] || [ "$ONLY" = rtt ] && for name in "${NAMES[@]}"; do
  port=$((BASE[$name] + 7007))
  [ "$name" = direct ] && port=7007
  line="$(timeout 90 "$PROBE" latency "$port" "$ROUND_TRIPS" 64)"
  R[$name,p50]="$(field "$line" p50_us)"
  R[$name,p99]="$(field "$line" p99_us)"
  echo "$name $line"
done

HOLD_LINE=""
if [ -z "$ONLY" ] || [ "$ONLY" = hold ]; then
  echo "== $HELD idle connections held through moatkeep"
  HOLD_LINE="$(timeout 150 "$PROBE" hold 17007 "$HELD" "$MOATKEEP_PID")"
  echo "$HOLD_LINE"
fi

echo "load average at end: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "| measure | direct | moatkeep | rinetd | socat | moatkeep / direct | moatkeep / rinetd |"
echo "|---|---:|---:|---:|---:|---:|---:|"
row() {  # label key
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[rinetd,$2]:-}" \
    "${R[socat,$2]:-}" "$(ratio "${R[moatkeep,$2]:-}" "${R[direct,$2]:-}")" "$(ratio "${R[moatkeep,$2]:-}" "${R[rinetd,$2]:-}")"
}
row "throughput, 1 stream, Gbit/s" tp1
row "throughput, 8 streams, Gbit/s" tp8
row "connections/s, 1 client" cps1
row "connections/s, 32 clients" cps32
row "round trip p50, µs" p50
row "round trip p99, µs" p99
if [ -n "${PAIRED[1]:-}" ]; then
  echo
  echo "moatkeep / rinetd, median of the per-round ratios: 1 client ${PAIRED[1]}; 32 clients ${PAIRED[32]}"
fi
echo
printf '| held connections | echoing after idle | VmRSS before KiB | VmRSS after KiB | threads after | KiB per connection |\n'
printf '|---:|---:|---:|---:|---:|---:|\n'
printf '| %s | %s | %s | %s | %s | %s |\n' "$(field "$HOLD_LINE" connections)" "$(field "$HOLD_LINE" echoed_after_idle)" \
  "$(field "$HOLD_LINE" rss_before_kib)" "$(field "$HOLD_LINE" rss_after_second_echo_kib)" \
  "$(field "$HOLD_LINE" threads_after)" "$(field "$HOLD_LINE" kib_per_connection)"
if grep -qi "sanitizer\|error" "$WORK/moatkeep.log"; then
  echo
  echo "moatkeep log (last lines):"
  tail -5 "$WORK/moatkeep.log"
fi
