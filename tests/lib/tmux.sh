# Shared part of the end-to-end scripts that drive the real program in tmux
# panes. Sourced; gives $BIN, a scratch directory $tmp, a private tmux
# server (T), bounded polls, and fail/finish that count failures. A script
# puts its own clean-up commands in $on_exit.
BIN=${NETROVE_BIN:?NETROVE_BIN must name the directory holding netrove}
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (scripts/deps)"; exit 1; }
[ -x "$BIN/netrove" ] || { echo "FAIL: $BIN/netrove is not built"; exit 1; }

sock="netrove_$(basename "$0" .sh)_$$_${RANDOM}"
tmp=$(mktemp -d)
on_exit=:
T() { tmux -L "$sock" -f /dev/null "$@"; }
cleanup() {
  eval "$on_exit"
  T kill-server >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT  # the EXIT trap ends the tmux server and the program in it
trap 'exit 143' TERM

failures=0
# fail <pane> <message> [log file]: reports, then shows the pane and the log.
fail() {
  echo "FAIL [$1]: $2"
  T capture-pane -p -t "$1" 2>/dev/null | sed 's/^/  | /'
  [ -f "${3:-}" ] && sed 's/^/  log| /' "$3"
  failures=$((failures + 1))
}
finish() {
  [ "$failures" -eq 0 ] && { echo PASS; exit 0; }
  echo "$failures failure(s)"
  exit 1
}

screen() { T capture-pane -p -t "$1"; }
# Bounded polls, every tenth of a second: the last argument is how many.
wait_screen() {  # pane, extended regex, [polls]
  for _ in $(seq 1 "${3:-100}"); do
    screen "$1" | grep -Eq "$2" && return 0
    sleep 0.1
  done
  return 1
}
wait_log() {  # file, extended regex, [polls]
  for _ in $(seq 1 "${3:-100}"); do
    grep -Eq "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
wait_file() {  # file that must be non-empty, [polls]
  for _ in $(seq 1 "${2:-50}"); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
