#!/usr/bin/env bash
# End to end: the real program on a terminal (tmux panes) dialing the
# simulated modem (busy, redial on the second number, on-line), BREAK from
# a second process, ESC; then the command device with small scripts in
# place of pppd, including a cancelled dial whose process group must end.
set -u
BIN=${NETROVE_BIN:?NETROVE_BIN must name the directory holding netrove}
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (scripts/deps)"; exit 1; }
[ -x "$BIN/netrove" ] || { echo "FAIL: $BIN/netrove is not built"; exit 1; }

sock="netrove_dial_$$_${RANDOM}"
tmp=$(mktemp -d)
T() { tmux -L "$sock" -f /dev/null "$@"; }
cleanup() {
  T kill-server >/dev/null 2>&1
  [ -s "$tmp/cmd/child.pid" ] && kill -KILL "$(cat "$tmp/cmd/child.pid")" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL [$1]: $2"
  T capture-pane -p -t "$1" 2>/dev/null | sed 's/^/  | /'
  [ -f "$3" ] && sed 's/^/  log| /' "$3"
  failures=$((failures + 1))
}
screen() { T capture-pane -p -t "$1"; }
# Bounded polls: $3 tenths of a second at most.
wait_screen() {
  for _ in $(seq 1 "${3:-100}"); do
    screen "$1" | grep -Eq "$2" && return 0
    sleep 0.1
  done
  return 1
}
wait_log() {
  for _ in $(seq 1 "${3:-100}"); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
wait_file() {
  for _ in $(seq 1 "${2:-50}"); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
start() {  # session name, home, connection
  T new-session -d -s "$1" -x 120 -y 20 \
    "env LANG=C.UTF-8 NETROVE_HOME=$2 $BIN/netrove $3; echo \$? > $2/$1.rc; sleep 60"
}

# --- The sim device: busy, redial on the next number, on-line, BREAK, ESC.
home=$tmp/sim
mkdir -p "$home"
cat > "$home/netrove.dat" <<'DAT'
LogFile netrove.log
[Demo]
User demo
Password *demo
Phone 555-0100
AddPhone 555-0199
DialTime 10
WaitTime 1
DAT
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
cat > "$home/dial.sh" <<'SH'
#!/bin/sh
env | grep '^NETROVE_' | sort > dial.env
echo "$@" > dial.args
touch link.up
SH
cat > "$home/status.sh" <<'SH'
#!/bin/sh
test -e link.up
SH
cat > "$home/hangup.sh" <<'SH'
#!/bin/sh
rm -f link.up
echo hung >> hangup.done
SH
cat > "$home/slow.sh" <<'SH'
#!/bin/sh
sleep 300 &
echo $! > child.pid
wait
SH
chmod 700 "$home"/*.sh
cat > "$home/netrove.dat" <<'DAT'
LogFile netrove.log
[Cmd]
User alice
Password *s3cret
DialTime 10
WaitTime 1
[Slow]
User bob
Password *pw
DialTime 60
DAT
cat > "$home/phonebook" <<'PB'
[Cmd]
Device command
Phone 555-0123
DialCommand ./dial.sh
HangupCommand ./hangup.sh
StatusCommand ./status.sh
[Slow]
Device command
DialCommand "./slow.sh"
HangupCommand ./hangup.sh
StatusCommand ./status.sh
PB
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

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "dial session end to end: ok"
