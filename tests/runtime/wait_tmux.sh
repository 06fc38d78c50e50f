#!/usr/bin/env bash
# End to end: "netrove WAIT 1" on a real terminal (a tmux pane) and without
# one.
set -u
. "$(dirname "$0")/../lib/tmux.sh"
on_exit='[ -n "${bare_pid:-}" ] && kill -KILL "$bare_pid" 2>/dev/null'

countdown() { screen "$1" | grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2} *$'; }
# Runs "netrove WAIT 1" in a new session; afterwards the pane's shell writes
# the exit code and the terminal settings to files.
start() {
  T new-session -d -s "$1" -x 100 -y 12 \
    "env LANG=C.UTF-8 NETROVE_HOME=$tmp $BIN/netrove WAIT 1; echo \$? > $tmp/$1.rc; stty -a > $tmp/$1.stty; sleep 60"
  wait_screen "$1" 'Press ESC to abort' 50 || fail "$1" 'no "Press ESC to abort"'
  wait_screen "$1" '^00:00:5[0-9]' 50 || fail "$1" 'no countdown'
}
# ended_with <pane> <polls> <exit code>: and the terminal echoes again.
ended_with() {
  wait_file "$tmp/$1.rc" "$2" || { fail "$1" "did not end within $(($2 / 10)) s"; return; }
  [ "$(cat "$tmp/$1.rc")" = "$3" ] || fail "$1" "exit code $(cat "$tmp/$1.rc"), expected $3"
  wait_file "$tmp/$1.stty" 20 && tr ' ;' '\n\n' <"$tmp/$1.stty" | grep -x icanon >/dev/null &&
    tr ' ;' '\n\n' <"$tmp/$1.stty" | grep -x echo >/dev/null || fail "$1" "terminal not restored"
}

# --- ESC ends the wait at once; an arrow, F1 and Alt+x do not; the
# countdown moves on one line that overwrites itself.
start esc
first=$(countdown esc)
T send-keys -t esc Up F1 M-x
sleep 1.5
[ -e "$tmp/esc.rc" ] && fail esc "an arrow, F1 or Alt+x ended the wait"
[ "$first" != "$(countdown esc)" ] || fail esc "the countdown did not move ($first)"
[ "$(countdown esc | wc -l)" = 1 ] || fail esc "the countdown did not overwrite itself"
T send-keys -t esc Escape
ended_with esc 10 0

# --- SIGTERM ends the wait in order and the terminal echoes again.
start term
wait_pid=$(pgrep -P "$(T display-message -p -t term '#{pane_pid}')" -x netrove | head -n1)
if [ -z "$wait_pid" ]; then
  fail term "no netrove process under the pane's shell"
else
  kill -TERM "$wait_pid"
  ended_with term 20 143
fi

# --- Without a console the wait is silent and does not end early.
NETROVE_HOME=$tmp "$BIN/netrove" WAIT 1 </dev/null >"$tmp/bare.out" 2>&1 &
bare_pid=$!
sleep 1
if ! kill -0 "$bare_pid" 2>/dev/null; then
  fail bare "WAIT without a console ended at once"
else
  kill -TERM "$bare_pid"
  for _ in $(seq 1 30); do kill -0 "$bare_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$bare_pid" 2>/dev/null && { fail bare "SIGTERM did not end it"; kill -KILL "$bare_pid"; }
  rc=0
  wait "$bare_pid" || rc=$?
  bare_pid=
  [ "$rc" = 143 ] || fail bare "exit code $rc, expected 143"
  [ ! -s "$tmp/bare.out" ] || fail bare "printed: $(cat "$tmp/bare.out")"
fi
finish
