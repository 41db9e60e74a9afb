"""quorvane4d.torch against PyTorch itself: a DataLoader with two workers and
two ranks of torch.distributed (gloo, started with torch.multiprocessing.spawn)
share the positions without overlap, every one yielded once."""
import collections
import os
import pickle
import socket
import sys
import unittest

try:
    import torch
except ImportError:
    print("torch is not installed")
    sys.exit(77)
import numpy
import torch.distributed
import torch.multiprocessing
import torch.utils.data

import quorvane4d
from quorvane4d.torch import PositionDataset
from support import GamesTestCase, digest, program_frames


def trailer_records(trailers):
    records = numpy.zeros(len(trailers["ply"]), quorvane4d.TRAILER_DTYPE)
    for name in ("ply", "move_from", "move_to", "promo", "flags"):
        records[name] = trailers[name].numpy()
    return records


def loaded_positions(loader):
    seen = collections.Counter()
    for x, trailers in loader:
        assert x.dtype == torch.float32 and x.shape[1:] == (11, 8, 8, 8, 8), x.shape
        values = x.reshape(len(x), -1).numpy()
        seen.update(digest(v, t) for v, t in zip(values, trailer_records(trailers)))
    return seen


def rank_main(rank, world_size, port, paths, out_dir):
    torch.distributed.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank,
                                         world_size=world_size)
    try:
        dataset = PositionDataset(paths, batch_size=5, shuffle_buffer=10, seed=3, threads=1)
        seen = loaded_positions(torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2))
        with open(os.path.join(out_dir, f"rank{rank}.pickle"), "wb") as f:
            pickle.dump(seen, f)
        torch.distributed.barrier()
    finally:
        torch.distributed.destroy_process_group()


class Torch(GamesTestCase):
    def test_batches_are_boards_of_channels(self):
        values, trailers = program_frames(self.paths[0])
        x, t = next(iter(PositionDataset(self.paths[0], batch_size=len(values))))
        self.assertEqual(x.shape, (len(values), 11, 8, 8, 8, 8))
        # x[b, c, x, y, z, w] is value c * 4096 + 512 x + 64 y + 8 z + w.
        self.assertEqual(x[3, 2, 1, 4, 0, 7].item(), values[3, 2 * 4096 + 512 + 4 * 64 + 7])
        self.assertTrue(numpy.array_equal(x.reshape(len(values), -1).numpy(), values))
        self.assertTrue(numpy.array_equal(trailer_records(t), trailers))
        self.assertEqual(t["ply"].dtype, torch.int64)

    def test_dataloader_workers_share_the_positions(self):
        dataset = PositionDataset(self.paths, batch_size=7, shuffle_buffer=16, seed=5)
        for workers in (0, 2):
            loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=workers)
            self.assertEqual(loaded_positions(loader), self.expected, f"{workers} workers")

    def test_two_ranks_with_two_workers_each(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        out_dir = self.scratch.name
        torch.multiprocessing.spawn(rank_main, args=(2, port, self.paths, out_dir), nprocs=2, join=True)
        parts = []
        for rank in range(2):
            with open(os.path.join(out_dir, f"rank{rank}.pickle"), "rb") as f:
                parts.append(pickle.load(f))
        self.assertFalse(set(parts[0]) & set(parts[1]) - {d for d, n in self.expected.items() if n > 1})
        self.assertEqual(parts[0] + parts[1], self.expected)
        self.assertTrue(parts[0] and parts[1])


if __name__ == "__main__":
    unittest.main()
