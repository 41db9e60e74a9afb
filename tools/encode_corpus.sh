#!/usr/bin/env bash
# Encodes a corpus of NDJSON4 ply logs, one quorvane_4d process per game,
# several at a time (xargs -P), into one container per game.
#
# usage: encode_corpus.sh [-j JOBS] [-z | --zstd[=LEVEL]] [-k] OUTDIR [GAME...]
#   -j JOBS   games encoded at once (default: the number of processors)
#   -z        gzip the containers (.quorvanez4; plain .quorvane4 otherwise)
#   --zstd[=LEVEL]  zstd instead (.quorvanez4), LEVEL 1 to 19 (default 3)
#   -k        keep containers already in OUTDIR: skip their games (resume a run)
#   GAME...   the ply logs; without any, one path per line on standard input
#
# Game dir/name.ndjson4 becomes OUTDIR/name.quorvane4 (or .quorvanez4). Each
# container is written under a temporary name (NAME.part) and renamed when its
# game is done, so an interrupted or failed run never leaves a partial file
# under a final name. The program's messages are prefixed with the game's
# path. The program is $QUORVANE_4D, else quorvane_4d on PATH, else the one
# in build/ beside this script.
#
# Exit status: 0 when every game was encoded, 1 when some failed (each named
# on standard error, its .part file left for inspection), 2 for bad usage.
set -euo pipefail

usage() {
  echo "usage: encode_corpus.sh [-j JOBS] [-z | --zstd[=LEVEL]] [-k] OUTDIR [GAME...]" >&2
  exit 2
}

jobs=$(nproc 2>/dev/null || echo 1)
compress=""
keep=0
# "-:" lets getopts pass long options on: --zstd comes as option "-" with "zstd".
while getopts "j:zk-:" option; do
  case $option in
    j) jobs=$OPTARG ;;
    z) compress="-z" ;;
    k) keep=1 ;;
    -) case $OPTARG in
         zstd | zstd=*) compress="--$OPTARG" ;;
         *) usage ;;
       esac ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || usage
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "encode_corpus: -j needs a positive number" >&2; exit 2; }
outdir=$1
shift

if [ -n "${QUORVANE_4D:-}" ]; then
  binary=$QUORVANE_4D
elif command -v quorvane_4d >/dev/null; then
  binary=$(command -v quorvane_4d)
else
  binary=$(cd "$(dirname "$0")/.." && pwd)/build/quorvane_4d
fi
[ -x "$binary" ] || { echo "encode_corpus: no quorvane_4d program at $binary (set QUORVANE_4D)" >&2; exit 2; }

games=()
if [ $# -gt 0 ]; then
  games=("$@")
else
  while IFS= read -r game; do
    [ -n "$game" ] && games+=("$game")
  done
fi
[ ${#games[@]} -gt 0 ] || { echo "encode_corpus: no games given" >&2; exit 2; }

extension=quorvane4
[ -n "$compress" ] && extension=quorvanez4

# Two games with one name would write one container: refuse before starting.
duplicates=$(for game in "${games[@]}"; do
  name=${game##*/}
  echo "${name%.ndjson4}"
done | sort | uniq -d)
if [ -n "$duplicates" ]; then
  echo "encode_corpus: several games would write the same container:" >&2
  echo "$duplicates" | sed 's/^/    /' >&2
  exit 2
fi

mkdir -p "$outdir"

# One game: encode into NAME.part, rename on success. Runs in its own bash,
# started by xargs with the game's path as $1.
encode_one='
  game=$1
  name=${game##*/}
  out=$OUTDIR/${name%.ndjson4}.$EXTENSION
  if [ "$KEEP" = 1 ] && [ -e "$out" ]; then exit 0; fi
  "$BINARY" encode $COMPRESS -i "$game" -o "$out.part" 2>&1 >/dev/null |
    while IFS= read -r line; do printf "%s: %s\n" "$game" "$line"; done >&2
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then
    kept=""
    [ -e "$out.part" ] && kept="; partial output kept in $out.part"
    echo "encode_corpus: $game failed (exit $status)$kept" >&2
    exit 1
  fi
  mv -f "$out.part" "$out"
'

export BINARY=$binary OUTDIR=$outdir EXTENSION=$extension COMPRESS=$compress KEEP=$keep
status=0
printf '%s\0' "${games[@]}" | xargs -0 -n 1 -P "$jobs" bash -c "$encode_one" encode_one || status=1
exit $status
