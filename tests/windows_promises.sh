#!/bin/sh
# Under Wine: Ctrl-C (SIGINT to the emulator's process reaches the console handler) during the
# copy and during a flush held 3 s leaves the previous pair and a status of its own; the
# console's code page as found; a console of the program's own kept until Enter; one turn per
# folder through two drive letters, kept by a live run that holds it, put right after a run
# killed in it; a replaced output kept read-only; a quoted name at the
# prompt; a path of more than 300 characters; an output another program holds open for a moment
# replaced; with --all-channels, a poly take split into its six outputs and a stereo float take
# into two float outputs, each channel's bytes as they were.
# Usage: windows_promises.sh EMULATOR PROGRAM MAKE_WAV HOLD_FILE
set -eu
wine=$1 program=$2 hold=$4 dir=$(mktemp -d) y=${WINEPREFIX:-$HOME/.wine}/dosdevices/y:
trap 'rm -rf "$dir" "$dir.log" "$y"' EXIT
cd "$dir"
fail() { echo "$1" && ls -l && exit 1; }
split() { [ "$($wine "$program" "$@" | tr -d '\r')" = done ]; }
# Waits (10 s at most) until $1 succeeds.
until_() { i=0 && until eval "$1" || [ $i -ge 1000 ]; do sleep 0.01 && i=$((i + 1)); done; }
# What a terminal shows of a command run in Wine's console, without its escape sequences.
console() { timeout 60 script -qc "$1" /dev/null | tr -d '\r' | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g'; }

for try in copy copy flush; do  # a large sparse input is still being copied when Ctrl-C comes
    printf L >takeL.wav && printf R >takeR.wav && strace=""
    [ $try = copy ] && $wine "$3" take.wav 24 0 48000 && truncate -s 300M take.wav
    [ $try = flush ] && $wine "$3" take.wav 16 100000 &&
        strace="strace -f -o /dev/null -e inject=fsync:delay_enter=3s:when=1"
    $strace $wine "$program" take.wav >"$dir.log" &
    until_ '[ "$(ls | grep -c "^quenlor2-.*[.]part$")" -ge 2 ]'
    [ $try = flush ] && sleep 1 || sleep 0.1
    pkill -INT -f "^[^ ]*$(basename "$program") take.wav"
    status=0 && wait $! || status=$?
    left="$status $(ls | tr '\n' ' ')$(cat takeL.wav takeR.wav | head -c 2)$(cat "$dir.log")"
    [ "$left" = "58 take.wav takeL.wav takeR.wav LR" ] || fail "Ctrl-C in the $try: $left"
done
$wine "$3" take.wav 16 20000

printf '@chcp\r\n@%s take.wav\r\n@chcp\r\n' "Z:$(echo "$program" | tr / '\\')" >cp.bat
[ "$(console "$wine cmd /c cp.bat" </dev/null | grep 'code page' | uniq | wc -l)" = 1 ] ||
    fail "the console's code page changed"
(sleep 1 && printf '\r') | console "$wine $program take.wav" | grep -q '^Press' ||
    fail "a console of its own closed at once"

# The folder's turn taken through Y:, its lock saying nothing (a crash's): taken over after 3 s.
ln -s "$dir" "$y" && $wine cmd /c 'type nul >Y:\quenlor2-turn.lock'
start=$(date +%s) && split take.wav && [ $(($(date +%s) - start)) -ge 2 ] || fail "no turn"

# A run held 3 s in its turn (its lock's flush) keeps it: the other waits, and both end done.
strace -f -o /dev/null -e inject=fsync:delay_enter=3s:when=3 $wine "$program" take.wav >"$dir.log" &
until_ '[ -e quenlor2-turn.lock ]'
split take.wav && wait $! && [ "$(tr -d '\r' <"$dir.log")" = done ] || fail "a live run's turn taken"

# A run killed in its turn, its new pair renamed in but not flushed: the system's lock says it is
# gone, and the next run finishes its turn, then makes its own pair.
strace -f -o /dev/null -e trace=fsync -e inject=fsync:signal=SIGKILL:when=4 $wine "$program" \
    take.wav >/dev/null 2>&1 || true
split take.wav && [ "$(ls | grep -c '^quenlor2-')" = 0 ] || fail "a dead run's turn not put right"

$wine cmd /c attrib +r takeL.wav
split take.wav && split take.wav || fail "a read-only output not replaced"
$wine cmd /c attrib takeL.wav | grep -q '^A *R ' || fail "the read-only attribute lost"
[ "$(ls | grep -c '^quenlor2-')" = 0 ] || fail "a backup left"

cp take.wav 'Guest A.wav' && printf '"Guest A.wav"\n' | $wine "$program" | grep -q 'done' ||
    fail "a quoted name at the prompt not found"
long=$(printf 'd%.0s' $(seq 100)) && mkdir -p "$long/$long/$long" && cp take.wav "$long/$long/$long"
split "Z:$(pwd | tr / '\\')\\$long\\$long\\$long\\take.wav" || fail "a long path failed"

$wine "$3" take.wav 16 20001 && { $wine "$hold" takeR.wav 800 >held.log & }
until_ 'grep -q held held.log' && split take.wav && [ "$(stat -c %s takeR.wav)" = 40046 ] ||
    fail "an output held for a moment not replaced"
wait

# A take of six channels, and a stereo take of 32-bit float (a NaN's payload among its samples).
$wine "$3" --channels 6 poly.wav 24 1001 && split --all-channels poly.wav &&
    [ "$(ls poly_?.wav | wc -l)" = 6 ] && [ "$(stat -c %s poly_6.wav)" = $((44 + 3003 + 1)) ] ||
    fail "a poly take not split"
printf 'RIFF\104\0\0\0WAVEfmt \020\0\0\0\003\0\002\0\200\273\0\0\0\334\005\0\010\0\040\0' >float.wav
printf 'data\040\0\0\0\064\022\300\177\0\0\200\076\001\0\0\0\0\0\200\276' >>float.wav
printf '\0\0\200\077\0\0\200\277\333\017\111\100\0\0\0\200' >>float.wav
hex() { tail -c 16 "$1" | od -An -tx1 | tr -d ' \n'; }
split --all-channels float.wav && [ "$(hex floatL.wav)" = 3412c07f010000000000803fdb0f4940 ] &&
    [ "$(hex floatR.wav)" = 0000803e000080be000080bf00000080 ] || fail "a float take not split"
