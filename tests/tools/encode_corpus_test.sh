#!/usr/bin/env bash
# tools/encode_corpus.sh on a small corpus cut from the example game.
#
# usage: encode_corpus_test.sh BINARY SCRIPT GAME.ndjson4
set -u
binary=$1
script=$2
game=$3
export QUORVANE_4D=$binary

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Five games of eight plies in two folders; one has a line that does not parse.
mkdir -p league/a league/b
grep '"fen4":' "$game" | split -l 8 -d - part.
i=0
for part in part.0[0-4]; do
  folder=league/a
  [ $i -ge 3 ] && folder=league/b
  cp "$part" "$folder/game$i.ndjson4"
  i=$((i + 1))
done
sed -i '3s/.*/{"fen4": "4d-fen v1: X@0,0,0,0"}/' league/b/game4.ndjson4
games=(league/a/game0.ndjson4 league/a/game1.ndjson4 league/a/game2.ndjson4 league/b/game3.ndjson4 league/b/game4.ndjson4)

# The corpus, gzip, three at a time: the same containers as one encode per
# game, and the per-line message names its game.
"$script" -z -j 3 out "${games[@]}" 2>stderr
status=$?
[ $status -eq 0 ] || fail "exit status $status for a good corpus"
[ "$(cat stderr)" = "league/b/game4.ndjson4: encode: FEN4 parse error -3 at line 3" ] ||
  fail "standard error: $(cat stderr)"
for g in "${games[@]}"; do
  name=$(basename "$g" .ndjson4)
  "$binary" encode -i "$g" -o "direct_$name.quorvane4" 2>/dev/null
  cmp -s <("$binary" csv "out/$name.quorvanez4") <("$binary" csv "direct_$name.quorvane4") ||
    fail "out/$name.quorvanez4 differs from a direct encode"
done
[ "$(ls out | wc -l)" -eq 5 ] || fail "out holds $(ls out)"

# Games listed on standard input, plain containers.
printf '%s\n' "${games[@]}" | "$script" out_plain 2>/dev/null || fail "games on standard input"
for g in "${games[@]}"; do
  name=$(basename "$g" .ndjson4)
  cmp -s "out_plain/$name.quorvane4" "direct_$name.quorvane4" || fail "out_plain/$name.quorvane4 differs"
done

# --zstd and --zstd=LEVEL write zstd containers of the same frames.
"$script" --zstd=5 -j 2 out_zstd "${games[@]}" 2>/dev/null || fail "--zstd=5"
"$script" --zstd out_zstd3 league/a/game0.ndjson4 2>/dev/null || fail "--zstd"
for out in out_zstd/game0.quorvanez4 out_zstd/game3.quorvanez4 out_zstd3/game0.quorvanez4; do
  name=$(basename "$out" .quorvanez4)
  [ "$(head -c 4 "$out" | od -An -tx1 | tr -d ' ')" = 28b52ffd ] || fail "$out is not zstd"
  cmp -s <("$binary" csv "$out") <("$binary" csv "direct_$name.quorvane4") || fail "$out differs from a direct encode"
done
"$script" --zstd=20 out_bad league/a/game0.ndjson4 2>/dev/null
[ $? -eq 1 ] || fail "--zstd=20 must fail the game"
"$script" --gzip out_bad league/a/game0.ndjson4 2>/dev/null
[ $? -eq 2 ] || fail "an unknown long option must be a usage error"

# A game that cannot be read fails alone; no container appears for it.
"$script" out_missing league/a/game0.ndjson4 league/a/nowhere.ndjson4 2>stderr
[ $? -eq 1 ] || fail "a missing game must give exit status 1"
grep -qx "encode_corpus: league/a/nowhere.ndjson4 failed (exit 3)" stderr || fail "standard error: $(cat stderr)"
[ "$(ls out_missing)" = "game0.quorvane4" ] || fail "out_missing holds $(ls out_missing)"

# Two games with one name are refused before anything is written.
cp league/a/game0.ndjson4 league/b/game0.ndjson4
"$script" out_twice league/a/game0.ndjson4 league/b/game0.ndjson4 2>stderr
[ $? -eq 2 ] || fail "games with one name must give exit status 2"
[ ! -e out_twice ] || fail "out_twice was created"

# -k keeps containers already there; without it they are made again.
echo kept >out/game0.quorvanez4
"$script" -z -k out league/a/game0.ndjson4 2>/dev/null
[ "$(cat out/game0.quorvanez4)" = kept ] || fail "-k replaced a container"
"$script" -z out league/a/game0.ndjson4 2>/dev/null
cmp -s <("$binary" csv out/game0.quorvanez4) <("$binary" csv direct_game0.quorvane4) || fail "no -k: not made again"

# -j runs games at the same time: each stand-in program waits until all
# three have started (it gives up after five seconds).
cat >standin <<'EOF'
#!/usr/bin/env bash
touch "started.$$"
for _ in $(seq 50); do
  [ "$(ls started.* | wc -l)" -ge 3 ] && touch "${@: -1}" && exit 0
  sleep 0.1
done
exit 3
EOF
chmod +x standin
QUORVANE_4D=$scratch/standin "$script" -j 3 out_standin league/a/*.ndjson4 2>stderr ||
  fail "three games with -j 3 did not run at the same time: $(cat stderr)"

[ -z "$(find . -name '*.part')" ] || fail "left behind: $(find . -name '*.part')"
[ $failures -eq 0 ]
