#!/usr/bin/env python3
"""Seeded test material for the benchmarks: NDJSON4 ply logs and fixture files.

  gen_game.py game     --plies N --pieces P [--seed S] [--keys] [-o PATH]
  gen_game.py fixtures --count K --pieces P [--seed S] [-o PATH]

A game starts from a random position of P pieces in a mix like real play
(about half pawns of both axes, then knights, bishops, rooks and queens, and
one king per side). Each ply moves a piece of the side to move to a square its
kind reaches on the empty board, capturing whatever stands there (never a
king, never its own side). A pawn steps forward along its axis and becomes a
queen on the last square of it. With --keys the game also carries labels to
pack: its metadata line a "result" (1, 0 or -1) and each ply line a "score"
(an evaluation in pawns, two decimals, drifting from ply to ply); they come
from a random generator of their own, so the game is the same with or
without them. A fixture file holds K independent random positions named
pos_0 ... pos_<K-1>, one line each.

The same arguments always write the same bytes: only random.Random(seed) is
used, and squares are visited in sorted order. Output goes to standard output
unless -o names a file.
"""
import argparse
import json
import random
import sys

# One side's share of a position, repeated until P pieces are placed; the
# kings are placed first and never taken.
MIX = "PPPPPPPPNNBBRRQ"
PROMO_QUEEN = 4  # piece kinds: 0 pawn, 1 knight, 2 bishop, 3 rook, 4 queen, 5 king
FLAG_CAPTURE = 1
FLAG_PROMOTION = 2
AXIS_INDEX = {"w": 3, "y": 1}
PAWN_MOVE_CHANCE = 0.1


def on_board(square):
    return all(0 <= c <= 7 for c in square)


def offsets(kind):
    """Offsets in (x, y, z, w) of a kind's moves on the empty board."""
    result = []
    if kind in "RQ":
        for a in range(4):
            for t in range(-7, 8):
                if t:
                    o = [0, 0, 0, 0]
                    o[a] = t
                    result.append(tuple(o))
    if kind in "BQ":
        for a in range(4):
            for b in range(a + 1, 4):
                for t in range(1, 8):
                    for sa in (1, -1):
                        for sb in (1, -1):
                            o = [0, 0, 0, 0]
                            o[a], o[b] = sa * t, sb * t
                            result.append(tuple(o))
    if kind == "N":
        for a in range(4):
            for b in range(4):
                if a != b:
                    for da in (1, -1):
                        for db in (2, -2):
                            o = [0, 0, 0, 0]
                            o[a], o[b] = da, db
                            result.append(tuple(o))
    if kind == "K":
        for x in (-1, 0, 1):
            for y in (-1, 0, 1):
                for z in (-1, 0, 1):
                    for w in (-1, 0, 1):
                        if (x, y, z, w) != (0, 0, 0, 0):
                            result.append((x, y, z, w))
    return result


OFFSETS = {kind: offsets(kind) for kind in "NBRQK"}


