#!/usr/bin/env bash
# End to end: "netrove WAIT 1" on a real terminal (a tmux pane) and without
# one. Each run gets its own tmux server, killed at the end.
set -u
BIN=${NETROVE_BIN:?NETROVE_BIN must name the directory holding netrove}
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (scripts/deps)"; exit 1; }
[ -x "$BIN/netrove" ] || { echo "FAIL: $BIN/netrove is not built"; exit 1; }

sock="netrove_wait_$$_${RANDOM}"
tmp=$(mktemp -d)
T() { tmux -L "$sock" -f /dev/null "$@"; }
cleanup() {
  T kill-server >/dev/null 2>&1
  [ -n "${bare_pid:-}" ] && kill -KILL "$bare_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL [$1]: $2"
  T capture-pane -p -t "$1" 2>/dev/null | sed 's/^/  | /'
  failures=$((failures + 1))
}

# Runs "netrove WAIT 1" in a new session; afterwards the pane's shell writes
# the exit code and the terminal settings to files.
start() {
  T new-session -d -s "$1" -x 100 -y 12 \
    "env LANG=C.UTF-8 NETROVE_HOME=$tmp $BIN/netrove WAIT 1; echo \$? > $tmp/$1.rc; stty -a > $tmp/$1.stty; sleep 60"
}

screen() { T capture-pane -p -t "$1"; }

# Polls (bounded) until the pane shows text matching $2.
wait_screen() {
  for _ in $(seq 1 50); do
    screen "$1" | grep -Eq "$2" && return 0
    sleep 0.1
  done
  return 1
}

wait_file() {
  for _ in $(seq 1 "${2:-30}"); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

countdown_lines() { screen "$1" | grep -Ec '^[0-9]{2}:[0-9]{2}:[0-9]{2} *$'; }

terminal_restored() {
  local words
  words=$(tr ' ;' '\n\n' < "$tmp/$1.stty")
  grep -qx icanon <<<"$words" && grep -qx echo <<<"$words"
}

# --- ESC ends the wait at once; arrows, F-keys and Alt+letter do not.
start esc
if ! wait_screen esc 'Press ESC to abort'; then
  fail esc 'no "Press ESC to abort"'
elif ! wait_screen esc '^00:00:5[0-9]'; then
  fail esc 'no countdown'
else
  first=$(screen esc | grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}')
  T send-keys -t esc Up
  T send-keys -t esc F1
  T send-keys -t esc M-x
  sleep 2.2
  second=$(screen esc | grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}')
  [ -e "$tmp/esc.rc" ] && fail esc "an arrow, F1 or Alt+x ended the wait"
  [ "$first" != "$second" ] || fail esc "the countdown did not move ($first)"
  [ "$(countdown_lines esc)" = 1 ] || fail esc "the countdown did not overwrite itself"
  T send-keys -t esc Escape
  if ! wait_file "$tmp/esc.rc" 10; then
    fail esc "ESC did not end the wait within a second"
  else
    [ "$(cat "$tmp/esc.rc")" = 0 ] || fail esc "exit code $(cat "$tmp/esc.rc"), expected 0"
    wait_file "$tmp/esc.stty" 20 && { terminal_restored esc || fail esc "terminal not restored"; }
  fi
fi

# --- SIGTERM ends the wait in order and the terminal echoes again.
start term
if ! wait_screen term '^00:00:5[0-9]'; then
  fail term 'no countdown'
else
  shell_pid=$(T display-message -p -t term '#{pane_pid}')
  wait_pid=$(pgrep -P "$shell_pid" -x netrove | head -n1)
  if [ -z "$wait_pid" ]; then
    fail term "no netrove process under the pane's shell"
  else
    kill -TERM "$wait_pid"
    if ! wait_file "$tmp/term.rc" 20; then
      fail term "SIGTERM did not end the wait"
    else
      [ "$(cat "$tmp/term.rc")" = 143 ] || fail term "exit code $(cat "$tmp/term.rc"), expected 143"
      wait_file "$tmp/term.stty" 20 && { terminal_restored term || fail term "terminal not restored"; }
    fi
  fi
fi

# --- Without a console the wait is silent and does not end early.
NETROVE_HOME=$tmp "$BIN/netrove" WAIT 1 </dev/null >"$tmp/bare.out" 2>&1 &
bare_pid=$!
sleep 1.5
if ! kill -0 "$bare_pid" 2>/dev/null; then
  echo "FAIL [bare]: WAIT without a console ended at once"
  failures=$((failures + 1))
else
  kill -TERM "$bare_pid"
  rc=0
  for _ in $(seq 1 30); do kill -0 "$bare_pid" 2>/dev/null || break; sleep 0.1; done
  wait "$bare_pid" || rc=$?
  bare_pid=
  [ "$rc" = 143 ] || { echo "FAIL [bare]: exit code $rc, expected 143"; failures=$((failures + 1)); }
  [ ! -s "$tmp/bare.out" ] || { echo "FAIL [bare]: printed: $(cat "$tmp/bare.out")"; failures=$((failures + 1)); }
fi

[ "$failures" = 0 ] && echo "PASS" && exit 0
exit 1
