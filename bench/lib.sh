# Helpers shared by the benchmarks (sourced, never run).

# need_packages COMMAND:PACKAGE...: installs the Debian packages whose
# command is missing.
need_packages() {
  local need=() pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null || need+=("${pair#*:}")
  done
  ((${#need[@]})) || return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
}

# start_work NAME [SOURCE]: a scratch folder in $work, removed at exit
# with the processes in $pids (and the program, when the script defines
# stop_netrove and $netrove is set); builds the load client SOURCE
# (default portmap_load.cc) into it as $work/load.
start_work() {
  work=$(mktemp -d "/tmp/netrove-$1-XXXXXX")
  pids=()
  trap cleanup_work EXIT
  g++ -std=c++20 -O2 -pthread "$here/${2:-portmap_load.cc}" -o "$work/load"
}
cleanup_work() {
  [ -n "${netrove:-}" ] && stop_netrove
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

# A port free on 127.0.0.1 right now.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# wait_port PORT: waits up to 10 s for a TCP listener on 127.0.0.1.
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "port $1 never opened" >&2; return 1
}

# ratio A B: A / B to two decimals (0 when B is 0).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# proc_usage PID: "resident-KiB descriptors threads" of a process.
proc_usage() {
  local rss threads
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null)
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$1/status" 2>/dev/null)
  echo "${rss:-0} $(ls "/proc/$1/fd" 2>/dev/null | wc -l) ${threads:-0}"
}
