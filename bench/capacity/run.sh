#!/usr/bin/env bash
# Capacity benchmark: how many relayed connections moatkeep holds at once on this machine, and the
# resident memory each costs. Idle echoing connections are opened through one TCP relay in growing
# steps; a step counts only if every connection echoes once on arrival and again after two idle
# seconds. The first step that fails (or the largest one asked for) ends the run, and the table names
# what failed. Between steps the program must fall back to its idle thread count.
#
#   bench/capacity/run.sh                       steps 5000 7500 9000 9900 12000 16000 20000 30000
#   STEPS="1000 2000" bench/capacity/run.sh
#   MOATKEEP=/path/to/moatkeep bench/capacity/run.sh
#
# Needs root (unshare -n, descriptor limits). Each connection costs the program two descriptors and
# one thread, so besides memory the limits on open files and threads (kernel.pid_max,
# kernel.threads-max, vm.max_map_count for the stacks) end the climb; the run prints them. Where the
# hard limit on open files cannot be raised (a container without CAP_SYS_RESOURCE), it is the bound:
# about half of it.
set -u

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../common.sh
. "$ROOT/bench/common.sh"

if [ "${CAPACITY_BENCH_NETNS:-}" != "1" ]; then
  bench_moatkeep all
  WORK="$(mktemp -d /tmp/capacity-bench.XXXXXX)"
  gcc -O2 -Wall -pthread -o "$WORK/relayprobe" "$ROOT/bench/relay/relayprobe.c" || exit 1
  bench_reenter_in_namespace CAPACITY_BENCH_NETNS "$@"
fi

# ---- inside the namespace ----
bench_busy_loopback 1048576

PROBE="$WORK/relayprobe"
STEPS="${STEPS:-5000 7500 9000 9900 12000 16000 20000 30000}"
trap bench_stop_servers EXIT

field() { sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"; }
threads_of() { sed -n 's/^Threads:\s*//p' "/proc/$1/status" 2>/dev/null; }

"$PROBE" echo 7007 3600 &
PIDS+=($!)
mkdir -p "$WORK/moatkeep"
cp "$MOATKEEP" "$WORK/moatkeep/moatkeep"
cat >"$WORK/moatkeep/moatkeep.INI" <<INI
[Globals]
HTTP Port=18082
Log Level=1
[Relays]
17007=127.0.0.1:7007
INI
"$WORK/moatkeep/moatkeep" debug </dev/null >/dev/null 2>"$WORK/moatkeep.log" &
MOATKEEP_PID=$!
PIDS+=($MOATKEEP_PID)
sleep 1
IDLE_THREADS="$(threads_of "$MOATKEEP_PID")"
IDLE_RSS="$(sed -n 's/^VmRSS:\s*\([0-9]*\).*/\1/p' "/proc/$MOATKEEP_PID/status")"

echo "limits: kernel.pid_max=$(sysctl -n kernel.pid_max) kernel.threads-max=$(sysctl -n kernel.threads-max)" \
  "vm.max_map_count=$(sysctl -n vm.max_map_count) open files=$(ulimit -n);" \
  "memory $(free -g | awk '/^Mem:/ {print $2}') GiB; $(nproc) CPUs; idle: $IDLE_THREADS threads, VmRSS $IDLE_RSS KiB"
echo
# Memory per connection: the resident memory above the idle program's, shared out over the held links.
echo "| connections asked | held | echoed on arrival | echoed after idle | threads | VmRSS KiB | KiB per connection |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
best=""
for count in $STEPS; do
  line="$(timeout 300 "$PROBE" hold 17007 "$count" "$MOATKEEP_PID")"
  held="$(field "$line" connections)"
  rss="$(field "$line" rss_after_second_echo_kib)"
  per="-"
  [ -n "$held" ] && [ "${held:-0}" -gt 0 ] && [ -n "$rss" ] && per="$(awk -v r="$rss" -v i="$IDLE_RSS" -v n="$held" 'BEGIN {printf "%.1f", (r - i) / n}')"
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$count" "${held:--}" "$(field "$line" echoed_first)" \
    "$(field "$line" echoed_after_idle)" "$(field "$line" threads_after)" "${rss:--}" "$per"
  if [ -z "$held" ] || [ "$held" != "$count" ] || [ "$(field "$line" echoed_after_idle)" != "$count" ]; then
    echo
    echo "step $count failed; what moatkeep logged about it:"
    grep -E "Accept failed|No thread can be started" "$WORK/moatkeep.log" | head -3
    break
  fi
  best="$count"
  # The links end as the probe closes its side; wait (bounded) until their threads are gone.
  for _ in $(seq 120); do
    [ "$(threads_of "$MOATKEEP_PID")" -le $((IDLE_THREADS + 64)) ] && break
    sleep 0.5
  done
done
echo
echo "largest step held with every connection echoing: ${best:-none}"
if ! kill -0 "$MOATKEEP_PID" 2>/dev/null; then echo "moatkeep is no longer running" >&2; exit 1; fi
