#!/bin/sh
# Ctrl-C (SIGINT to the emulator's process reaches the console handler) once both temporaries
# exist, and during their flush held 3 s (strace): nothing may be left but the previous pair, and
# the status must tell an interrupted run from a finished one.
# Usage: ctrl_c_windows.sh EMULATOR PROGRAM MAKE_WAV
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir" "$dir.log"' EXIT
cd "$dir"
# A large sparse input keeps the run going while the signal comes.
$1 "$3" take.wav 24 0 48000 && truncate -s 300M take.wav
for try in copy copy flush; do
    printf L >takeL.wav && printf R >takeR.wav
    hold=""
    if [ $try = flush ]; then  # a small input, whose copy ends at once
        $1 "$3" take.wav 16 100000
        hold="strace -f -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=3000000:when=1"
    fi
    $hold $1 "$2" take.wav >"$dir.log" &
    pid=$!
    i=0
    until [ "$(ls | grep -c '^quenlor2-.*\.part$')" -ge 2 ] || [ $i -ge 2000 ]; do
        sleep 0.005 && i=$((i + 1))
    done
    [ $try = copy ] && sleep 0.1 || sleep 1
    pkill -INT -f "^[^ ]*$(basename "$2") take.wav"
    status=0 && wait $pid || status=$?
    left="$(ls | tr '\n' ' ')$(cat takeL.wav takeR.wav | head -c 2)$(cat "$dir.log")"
    echo "$try: status $status, left: $left"
    [ "$status" -ne 0 ] && [ "$left" = "take.wav takeL.wav takeR.wav LR" ] || { echo "Ctrl-C left a file, the new pair or status 0"; exit 1; }
done
