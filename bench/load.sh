#!/usr/bin/env bash
# Load benchmark of the port mappings, run by hand (never part of the
# tests); the load test's scenarios with larger counts, on loopback, the
# program under a hard limit of 1024 descriptors, a fresh one per scenario:
#  - short HTTP/1.0 requests with ab, direct to the origin and through a
#    MAPLINK: rate as a ratio to direct, failures (must be 0), the
#    program's descriptors before and after;
#  - idle connections from 127.0.0.1 held while 127.0.0.2 asks for a page;
#  - datagram round trips one at a time, direct and through a MAPULINK,
#    then a flood from 127.0.0.1 while 127.0.0.2 asks once.
#   bench/load.sh [bin-dir]   (default: build/default/bin)
# Counts: REQUESTS (100000), CONCURRENCY (100), IDLE (5000), DATAGRAMS (20000).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-$here/../build/default/bin}" && pwd)
requests=${REQUESTS:-100000}
concurrency=${CONCURRENCY:-100}
idle=${IDLE:-5000}
datagrams=${DATAGRAMS:-20000}
. "$here/lib.sh"
need_packages ab:apache2-utils prlimit:util-linux

netrove=""
start_work load
origin=$(free_port)
"$work/load" origin "$origin" & pids+=($!)  # the HTTP origin, in C++ so that it is not the limit
wait_port "$origin"
# The UDP responder is the test harness's origin (its other servers go unused here).
coproc UDP_ORIGIN { exec /usr/bin/python3 "$here/../tests/lib/harness.py" origin; }
pids+=($UDP_ORIGIN_PID)
read -r -t 10 _tcp_port echo_port _other_ports <&"${UDP_ORIGIN[0]}"

fds() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

# start_netrove NAME: a fresh program in its own home; sets netrove,
# mapped (TCP) and umapped (UDP).
start_netrove() {
  local home="$work/$1"
  mkdir "$home"
  mapped=$(free_port) umapped=$(free_port)
  printf 'LogFile netrove.log\nMAPLINK %s,127.0.0.1:%s,Hide\nMAPULINK %s,127.0.0.1:%s,Hide\n[bench]\n' \
    "$mapped" "$origin" "$umapped" "$echo_port" > "$home/netrove.dat"
  echo '127.0.0.*' > "$home/maplink.ip"
  echo '127.0.0.*' > "$home/MapULink.ip"
  IPINTERFACENAME=127.0.0.1 NETROVE_HOME="$home" NETROVE_HOSTS="$home/hosts" \
    NETROVE_PHONEBOOK="$home/phonebook" \
    prlimit --nofile=1024:1024 "$bin/netrove" bench PROXY </dev/null >/dev/null 2>&1 &
  netrove=$!
  for _ in $(seq 100); do
    grep -q "PROXY READY" "$home/netrove.log" 2>/dev/null && break
    sleep 0.1
  done
  wait_port "$mapped"
  sleep 0.5
}

stop_netrove() {
  kill -TERM "$netrove" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$netrove" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$netrove" 2>/dev/null || true
  wait "$netrove" 2>/dev/null || true
  netrove=""
}

# ab_run PORT: "rate failed complete" of short requests to the port.
ab_run() {
  local out
  out=$(timeout 600 ab -q -r -s 10 -n "$requests" -c "$concurrency" "http://127.0.0.1:$1/" 2>&1) || true
  awk '/^Requests per second:/ { r = $4 } /^Failed requests:/ { f = $3 }
       /^Complete requests:/ { c = $3 } END { printf "%s %s %s\n", r + 0, f + 0, c + 0 }' <<<"$out"
}

echo "== short HTTP/1.0 requests: $requests at concurrency $concurrency"
read -r direct_rate direct_failed direct_complete < <(ab_run "$origin")
sleep 2  # lets TIME_WAIT settle between runs
start_netrove tcp
before=$(fds "$netrove")
read -r rate failed complete < <(ab_run "$mapped")
sleep 3
after=$(fds "$netrove")
stop_netrove
printf '%-8s %10s %9s %9s %9s\n' "" "req/s" "/direct" "failed" "complete"
printf '%-8s %10s %9s %9s %9s\n' direct "$direct_rate" 1.00 "$direct_failed" "$direct_complete"
printf '%-8s %10s %9s %9s %9s\n' netrove "$rate" "$(ratio "$rate" "$direct_rate")" "$failed" \
  "$complete"
echo "netrove descriptors: $before before, $after 3 s after"

echo "== $idle idle connections from 127.0.0.1, one request from 127.0.0.2"
sleep 2
start_netrove idle
before=$(fds "$netrove")
result=$(timeout 120 /usr/bin/python3 "$here/load_clients.py" idle "$mapped" "$idle")
sleep 3
echo "$result; netrove descriptors: $before before, $(fds "$netrove") 3 s after"
stop_netrove

echo "== datagrams: $datagrams round trips one at a time, then a flood of $datagrams"
start_netrove udp
direct=$(timeout 60 /usr/bin/python3 "$here/load_clients.py" udp-rate "$echo_port" "$datagrams")
mapped_rt=$(timeout 60 /usr/bin/python3 "$here/load_clients.py" udp-rate "$umapped" "$datagrams")
echo "direct: $direct; netrove: $mapped_rt; ratio" \
  "$(ratio "${mapped_rt##*rate=}" "${direct##*rate=}")"
stop_netrove
start_netrove flood
before=$(fds "$netrove")
result=$(timeout 60 /usr/bin/python3 "$here/load_clients.py" flood "$umapped" "$datagrams")
echo "$result; netrove descriptors: $before before, $(fds "$netrove") after"
stop_netrove
echo "($(nproc) cores, $(date -u +%Y-%m-%d), netrove limited to 1024 descriptors)"
