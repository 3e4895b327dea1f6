#!/usr/bin/env bash
# Fuzzes the program on arbitrary input files with AFL++ (with --keep-metadata and --all-channels,
# so that what it carries, iXML read as XML among it, and takes of every shape are fuzzed too),
# under AddressSanitizer and UndefinedBehaviorSanitizer, in a scratch folder.
#
#   fuzz/run.sh [SECONDS]        default 600; the findings go to fuzz-out/default/{crashes,hangs}
#   FUZZ_OUT=dir fuzz/run.sh     another output folder; an existing one is resumed
#
# Exits 1 when a crash or hang was found. Inputs that found something belong in tests/corpus/,
# which the ordinary tests run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
out=${FUZZ_OUT:-$root/fuzz-out}
build=$root/build-fuzz
mkdir -p "$(dirname "$out")"

if ! command -v afl-fuzz >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq afl++
fi
CXX=afl-clang-fast++ cmake -S "$root" -B "$build" -DQUENLOR_SANITIZE=ON -DQUENLOR_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

seeds=$build/seeds
rm -rf "$seeds" && mkdir -p "$seeds"
"$build/make_seeds" "$seeds"
cp "$root"/tests/corpus/* "$seeds/" 2>/dev/null || true
from=$seeds
[ -d "$out/default/queue" ] && from=-  # resume the earlier run

export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1
export AFL_NO_AFFINITY=1
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0
export UBSAN_OPTIONS=abort_on_error=1:halt_on_error=1
status=0
# Each input is split in a folder of its own, not in the output folder that afl-fuzz locks.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
afl-fuzz -i "$from" -o "$out" -m none -t 2000 -f "$scratch/in.wav" \
    -V "$seconds" -- "$build/quenlor2" --keep-metadata --all-channels "$scratch/in.wav" >"$out.log" 2>&1 || status=$?
stats=$out/default/fuzzer_stats
if [ "$status" -ne 0 ] || [ ! -f "$stats" ]; then
    echo "fuzz: afl-fuzz stopped with status $status before fuzzing; the end of $out.log:"
    tail -n 20 "$out.log"
    exit 1
fi
grep -E '^(run_time|execs_done|execs_per_sec|corpus_count|bitmap_cvg|saved_crashes|saved_hangs)' \
    "$stats"
found=$(find "$out/default/crashes" "$out/default/hangs" -type f -name 'id:*' | wc -l)
[ "$found" -eq 0 ] || { echo "fuzz: $found finding(s) in $out/default"; exit 1; }
