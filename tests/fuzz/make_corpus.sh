#!/usr/bin/env bash
# Writes seed corpora for the fuzz targets (corpus/<target>/) from the
# project's own example game, test data and binaries.
#
# usage: tests/fuzz/make_corpus.sh BUILD_DIR
#   BUILD_DIR: a build of this tree (any kind) holding quorvane_4d and
#   tests/fuzz/fen4_board
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
Q=$build/quorvane_4d
BOARD=$build/tests/fuzz/fen4_board
game=$root/examples/game.ndjson4
corpus=$here/corpus
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

rm -rf "$corpus"
mkdir -p "$corpus"/{parse_fen4,ndjson4_line,fixture_line,csv_read,zstd_read,encode_position,pack_read}

# The FEN4 string of line $1 of the example game.
game_fen4() { sed -n "$1p" "$game" | sed 's/.*"fen4": "\([^"]*\)".*/\1/'; }

worked='4d-fen v1: K@0,0,0,4; Q@0,0,0,3; P/w@1,0,0,4; py@6,7,7,3; k @ 7,7,7,4;'
every_letter='4d-fen v1: K@0,0,0,0; Q@1,0,0,0; R@2,0,0,0; B@3,0,0,0; N@4,0,0,0; Pw@5,0,0,0; P/y@6,0,0,0;
 k@0,7,7,7; q@1,7,7,7; r@2,7,7,7; b@3,7,7,7; n@4,7,7,7; p/w@5,7,7,7; py@6,7,7,7'
rooks='4d-fen v1: R@0,3,4,4; r@5,6,7,0'

# parse_fen4: literals of every token kind, and one of each error.
printf '%s' "$worked" >"$corpus/parse_fen4/worked_example"
printf '%s' "$every_letter" >"$corpus/parse_fen4/every_letter"
printf '%s' "$(game_fen4 2)" >"$corpus/parse_fen4/game_opening"
printf '%s' "$(game_fen4 42)" >"$corpus/parse_fen4/game_end"
printf '\t\r\n4d-fen v1:  ' >"$corpus/parse_fen4/empty_board"
printf '4d-fen v1: Nw@1,1,1,1' >"$corpus/parse_fen4/error_piece"
printf '4d-fen v1: K@0,0,0,8' >"$corpus/parse_fen4/error_coord"
printf '4d-fen v1: K@0,0,0,0;k@0,0,0,0' >"$corpus/parse_fen4/error_duplicate"
printf '4d-fen v1: K@0,0,0,0,1' >"$corpus/parse_fen4/error_separator"

# ndjson4_line: lines of the example game and lines with every trailer form.
head -n 3 "$game" >"$corpus/ndjson4_line/game_start"
fen='4d-fen v1: K@0,0,0,4; k@7,7,7,4'
cat >"$corpus/ndjson4_line/trailer_forms" <<LINES
{"ply": 3, "fen4": "$fen", "move_from": [1, 0, 0, 4], "move_to": [2, 0, 0, 4], "promo": 0, "flags": 0}
{"ply": 4294967297, "fen4": "$fen", "move_from": [1, 0, 0], "move_to": [257, -1, 7, 300], "promo": -1, "flags": 258}
{"ply" : 9, "fen4": "$fen", "move_from": [1.5, 0, 0, 0], "move_to":[3,3,3,3], "promo": "q"}
{"fen4":"$fen","move_from":[ 1 ,2,3 , 4 ],"flags": 1.9, "meta": {"promo": 5}}
LINES
printf '{"fen4": "4d-fen v1: K@0,0,0,0 k@1,1,1,1"}\n{"fen4": 42}\n{"fen4": "unterminated\n' \
  >"$corpus/ndjson4_line/bad_lines"

# fixture_line: a requested name, a newline, then a fixture file.
n=0
while IFS= read -r line; do
  name=$(printf '%s' "$line" | sed -n 's/.*"name": *"\([^"]*\)".*/\1/p')
  [ -n "$name" ] || continue
  n=$((n + 1))
  { printf '%s\n' "$name"; printf '%s\n' "$line"; } >"$corpus/fixture_line/$(printf '%02d' $n)_$name"
done < <(cat "$root/tests/data/fixtures.jsonl" "$root/tests/data/reference/positions.jsonl" | head -n 14)

# A line longer than 4095 bytes, the size of the pieces the reader once read.
{
  printf 'long\n{"name":"long","pieces":{'
  for s in $(seq 0 449); do printf '"%d":"K",' $s; done
  printf '"4095":"k"}}\n'
} >"$corpus/fixture_line/15_long"

