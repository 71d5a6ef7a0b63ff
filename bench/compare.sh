#!/usr/bin/env bash
# Compares two commands that take an input and an output folder (two builds of Kestrox, or Kestrox
# and cp) on a machine too noisy for times taken apart: ROUNDS hyperfine runs of both, the order
# swapped each round, and the rounds' ratios of their medians: each, their lowest, median and
# highest. Before every timed run FILL_MB (default 1200) MB of other files are read, so that both
# meet a full page cache, as on a machine in use; FILL_MB=0 leaves the cache as it is.
#
#   bench/compare.sh A B INPUT [RUNS [ROUNDS]]      (defaults: 10 runs, 7 rounds)
#
# A and B are commands; each is run as "A INPUT q OUT/", except cp, which is run as "cp INPUT OUT/".
set -euo pipefail
a=$1 b=$2 input=$3 runs=${4:-10} rounds=${5:-7}
command -v hyperfine >/dev/null || { echo "bench/compare.sh needs hyperfine" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/a" "$work/b" "$work/fill"
fill_mb=${FILL_MB:-1200}
for ((i = 0; i * 200 < fill_mb; i++)); do head -c 200M /dev/urandom >"$work/fill/$i"; done
cat >"$work/prepare.sh" <<PREPARE
find "$work/a" "$work/b" -mindepth 1 -delete
cat "$work/fill"/* /dev/null >/dev/null
PREPARE
line() { if [ "$(basename "${1%% *}")" = cp ]; then echo "$1 $input $2/"; else echo "$1 $input q $2/"; fi; }
cat "$input" >/dev/null
ratios=()
for ((round = 0; round < rounds; round++)); do
  first=$(line "$a" "$work/a") second=$(line "$b" "$work/b")
  ((round % 2)) && { t=$first; first=$second; second=$t; }
  # Kestrox's exit status is the number of files written: -i keeps hyperfine going.
  hyperfine -N -i --style none --warmup 1 --runs "$runs" --prepare "bash $work/prepare.sh" \
    --export-json "$work/round.json" "$first" "$second" >/dev/null 2>&1
  ratios+=("$(python3 -c 'import json, sys
m = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
print("%.3f" % (m[sys.argv[3]] / m[sys.argv[2]]))' "$work/round.json" "$(line "$a" "$work/a")" "$(line "$b" "$work/b")")")
done
spread=$(printf '%s\n' "${ratios[@]}" | sort -n |
  awk '{ v[NR] = $1 } END { printf "low %s, median %s, high %sx", v[1], v[int((NR + 1) / 2)], v[NR] }')
echo "$(basename "$input"): B/A per round ${ratios[*]}; $spread"
