#!/usr/bin/env bash
# Fuzzes each target for a bounded time, one after the other.
#
# usage: tests/fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
#   BUILD_DIR  a build configured with -DQUORVANE_FUZZ=ON
#   TARGET     parse_fen4 ndjson4_line fixture_line csv_read zstd_read encode_position pack_read
#              (default: all of them)
#
# Every run starts from the target's seed corpus and past findings (read,
# never written) and from what earlier runs in BUILD_DIR found, kept in
# BUILD_DIR/fuzz-corpus/TARGET. An input that fails is written to
# BUILD_DIR/fuzz-findings/ and the script exits 1 after the other targets.
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse_fen4 ndjson4_line fixture_line csv_read zstd_read encode_position pack_read)

failed=0
for target in "${targets[@]}"; do
  exe=$build/tests/fuzz/fuzz_$target
  work=$build/fuzz-corpus/$target
  mkdir -p "$work" "$build/fuzz-findings"
  inputs=("$here/corpus/$target")
  [ -d "$here/findings/$target" ] && inputs+=("$here/findings/$target")
  options=(-max_total_time="$seconds" -timeout=20 -print_final_stats=1
           -artifact_prefix="$build/fuzz-findings/$target-")
  # Boards are 8192 bytes; shorter inputs are padded with empty squares.
  [ "$target" = encode_position ] && options+=(-max_len=8192)
  # Fixture lines longer than the reader's 4095-byte buffer come in pieces.
  [ "$target" = fixture_line ] && options+=(-max_len=12288)
  log=$build/fuzz-$target.log
  if "$exe" "${options[@]}" "$work" "${inputs[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${runs:-?} inputs in ${seconds} s, nothing found"
  else
    echo "fuzz $target: FAILED; log $log, input in $build/fuzz-findings/"
    tail -n 40 "$log"
    failed=1
  fi
done
exit $failed
