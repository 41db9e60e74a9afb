#!/usr/bin/env bash
# Times the whole commands on a generated game, beside gzip and zstd on the
# same containers, and prints each figure with its target.
#
#   bench/run_cli.sh [build-dir]      default build dir: build-bench
#
# RUNS (default 7) sets how many rounds are run; every round runs every
# command once, in the same order, so that the commands compared share the
# machine's load, and each figure is the median of its runs. Every run
# writes a fresh output file, for ours and for gzip and zstd alike
# (replacing a large file costs the kernel extra work of its own). Needs
# python3, gzip, zstd and GNU time (/usr/bin/time, Debian package "time").
# On a shared machine run it under `flock /tmp/q4d-bench.lock`.
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
python3 bench/gen_game.py game --plies 500 --pieces 96 --seed 1 -o "$game"
python3 bench/gen_game.py game --plies 10 --pieces 96 --seed 2 -o "$work/short.ndjson4"
python3 bench/gen_game.py game --plies 100 --pieces 96 --seed 2 -o "$work/mid.ndjson4"
python3 bench/gen_game.py game --plies 2000 --pieces 96 --seed 2 -o "$work/long.ndjson4"
python3 bench/gen_game.py fixtures --count 1 --pieces 96 --seed 3 -o "$work/fixture.jsonl"
frames=$(grep -c '"fen4"' "$game")
# The floor of any process: an empty C program, timed beside encode-fixture.
printf 'int main(void) { return 0; }\n' | cc -O2 -x c - -o "$work/empty"

plain=$work/game.quorvane4
packed=$work/game.quorvanez4
zstd_packed=$work/game.zst.quorvanez4
"$q4d" encode -i "$game" -o "$plain"
"$q4d" encode -z -i "$game" -o "$packed"
"$q4d" encode --zstd -i "$game" -o "$zstd_packed"
"$q4d" encode -z --threads 2 -i "$game" -o "$work/game.gz2.quorvanez4"
"$q4d" encode --zstd=5 -i "$game" -o "$work/game.zst5.quorvanez4"
gzip -6 -c "$plain" >"$work/game.gz"
out=$work/out

# The commands timed, by label. Each writes $out (removed before each run)
# or nothing; standard output is discarded.
declare -A command
command[encode]="\"$q4d\" encode -i \"$game\" -o \"$out\""
command[encode -z]="\"$q4d\" encode -z -i \"$game\" -o \"$out\""
command[encode -z --threads 2]="\"$q4d\" encode -z --threads 2 -i \"$game\" -o \"$out\""
command[encode --zstd]="\"$q4d\" encode --zstd -i \"$game\" -o \"$out\""
command[encode --zstd=5]="\"$q4d\" encode --zstd=5 -i \"$game\" -o \"$out\""
command[encode --zstd --threads 2]="\"$q4d\" encode --zstd --threads 2 -i \"$game\" -o \"$out\""
command[encode --threads 2]="\"$q4d\" encode --threads 2 -i \"$game\" -o \"$out\""
command[gzip -6]="gzip -6 -c \"$plain\" >\"$out\""
command[zstd -3]="zstd -q -3 -c \"$plain\" >\"$out\""
command[csv plain]="\"$q4d\" csv \"$plain\" -o \"$out\""
command[csv gzip]="\"$q4d\" csv \"$packed\" -o \"$out\""
command[csv zstd]="\"$q4d\" csv \"$zstd_packed\" -o \"$out\""
command[gzip -dc]="gzip -dc \"$packed\""
command[zstd -dc]="zstd -q -dc \"$zstd_packed\""
command[encode-fixture]="\"$q4d\" encode-fixture --positions-jsonl \"$work/fixture.jsonl\" --name pos_0"
command[empty C program]="\"$work/empty\""
labels=("encode" "encode -z" "encode -z --threads 2" "encode --zstd" "encode --zstd=5" "encode --zstd --threads 2"
        "encode --threads 2" "gzip -6" "zstd -3" "csv plain" "csv gzip" "csv zstd" "gzip -dc" "zstd -dc"
        "encode-fixture" "empty C program")

declare -A times
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); rounds: $runs (median)"
for ((round = 0; round < runs; round++)); do
  for label in "${labels[@]}"; do
    rm -f "$out"
    t0=$EPOCHREALTIME
    eval "${command[$label]}" >/dev/null
    t1=$EPOCHREALTIME
    times[$label]+=" $((${t1/./} - ${t0/./}))"
  done
done
# ms LABEL: the median in milliseconds
ms() {
  printf '%s\n' ${times[$1]} | sort -n |
    awk '{ t[NR] = $1 } END { m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.1f", m / 1000 }'
}

peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
per_second() { awk -v n="$1" -v ms="$2" 'BEGIN { printf "%.0f", n / (ms / 1000) }'; }
verdict() { awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN { ok = op == "<=" ? v <= t : v >= t; print ok ? "met" : "MISSED" }'; }
size() { stat -c %s "$1"; }
line() { printf '%-46s %12s   %-12s %s\n' "$@"; }
time_line() { printf '%-46s %9s ms\n' "$1" "$(ms "$1")"; }

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; $(date -u +%Y-%m-%d)"
echo "game: $frames frames of about 96 pieces; plain $(size "$plain"), gzip $(size "$packed"), zstd $(size "$zstd_packed") bytes"
echo
line "figure" "value" "target" "verdict"
time_line "encode"
line "  plies per second" "$(per_second "$frames" "$(ms encode)")" ">= 5000" \
  "$(verdict "$(per_second "$frames" "$(ms encode)")" ">=" 5000)"
time_line "encode --threads 2"
time_line "encode -z"
time_line "gzip -6"
r=$(ratio "$(ms "encode -z")" "$(ms "gzip -6")")
line "  encode -z / gzip -6, time" "$r" "<= 1.15" "$(verdict "$r" "<=" 1.15)"
r=$(ratio "$(size "$packed")" "$(size "$work/game.gz")")
line "  encode -z / gzip -6, size" "$r" "<= 1.01" "$(verdict "$r" "<=" 1.01)"
time_line "encode -z --threads 2"
r=$(ratio "$(ms "encode -z --threads 2")" "$(ms "encode -z")")
line "  encode -z --threads 2 / encode -z, time" "$r" "<= 0.6" "$(verdict "$r" "<=" 0.6)"
r=$(ratio "$(size "$work/game.gz2.quorvanez4")" "$(size "$packed")")
line "  encode -z --threads 2 / encode -z, size" "$r" "<= 1.01" "$(verdict "$r" "<=" 1.01)"
time_line "encode --zstd"
time_line "encode --zstd=5"
r=$(ratio "$(ms "encode --zstd=5")" "$(ms "encode -z")")
line "  encode --zstd=5 / encode -z, time" "$r" "(<= 0.25)" "$(verdict "$r" "<=" 0.25)"
r=$(ratio "$(size "$work/game.zst5.quorvanez4")" "$(size "$packed")")
line "  encode --zstd=5 / encode -z, size" "$r" "(<= 0.2)" "$(verdict "$r" "<=" 0.2)"
time_line "encode --zstd --threads 2"
time_line "zstd -3"
r=$(ratio "$(ms "encode --zstd")" "$(ms "encode -z")")
line "  encode --zstd / encode -z, time" "$r" "<= 0.25" "$(verdict "$r" "<=" 0.25)"
r=$(ratio "$(size "$zstd_packed")" "$(size "$packed")")
line "  encode --zstd / encode -z, size" "$r" "<= 0.2" "$(verdict "$r" "<=" 0.2)"
time_line "csv plain"
line "  rows per second" "$(per_second "$frames" "$(ms "csv plain")")" ">= 5000" \
  "$(verdict "$(per_second "$frames" "$(ms "csv plain")")" ">=" 5000)"
time_line "csv gzip"
time_line "gzip -dc"
r=$(ratio "$(ms "csv gzip")" "$(ms "gzip -dc")")
line "  csv gzip / gzip -dc" "$r" "<= 1.4" "$(verdict "$r" "<=" 1.4)"
time_line "csv zstd"
time_line "zstd -dc"
r=$(ratio "$(ms "csv zstd")" "$(ms "csv gzip")")
line "  csv zstd / csv gzip" "$r" "<= 0.6" "$(verdict "$r" "<=" 0.6)"
time_line "encode-fixture"
line "  one position, whole process" "$(ms encode-fixture) ms" "< 5 ms" "$(verdict "$(ms encode-fixture)" "<=" 5)"
time_line "empty C program"
r=$(awk -v a="$(ms encode-fixture)" -v b="$(ms "empty C program")" 'BEGIN { printf "%.1f", a - b }')
line "  encode-fixture - empty C program" "$r ms" "<= 1.5 ms" "$(verdict "$r" "<=" 1.5)"

echo
# Zstd's 8 MiB window fills with the first 46 frames: a 10-ply game (1.8 MB)
# touches less of it, so its growth is also shown from 100 plies.
echo "peak resident memory (KiB) of encode, then of csv of its output, for 10-, 100- and 2000-ply games;"
echo "target: growth to 2000 plies within 1024 KiB"
for options in "" "-z" "--zstd" "--threads 2" "-z --threads 2" "--zstd --threads 2"; do
  encode_peaks=()
  csv_peaks=()
  for length in short mid long; do
    rm -f "$out"
    # shellcheck disable=SC2086  # $options is zero or more words
    encode_peaks+=("$(peak_kib "$q4d" encode $options -i "$work/$length.ndjson4" -o "$out")")
    csv_peaks+=("$(peak_kib "$q4d" csv "$out" -o "$work/$length.csv")")
  done
  for from in 0 1; do
    growth_encode=$((encode_peaks[2] - encode_peaks[from]))
    growth_csv=$((csv_peaks[2] - csv_peaks[from]))
    worst=$((${growth_encode#-} > ${growth_csv#-} ? ${growth_encode#-} : ${growth_csv#-}))
    [ $from = 0 ] && printf '  %-20s encode %6s %6s %6s   csv %6s %6s %6s\n' "${options:-(plain)}" \
      "${encode_peaks[@]}" "${csv_peaks[@]}"
    printf '  %-20s   growth from %4s plies: encode %6s, csv %6s   %s\n' "" "$([ $from = 0 ] && echo 10 || echo 100)" \
      "$growth_encode" "$growth_csv" "$(verdict "$worst" "<=" 1024)"
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
