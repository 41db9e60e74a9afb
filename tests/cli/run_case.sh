#!/usr/bin/env bash
# Runs one command-line case and compares standard output, standard error
# and the exit status with the case's expectations, byte for byte.
#
# A case is a folder:
#   cmd      shell script run in an empty scratch folder; $Q is the binary,
#            $DATA the tests' data folder, $EXPECTED the shared expected texts
#   stdout   expected standard output   (absent: must be empty)
#   stderr   expected standard error    (absent: must be empty)
#   exit     expected exit status       (absent: 0)
#   check    optional script run afterwards in the same scratch folder; it
#            must exit 0 (for files the command wrote)
#   requires optional script run first; if it fails, the case is skipped
#            (exit 77) with its output as the reason (for cases that need
#            something a machine may not allow, such as a mount namespace)
#
# Scripts also get $CLI_DIR, this folder, for its helper scripts.
#
# usage: run_case.sh BINARY CASE_DIR DATA_DIR
set -u
export Q=$1
case_dir=$2
export DATA=$3
export EXPECTED
EXPECTED=$(cd "$(dirname "$0")/expected" && pwd)
export CLI_DIR
CLI_DIR=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d)
captured=$(mktemp -d)
trap 'rm -rf "$scratch" "$captured"' EXIT
cd "$scratch" || exit 1

if [ -e "$case_dir/requires" ] && ! reason=$(bash "$case_dir/requires" 2>&1); then
  echo "skipped: ${reason:-requirement not met}"
  exit 77
fi

bash "$case_dir/cmd" >"$captured/stdout" 2>"$captured/stderr"
status=$?

failed=0
for stream in stdout stderr; do
  expected_file="$case_dir/$stream"
  [ -e "$expected_file" ] || expected_file=/dev/null
  if ! cmp -s "$expected_file" "$captured/$stream"; then
    echo "$stream differs from $(basename "$case_dir")/$stream:"
    diff <(od -c "$expected_file") <(od -c "$captured/$stream") | head -n 20
    failed=1
  fi
done

expected_status=0
[ -e "$case_dir/exit" ] && expected_status=$(cat "$case_dir/exit")
if [ "$status" != "$expected_status" ]; then
  echo "exit status $status, expected $expected_status"
  failed=1
fi

if [ -e "$case_dir/check" ] && ! bash "$case_dir/check"; then
  echo "check failed"
  failed=1
fi
exit $failed
