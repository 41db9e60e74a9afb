"""What the package's tests share: the program, the test data, and the
program's own reading of a ply log (its encode command's container)."""
import os
import subprocess
import tempfile
import unittest

import numpy

import quorvane4d

PROGRAM = os.environ["QUORVANE_4D"]
DATA = os.environ["QUORVANE_TEST_DATA"]
EXAMPLE_GAME = os.environ["QUORVANE_EXAMPLE_GAME"]


def run(*args, cwd=None):
    return subprocess.run([PROGRAM, *map(str, args)], capture_output=True, check=True, cwd=cwd)


def program_frames(ply_log):
    """(values (n, 45056), trailers) of the container `encode` writes for the log."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "game.quorvane4")
        run("encode", "-i", ply_log, "-o", path)
        with quorvane4d.open_container(path) as game:
            return numpy.array(game.values), numpy.array(game.trailers)


def write_lines(directory, name, lines):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.writelines(line + "\n" for line in lines)
    return path


def fen4_of_pieces(pieces):
    """The FEN4 text of a fixture's pieces object (letters that are no piece left out)."""
    entries = []
    for square, piece in sorted(pieces.items(), key=lambda item: int(item[0])):
        if piece[0] not in "KQRBNPkqrbnp":
            continue
        s = int(square)
        entries.append(f"{piece}@{s >> 9},{(s >> 6) & 7},{(s >> 3) & 7},{s & 7}")
    return "4d-fen v1: " + "; ".join(entries)


def digest(values, trailer):
    """One position's identity: its values and trailer bytes."""
    import hashlib
    return hashlib.blake2b(values.tobytes() + trailer.tobytes(), digest_size=16).digest()


class GamesTestCase(unittest.TestCase):
    """Tests over make_games' logs: self.paths, self.expected, self.scratch."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.paths, cls.expected = make_games(cls.scratch.name)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()


def make_games(directory):
    """Three ply logs: the example game, the same positions reversed with
    every other ply number left out (default plies), and a short game.
    Returns their paths and the Counter of the positions encode writes."""
    import collections
    with open(EXAMPLE_GAME) as f:
        lines = f.read().splitlines()
    reversed_lines = [line.replace('"ply": ', '"turn": ') if k % 2 else line
                      for k, line in enumerate(reversed(lines[1:]))]
    paths = [EXAMPLE_GAME, write_lines(directory, "reversed.ndjson4", reversed_lines),
             write_lines(directory, "short.ndjson4", lines[:3] + ['{"fen4": "4d-fen v1: X@0,0,0,0"}'])]
    expected = collections.Counter()
    for path in paths:
        values, trailers = program_frames(path)
        expected.update(digest(v, t) for v, t in zip(values, trailers))
    return paths, expected


def trailer_records(labels):
    """The trailer fields of a batch's labels (numpy columns or tensors) as container records."""
    records = numpy.zeros(len(labels["ply"]), quorvane4d.TRAILER_DTYPE)
    for name in ("ply", "move_from", "move_to", "promo", "flags"):
        column = labels[name]
        records[name] = column.numpy() if hasattr(column, "numpy") else column
    return records
