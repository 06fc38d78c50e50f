#!/usr/bin/env bash
# End to end: the real program on a terminal (tmux panes) dialing the
# simulated modem (busy, redial on the second number, on-line), BREAK from
# a second process, ESC; then the command device with small scripts in
# place of pppd, including a cancelled dial whose process group must end.
set -u
. "$(dirname "$0")/../lib/tmux.sh"
on_exit='[ -s "$tmp/cmd/child.pid" ] && kill -KILL "$(cat "$tmp/cmd/child.pid")" 2>/dev/null'

start() {  # session name, home, connection
  T new-session -d -s "$1" -x 120 -y 20 \
    "env LANG=C.UTF-8 NETROVE_HOME=$2 $BIN/netrove $3; echo \$? > $2/$1.rc; sleep 60"
}

# --- The sim device: busy, redial on the next number, on-line, BREAK, ESC.
home=$tmp/sim
mkdir -p "$home"
printf 'LogFile netrove.log\n[Demo]\nUser demo\nPassword *demo\nPhone 555-0100\nAddPhone 555-0199
DialTime 10\nWaitTime 1\n' >"$home/netrove.dat"
printf '[Demo]\nDevice sim\nAnswer busy 1, connect 1\n' > "$home/phonebook"
log=$home/netrove.log
start sim "$home" Demo
if ! wait_log "$log" 'Connecting to Demo \(555-0100\)'; then
  fail sim "no first dial" "$log"
elif ! wait_log "$log" 'Error 76: The line is busy\.'; then
  fail sim "no busy line" "$log"
elif ! wait_log "$log" 'Connecting to Demo \(555-0199\)'; then
  fail sim "no redial on the second number" "$log"
elif ! wait_screen sim 'On-Line 00:00:0[1-9]'; then
  fail sim "not on-line" "$log"
else
  [ -n "$(ls "$home"/run/*.conn 2>/dev/null)" ] || fail sim "no connection state file" "$log"
  # BREAK from a second process finds the connection and hangs it up.
  out=$(NETROVE_HOME=$home timeout 20 "$BIN/netrove" BREAK '*' </dev/null)
  rc=$?
  [ "$rc" = 0 ] || fail sim "BREAK exit code $rc" "$log"
  grep -qx 'Found connection DEMO - BREAK' <<<"$out" || fail sim "BREAK printed: $out" "$log"
  wait_log "$log" 'Disconnected' || fail sim "the session did not see the link drop" "$log"
  # It redials: back to the first number, busy again.
  wait_log "$log" 'Error 76.*' || fail sim "no redial after the break" "$log"
  T send-keys -t sim Escape
  if ! wait_file "$home/sim.rc" 100; then
    fail sim "ESC did not end the program" "$log"
  else
    [ "$(cat "$home/sim.rc")" = 0 ] || fail sim "exit code $(cat "$home/sim.rc")" "$log"
    screen sim | grep -q 'Exiting\.\.\.\.' || fail sim 'no "Exiting...."' "$log"
  fi
  [ -z "$(ls "$home"/run/*.conn 2>/dev/null)" ] || fail sim "a state file was left behind" "$log"
fi

# --- BREAK with nothing connected.
out=$(NETROVE_HOME=$home timeout 20 "$BIN/netrove" BREAK Demo </dev/null)
[ "$out" = "Not found active connections" ] || fail none "BREAK printed: $out" /dev/null

# --- The command device: scripts stand in for pppd.
home=$tmp/cmd
mkdir -p "$home"
printf '#!/bin/sh\nenv | grep ^NETROVE_ > dial.env\necho "$@" > dial.args\ntouch link.up\n' >"$home/dial.sh"
printf '#!/bin/sh\ntest -e link.up\n' >"$home/status.sh"
printf '#!/bin/sh\nrm -f link.up\necho hung >> hangup.done\n' >"$home/hangup.sh"
printf '#!/bin/sh\nsleep 300 &\necho $! > child.pid\nwait\n' >"$home/slow.sh"
chmod 700 "$home"/*.sh
printf 'LogFile netrove.log\n[Cmd]\nUser alice\nPassword *s3cret\nDialTime 10\nWaitTime 1
[Slow]\nUser bob\nPassword *pw\nDialTime 60\n' >"$home/netrove.dat"
commands='HangupCommand ./hangup.sh\nStatusCommand ./status.sh\n'
printf "[Cmd]\nDevice command\nPhone 555-0123\nDialCommand ./dial.sh\n$commands
[Slow]\nDevice command\nDialCommand \"./slow.sh\"\n$commands" >"$home/phonebook"
log=$home/netrove.log
start cmd "$home" Cmd
if ! wait_screen cmd 'On-Line 00:00:0[1-9]'; then
  fail cmd "not on-line" "$log"
else
  grep -qx 'NETROVE_PASSWORD=s3cret' "$home/dial.env" || fail cmd "password not in the environment" "$log"
  grep -qx 'NETROVE_PHONE=555-0123' "$home/dial.env" || fail cmd "entry number not passed" "$log"
  grep -qx 'NETROVE_USER=alice' "$home/dial.env" || fail cmd "user not passed" "$log"
  [ -n "$(tr -d "\n" < "$home/dial.args")" ] && fail cmd "dial parameters on the command line" "$log"
  T send-keys -t cmd Escape
  wait_file "$home/cmd.rc" 100 || fail cmd "ESC did not end the program" "$log"
  [ -e "$home/hangup.done" ] || fail cmd "the hang-up command did not run" "$log"
  [ -e "$home/link.up" ] && fail cmd "the link is still up" "$log"
fi

# A dial cancelled with ESC ends the dial command's whole process group.
start slow "$home" Slow
if ! wait_file "$home/child.pid" 100; then
  fail slow "the dial command did not start" "$log"
else
  child=$(cat "$home/child.pid")
  wait_screen slow 'Connecting\.\.\. \(5[0-9]\)' || fail slow "no countdown" "$log"
  T send-keys -t slow Escape
  wait_file "$home/slow.rc" 100 || fail slow "ESC did not end the program" "$log"
  for _ in $(seq 1 30); do kill -0 "$child" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$child" 2>/dev/null && fail slow "the dial command's child $child survived" "$log"
fi

finish
