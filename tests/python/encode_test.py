"""encode and encode_batch: the reference encodings, the program's frames,
errors, threads and the output array."""
import importlib.util
import json
import multiprocessing
import os
import threading
import unittest

import numpy

import quorvane4d
from support import DATA, EXAMPLE_GAME, fen4_of_pieces, program_frames

REFERENCE = os.path.join(DATA, "reference")


def bfloat16_of(values):
    """The bfloat16 bits of float32 values: nearest, ties to even (no NaN here)."""
    bits = values.view(numpy.uint32).astype(numpy.uint64)
    return ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16).astype(numpy.uint16)


def within_agreed_tolerance(got, expected):
    """Channels 0-7 bit for bit (signed zeros too); channels 8-10 within one
    float32 unit in the last place or 2e-14."""
    split = 8 * quorvane4d.CHANNEL_SIZE
    if not numpy.array_equal(got[:split].view(numpy.uint32), expected[:split].view(numpy.uint32)):
        return False
    a, b = got[split:].astype(numpy.float64), expected[split:].astype(numpy.float64)
    ulp = numpy.spacing(numpy.maximum(numpy.abs(got[split:]), numpy.abs(expected[split:]))).astype(numpy.float64)
    return bool(numpy.all((numpy.abs(a - b) <= ulp) | (numpy.abs(a - b) <= 2e-14)))


class ReferenceEncodings(unittest.TestCase):
    def test_every_reference_position(self):
        with open(os.path.join(REFERENCE, "positions.jsonl")) as f:
            fixtures = [json.loads(line) for line in f if line.strip()]
        self.assertEqual(len(fixtures), 12)
        texts = [fen4_of_pieces(fixture["pieces"]) for fixture in fixtures]
        batch = quorvane4d.encode_batch(texts, threads=2)
        for fixture, text, row in zip(fixtures, texts, batch):
            expected = numpy.fromfile(os.path.join(REFERENCE, fixture["name"] + ".f32"), dtype="<f4")
            values = quorvane4d.encode(text)
            self.assertEqual((values.shape, values.dtype), ((quorvane4d.ENCODING_DIM,), numpy.float32))
            self.assertTrue(within_agreed_tolerance(values, expected), fixture["name"])
            self.assertTrue(numpy.array_equal(row.view(numpy.uint32), values.view(numpy.uint32)), fixture["name"])
        # Only a fused multiply-add leaves residues where a rook pair cancels.
        rooks = quorvane4d.encode(texts[[f["name"] for f in fixtures].index("rook_pair_cancel")])
        self.assertGreater(numpy.count_nonzero(rooks[10 * 4096:]), 2000)

    def test_every_ply_of_the_example_game_as_the_program_encodes_it(self):
        values, trailers = program_frames(EXAMPLE_GAME)
        records = list(quorvane4d.read_ply_log(EXAMPLE_GAME))
        self.assertEqual(len(records), len(values))
        self.assertGreater(len(records), 30)
        for threads in (1, 2, 3):
            batch = quorvane4d.encode_batch([r.fen4 for r in records], threads=threads)
            self.assertTrue(numpy.array_equal(batch.view(numpy.uint32), values.view(numpy.uint32)), threads)
        for record, value, trailer in zip(records, values, trailers):
            self.assertTrue(numpy.array_equal(quorvane4d.encode(record.fen4).view(numpy.uint32), value.view(numpy.uint32)))
            self.assertEqual((record.ply, record.move_from, record.move_to, record.promo, record.flags),
                             (trailer["ply"], tuple(trailer["move_from"]), tuple(trailer["move_to"]),
                              trailer["promo"], trailer["flags"]))

    def test_constants(self):
        self.assertEqual((quorvane4d.ENCODING_DIM, quorvane4d.N_CHANNELS), (45056, 11))
        self.assertEqual(len(quorvane4d.CHANNEL_NAMES), 11)
        self.assertEqual((quorvane4d.CHANNEL_NAMES[0], quorvane4d.CHANNEL_NAMES[10]), ("A1", "FD_DIAG"))


