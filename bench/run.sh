#!/usr/bin/env bash
# Split throughput against the input/output floor, and peak memory.
#
#   bench/run.sh                 1 GiB inputs, 5 rounds (about 4 GiB of scratch disk)
#   SIZE_MIB=16 ROUNDS=1 bench/run.sh    a quick smoke run
#   BENCH_DIR=/path bench/run.sh         where the inputs and outputs go (default: a temp folder)
#
# Each round times one split, then the floor: dd reading the input twice to /dev/null and
# writing two files of the outputs' size from /dev/zero. Inputs are made by the project's own
# make_wav and read once beforehand, so both run from the page cache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-5}
work=${BENCH_DIR:-$(mktemp -d)}
mkdir -p "$work"
trap 'rm -f "$work"/in*.wav "$work"/floor*.out' EXIT

cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQUENLOR_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j2 >/dev/null
bin="$root/build-bench/quenlor2"

now() { date +%s%N; }
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

# make_input BITS MIB: a stereo file with MIB mebibytes of samples; prints its name.
make_input() {
    local name="$work/in$1_$2.wav"
    "$root/build-bench/make_wav" "$name" "$1" $(($2 * 1048576 / ($1 / 4))) >/dev/null
    echo "$name"
}

printf '%-7s %-8s %10s %10s %7s %10s\n' width input split_s floor_s ratio peak_KiB
for bits in 16 24; do
    in=$(make_input $bits "$size_mib")
    "$bin" "$in" >/dev/null
    out_bytes=$(stat -c %s "${in%.wav}L.wav")
    cat "$in" >/dev/null
    splits=() floors=()
    for ((r = 0; r < rounds; r++)); do
        # Each timed part starts with no dirty pages, so neither pays for the other's writeback.
        sync
        t0=$(now)
        "$bin" "$in" >/dev/null
        t1=$(now)
        sync
        t1b=$(now)
        dd if="$in" of=/dev/null bs=1M status=none
        dd if="$in" of=/dev/null bs=1M status=none
        dd if=/dev/zero of="$work/floor1.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
        dd if=/dev/zero of="$work/floor2.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
        t2=$(now)
        splits+=($((t1 - t0)))
        floors+=($((t2 - t1b)))
    done
    split=$(printf '%s\n' "${splits[@]}" | median)
    floor=$(printf '%s\n' "${floors[@]}" | median)
    peak=$(peak_kib "$bin" "$in")
    awk -v b="$bits" -v m="$size_mib" -v s="$split" -v f="$floor" -v p="$peak" \
        'BEGIN {printf "%-7s %-8s %10.3f %10.3f %7.2f %10d\n", b "-bit", m "MiB", s / 1e9, f / 1e9, s / f, p}'
    rm -f "$in" "${in%.wav}L.wav" "${in%.wav}R.wav"
done
# Memory must not grow with the input: compare with a 16 MiB input.
small=$(make_input 16 16)
printf '%-7s %-8s %10s %10s %7s %10d\n' 16-bit 16MiB - - - "$(peak_kib "$bin" "$small")"
rm -f "$small" "${small%.wav}L.wav" "${small%.wav}R.wav"
