#!/bin/sh
# The Windows program's promises, checked under Wine: the console's code page as it was found, a
# console of the program's own kept until Enter, one turn per folder whatever drive letter
# reaches it, a replaced output's read-only attribute kept, a path past 260 characters, and an
# output another program holds open for a moment replaced once it is closed.
# Usage: windows_promises.sh EMULATOR PROGRAM MAKE_WAV HOLD_FILE
set -eu
wine=$1 program=$2 hold=$4
dir=$(mktemp -d)
y=${WINEPREFIX:-$HOME/.wine}/dosdevices/y:
trap 'rm -rf "$dir" "$y"' EXIT
cd "$dir"
$wine "$3" take.wav 16 20000
fail() { echo "$1" && ls -l && exit 1; }
split() { $wine "$program" "$@" | tr -d '\r'; }
# What a terminal shows of a command run through Wine's console, without its escape sequences.
console() { timeout 60 script -qc "$1" /dev/null | tr -d '\r' | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g'; }
# Waits (5 s at most) for the holder writing to $1 to have its file.
held() { i=0 && until grep -q held "$1" || [ $i -ge 500 ]; do sleep 0.01 && i=$((i + 1)); done; }

# A console: the code page before and after a run in one command prompt; a console of the
# program's own (a terminal here, a double-click on Windows) waits for Enter once it has said done.
printf '@chcp\r\n@%s take.wav\r\n@chcp\r\n' "Z:$(echo "$program" | tr / '\\')" >cp.bat
pages=$(console "$wine cmd /c cp.bat" </dev/null | grep 'code page' | uniq | wc -l)
[ "$pages" = 1 ] || fail "the console's code page changed"
said=$( (sleep 1 && printf '\r') | console "$wine $program take.wav")
echo "$said" | grep -q '^Press' || fail "a console of its own closed at once: $said"

# One turn per folder: the pair's lock file held through Y:, the program run through Z:.
ln -s "$dir" "$y"
$wine "$hold" 'Y:\quenlor2-fa103ede.lock' 1500 new >lock.log &  # the lock of takeL.wav
held lock.log
[ "$(split take.wav)" = done ] && grep -q released lock.log || fail "the turn was not waited for"
wait

# A read-only output stays read-only, and is replaced again, nothing left behind.
$wine cmd /c attrib +r takeL.wav
for run in 1 2; do [ "$(split take.wav)" = done ] || fail "read-only output not replaced"; done
$wine cmd /c attrib takeL.wav | tr -d '\r' | grep -q '^A *R ' || fail "read-only attribute lost"
[ "$(ls | grep -c '^quenlor2-')" = 0 ] || fail "a backup was left"

# A path of more than 300 characters.
long=$(printf 'd%.0s' $(seq 100))
mkdir -p "$long/$long/$long" && cp take.wav "$long/$long/$long/"
path="Z:$(pwd | tr / '\\')\\$long\\$long\\$long\\take.wav"
[ "$(split "$path")" = done ] && [ "$(split "$path")" = done ] || fail "a long path failed"

# An output held open, sharing nothing, for 0.8 s from just before the run.
$wine "$3" take.wav 16 20001
$wine "$hold" takeR.wav 800 >held.log &
held held.log
[ "$(split take.wav)" = done ] || fail "an output held for a moment was not replaced"
wait
[ "$(stat -c %s takeR.wav)" = 40046 ] || fail "the held output is not the new one"
