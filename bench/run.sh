#!/usr/bin/env bash
# Split throughput against the input/output floor, and peak memory.
#
#   bench/run.sh                          1 GiB inputs, 2 warm-up and 9 counted rounds
#   SIZE_MIB=16 ROUNDS=1 WARMUP=0 bench/run.sh    a quick smoke run
#   BENCH_DIR=/path bench/run.sh          where the inputs and outputs go (default: a temp folder);
#                                         about 4 GiB free for the default size
#   QUENLOR_BIN=/path bench/run.sh        time another build of the program
#
# Each round times one split, then the floor: dd reading the input twice to /dev/null and
# writing two fresh files of the outputs' size from /dev/zero. Every timed part starts with its
# own outputs removed and after a sync. Inputs are made by the project's own make_wav and read
# once beforehand, so both run from the page cache.
#
# Noise on a shared machine only ever adds time, so the figure that counts is the best split
# over the best floor; every round and the median of the per-round ratios are printed too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-9}
warmup=${WARMUP:-2}
# Everything made here goes at the end: the folder itself unless BENCH_DIR named one.
if [ -n "${BENCH_DIR:-}" ]; then
    work=$BENCH_DIR
    mkdir -p "$work"
    trap 'rm -f "$work"/in*.wav "$work"/floor*.out' EXIT
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi

cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQUENLOR_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j2 >/dev/null
bin=${QUENLOR_BIN:-$root/build-bench/quenlor2}

now() { date +%s%N; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
seconds() { awk -v n="$1" 'BEGIN {printf "%.3f", n / 1e9}'; }

# make_input BITS MIB: a stereo file with MIB mebibytes of samples; prints its name.
make_input() {
    local name="$work/in$1_$2.wav"
    "$root/build-bench/make_wav" "$name" "$1" $(($2 * 1048576 / ($1 / 4))) >/dev/null
    echo "$name"
}

summary=()
for bits in 16 24; do
    in=$(make_input $bits "$size_mib")
    left=${in%.wav}L.wav right=${in%.wav}R.wav
    "$bin" "$in" >/dev/null
    out_bytes=$(stat -c %s "$left")
    cat "$in" >/dev/null
    best_split='' best_floor='' ratios=()
    echo "$bits-bit, $size_mib MiB input: round split_s floor_s ratio"
    for ((r = 1 - warmup; r <= rounds; r++)); do
        rm -f "$left" "$right"
        sync
        t0=$(now)
        "$bin" "$in" >/dev/null
        t1=$(now)
        rm -f "$work/floor1.out" "$work/floor2.out"
        sync
        t2=$(now)
        dd if="$in" of=/dev/null bs=1M status=none
        dd if="$in" of=/dev/null bs=1M status=none
        dd if=/dev/zero of="$work/floor1.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
        dd if=/dev/zero of="$work/floor2.out" bs=1M count="$out_bytes" iflag=count_bytes status=none
        t3=$(now)
        split=$((t1 - t0)) floor=$((t3 - t2))
        if ((r < 1)); then
            echo "  warm-up $(seconds $split) $(seconds $floor)"
            continue
        fi
        ratio=$(awk -v s=$split -v f=$floor 'BEGIN {printf "%.2f", s / f}')
        echo "  $r $(seconds $split) $(seconds $floor) $ratio"
        ratios+=("$ratio")
        if [ -z "$best_split" ] || ((split < best_split)); then best_split=$split; fi
        if [ -z "$best_floor" ] || ((floor < best_floor)); then best_floor=$floor; fi
    done
    median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
    peak=$(peak_kib "$bin" "$in")
    summary+=("$(awk -v b="$bits" -v m="$size_mib" -v s="$best_split" -v f="$best_floor" \
        -v md="$median" -v p="$peak" \
        'BEGIN {printf "%-7s %-8s %10.3f %10.3f %7.2f %7.2f %10d", b "-bit", m "MiB", s / 1e9, f / 1e9, s / f, md, p}')")
    rm -f "$in" "$left" "$right" "$work/floor1.out" "$work/floor2.out"
done
# Memory must not grow with the input: compare with a 16 MiB input.
small=$(make_input 16 16)
summary+=("$(printf '%-7s %-8s %10s %10s %7s %7s %10d' 16-bit 16MiB - - - - "$(peak_kib "$bin" "$small")")")
rm -f "$small" "${small%.wav}L.wav" "${small%.wav}R.wav"

echo
printf '%-7s %-8s %10s %10s %7s %7s %10s\n' width input best_split best_floor ratio median peak_KiB
printf '%s\n' "${summary[@]}"
