#!/bin/sh
# Ctrl-C (SIGINT to the emulator's process reaches the console handler) once both temporaries
# exist: nothing may be left, and the status must tell an interrupted run from a finished one.
# Usage: ctrl_c_windows.sh EMULATOR PROGRAM MAKE_WAV
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
# A large sparse input keeps the run going while the signal comes.
$1 "$3" take.wav 24 0 48000 && truncate -s 300M take.wav
for try in 1 2; do
    $1 "$2" take.wav &
    pid=$!
    i=0
    until [ "$(ls | grep -c '^quenlor2-.*\.part$')" -ge 2 ] || [ $i -ge 2000 ]; do
        sleep 0.005 && i=$((i + 1))
    done
    sleep 0.1 && kill -INT $pid
    status=0 && wait $pid || status=$?
    echo "try $try: status $status, left: $(ls)"
    [ "$status" -ne 0 ] && [ "$(ls)" = take.wav ] || { echo "Ctrl-C left a file or status 0"; exit 1; }
done
