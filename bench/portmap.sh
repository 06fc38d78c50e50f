#!/usr/bin/env bash
# Port-mapping benchmark, run by hand (never part of the tests). On
# loopback: one 200 MiB transfer and 5000 short connections (1 KiB each
# way, 4 clients at once), direct to the origin and through a MAPLINK of
# the real program, rinetd and socat. Prints each as a ratio to direct and
# to rinetd, and the program's bulk rate against a direct transfer read in
# 512-byte receives (the program's receive size: its ceiling).
#   bench/portmap.sh [bin-dir]   (default: build/release/bin)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/release/bin}
bulk_bytes=$((200 * 1024 * 1024))
short_count=${SHORT_COUNT:-5000}

. "$here/lib.sh"
need_packages rinetd:rinetd socat:socat
rinetd_bin=$(command -v rinetd || echo /usr/sbin/rinetd)

start_work bench

origin=$(free_port)
"$work/load" origin "$origin" & pids+=($!)
wait_port "$origin"

# The program under test: proxy mode with one hidden mapping, which binds
# to the interface name's address, here 127.0.0.1.
mapped=$(free_port)
mkdir "$work/home"
printf 'MAPLINK %s,127.0.0.1:%s,Hide\n[bench]\n' "$mapped" "$origin" > "$work/home/netrove.dat"
echo 127.0.0.1 > "$work/home/maplink.ip"
IPINTERFACENAME=127.0.0.1 NETROVE_HOME="$work/home" NETROVE_HOSTS="$work/home/hosts" \
  "$bin/netrove" bench PROXY \
  </dev/null >/dev/null 2>&1 & pids+=($!)
wait_port "$mapped"

rinetd_port=$(free_port)
printf '127.0.0.1 %s 127.0.0.1 %s\n' "$rinetd_port" "$origin" > "$work/rinetd.conf"
"$rinetd_bin" -f -c "$work/rinetd.conf" & pids+=($!)
wait_port "$rinetd_port"

socat_port=$(free_port)
socat "TCP-LISTEN:$socat_port,bind=127.0.0.1,fork,reuseaddr,backlog=512" \
  "TCP:127.0.0.1:$origin" & pids+=($!)
wait_port "$socat_port"

declare -A bulk short
for name in direct netrove rinetd socat; do
  case $name in
    direct) port=$origin ;; netrove) port=$mapped ;;
    rinetd) port=$rinetd_port ;; socat) port=$socat_port ;;
  esac
  bulk[$name]=$(timeout 300 "$work/load" bulk "$port" "$bulk_bytes")
  sleep 1
  short[$name]=$(timeout 300 "$work/load" short "$port" "$short_count")
  sleep 2  # let TIME_WAIT settle between runs
done
bulk512=$(timeout 300 "$work/load" bulk "$origin" "$bulk_bytes" 512)

printf '%-8s %12s %9s %9s %12s %9s %9s\n' "" "bulk MiB/s" "/direct" "/rinetd" \
  "short conn/s" "/direct" "/rinetd"
for name in direct netrove rinetd socat; do
  printf '%-8s %12s %9s %9s %12s %9s %9s\n' "$name" "${bulk[$name]}" \
    "$(ratio "${bulk[$name]}" "${bulk[direct]}")" "$(ratio "${bulk[$name]}" "${bulk[rinetd]}")" \
    "${short[$name]}" "$(ratio "${short[$name]}" "${short[direct]}")" \
    "$(ratio "${short[$name]}" "${short[rinetd]}")"
done
printf 'direct in 512-byte receives: %s MiB/s; netrove / that: %s\n' "$bulk512" \
  "$(ratio "${bulk[netrove]}" "$bulk512")"
echo "($(nproc) cores, $(date -u +%Y-%m-%d), 200 MiB bulk, $short_count short connections)"
