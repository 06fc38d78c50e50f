#!/usr/bin/env bash
# The program reads netrove.dat from its directory: warnings are listed,
# a missing file is created with the default content and mode 0600.
set -euo pipefail
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir "$dir/a" "$dir/b"
printf 'bogus 1\r\nDialTime 5\r\n[Home]\r\nDayTimeLimit 10\r\nother x\r\n' >"$dir/a/netrove.dat"
out=$(cd / && NETROVE_HOME="$dir/a" timeout 20 "$NETROVE_BIN/netrove" home STAT </dev/null)
grep -qx 'WARNING! Found errors in netrove.dat' <<<"$out" || fail "no warning header: $out"
grep -qx 'Warning: Unknown command BOGUS.' <<<"$out" || fail "no BOGUS warning"
grep -qx 'Warning: Unknown command OTHER.' <<<"$out" || fail "no OTHER warning"
grep -q 'Limit: 00:10:00' <<<"$out" || fail "day limit not read: $out"

NETROVE_HOME="$dir/b" timeout 20 "$NETROVE_BIN/netrove" Home STAT </dev/null >/dev/null
f="$dir/b/netrove.dat"
[ -f "$f" ] || fail "netrove.dat not created"
[ "$(stat -c %a "$f")" = 600 ] || fail "mode $(stat -c %a "$f")"
[ "$(sed -n 1p "$f")" = '; this default value' ] || fail "line 1"
[ "$(sed -n 2p "$f")" = 'eventID 91 3 exit' ] || fail "line 2"
[ "$(sed -n 3p "$f")" = 'DialPrefix p' ] || fail "line 3"
[ "$(wc -l <"$f")" = $((2 + 106 + 3)) ] || fail "line count $(wc -l <"$f")"
grep -q $'\r' "$f" && fail "CR in a written file"
echo PASS
