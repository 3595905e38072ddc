#!/usr/bin/env bash
# SOCKS benchmark: moatkeep's SOCKS agent, SOCKS 4 and SOCKS 5, against direct loopback (no SOCKS) and
# Dante (danted), all measured in the same run inside a private network namespace. socat has no SOCKS
# server side (only SOCKS client addresses), so it is not among the references; 3proxy is not packaged
# in Debian 12 (apt-cache knows no such package) and is not built here from elsewhere.
#
#   bench/socks/run.sh                 uses build-bench/moatkeep (built in Release if missing)
#   MOATKEEP=/path/to/moatkeep bench/socks/run.sh
#
# Needs root (apt-get, unshare -n). Every server it starts is stopped on exit; the run takes about
# one minute on two CPUs. Prints a Markdown table at the end.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${SOCKS_BENCH_NETNS:-}" != "1" ]; then
  bench_install dante-server nginx gcc python3
  bench_moatkeep
  WORK="$(mktemp -d /tmp/socks-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/socksprobe" "$HERE/socksprobe.c" || exit 1
  bench_reenter_in_namespace SOCKS_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
bench_busy_loopback

PROBE="$WORK/socksprobe"
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

# moatkeep: its SOCKS agent is always on 1080; no relays needed.
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
# Log level 0 (fatal only): like the references, which log nothing per connection; at level 1
# every connection would also log that no dial-up link was made.
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=0
[Relays]
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
MOATKEEP_PID=$!
PIDS+=($MOATKEEP_PID)

# Dante on 1081: no authentication, everything on loopback allowed, errors logged only.
cat >"$WORK/danted.conf" <<DANTE
logoutput: $WORK/danted.log
internal: 127.0.0.1 port = 1081
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  log: error
}
socks pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  command: connect
  log: error
}
DANTE
/usr/sbin/danted -f "$WORK/danted.conf" -p "$WORK/danted.pid" </dev/null >"$WORK/danted.stdout" 2>&1 &
DANTE_PID=$!
PIDS+=($DANTE_PID)

for port in 8080 1080 1081; do
  wait_port "$port" || { tail -5 "$WORK/danted.log" "$WORK/moatkeep.log" 2>/dev/null; exit 1; }
done

NAMES=(direct moatkeep dante)
declare -A SOCKS=([direct]=0 [moatkeep]=1080 [dante]=1081)
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
# Direct is measured once; the SOCKS servers with each version (the probe's SOCKSPROBE_VERSION).
measure() {  # name version: connections per second and the body, into R[name,<key><version>]
  local name=$1 version=$2 line clients
  for clients in 1 32; do
    line="$(SOCKSPROBE_VERSION=$version timeout 60 "$PROBE" rate 8080 "$DURATION" "$clients" "${SOCKS[$name]}")"
    R[$name,cps$clients.$version]="$(field "$line" rate)"
    echo "$name socks$version clients=$clients $line"
    sleep 1
  done
  line="$(SOCKSPROBE_VERSION=$version timeout 120 "$PROBE" fetch 8080 /big "$DURATION" "${SOCKS[$name]}")"
  R[$name,body.$version]="$(field "$line" mbyte_s)"
  echo "$name socks$version $BODY_MB MB bodies $line"
  sleep 1
}
echo "== connections per second (CONNECT, HTTP/1.0 to nginx, ${DURATION} s) and $BODY_MB MB bodies one after another"
measure direct 4
for version in 4 5; do
  R[direct,cps1.$version]="${R[direct,cps1.4]}"
  R[direct,cps32.$version]="${R[direct,cps32.4]}"
  R[direct,body.$version]="${R[direct,body.4]}"
done
for version in 4 5; do
  for name in moatkeep dante; do
    measure "$name" "$version"
  done
done

echo "load average at end: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "| measure | direct | moatkeep | Dante | moatkeep / direct | moatkeep / Dante |"
echo "|---|---:|---:|---:|---:|---:|"
row() {  # label key
  printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "${R[direct,$2]:-}" "${R[moatkeep,$2]:-}" "${R[dante,$2]:-}" \
    "$(ratio "${R[moatkeep,$2]:-}" "${R[direct,$2]:-}")" "$(ratio "${R[moatkeep,$2]:-}" "${R[dante,$2]:-}")"
}
for version in 4 5; do
  row "SOCKS $version connections/s, 1 client" "cps1.$version"
  row "SOCKS $version connections/s, 32 clients" "cps32.$version"
  row "SOCKS $version $BODY_MB MB body, MB/s" "body.$version"
done
# The readiness check connects and closes without a request: one protocol error in each log is its own.
for log in moatkeep.log danted.log; do
  errors="$(grep -ci "sanitizer\|error" "$WORK/$log" 2>/dev/null)"
  if [ "${errors:-0}" -gt 1 ]; then
    echo
    echo "$log: $errors error lines (one from the readiness check), last lines:"
    tail -5 "$WORK/$log"
  fi
done