# csv_read: containers written by the commands. Empty boards keep these seeds
# small: their vectors are all zeros and compress to almost nothing.
printf '{"ply": 5, "fen4": "4d-fen v1:", "move_from": [1, 2, 3, 4], "move_to": [7, 6, 5, 4], "promo": 3}\n' >"$scratch/two.ndjson4"
printf '{"fen4": "4d-fen v1:", "flags": 9}\n' >>"$scratch/two.ndjson4"
"$Q" encode -z -i "$scratch/two.ndjson4" -o "$corpus/csv_read/two_frames.quorvanez4"
"$Q" encode-fen4 --fen4 '4d-fen v1:' -z -o "$corpus/csv_read/one_frame.quorvanez4"
: | "$Q" encode -i - -o "$corpus/csv_read/header_only.quorvane4" 2>/dev/null
"$Q" encode-fen4 --fen4 '4d-fen v1:' -o "$scratch/one.quorvane4"
# with a file name in the gzip header (FNAME), as gzip(1) writes it
touch -d @86400 "$scratch/one.quorvane4"  # a fixed MTIME: the same seed on every run
gzip -c "$scratch/one.quorvane4" >"$corpus/csv_read/named_member.quorvanez4"
# a header that claims 4294967295 frames
printf '\377\377\377\377' | dd of="$scratch/one.quorvane4" bs=1 seek=20 conv=notrunc 2>/dev/null
gzip -c -n "$scratch/one.quorvane4" >"$corpus/csv_read/count_too_large.quorvanez4"

# zstd_read: the program's zstd containers, and zstd(1)'s of the same, one
# without its content size (written from a pipe) and one of two frames.
"$Q" encode --zstd -i "$scratch/two.ndjson4" -o "$corpus/zstd_read/two_frames.zst"
"$Q" encode-fen4 --fen4 '4d-fen v1:' --zstd=19 -o "$corpus/zstd_read/one_frame.zst"
"$Q" encode -i "$scratch/two.ndjson4" -o "$scratch/two.quorvane4"
zstd -q -c "$scratch/two.quorvane4" >"$corpus/zstd_read/zstd_tool.zst"
zstd -q -c <"$scratch/two.quorvane4" >"$corpus/zstd_read/no_content_size.zst"
{ head -c 1000 "$scratch/two.quorvane4" | zstd -q -c; tail -c +1001 "$scratch/two.quorvane4" | zstd -q -c; } \
  >"$corpus/zstd_read/two_zstd_frames.zst"
cp "$corpus/zstd_read/two_frames.zst" "$corpus/csv_read/two_frames.zst"

# encode_position: boards from FEN4, and boards with bytes no parser writes.
"$BOARD" "$worked" >"$corpus/encode_position/worked_example"
"$BOARD" "$every_letter" >"$corpus/encode_position/every_letter"
"$BOARD" "$rooks" >"$corpus/encode_position/cancelling_rooks"
"$BOARD" "$(game_fen4 2)" >"$corpus/encode_position/game_opening"
printf 'KXp\001\377' >"$corpus/encode_position/unknown_letters"
{ head -c 4096 /dev/zero | tr '\0' 'P'; printf '\000\001\002\377'; } >"$corpus/encode_position/pawns_with_odd_axes"

# pack_read: packs the program writes (one block, none, several), and the
# content of one block in the target's wrapping: a key count, a game count
# (u32), then the decompressed block.
"$Q" pack -o "$corpus/pack_read/example_game.q4pack" --key score --game-key seed "$game" 2>/dev/null
: | "$Q" pack -o "$corpus/pack_read/empty.q4pack" - 2>/dev/null
python3 "$root/bench/gen_game.py" game --plies 600 --pieces 300 --seed 5 --keys -o "$scratch/crowded.ndjson4"
"$Q" pack -o "$corpus/pack_read/two_blocks.q4pack" --key score --game-key result "$scratch/crowded.ndjson4"
# Block 0 of the example game's pack: its stored bytes start at 16, its size is in the index.
python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
index = struct.unpack_from("<Q", data, len(data) - 32)[0]
stored = struct.unpack_from("<I", data, index + 32 + 8)[0]
sys.stdout.buffer.write(data[16:16 + stored])' "$corpus/pack_read/example_game.q4pack" >"$scratch/block.zst"
{ printf '\002\001\000\000\000'; zstd -q -d -c "$scratch/block.zst"; } >"$corpus/pack_read/example_block"
