#!/usr/bin/env python3
"""Writes examples/game.ndjson4: a short, made-up game of four-dimensional
chess as an NDJSON4 ply log, for trying out `quorvane_4d encode` and `csv`.

The moves are chosen at random from a fixed seed, so every run writes the same
file. They follow simple movement rules (no check or mate logic): enough to
look like play, not a real game.

usage: make_example_game.py [output path]   (default: game.ndjson4 beside this script)
"""
import json
import os
import random
import sys

SEED = 4
PLIES = 40
BACK_RANK = "RNBQKBNR"
PROMO_QUEEN = 4  # piece kinds: 0 pawn, 1 knight, 2 bishop, 3 rook, 4 queen, 5 king
FLAG_CAPTURE = 1
FLAG_PROMOTION = 2


def start_position():
    """Square (x, y, z, w) -> (letter, axis); axis is 'w' or 'y' for pawns."""
    board = {}
    for x, letter in enumerate(BACK_RANK):
        board[(x, 0, 3, 0)] = (letter, None)
        board[(x, 7, 3, 7)] = (letter.lower(), None)
        board[(x, 0, 3, 1)] = ("P", "w")  # W-axis pawns advance along w
        board[(x, 7, 3, 6)] = ("p", "w")
    for x in range(2, 6):
        board[(x, 1, 4, 0)] = ("P", "y")  # Y-axis pawns advance along y
        board[(x, 6, 4, 7)] = ("p", "y")
    return board


def on_board(square):
    return all(0 <= c <= 7 for c in square)


def step(square, axes, deltas):
    moved = list(square)
    for axis, delta in zip(axes, deltas):
        moved[axis] += delta
    return tuple(moved)


def slides(board, square, directions, reach):
    """Targets along each direction, up to `reach` squares, stopping at a piece."""
    for axes, deltas in directions:
        target = square
        for _ in range(reach):
            target = step(target, axes, deltas)
            if not on_board(target):
                break
            yield target
            if target in board:
                break


def rook_directions():
    return [((a,), (d,)) for a in range(4) for d in (1, -1)]


def bishop_directions():
    return [((a, b), (da, db)) for a in range(4) for b in range(a + 1, 4)
            for da in (1, -1) for db in (1, -1)]


def targets(board, square):
    letter, axis = board[square]
    white = letter.isupper()
    kind = letter.upper()
    if kind == "P":
        forward = step(square, (3 if axis == "w" else 1,), (1 if white else -1,))
        return [forward] if on_board(forward) and forward not in board else []
    if kind == "N":
        jumps = [((a, b), (da, db)) for a in range(4) for b in range(4) if a != b
                 for da in (1, -1) for db in (2, -2)]
        return [t for t in (step(square, *j) for j in jumps) if on_board(t)]
    if kind == "B":
        return list(slides(board, square, bishop_directions(), 3))
    if kind == "R":
        return list(slides(board, square, rook_directions(), 3))
    if kind == "Q":
        return list(slides(board, square, rook_directions() + bishop_directions(), 3))
    return list(slides(board, square, rook_directions(), 1))  # king: one step


def legal_moves(board, white):
    moves = []
    for square, (letter, _) in sorted(board.items()):
        if letter.isupper() != white:
            continue
        for target in targets(board, square):
            victim = board.get(target)
            if victim is None or (victim[0].isupper() != white and victim[0].upper() != "K"):
                moves.append((square, target))
    return moves


def fen4(board):
    entries = []
    for square, (letter, axis) in sorted(board.items()):
        token = letter + (axis or "")
        entries.append(token + "@" + ",".join(str(c) for c in square))
    return "4d-fen v1: " + "; ".join(entries)


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "game.ndjson4")
    path = sys.argv[1] if len(sys.argv) > 1 else default
    rng = random.Random(SEED)
    board = start_position()
    lines = [{"bridge_version": "1.0", "event": "example game", "seed": SEED},
             {"ply": 0, "fen4": fen4(board)}]
    for ply in range(1, PLIES + 1):
        white = ply % 2 == 1
        moves = legal_moves(board, white)
        captures = [m for m in moves if m[1] in board]
        # Take a capture when one is there, half of the time: livelier play.
        source, target = rng.choice(captures if captures and rng.random() < 0.5 else moves)
        letter, axis = board.pop(source)
        flags = FLAG_CAPTURE if target in board else 0
        promo = 0
        last = 7 if white else 0
        if letter.upper() == "P" and target[3 if axis == "w" else 1] == last:
            letter, axis, promo = ("Q" if white else "q"), None, PROMO_QUEEN
            flags |= FLAG_PROMOTION
        board[target] = (letter, axis)
        lines.append({"ply": ply, "fen4": fen4(board), "move_from": list(source),
                      "move_to": list(target), "promo": promo, "flags": flags})
    with open(path, "w", encoding="ascii", newline="\n") as out:
        for line in lines:
            out.write(json.dumps(line) + "\n")


if __name__ == "__main__":
    main()
