#!/usr/bin/env bash
# Runs two builds of the program on the same inputs, without and with --keep-metadata, and fails
# on any difference in exit status, messages (line endings aside) or the files left behind, byte
# for byte.
#
#   tools/compare_builds.sh REFERENCE OTHER INPUT...
#
# REFERENCE and OTHER are commands: a program, or an emulator and a program
# ("wine build-win/quenlor2.exe", "qemu-s390x build-s390x/quenlor2").
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 REFERENCE OTHER INPUT..." >&2; exit 2; }
reference=$1
other=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Splits input in a fresh folder with the command given (and options); prints status, messages and a
# checksum of every file left. The program writes nothing to standard error and ends with a
# failure only after printing its line, so an emulated run that fails silently is the emulator
# failing to start it (seen once with Wine): that run is tried once more, and said so.
run() {
    local dir=$work/$1 command=$2 input=$3 options=$4 status try
    for try in 1 2; do
        status=0
        rm -rf "$dir" && mkdir -p "$dir" && cp "$input" "$dir/in.wav"
        (cd "$dir" && $command $options in.wav >"$work/$1.out" 2>"$work/$1.err") || status=$?
        [ "$1" = b ] && [ $try = 1 ] && [ $status -ne 0 ] && [ ! -s "$work/$1.out" ] || break
        echo "note: $command failed silently on $input (status $status), tried again;" \
            "its standard error: $(head -c 2000 "$work/$1.err")" >&2
    done
    echo "status $status"
    tr -d '\r' <"$work/$1.out"
    (cd "$dir" && find . -type f | sort | xargs sha256sum)
}

differences=0
for input in "$@"; do
    for options in "" --keep-metadata; do
        if diff <(run a "$reference" "$input" "$options") <(run b "$other" "$input" "$options") \
            >"$work/diff"; then
            continue
        fi
        echo "differs on $input $options:"
        cat "$work/diff"
        sed 's/^/standard error: /' "$work/a.err" "$work/b.err"
        differences=$((differences + 1))
    done
done
echo "$# inputs, $differences differing"
[ "$differences" -eq 0 ]
