#!/usr/bin/env bash
# Whole-run benchmark with hyperfine: each row times Kestrox side by side with what it is held to,
# in one hyperfine run, and prints the medians and their ratio.
#
#   bench/run.sh [--many] [WORK-DIR] [RUNS]     (defaults: /tmp/kestrox-bench, 7)
#
# Rows: two real samples of typical size against the installed peers tnef and ytnef (fastest peer
# counts); an empty file against /bin/true; the first sample with --message against the same run
# without it; 400 small sources in one --batch process against one process each; raw TNEF of 256 MiB with 16 attachments, and the same
# as a base64 and as a quoted-printable message, against cp of the same file; the peak memory of
# those three runs against their input size. --many adds a file of 100,000 small attachments
# (64 MiB) against cp. The real samples come from ../shared/corpus when it is there. KESTROX=PATH
# measures that program instead of the one built here.
#
# The large rows are measured as a machine in use finds them: before every timed run 1.2 GB of
# other files are read (FILL_MB, in MB), so that the page cache is full and every page the run
# asks for must be taken from it. Each of RUNS rounds times Kestrox and cp once each, the order
# swapped every round, and takes their ratio; a row shows the lowest, median and highest ratio
# (wall time), the median ratio of processor time (user and system, steadier on a busy machine),
# and whether every round met the goal. The short commands run many more times, on a warm cache.
set -euo pipefail
many=0
if [ "${1:-}" = --many ]; then
  many=1
  shift
fi
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/kestrox-bench}
runs=${2:-7}
build="$here/build-bench"
corpus="$here/../shared/corpus/raw"
command -v hyperfine >/dev/null || { echo "bench/run.sh needs hyperfine" >&2; exit 1; }

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROX_BUILD_BENCHMARKS=ON \
  -DKESTROX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kestrox kestrox_bench_inputs >/dev/null
# KESTROX names another build to measure (an older one, for a before and after).
kestrox=${KESTROX:-$build/kestrox}

mkdir -p "$work/in" "$work/out"
if [ ! -f "$work/in/qp-256.eml" ] || [ ! -f "$work/in/small-64.tnef" ]; then
  "$build/bench/kestrox_bench_inputs" "$work/in" >/dev/null
fi
: >"$work/in/empty"

# compare NAME RUNS WARMUP CMD...: times the commands in one hyperfine run, each writing into its
# own emptied directory $work/out/<index>, and prints "median-seconds" per command, one a line.
# Every command sees the same file cache: the warm-up runs read the input first.
compare() {
  local name=$1 count=$2 warmup=$3
  shift 3
  local json="$work/$name.json" args=() i=0
  for cmd in "$@"; do
    rm -rf "$work/out/$i" && mkdir -p "$work/out/$i"
    args+=("${cmd//@OUT@/$work/out/$i}")
    i=$((i + 1))
  done
  # Kestrox's exit status is the number of files written: -i keeps hyperfine going.
  hyperfine -N -i --style none --warmup "$warmup" --runs "$count" \
    --prepare "find $work/out -mindepth 2 -delete" --export-json "$json" "${args[@]}" \
    >/dev/null 2>"$work/$name.log" || { cat "$work/$name.log" >&2; exit 1; }
  python3 -c 'import json, sys
for r in json.load(open(sys.argv[1]))["results"]: print(r["median"])' "$json"
}

