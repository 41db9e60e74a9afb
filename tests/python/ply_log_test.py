"""read_ply_log against the program's encode: the same positions, trailers
and reported lines, for a log of every kind of line."""
import errno
import gzip
import os
import re
import signal
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
        with self.assertRaises(OSError) as caught:
            list(quorvane4d.read_ply_log("/nonexistent/log.ndjson4"))
        self.assertEqual(caught.exception.errno, errno.ENOENT)
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


class CompressedAndHostile(unittest.TestCase):
    def test_gzip_and_zstd_read_as_plain(self):
        import zstandard
        with tempfile.TemporaryDirectory() as scratch:
            plain = write_lines(scratch, "log.ndjson4", LINES[1:6])
            with open(plain, "rb") as f:
                text = f.read()
            with open(os.path.join(scratch, "log.gz"), "wb") as f:
                f.write(gzip.compress(text[:50]) + gzip.compress(text[50:]))  # two members
            with open(os.path.join(scratch, "log.zst"), "wb") as f:
                f.write(zstandard.ZstdCompressor().compress(text))
            with open(os.path.join(scratch, "cut.gz"), "wb") as f:
                f.write(gzip.compress(text)[:-12])
            expected = list(quorvane4d.read_ply_log(plain))
            self.assertEqual(len(expected), 5)
            for name in ("log.gz", "log.zst"):
                self.assertEqual(list(quorvane4d.read_ply_log(os.path.join(scratch, name))), expected)
            with self.assertRaises(quorvane4d.errors.PlyLogError) as caught:
                list(quorvane4d.read_ply_log(os.path.join(scratch, "cut.gz")))
            self.assertEqual(caught.exception.code, quorvane4d.errors.Result.CODEC_ERR_CUT)
            self.assertEqual(caught.exception.path, os.path.join(scratch, "cut.gz"))

    def test_endless_input_and_a_fifo_without_writer_give_way_to_ctrl_c(self):
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        previous = signal.signal(signal.SIGALRM, interrupt)
        try:
            with tempfile.TemporaryDirectory() as scratch:
                fifo = os.path.join(scratch, "fifo")
                os.mkfifo(fifo)
                for path in ("/dev/zero", fifo):
                    signal.setitimer(signal.ITIMER_REAL, 0.2)
                    with self.assertRaises(KeyboardInterrupt, msg=path):
                        list(quorvane4d.read_ply_log(path))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


if __name__ == "__main__":
    unittest.main()
