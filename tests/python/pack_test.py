"""pack() and open_pack() against the program: every packed position encodes
to the frame `encode` writes for its line, with its trailer, the next line's
move and the named keys; damaged packs raise PackError naming the block."""
import gzip
import json
import math
import os
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
import warnings

import numpy

import quorvane4d
from quorvane4d.errors import PackError, Result
from support import EXAMPLE_GAME, PROGRAM, program_frames

try:
    import zstandard
except ImportError:
    zstandard = None
GEN_GAME = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "gen_game.py")


def lines_of(path):
    with open(path) as f:
        return f.read().splitlines()


class RoundTrip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        d = cls.scratch.name
        games = []
        for seed in (1, 2):
            path = os.path.join(d, f"g{seed}.ndjson4")
            subprocess.run([sys.executable, GEN_GAME, "game", "--plies", "120", "--pieces", "60", "--seed", str(seed),
                            "--keys", "-o", path], check=True)
            games.append(path)
        # Two games in one file, a score missing here and there, a line that
        # does not parse, a game without a result.
        text = "".join("\n".join(lines_of(p)) + "\n" for p in games)
        text = text.replace(', "score": 0.5}', "}").replace(', "result": 1}', "}")
        lines = text.splitlines(keepends=True)
        lines.insert(7, '{"fen4": "4d-fen v1: K@8,0,0,0"}\n')
        cls.plain = os.path.join(d, "games.ndjson4")
        with open(cls.plain, "w") as f:
            f.writelines(lines)
        cls.gz = os.path.join(d, "example.ndjson4.gz")
        with open(EXAMPLE_GAME, "rb") as f, open(cls.gz, "wb") as out:
            out.write(gzip.compress(f.read()))
        cls.inputs = [cls.plain, cls.gz]
        if zstandard is not None:
            cls.zst = os.path.join(d, "g1.zst")
            with open(games[0], "rb") as f, open(cls.zst, "wb") as out:
                out.write(zstandard.ZstdCompressor().compress(f.read()))
            cls.inputs.append(cls.zst)
        cls.output = os.path.join(d, "out.q4pack")
        with warnings.catch_warnings(record=True) as cls.caught:
            warnings.simplefilter("always")
            cls.summary = quorvane4d.pack(cls.inputs, cls.output, keys=["score"], game_keys=["result"], threads=1)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_positions_encode_as_the_program_writes_them(self):
        frames = [program_frames(path if not path.endswith(".gz") else EXAMPLE_GAME) for path in self.inputs]
        values = numpy.concatenate([v for v, _ in frames])
        trailers = numpy.concatenate([t for _, t in frames])
        with quorvane4d.open_pack(self.output) as p:
            self.assertEqual(len(p), len(values))
            self.assertEqual(self.summary.positions, len(p))
            self.assertEqual(p.inputs, self.inputs)
            numpy.testing.assert_array_equal(p.encode_batch(numpy.arange(len(p))[::-1], threads=2), values[::-1])
            labels = p.labels
            for name in ("ply", "promo", "flags"):
                numpy.testing.assert_array_equal(labels[name], trailers[name])
            numpy.testing.assert_array_equal(labels["move_from"], trailers["move_from"])
            numpy.testing.assert_array_equal(labels["move_to"], trailers["move_to"])
            for k in (0, 1, len(p) // 2, len(p) - 1):
                record = p[k]
                numpy.testing.assert_array_equal(quorvane4d.encode(record.fen4), values[k])
                numpy.testing.assert_array_equal(p.encode(k), values[k])
                self.assertEqual(record.ply, trailers["ply"][k])

    def test_labels_follow_the_lines(self):
        with quorvane4d.open_pack(self.output) as p:
            labels = p.labels
            expected_score, expected_result, games, chained = [], [], [], []
            game = -1
            for path in self.inputs:
                source = EXAMPLE_GAME if path.endswith(".gz") else path
                if path.endswith(".zst"):
                    source = os.path.join(os.path.dirname(path), "g1.ndjson4")
                result = math.nan
                follows = False  # the line before was a position of the same game
                for line in lines_of(source):
                    if "bridge_version" in line or "K@8" in line:  # a skipped line ends the chain of moves too
                        if "K@8" not in line:
                            result = float(json.loads(line).get("result", math.nan))
                            game += 1
                        follows = False
                        continue
                    if '"fen4"' not in line:
                        continue
                    chained.append(follows)
                    follows = True
                    record = json.loads(line)
                    expected_score.append(float(record.get("score", math.nan)))
                    expected_result.append(result)
                    games.append(game)
            numpy.testing.assert_array_equal(labels["score"], numpy.float32(expected_score))
            numpy.testing.assert_array_equal(labels["result"], numpy.float32(expected_result))
            numpy.testing.assert_array_equal(labels["game"], games)
            self.assertEqual(p.n_games, games[-1] + 1)
            # The next move is the next position's, within a game and with no skipped line
            # between them; the last of a game has none.
            follows = numpy.append(numpy.array(chained[1:], dtype=bool), False)
            numpy.testing.assert_array_equal(labels["has_next_move"], follows & numpy.append(labels["has_move"][1:], False))
            moved = labels["has_next_move"]
            numpy.testing.assert_array_equal(labels["next_move_to"][moved], labels["move_to"][1:][moved[:-1]])
            self.assertFalse(labels["has_move"][0])  # the first line of a game gives no move

    def test_skipped_lines_are_warned_as_the_program_reports_them(self):
        said = [str(w.message) for w in self.caught]
        self.assertEqual(said, [f"{self.plain}: FEN4 parse error -4 at line 8"])
        self.assertEqual(self.summary.lines_skipped, 1)
        cli = os.path.join(self.scratch.name, "cli.q4pack")
        result = subprocess.run([PROGRAM, "pack", "-o", cli, "--key", "score", "--game-key", "result", "--threads", "2",
                                 *self.inputs], capture_output=True)
        self.assertEqual(result.stderr.decode(), f"pack: {said[0]}\n")
        with open(cli, "rb") as a, open(self.output, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_summary_of_python_m(self):
        env = dict(os.environ)
        result = subprocess.run([sys.executable, "-m", "quorvane4d", self.output], capture_output=True, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout.decode()
        self.assertIn(f"{self.summary.positions} positions in {self.summary.games} games", out)
        self.assertIn("inputs: 3:" if zstandard is not None else "inputs: 2:", out)
        self.assertIn("score (per ply), result (per game)", out)


class Damaged(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        log = os.path.join(cls.scratch.name, "g.ndjson4")
        subprocess.run([sys.executable, GEN_GAME, "game", "--plies", "1500", "--pieces", "150", "-o", log], check=True)
        cls.path = os.path.join(cls.scratch.name, "good.q4pack")
        quorvane4d.pack(log, cls.path)
        with open(cls.path, "rb") as f:
            cls.good = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def damaged(self, data):
        path = os.path.join(self.scratch.name, "damaged.q4pack")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_a_damaged_block_is_named_by_every_reader(self):
        with quorvane4d.open_pack(self.path) as p:
            self.assertGreater(p.n_blocks, 1)
        data = bytearray(self.good)
        index = int.from_bytes(data[-32:-24], "little")
        data[index - 10] ^= 0x10  # inside the last block
        path = self.damaged(bytes(data))
        with quorvane4d.open_pack(path) as p:
            with self.assertRaises(PackError) as caught:
                p.verify()
            error = caught.exception
            self.assertEqual((error.code, error.path, error.block), (Result.PACK_ERR_BLOCK_CHECKSUM, path, p.n_blocks - 1))
            with self.assertRaises(PackError):
                p.encode_batch([len(p) - 1, 0])
            p[0]  # other blocks still read
        result = subprocess.run([sys.executable, "-m", "quorvane4d", path], capture_output=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"block {error.block}", result.stderr.decode())

    def test_cut_files_and_other_files(self):
        for data, code in ((self.good[:len(self.good) - 10], Result.PACK_ERR_FOOTER),
                           (self.good[:100], Result.PACK_ERR_FOOTER), (b"not a pack at all" * 10, Result.PACK_ERR_MAGIC)):
            with self.assertRaises(PackError) as caught:
                quorvane4d.open_pack(self.damaged(data))
            self.assertEqual(caught.exception.code, code)
        with self.assertRaises(OSError):
            quorvane4d.open_pack(os.path.join(self.scratch.name, "missing.q4pack"))

    def test_close_while_another_thread_encodes(self):
        p = quorvane4d.open_pack(self.path)
        errors = []

        def encode():
            try:
                for _ in range(5):
                    p.encode_batch(range(64))
            except ValueError as e:  # closed
                errors.append(e)
        worker = threading.Thread(target=encode)
        worker.start()
        p.close()
        worker.join()
        with self.assertRaises(ValueError):
            p[0]


class Interrupted(unittest.TestCase):
    def test_ctrl_c_while_an_input_waits_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as scratch:
            fifo = os.path.join(scratch, "fifo")
            os.mkfifo(fifo)

            def interrupt(signum, frame):
                raise KeyboardInterrupt
            previous = signal.signal(signal.SIGALRM, interrupt)
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.2)
                with self.assertRaises(KeyboardInterrupt):
                    quorvane4d.pack([EXAMPLE_GAME, fifo], os.path.join(scratch, "out.q4pack"))
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
                signal.signal(signal.SIGALRM, previous)
            self.assertEqual(sorted(os.listdir(scratch)), ["fifo"])

    def test_bad_arguments(self):
        for keys, error in ((["ply"], quorvane4d.errors.ArgumentError), (["source"], quorvane4d.errors.ArgumentError),
                            ("score", TypeError), ([b"score"], TypeError), ([None], TypeError)):
            with self.assertRaises(error, msg=repr(keys)):
                quorvane4d.pack(EXAMPLE_GAME, "x.q4pack", keys=keys)
        with self.assertRaises(ValueError):
            quorvane4d.pack(EXAMPLE_GAME, "x.q4pack", threads=-1)
        with self.assertRaises(quorvane4d.errors.ArgumentError):
            quorvane4d.pack(EXAMPLE_GAME, "-")
        self.assertFalse(os.path.exists("-"))
        self.assertFalse(os.path.exists("x.q4pack"))

    def test_an_input_is_never_replaced_nor_packed_twice(self):
        with tempfile.TemporaryDirectory() as scratch:
            victim, other = os.path.join(scratch, "victim.ndjson4"), os.path.join(scratch, "other.ndjson4")
            with open(EXAMPLE_GAME, "rb") as f:
                game = f.read()
            for path in (victim, other):
                with open(path, "wb") as f:
                    f.write(game)
            dotted = os.path.join(scratch, ".", "victim.ndjson4")
            for inputs, output, code in (([victim], victim, Result.PACK_ERR_OUTPUT_IS_INPUT),
                                         ([other, dotted], victim, Result.PACK_ERR_OUTPUT_IS_INPUT),
                                         ([victim, other, dotted], os.path.join(scratch, "out.q4pack"),
                                          Result.PACK_ERR_INPUT_TWICE)):
                with self.assertRaises(quorvane4d.errors.ArgumentError) as caught:
                    quorvane4d.pack(inputs, output)
                self.assertEqual(caught.exception.code, code)
                self.assertEqual(caught.exception.path, inputs[-1])
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), game)
            self.assertEqual(sorted(os.listdir(scratch)), ["other.ndjson4", "victim.ndjson4"])

    def test_no_position_warns_and_a_pack_of_nothing_is_named(self):
        with tempfile.TemporaryDirectory() as scratch:
            text, empty = os.path.join(scratch, "notes.txt"), os.path.join(scratch, "empty.q4pack")
            with open(text, "w") as f:
                f.write("not a log\n")
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                self.assertEqual(quorvane4d.pack([text], os.path.join(scratch, "none.q4pack")).positions, 0)
            self.assertEqual([str(w.message) for w in caught],
                             ["no positions packed (empty input or all FEN4 parse errors)"])
            open(empty, "wb").close()
            result = subprocess.run([sys.executable, "-m", "quorvane4d", empty], capture_output=True)
            self.assertEqual((result.returncode, result.stderr.decode()),
                             (1, f"quorvane4d: {empty}: not a packed dataset\n"))

    def test_indices_past_the_end_in_any_integer_type(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "g.q4pack")
            quorvane4d.pack(EXAMPLE_GAME, path)
            with quorvane4d.open_pack(path) as p:
                for bad in (2**64 - 1, 2**63, len(p)):
                    with self.assertRaises(IndexError) as caught:
                        p.encode_batch(numpy.array([0, bad], dtype=numpy.uint64))
                    self.assertIn(f"position {bad} of", str(caught.exception))
                with self.assertRaises(IndexError):
                    p.encode_batch(numpy.array([-len(p) - 1], dtype=numpy.int64))
                self.assertEqual(p.encode_batch(numpy.array([len(p) - 1], dtype=numpy.uint64)).shape, (1, 45056))


if __name__ == "__main__":
    unittest.main()