class Errors(unittest.TestCase):
    CASES = [  # (text, code)
        ("", -2), ("4D-FEN V1: K@0,0,0,0", -2), ("\v4d-fen v1:", -2), ("4d-fen v1: P@1,1,1,1", -3),
        ("4d-fen v1: K 0,0,0,0", -3), ("4d-fen v1: K@0,0,0,8", -4), ("4d-fen v1: K@0,0,0,0;k@0,0,0,0", -5),
        ("4d-fen v1: K@0,0,0,0 k@7,7,7,7", -6),
        # A NUL is a byte like any other, never the end of the text.
        ("4d-fen v1: K@0,0,0,0\0; k@1,1,1,1", -6), ("4d-fen v1:\0", -3), ("4d-fen v1: K@0,0,0,4\u00e9", -6),
    ]

    def test_codes_and_words(self):
        for text, code in self.CASES:
            with self.assertRaises(quorvane4d.Fen4Error, msg=repr(text)) as caught:
                quorvane4d.encode(text)
            self.assertIsInstance(caught.exception, quorvane4d.errors.Error)
            self.assertIsInstance(caught.exception, ValueError)
            self.assertEqual(caught.exception.code, code, repr(text))
            self.assertRegex(str(caught.exception), rf"^FEN4 parse error {code} \([a-z]")

    def test_batch_names_the_index_and_writes_nothing(self):
        good = ["4d-fen v1: K@0,0,0,4; k@7,7,7,4"] * 5
        for text, code in self.CASES:
            out = numpy.full((6, quorvane4d.ENCODING_DIM), 7.0, numpy.float32)
            with self.assertRaises(quorvane4d.Fen4Error) as caught:
                quorvane4d.encode_batch(good[:3] + [text] + good[3:], threads=2, out=out)
            self.assertEqual((caught.exception.code, caught.exception.index), (code, 3))
            self.assertIn("fen4s[3]", str(caught.exception))
            self.assertTrue(numpy.all(out == 7.0))

    def test_wrong_arguments(self):
        texts = ["4d-fen v1: K@0,0,0,4"] * 2
        d = quorvane4d.ENCODING_DIM
        for out, error in [
            (numpy.zeros((2, d), numpy.float64), ValueError), (numpy.zeros((3, d), numpy.float32), ValueError),
            (numpy.zeros((2, d - 1), numpy.float32), ValueError), (numpy.zeros((2, d), ">f4"), ValueError),
            (numpy.zeros((d, 2), numpy.float32).T, ValueError), (numpy.zeros((2, 2 * d), numpy.float32)[:, ::2], ValueError),
            (numpy.zeros((2, d), numpy.float32).tolist(), TypeError),
        ]:
            with self.assertRaises(error):
                quorvane4d.encode_batch(texts, out=out)
        locked = numpy.zeros((2, d), numpy.float32)
        locked.flags.writeable = False
        with self.assertRaises(ValueError):
            quorvane4d.encode_batch(texts, out=locked)
        for bad in ([1, 2], ["4d-fen v1:", None]):
            with self.assertRaisesRegex(TypeError, r"fen4s\[\d\]"):
                quorvane4d.encode_batch(bad)
        for threads in (-1, 1.5, "2", True, None, 1000, 2**31, 2**64, numpy.int64(2**40)):
            with self.assertRaisesRegex(quorvane4d.errors.ArgumentError, r"^threads must be an integer from 0 to \d+") as caught:
                quorvane4d.encode_batch(texts, threads=threads)
            self.assertIsInstance(caught.exception, ValueError)
            self.assertNotIn("4d-fen", str(caught.exception))  # never a dump of the arguments
        self.assertEqual(quorvane4d.encode_batch(texts, threads=numpy.int64(2)).shape, (2, d))
        for bad_dtype in ("float16", numpy.float64, None.__class__, "BFLOAT16"):
            with self.assertRaisesRegex(quorvane4d.errors.ArgumentError, r"^dtype must be float32 or bfloat16"):
                quorvane4d.encode_batch(texts, dtype=bad_dtype)
        with self.assertRaisesRegex(quorvane4d.errors.ArgumentError, r"^out must hold uint16 .* for dtype bfloat16"):
            quorvane4d.encode_batch(texts, out=numpy.zeros((2, d), numpy.float32), dtype="bfloat16")
        for bad, message in ((texts[0], "not one text"), (5, "not int")):
            with self.assertRaisesRegex(TypeError, rf"^fen4s must be a sequence of FEN4 texts.*{message}"):
                quorvane4d.encode_batch(bad)
        with self.assertRaises(TypeError):
            quorvane4d.encode(None)
        with self.assertRaises(UnicodeEncodeError):
            quorvane4d.encode("4d-fen v1: \ud800")