ms() { awk -v s="$1" 'BEGIN { printf "%.3f ms", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }
row() { printf '%-44s %12s   %-10s %12s   %9s   %s\n' "$@"; }

row input kestrox "held to" "" ratio target
for sample in horde_TnefAttachments.tnef:0.70 horde_TnefAttachmentsMultiple.tnef:0.50; do
  file="$corpus/${sample%%:*}"
  [ -f "$file" ] || { row "${sample%%:*}" - "(no corpus)" "" - ""; continue; }
  cmds=("$kestrox $file q @OUT@/")
  peers=()
  if command -v tnef >/dev/null; then
    cmds+=("tnef -f $file -C @OUT@ --overwrite")
    peers+=(tnef)
  fi
  if command -v ytnef >/dev/null; then
    cmds+=("ytnef -f @OUT@ $file")
    peers+=(ytnef)
  fi
  mapfile -t t < <(compare sample 300 30 "${cmds[@]}")
  best=1
  for i in $(seq 2 $((${#t[@]} - 1))); do
    if awk -v a="${t[$i]}" -v b="${t[$best]}" 'BEGIN { exit !(a < b) }'; then best=$i; fi
  done
  if [ "${#peers[@]}" -eq 0 ]; then
    row "${sample%%:*}" "$(ms "${t[0]}")" "(no peer installed)" "" - ""
  else
    row "${sample%%:*} ($(( $(stat -c %s "$file") / 1024 )) KiB)" "$(ms "${t[0]}")" \
      "${peers[$((best - 1))]}" "$(ms "${t[$best]}")" "$(ratio "${t[0]}" "${t[$best]}")" \
      "<= ${sample##*:}x the fastest peer"
  fi
done

mapfile -t t < <(compare empty 500 50 "$kestrox $work/in/empty q @OUT@/" /bin/true)
row "empty file" "$(ms "${t[0]}")" /bin/true "$(ms "${t[1]}")" \
  "$(awk -v a="${t[0]}" -v b="${t[1]}" 'BEGIN { printf "%+.3f ms", (a - b) * 1000 }')" \
  "<= /bin/true + 0.2 ms"

# The message's own files: the same run with --message, held to within 10% of the run without.
file="$corpus/horde_TnefAttachments.tnef"
if [ -f "$file" ]; then
  mapfile -t t < <(compare message 300 30 "$kestrox $file q @OUT@/" \
    "$kestrox --message $file q @OUT@/")
  row "--message, ${file##*/}" "$(ms "${t[1]}")" without "$(ms "${t[0]}")" \
    "$(ratio "${t[1]}" "${t[0]}")" "<= 1.10x without"
fi

# 400 small sources: one batch process against one process each, both keeping every file.
mkdir -p "$work/in/many"
for i in $(seq 1 400); do
  [ -f "$work/in/many/$i.dat" ] || cp "$here/samples/winmail.dat" "$work/in/many/$i.dat"
done
cat >"$work/batch.sh" <<BATCH
exec "$kestrox" --batch --keep-both -o "\$1" "$work/in/many/"*.dat >/dev/null
BATCH
cat >"$work/each.sh" <<EACH
for f in "$work/in/many/"*.dat; do "$kestrox" -q --keep-both -o "\$1" "\$f" >/dev/null; done
EACH
mapfile -t t < <(compare batch 10 2 "bash $work/batch.sh @OUT@" "bash $work/each.sh @OUT@")
row "400 sources, one --batch process" "$(ms "${t[0]}")" "400 runs" "$(ms "${t[1]}")" \
  "$(ratio "${t[0]}" "${t[1]}")" "<= 0.25x one process each"

# Files read before each timed run of the large rows; made once, of random bytes.
fill_mb=${FILL_MB:-1200}
mkdir -p "$work/fill"
for i in $(seq 1 $(((fill_mb + 199) / 200))); do
  [ -f "$work/fill/$i" ] || head -c 200M /dev/urandom >"$work/fill/$i"
done
cat >"$work/prepare.sh" <<PREPARE
find "$work/out" -mindepth 2 -delete
cat "$work/fill"/* >/dev/null
PREPARE

# rounds INPUT: prints one line per round, "wall-ratio cpu-ratio kestrox-seconds cp-seconds".
rounds() {
  local file=$1 json="$work/round.json" first second
  for round in $(seq 1 "$runs"); do
    rm -rf "$work/out/0" "$work/out/1" && mkdir -p "$work/out/0" "$work/out/1"
    first="$kestrox $file q $work/out/0/" second="cp $file $work/out/1/"
    ((round % 2)) || { local t=$first; first=$second; second=$t; }
    hyperfine -N -i --style none --runs 1 --prepare "bash $work/prepare.sh" \
      --export-json "$json" "$first" "$second" >/dev/null 2>"$work/large.log" ||
      { cat "$work/large.log" >&2; exit 1; }
    python3 -c 'import json, sys
r = {x["command"].split()[0]: x for x in json.load(open(sys.argv[1]))["results"]}
k, c = r[sys.argv[2]], r["cp"]
cpu = lambda x: x["user"] + x["system"]
print("%.3f %.3f %.4f %.4f" % (k["mean"] / c["mean"], cpu(k) / cpu(c), k["mean"], c["mean"]))' \
      "$json" "$kestrox"
  done
}

inputs=(raw-256.tnef:1.15 base64-256.eml:2.0 qp-256.eml:3.0)
[ "$many" -eq 1 ] && inputs+=(small-64.tnef:-)
printf '\n%-16s %10s %10s   %-20s %9s   %s\n' "full page cache" kestrox cp \
  "ratio low/med/high" "cpu ratio" "goal (every round)"
for input in "${inputs[@]}"; do
  file="$work/in/${input%%:*}"
  target=${input##*:}
  rounds "$file" | python3 -c 'import sys, statistics as st
name, goal = sys.argv[1], sys.argv[2]
rows = [list(map(float, line.split())) for line in sys.stdin]
wall = sorted(r[0] for r in rows)
med = lambda i: st.median(r[i] for r in rows)
verdict = "" if goal == "-" else "<= %sx cp: %s" % (goal, "met" if wall[-1] <= float(goal) else "missed")
print("%-16s %7.0f ms %7.0f ms   %.2f/%.2f/%.2fx %12.2fx   %s" % (name, med(2) * 1000, med(3) * 1000,
      wall[0], st.median(wall), wall[-1], med(1), verdict))' "${input%%:*}" "$target"
done

for input in raw-256.tnef base64-256.eml qp-256.eml; do
  file="$work/in/$input"
  find "$work/out" -mindepth 1 -delete
  /usr/bin/time -f '%M' -o "$work/peak" "$kestrox" "$file" q "$work/out/" >/dev/null 2>&1 || true
  peak=$(tail -n 1 "$work/peak")
  size=$(( $(stat -c %s "$file") / 1024 ))
  row "peak memory, $input" "$((peak / 1024)) MiB" "input" "$((size / 1024)) MiB" \
    "+$(( (peak - size) / 1024 )) MiB" "<= input + 8 MiB"
done
