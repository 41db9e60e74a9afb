"""PositionStream: every position once across ranks, the program's values
and trailers, order by seed, epochs, ownership of batches, errors, memory."""
import collections
import os
import unittest

import numpy

import quorvane4d
from support import GamesTestCase, digest


def positions(stream):
    """Counter of the positions a stream yields, checking each batch's form."""
    seen = collections.Counter()
    for values, trailers in stream:
        assert values.dtype == numpy.float32 and values.shape == (len(trailers), quorvane4d.ENCODING_DIM)
        assert trailers.dtype == quorvane4d.TRAILER_DTYPE and 0 < len(trailers) <= stream.batch_size
        seen.update(digest(v, t) for v, t in zip(values, trailers))
    return seen


def order(stream):
    return [(int(t["ply"]), bytes(t["move_to"])) for _, trailers in stream for t in trailers]


class Stream(GamesTestCase):
    def test_every_position_once_across_ranks(self):
        self.assertEqual(sum(self.expected.values()), 41 + 41 + 2)
        for world_size in (1, 2, 3, 5):
            for shuffle_buffer in (0, 20):
                parts = [positions(quorvane4d.PositionStream(self.paths, batch_size=9, shuffle_buffer=shuffle_buffer,
                                                             seed=4, threads=2, rank=rank, world_size=world_size))
                         for rank in range(world_size)]
                self.assertEqual(sum(parts, collections.Counter()), self.expected, (world_size, shuffle_buffer))
        self.assertEqual(positions(quorvane4d.PositionStream(self.paths, batch_size=1000)), self.expected)

    def test_in_file_order_without_a_shuffle_buffer(self):
        records = [r for path in self.paths for r in quorvane4d.read_ply_log(path)]
        self.assertEqual(order(quorvane4d.PositionStream(self.paths, batch_size=10)),
                         [(r.ply, bytes(r.move_to)) for r in records])

    def test_the_seed_decides_the_order(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=11, threads=1)
        first = order(stream)
        self.assertEqual(order(stream), first)  # a second iteration starts again
        self.assertEqual(order(quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=11,
                                                         threads=2)), first)
        other = order(quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=12))
        self.assertNotEqual(other, first)
        self.assertEqual(sorted(other), sorted(first))

    def test_epochs(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=50, shuffle_buffer=10, epochs=3)
        sizes = [len(t) for _, t in stream]
        self.assertEqual(sizes, [50, 34] * 3)  # no batch spans two epochs
        self.assertEqual(stream.stats["positions"], 3 * 84)
        self.assertEqual(stream.stats["fen4_errors"], 3)
        self.assertEqual(list(quorvane4d.PositionStream(self.paths, epochs=0)), [])

    def test_batches_keep_their_values_while_referenced(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=4, epochs=5)
        kept, copies = [], []
        for k, (values, trailers) in enumerate(stream):
            if k % 10 == 0:
                kept.append(values)
                copies.append(values.copy())
        self.assertGreater(len(kept), 5)
        for values, copy in zip(kept, copies):
            self.assertTrue(numpy.array_equal(values, copy))
        kept[0][:] = -1.0  # a batch is the caller's to change

    def test_memory_stays_flat(self):
        def resident_bytes():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        stream = quorvane4d.PositionStream(self.paths, batch_size=16, shuffle_buffer=50, epochs=40, threads=2)
        batches = iter(stream)
        for _ in range(20):
            next(batches)
        before = resident_bytes()
        for count, _ in enumerate(batches):  # some 200 batches of 2.9 MB each
            pass
        self.assertGreater(count, 150)
        self.assertLess(resident_bytes() - before, 16 << 20)

    def test_errors(self):
        with self.assertRaises(FileNotFoundError):
            quorvane4d.PositionStream([self.paths[0], "/nonexistent.ndjson4"])
        for options in [dict(batch_size=0), dict(shuffle_buffer=-1), dict(threads=-1), dict(epochs=1.5),
                        dict(rank=0), dict(world_size=2), dict(rank=2, world_size=2), dict(rank=-1, world_size=2),
                        dict(batch_size=True)]:
            with self.assertRaises(ValueError, msg=options):
                quorvane4d.PositionStream(self.paths, **options)
        # A file gone by the time it is read.
        path = os.path.join(self.scratch.name, "gone.ndjson4")
        with open(self.paths[0]) as source, open(path, "w") as f:
            f.write(source.read())
        stream = quorvane4d.PositionStream([self.paths[0], path], batch_size=8)
        os.remove(path)
        with self.assertRaisesRegex(OSError, "cannot open .*gone.ndjson4") as caught:
            list(stream)
        self.assertEqual(caught.exception.filename, path)

    def test_damaged_logs(self):
        # Binary noise around good lines: the good lines are read, the rest
        # skipped or reported as encode does, and nothing breaks.
        noise = bytes(numpy.random.default_rng(5).integers(0, 256, 300_000, dtype=numpy.uint8))
        with open(self.paths[2], "rb") as f:
            good = f.read()
        path = os.path.join(self.scratch.name, "noisy.ndjson4")
        with open(path, "wb") as f:
            f.write(noise[:100_000] + b"\n" + good + noise[100_000:] + b"\n" + good)
        for world_size in (1, 3):
            seen = sum((positions(quorvane4d.PositionStream(path, batch_size=3, shuffle_buffer=4, rank=rank,
                                                            world_size=world_size))
                        for rank in range(world_size)), collections.Counter())
            self.assertEqual(sum(seen.values()), 4, world_size)

    def test_stats(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=16, shuffle_buffer=10)
        for _ in stream:
            pass
        stats = stream.stats
        self.assertEqual((stats["positions"], stats["batches"], stats["fen4_errors"], stats["buffered"]), (84, 6, 1, 0))
        self.assertGreater(stats["encode_seconds"], 0)


if __name__ == "__main__":
    unittest.main()
