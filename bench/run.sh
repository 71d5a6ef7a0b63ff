#!/usr/bin/env bash
# Whole-run benchmark: Kestrox against cp of the same input (the floor for reading and writing
# those bytes) and against the installed peers, on large generated inputs.
#
#   bench/run.sh [WORK-DIR] [RUNS]      (defaults: /tmp/kestrox-bench, 5)
#
# Prints the median wall time of each command, its ratio to cp, and its peak memory. A peer that
# takes longer than PEER_LIMIT seconds (default 60) is stopped and shown as such.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/kestrox-bench}
runs=${2:-5}
limit=${PEER_LIMIT:-60}
build="$here/build-bench"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROX_BUILD_BENCHMARKS=ON \
  -DKESTROX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kestrox kestrox_bench_inputs >/dev/null
kestrox="$build/kestrox"

mkdir -p "$work/in"
if [ ! -f "$work/in/small-64.tnef" ]; then
  "$build/bench/kestrox_bench_inputs" "$work/in"
fi

# median_seconds CMD...: runs CMD $runs times, each into a fresh $work/out, and prints the median;
# "timeout" when a run outlasts the limit.
median_seconds() {
  local times=()
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" && mkdir "$work/out"
    local start end status=0
    start=$(date +%s%N)
    timeout "$limit" "$@" >/dev/null 2>&1 </dev/null || status=$?
    end=$(date +%s%N)
    if [ "$status" -eq 124 ]; then
      echo timeout
      return
    fi
    times+=("$(( (end - start) / 1000 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.4f", a[int((NR+1)/2)]/1e6}'
}

peak_kib() {
  rm -rf "$work/out" && mkdir "$work/out"
  { /usr/bin/time -f '%M' timeout "$limit" "$@" 2>&1 >/dev/null </dev/null || true; } | tail -n 1
}

row() {  # row NAME INPUT CP-SECONDS CMD...
  local name=$1 input=$2 floor=$3
  shift 3
  local seconds peak
  seconds=$(median_seconds "$@")
  if [ "$seconds" = timeout ]; then
    printf '%-24s %-16s %9s %8s %10s\n' "$name" "$input" ">$limit" "-" "-"
    return
  fi
  peak=$(peak_kib "$@")
  printf '%-24s %-16s %9.4f %7.2fx %10s\n' "$name" "$input" "$seconds" \
    "$(awk -v a="$seconds" -v b="$floor" 'BEGIN {print a / b}')" "$((peak / 1024)) MiB"
}

printf '%-24s %-16s %9s %8s %10s\n' command input seconds "vs cp" "peak"
for input in raw-32.tnef raw-64.tnef raw-128.tnef raw-256.tnef base64-256.eml qp-256.eml \
             small-64.tnef; do
  file="$work/in/$input"
  floor=$(median_seconds cp "$file" "$work/out/")
  printf '%-24s %-16s %9.4f %7.2fx %10s\n' cp "$input" "$floor" 1 \
    "$(( $(peak_kib cp "$file" "$work/out/") / 1024 )) MiB"
  row kestrox "$input" "$floor" "$kestrox" "$file" q "$work/out/"
  case "$input" in
    *.tnef)
      if command -v tnef >/dev/null; then
        row tnef "$input" "$floor" tnef -f "$file" -C "$work/out" --overwrite
      fi
      if command -v ytnef >/dev/null; then
        row ytnef "$input" "$floor" ytnef -f "$work/out" "$file"
      fi
      ;;
  esac
done