class Output(unittest.TestCase):
    TEXTS = ["4d-fen v1: K@0,0,0,4; k@7,7,7,4", "4d-fen v1: Q@3,3,3,3; Py@1,2,3,4", b"4d-fen v1: r@0,0,0,0; P/w@5,5,5,5",
             "4d-fen v1:"]

    def test_out_is_filled_in_place(self):
        expected = numpy.stack([quorvane4d.encode(t) for t in self.TEXTS])
        out = numpy.full((len(self.TEXTS), quorvane4d.ENCODING_DIM), numpy.nan, numpy.float32)
        returned = quorvane4d.encode_batch(self.TEXTS, out=out)
        self.assertIs(returned, out)
        self.assertTrue(numpy.array_equal(out, expected))
        # Any C-contiguous shape with one row per text, e.g. channels and squares.
        shaped = numpy.zeros((len(self.TEXTS), 11, 8, 8, 8, 8), numpy.float32)
        quorvane4d.encode_batch(iter(self.TEXTS), out=shaped)
        self.assertTrue(numpy.array_equal(shaped.reshape(len(self.TEXTS), -1), expected))

    def test_a_new_array_is_recycled_memory(self):
        batch = quorvane4d.encode_batch(self.TEXTS)
        self.assertTrue(batch.flags.c_contiguous and batch.flags.writeable)
        self.assertEqual((batch.shape, batch.dtype), ((4, quorvane4d.ENCODING_DIM), numpy.float32))
        self.assertEqual(quorvane4d.encode_batch([]).shape, (0, quorvane4d.ENCODING_DIM))
        single = quorvane4d.encode(self.TEXTS[0])
        self.assertTrue(single.flags.owndata and single.flags.writeable)
        # The memory of a freed array serves the next call; one still held is
        # never handed out again, and outlives everything else that refers to it.
        address = batch.__array_interface__["data"][0]
        view = batch[1:]
        del batch
        other = quorvane4d.encode_batch(self.TEXTS)
        self.assertNotEqual(other.__array_interface__["data"][0], address)
        self.assertTrue(numpy.array_equal(view, other[1:]))
        del view
        self.assertEqual(quorvane4d.encode_batch(self.TEXTS * 2).__array_interface__["data"][0], address)

    def test_bfloat16_rounds_the_float32_values(self):
        texts = [r.fen4 for r in quorvane4d.read_ply_log(EXAMPLE_GAME)][:40]
        values = quorvane4d.encode_batch(texts, threads=2)
        expected = bfloat16_of(values)
        for dtype in ("bfloat16", "torch.bfloat16"):
            if dtype.startswith("torch"):
                if importlib.util.find_spec("torch") is None:
                    continue
                import torch
                dtype = torch.bfloat16
            for threads in (1, 2):
                half = quorvane4d.encode_batch(texts, threads=threads, dtype=dtype)
                self.assertEqual((half.shape, half.dtype), (values.shape, numpy.uint16))
                self.assertTrue(numpy.array_equal(half, expected), (dtype, threads))
        out = numpy.zeros(values.shape, numpy.uint16)
        self.assertIs(quorvane4d.encode_batch(texts, out=out), out)  # dtype from out
        self.assertTrue(numpy.array_equal(out, expected))
        self.assertTrue(numpy.array_equal(quorvane4d.encode_batch(texts, dtype=numpy.float32), values))

    @unittest.skipIf(importlib.util.find_spec("torch") is None, "torch is not installed")
    def test_into_a_torch_tensor(self):
        import torch
        tensor = torch.zeros(len(self.TEXTS), 11, 4096)
        quorvane4d.encode_batch(self.TEXTS, out=tensor)
        self.assertTrue(numpy.array_equal(tensor.numpy().reshape(4, -1), quorvane4d.encode_batch(self.TEXTS)))
        half = torch.zeros(len(self.TEXTS), 45056, dtype=torch.bfloat16)
        self.assertIs(quorvane4d.encode_batch(self.TEXTS, out=half), half)
        self.assertTrue(torch.equal(half, tensor.reshape(4, -1).to(torch.bfloat16)))  # torch's own rounding

    def test_after_fork(self):
        # A forked child (a DataLoader worker) inherits the parent's pools
        # without their threads; it must encode all the same, not wait forever.
        expected = quorvane4d.encode_batch(self.TEXTS * 4, threads=2)
        context = multiprocessing.get_context("fork")
        with context.Pool(1) as pool:
            result = pool.apply_async(quorvane4d.encode_batch, (self.TEXTS * 4,), {"threads": 2})
            self.assertTrue(numpy.array_equal(result.get(timeout=60), expected))

    def test_threads_of_python_share_the_pools(self):
        expected = quorvane4d.encode_batch(self.TEXTS * 8, threads=1)
        results = {}

        def work(k):
            results[k] = quorvane4d.encode_batch(self.TEXTS * 8, threads=2)

        workers = [threading.Thread(target=work, args=(k,)) for k in range(6)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        self.assertTrue(all(numpy.array_equal(r, expected) for r in results.values()))


if __name__ == "__main__":
    unittest.main()