def random_position(rng, n_pieces):
    """Square (x, y, z, w) -> (letter, axis); axis is 'w' or 'y' for pawns."""
    board = {}

    def place(letter):
        axis = rng.choice("wy") if letter in "Pp" else None
        tries = 0
        while True:
            square = [rng.randrange(8) for _ in range(4)]
            # Pawns start on their own half of their axis, as in play, unless
            # a crowded board has no room left there.
            if axis and tries < 64:
                square[AXIS_INDEX[axis]] = rng.randrange(1, 4) if letter == "P" else rng.randrange(4, 7)
            tries += 1
            square = tuple(square)
            if square not in board:
                board[square] = (letter, axis)
                return

    letters = ["K", "k"]
    i = 0
    while len(letters) < n_pieces:
        letter = MIX[(i // 2) % len(MIX)]
        letters.append(letter if i % 2 == 0 else letter.lower())
        i += 1
    for letter in letters[:n_pieces]:
        place(letter)
    return board


def targets(board, square, white):
    letter, axis = board[square]
    kind = letter.upper()
    if kind == "P":
        moved = list(square)
        moved[AXIS_INDEX[axis]] += 1 if white else -1
        candidates = [tuple(moved)]
    else:
        candidates = [tuple(s + o for s, o in zip(square, off)) for off in OFFSETS[kind]]
    result = []
    for target in candidates:
        if not on_board(target):
            continue
        victim = board.get(target)
        if victim is None or (victim[0].isupper() != white and victim[0].upper() != "K"):
            result.append(target)
    return result


def fen4(board):
    entries = []
    for square, (letter, axis) in sorted(board.items()):
        entries.append(letter + (axis or "") + "@" + ",".join(str(c) for c in square))
    return "4d-fen v1: " + "; ".join(entries)


def write_game(out, rng, plies, n_pieces, seed, keys=False):
    board = random_position(rng, n_pieces)
    labels = random.Random(seed * 7919 + 17)
    metadata = {"bridge_version": "1.0", "event": "benchmark game", "seed": seed, "pieces": n_pieces}
    if keys:
        metadata["result"] = labels.choice([1, 0, -1])
    out.write(json.dumps(metadata) + "\n")
    score = 0.0

    def with_score(line):
        nonlocal score
        if keys:
            score = max(-20.0, min(20.0, score + labels.gauss(0, 0.3)))
            line["score"] = round(score, 2)
        return line

    out.write(json.dumps(with_score({"ply": 0, "fen4": fen4(board)})) + "\n")
    for ply in range(1, plies + 1):
        white = ply % 2 == 1
        # Draw pieces of the side to move until one can move.
        own = [s for s in sorted(board) if board[s][0].isupper() == white]
        while True:
            if not own:
                sys.exit("gen_game.py: no piece can move at ply %d" % ply)
            source = own.pop(rng.randrange(len(own)))
            # Pawns move less often than their number suggests, as in play;
            # otherwise most would be queens after a few hundred plies.
            if board[source][0] in "Pp" and rng.random() >= PAWN_MOVE_CHANCE:
                continue
            moves = targets(board, source, white)
            if moves:
                break
        target = rng.choice(moves)
        letter, axis = board.pop(source)
        flags = FLAG_CAPTURE if target in board else 0
        promo = 0
        if letter in "Pp" and target[AXIS_INDEX[axis]] == (7 if white else 0):
            letter, axis, promo = ("Q" if white else "q"), None, PROMO_QUEEN
            flags |= FLAG_PROMOTION
        board[target] = (letter, axis)
        out.write(json.dumps(with_score({"ply": ply, "fen4": fen4(board), "move_from": list(source),
                                         "move_to": list(target), "promo": promo, "flags": flags})) + "\n")


def write_fixtures(out, rng, count, n_pieces):
    for k in range(count):
        board = random_position(rng, n_pieces)
        pieces = {}
        for square, (letter, axis) in sorted(board.items()):
            index = 512 * square[0] + 64 * square[1] + 8 * square[2] + square[3]
            pieces[str(index)] = letter + (axis or "")
        out.write(json.dumps({"name": "pos_%d" % k, "pieces": pieces}, separators=(",", ":")) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["game", "fixtures"])
    parser.add_argument("--plies", type=int, default=1000, help="plies after the start position (game)")
    parser.add_argument("--count", type=int, default=1, help="positions (fixtures)")
    parser.add_argument("--pieces", type=int, default=96, help="pieces of the (start) position, 2 or more")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keys", action="store_true", help="a result in the metadata line, a score in each ply line")
    parser.add_argument("-o", "--output", help="output path (default: standard output)")
    args = parser.parse_args(argv)
    if not 2 <= args.pieces <= 4096:
        parser.error("--pieces must lie in 2..4096")
    rng = random.Random(args.seed)
    out = open(args.output, "w", encoding="ascii", newline="\n") if args.output else sys.stdout
    try:
        if args.what == "game":
            write_game(out, rng, args.plies, args.pieces, args.seed, args.keys)
        else:
            write_fixtures(out, rng, args.count, args.pieces)
    finally:
        if out is not sys.stdout:
            out.close()


if __name__ == "__main__":
    main(sys.argv[1:])
