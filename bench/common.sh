# The steps every benchmark script shares, sourced by bench/*/run.sh after
# it has set ROOT (the repository). A script runs twice: first outside, to
# install its peers, build moatkeep and its probe, then again inside a
# private network namespace where it measures.

# bench_install PACKAGE...: installs those of the Debian packages that are
# missing (the run ends when they cannot be had).
bench_install() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y "${missing[@]}" >/dev/null || { apt-get update >/dev/null && apt-get install -y "${missing[@]}" >/dev/null; } || {
    echo "could not install ${missing[*]}" >&2
    exit 1
  }
}

# bench_moatkeep [all]: MOATKEEP names the program (build-bench/moatkeep
# unless set), built in Release when it is not there: the program alone, or
# with "all" every target.
bench_moatkeep() {
  MOATKEEP="${MOATKEEP:-$ROOT/build-bench/moatkeep}"
  [ -x "$MOATKEEP" ] && return 0
  local only=(--target moatkeep)
  [ "${1:-}" = all ] && only=()
  cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$ROOT/build-bench" -j2 "${only[@]}" >/dev/null || { echo "build failed" >&2; exit 1; }
}

# bench_reenter_in_namespace FLAG ARGUMENT...: runs the script again in a
# private network namespace with FLAG=1 (and MOATKEEP and WORK) in its
# environment, then removes WORK and exits with the inner run's status.
bench_reenter_in_namespace() {
  local flag=$1
  shift
  export MOATKEEP WORK "$flag=1"
  unshare -n bash "$0" "$@"
  local status=$?
  rm -rf "$WORK"
  exit $status
}

# Inside the namespace, for benchmarks of many short connections: loopback
# up, descriptors for them (at least DESCRIPTORS, 65536 by default, or the
# hard limit), a wide port range and reuse of TIME_WAIT pairs.
bench_busy_loopback() {
  ip link set lo up
  ulimit -n "${1:-65536}" 2>/dev/null || ulimit -n "$(ulimit -Hn)"
  sysctl -qw net.ipv4.ip_local_port_range="10000 65000" net.ipv4.tcp_tw_reuse=1 net.core.somaxconn=4096
}

# The servers a script starts go into PIDS; they are stopped on exit.
PIDS=()
bench_stop_servers() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
}

# wait_port PORT: up to 10 s for something to accept on 127.0.0.1:PORT.
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}
