#!/usr/bin/env bash
# Builds the fuzz targets in BUILD_DIR with clang, AddressSanitizer, UndefinedBehaviorSanitizer
# and libFuzzer, then runs each one for SECONDS; the decoder target runs once on each vector path
# the processor has, for half of SECONDS each. Any finding (a crash, a sanitizer report, a wrong
# answer, an input slower than 10 s, more than 2 GB of memory) fails the script; the input that
# caused it is left in BUILD_DIR/findings/<target>/.
#
#   fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTROX_BUILD_FUZZERS=ON -DKESTROX_BUILD_TESTS=OFF -DKESTROX_WERROR=ON \
  -DKESTROX_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j2 --target fuzz_run fuzz_search fuzz_decode fuzz_message fuzz_writers fuzz_write_seeds
rm -rf "$build/seeds"
"$root/fuzz/make_seeds.sh" "$build/seeds" "$build/fuzz/fuzz_write_seeds"

# The run target writes and removes files for every input: memory is faster than a disk for that.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
declare -A max_len=([fuzz_run]=65536 [fuzz_search]=8192 [fuzz_decode]=8192 [fuzz_message]=65536 [fuzz_writers]=65536)
# fuzz TARGET SECONDS NAME: one run, its findings in BUILD_DIR/findings/NAME/.
fuzz() {
  local target=$1 time=$2 name=$3
  local corpus="$build/corpus/$target" findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  echo "-- $name, ${time} s"
  "$build/fuzz/$target" -max_total_time="$time" -max_len="${max_len[$target]}" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$build/seeds/$target" 2>"$build/$name.log" || {
    tail -n 60 "$build/$name.log"
    echo "FINDING in $name: see $findings/" >&2
    exit 1
  }
  grep -E '^stat::number_of_executed_units|^Done|not on this processor' "$build/$name.log" || true
}
fuzz fuzz_run "$seconds" fuzz_run
fuzz fuzz_search "$seconds" fuzz_search
fuzz fuzz_message "$seconds" fuzz_message
fuzz fuzz_writers "$seconds" fuzz_writers
for path in plain ssse3 avx2 avx512; do
  KESTROX_FUZZ_DECODER_PATH=$path fuzz fuzz_decode "$(( (seconds + 1) / 2 ))" "fuzz_decode-$path"
done
