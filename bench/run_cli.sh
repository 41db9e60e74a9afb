#!/usr/bin/env bash
# Times the whole commands on generated games, beside gzip on the same
# containers, and prints each figure with its target.
#
#   bench/run_cli.sh [build-dir]      default build dir: build-bench
#
# RUNS (default 7) sets how many times each command runs; the median is
# printed. Every run writes a fresh output file, for ours and for gzip alike
# (replacing a large file costs the kernel extra work of its own). Needs
# python3, gzip and GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${RUNS:-7}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target quorvane_4d >/dev/null
q4d=$build/quorvane_4d
work=$build/cli-bench
mkdir -p "$work"

game=$work/game.ndjson4
python3 bench/gen_game.py game --plies 1000 --pieces 96 --seed 1 -o "$game"
python3 bench/gen_game.py game --plies 10 --pieces 96 --seed 2 -o "$work/short.ndjson4"
python3 bench/gen_game.py game --plies 2000 --pieces 96 --seed 2 -o "$work/long.ndjson4"
python3 bench/gen_game.py fixtures --count 1 --pieces 96 --seed 3 -o "$work/fixture.jsonl"
frames=$(grep -c '"fen4"' "$game")

# median_ms OUTPUT COMMAND...: median wall time in milliseconds of `runs`
# runs, removing OUTPUT (if not empty) before each; standard output discarded.
median_ms() {
  local out=$1 times=() t0 t1 i
  shift
  for ((i = 0; i < runs; i++)); do
    if [ -n "$out" ]; then rm -f "$out"; fi
    t0=$EPOCHREALTIME
    "$@" >/dev/null
    t1=$EPOCHREALTIME
    times+=($((${t1/./} - ${t0/./})))
  done
  printf '%s\n' "${times[@]}" | sort -n |
    awk '{ t[NR] = $1 } END { m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'
}

gzip_6() { gzip -6 -c "$1" >"$2"; }
gzip_dc() { gzip -dc "$1"; }
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
per_second() { awk -v n="$1" -v ms="$2" 'BEGIN { printf "%.0f", n / (ms / 1000) }'; }
verdict() { awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN { ok = op == "<=" ? v <= t : v >= t; print ok ? "met" : "MISSED" }'; }

plain=$work/game.quorvane4
packed=$work/game.quorvanez4
reference=$work/game.gz
"$q4d" encode -i "$game" -o "$plain"
"$q4d" encode -z -i "$game" -o "$packed"
gzip -6 -c "$plain" >"$reference"

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; $(date -u +%Y-%m-%d)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); runs per figure: $runs (median)"
echo "game: $frames frames of about 96 pieces, plain container $(stat -c %s "$plain") bytes"
echo

t_encode=$(median_ms "$work/out.quorvane4" "$q4d" encode -i "$game" -o "$work/out.quorvane4")
t_encode_z=$(median_ms "$work/out.quorvanez4" "$q4d" encode -z -i "$game" -o "$work/out.quorvanez4")
t_gzip=$(median_ms "$work/out.gz" gzip_6 "$plain" "$work/out.gz")
t_csv=$(median_ms "$work/out.csv" "$q4d" csv "$plain" -o "$work/out.csv")
t_csv_z=$(median_ms "$work/out.csv" "$q4d" csv "$packed" -o "$work/out.csv")
t_gunzip=$(median_ms "" gzip_dc "$packed")
t_fixture=$(RUNS=$((runs * 5)) median_ms "" "$q4d" encode-fixture --positions-jsonl "$work/fixture.jsonl" --name pos_0)

plies_per_s=$(per_second "$frames" "$t_encode")
rows_per_s=$(per_second "$frames" "$t_csv")
encode_z_ratio=$(ratio "$t_encode_z" "$t_gzip")
size_ratio=$(ratio "$(stat -c %s "$packed")" "$(stat -c %s "$reference")")
csv_z_ratio=$(ratio "$t_csv_z" "$t_gunzip")

printf '%-44s %12s   %-22s %s\n' "figure" "value" "target" "verdict"
printf '%-44s %9s ms\n' "encode (plain)" "$t_encode"
printf '%-44s %12s   %-22s %s\n' "  plies per second" "$plies_per_s" ">= 5000" "$(verdict "$plies_per_s" ">=" 5000)"
printf '%-44s %9s ms\n' "encode -z" "$t_encode_z"
printf '%-44s %9s ms\n' "gzip -6 of the plain container" "$t_gzip"
printf '%-44s %12s   %-22s %s\n' "  encode -z / gzip -6, time" "$encode_z_ratio" "<= 1.15" "$(verdict "$encode_z_ratio" "<=" 1.15)"
printf '%-44s %12s   %-22s %s\n' "  encode -z / gzip -6, size" "$size_ratio" "<= 1.01" "$(verdict "$size_ratio" "<=" 1.01)"
printf '%-44s %9s ms\n' "csv of the plain container" "$t_csv"
printf '%-44s %12s   %-22s %s\n' "  rows per second" "$rows_per_s" ">= 5000" "$(verdict "$rows_per_s" ">=" 5000)"
printf '%-44s %9s ms\n' "csv of the gzip container" "$t_csv_z"
printf '%-44s %9s ms\n' "gzip -dc of the gzip container" "$t_gunzip"
printf '%-44s %12s   %-22s %s\n' "  csv / gzip -dc" "$csv_z_ratio" "<= 1.4" "$(verdict "$csv_z_ratio" "<=" 1.4)"
printf '%-44s %9s ms   %-22s %s\n' "encode-fixture, one position, whole process" "$t_fixture" "< 5 ms" \
  "$(verdict "$t_fixture" "<=" 5)"

echo
echo "peak resident memory (KiB), 10-ply and 2000-ply games:"
peak_encode=()
peak_csv=()
for compress in "" "-z"; do
  for length in short long; do
    out=$work/$length.quorvane4$compress
    rm -f "$out"
    # shellcheck disable=SC2086  # $compress is empty or one word
    peak_encode[${#peak_encode[@]}]=$(peak_kib "$q4d" encode $compress -i "$work/$length.ndjson4" -o "$out")
    peak_csv[${#peak_csv[@]}]=$(peak_kib "$q4d" csv "$out" -o "$work/$length.csv")
  done
done
for i in 0 2; do
  label=$([ "$i" = 0 ] && echo "plain" || echo "gzip ")
  growth_encode=$((peak_encode[i + 1] - peak_encode[i]))
  growth_csv=$((peak_csv[i + 1] - peak_csv[i]))
  largest=$((growth_encode > growth_csv ? growth_encode : growth_csv))
  smallest=$((growth_encode < growth_csv ? growth_encode : growth_csv))
  largest=$((largest > -smallest ? largest : -smallest))
  printf '  encode %s %6s %6s  growth %5s   csv %6s %6s  growth %5s   target: |growth| < 1024, %s\n' "$label" \
    "${peak_encode[i]}" "${peak_encode[i + 1]}" "$growth_encode" "${peak_csv[i]}" "${peak_csv[i + 1]}" "$growth_csv" \
    "$(verdict "$largest" "<=" 1023)"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
