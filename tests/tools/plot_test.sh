#!/usr/bin/env bash
# tools/plot_csv.py turns the example game's csv report into a PNG, and
# refuses a file that is not a report. Exit 77 (skipped) without matplotlib.
#
# usage: plot_test.sh BINARY PYTHON SCRIPT GAME.ndjson4
set -u
binary=$1
python=$2
script=$3
game=$4
"$python" -c "import matplotlib" 2>/dev/null || { echo "matplotlib is not installed"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

"$binary" encode -i "$game" -o game.quorvane4 2>/dev/null || exit 1
"$binary" csv game.quorvane4 | "$python" "$script" -o game.png || { echo "FAIL: plotting the report"; exit 1; }
[ "$(head -c 8 game.png | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || { echo "FAIL: game.png is no PNG"; exit 1; }

echo "ply,E_A1" >other.csv
if "$python" "$script" other.csv -o other.png 2>stderr || [ -e other.png ]; then
  echo "FAIL: a file that is not a report was plotted"
  exit 1
fi
grep -q "not a quorvane_4d csv report" stderr || { echo "FAIL: standard error: $(cat stderr)"; exit 1; }
