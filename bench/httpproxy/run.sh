#!/usr/bin/env bash
# HTTP proxy benchmark: moatkeep's HTTP agent against direct loopback (no proxy) and tinyproxy, all
# measured in the same run inside a private network namespace, with nginx as the server.
#
#   bench/httpproxy/run.sh                 uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/httpproxy/run.sh
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit; the run takes about
# one minute on two CPUs. Prints a Markdown table at the end.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${HTTPPROXY_BENCH_NETNS:-}" != "1" ]; then
  bench_install tinyproxy nginx gcc python3
  bench_moatkeep
  WORK="$(mktemp -d /tmp/httpproxy-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/httpprobe" "$HERE/httpprobe.c" || exit 1
  bench_reenter_in_namespace HTTPPROXY_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
bench_busy_loopback

PROBE="$WORK/httpprobe"
DURATION=5          # seconds per measurement
BODY_MB=100

trap bench_stop_servers EXIT

# Back end: nginx on 8080 answering "200 ok" at / and serving a 100 MB file at /big.
mkdir -p "$WORK/nginx/logs" "$WORK/nginx/tmp" "$WORK/nginx/html"
head -c "$((BODY_MB * 1000 * 1000))" /dev/zero >"$WORK/nginx/html/big"
cat >"$WORK/nginx/nginx.conf" <<NGINX
worker_processes 1;
master_process off;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  server {
    listen 127.0.0.1:8080 backlog=4096;
    location = / { return 200 "ok\n"; }
    location = /big { root $WORK/nginx/html; }
  }
}
NGINX
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" >"$WORK/nginx/stdout.log" 2>&1 &
PIDS+=($!)

# moatkeep: its HTTP agent on the HTTP port; no relays needed.
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like tinyproxy, which logs only errors here.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
MOATKEEP_PID=$!
PIDS+=($MOATKEEP_PID)

# tinyproxy on 8888: loopback allowed, errors logged only, enough workers for 32 clients.
cat >"$WORK/tinyproxy.conf" <<TINY
Port 8888
Listen 127.0.0.1
Timeout 600
LogFile "$WORK/tinyproxy.log"
LogLevel Error
PidFile "$WORK/tinyproxy.pid"
MaxClients 256
Allow 127.0.0.1
ViaProxyName "tinyproxy"
DisableViaHeader Yes
TINY
/usr/bin/tinyproxy -d -c "$WORK/tinyproxy.conf" </dev/null >"$WORK/tinyproxy.stdout" 2>&1 &
PIDS+=($!)

for port in 8080 18082 8888; do
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
echo "== requests per second (one HTTP/1.0 GET per connection, 3-byte answer from nginx, ${DURATION} s)"
for name in "${NAMES[@]}"; do
  for clients in 1 32; do
    line="$(timeout 60 "$PROBE" rate 8080 "$DURATION" "$clients" "${PROXY[$name]}")"
    R[$name,cps$clients]="$(field "$line" rate)"
    echo "$name clients=$clients $line"
    sleep 1
  done
done

echo "== $BODY_MB MB bodies, one after another (${DURATION} s)"
for name in "${NAMES[@]}"; do
  line="$(timeout 120 "$PROBE" fetch 8080 /big "$DURATION" "${PROXY[$name]}")"
  R[$name,body]="$(field "$line" mbyte_s)"
  echo "$name $line"
  sleep 1
done

echo "load average at end: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "| measure | direct | moatkeep | tinyproxy | moatkeep / direct | moatkeep / tinyproxy |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # label key
  printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[tinyproxy,$2]:-}" \
    "$(ratio "${R[moatkeep,$2]:-}" "${R[direct,$2]:-}")" "$(ratio "${R[moatkeep,$2]:-}" "${R[tinyproxy,$2]:-}")"
}
row "requests/s, 1 client" cps1
row "requests/s, 32 clients" cps32
row "$BODY_MB MB body, MB/s" body
for log in moatkeep.log tinyproxy.log; do
  errors="$(grep -ci "sanitizer\|error" "$WORK/$log" 2>/dev/null)"
  if [ "${errors:-0}" -gt 0 ]; then
    echo
    echo "$log: $errors error lines, last lines:"
    tail -5 "$WORK/$log"
  fi
done
