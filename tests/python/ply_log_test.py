"""read_ply_log against the program's encode: the same positions, trailers
and reported lines, for a log of every kind of line."""
import os
import re
import subprocess
import tempfile
import unittest
import warnings

import numpy

import quorvane4d
from support import PROGRAM, program_frames, write_lines

K = "4d-fen v1: K@0,0,0,4; k@7,7,7,4"
LINES = [
    '{"bridge_version": "1.0", "fen4": "' + K + '"}',
    '{"ply": 7, "fen4": "' + K + '", "move_from": [1, 0, 0, 4], "move_to": [2, 0, 0, 4], "promo": 3, "flags": 1}',
    '{"fen4": "' + K + '"}',                                          # no ply: the count before it
    '{"ply": -4, "fen4": "' + K + '", "promo": -1}',                 # negative ply: the count; promo 255
    '{"ply": "9", "fen4": "' + K + '", "move_from": [1, 2, 3]}',      # quoted ply, three coordinates
    '{"ply": 1.5, "fen4": "4d-fen v1: Q@1,1,1,1", "move_to": [257, -1, 0, 300], "flags": "x"}',
    '{"fen4": "4d-fen v1: X@0,0,0,0"}',                              # reported, skipped
    '{"fen4" : "' + K + '"}',                                         # key not found: silent
    '',
    '{"fen4": "' + " " * 65536 + '"}',                                # reported as too long
    '{"fen4": "' + " " * 65535 + '"}',                                # parsed: -2, reported
    '{"ply": 2, "pad": "' + "x" * 90000 + '", "fen4": "' + K + '"}',  # long line: fen4 in its second piece
    '{"ply": 12, "meta": {"ply": 4}, "fen4": "4d-fen v1: py@6,7,7,3"}',
]


class AsTheProgramReadsIt(unittest.TestCase):
    def test_positions_trailers_and_messages(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = write_lines(scratch, "log.ndjson4", LINES)
            values, trailers = program_frames(path)
            stderr = subprocess.run([PROGRAM, "encode", "-i", path, "-o", os.path.join(scratch, "x")],
                                    capture_output=True).stderr.decode()
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                records = list(quorvane4d.read_ply_log(path))
        self.assertEqual(len(records), len(values))
        self.assertEqual(len(records), 7)
        for record, trailer, value in zip(records, trailers, values):
            self.assertEqual((record.ply, record.move_from, record.move_to, record.promo, record.flags),
                             (trailer["ply"], tuple(trailer["move_from"]), tuple(trailer["move_to"]),
                              trailer["promo"], trailer["flags"]))
            self.assertTrue(numpy.array_equal(quorvane4d.encode(record.fen4), value))
        self.assertEqual([r.ply for r in records], [7, 1, 2, 3, 1, 5, 12])
        self.assertEqual(records[5].line, 13)  # the pieces of the long line are counted as lines
        self.assertEqual(records[0].line, 2)
        # The lines the program reports are the ones warned about, with the same numbers.
        program_said = re.findall(r"(FEN4 parse error -?\d+ at line \d+|line \d+: FEN4 string longer)", stderr)
        said = [re.search(r"(FEN4 parse error -?\d+ at line \d+|line \d+: FEN4 string longer)", str(w.message))[0]
                for w in caught]
        self.assertEqual(said, program_said)
        self.assertEqual(len(said), 3)
        self.assertTrue(all(issubclass(w.category, RuntimeWarning) for w in caught))

    def test_missing_or_unreadable(self):
        with self.assertRaises(FileNotFoundError):
            list(quorvane4d.read_ply_log("/nonexistent/log.ndjson4"))
        with tempfile.TemporaryDirectory() as scratch:
            with self.assertRaises(OSError):  # a directory opens, but reading it fails
                list(quorvane4d.read_ply_log(scratch))
            empty = write_lines(scratch, "empty.ndjson4", [])
            self.assertEqual(list(quorvane4d.read_ply_log(empty)), [])

    def test_iterators_are_independent_and_close_early(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = write_lines(scratch, "log.ndjson4", [LINES[1], LINES[2], LINES[12]])
            a, b = quorvane4d.read_ply_log(path), quorvane4d.read_ply_log(path)
            self.assertEqual(next(a).ply, 7)
            self.assertEqual([r.ply for r in b], [7, 1, 12])
            self.assertEqual([r.ply for r in a], [1, 12])
            c = quorvane4d.read_ply_log(path)
            next(c)
            c.close()  # the file is closed with the generator


if __name__ == "__main__":
    unittest.main()
