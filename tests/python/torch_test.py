"""quorvane4d.torch against PyTorch itself: two ranks of torch.distributed
(gloo, started with torch.multiprocessing.spawn) with two persistent
DataLoader workers each share every epoch's positions exactly once, each
epoch in its own order fixed by the seed; PositionLoader's state resumes a
run in the same and in another layout."""
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

from quorvane4d.errors import ArgumentError
from quorvane4d.torch import PositionDataset, PositionLoader
from support import GamesTestCase, digest, program_frames, trailer_records

OPTIONS = dict(batch_size=5, shuffle_buffer=10, seed=3, threads=1)


def digests(x, labels):
    assert x.dtype == torch.float32 and x.shape[1:] == (11, 8, 8, 8, 8), x.shape
    return [digest(v, t) for v, t in zip(x.reshape(len(x), -1).numpy(), trailer_records(labels))]


def rank_main(rank, world_size, port, paths, out_dir):
    torch.distributed.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank,
                                         world_size=world_size)
    try:
        loader = PositionLoader(PositionDataset(paths, **OPTIONS), num_workers=2, persistent_workers=True)
        epochs = [[d for x, labels in loader for d in digests(x, labels)] for _ in range(3)]
        with open(os.path.join(out_dir, f"rank{rank}.pickle"), "wb") as f:
            pickle.dump(epochs, f)
        torch.distributed.barrier()
    finally:
        torch.distributed.destroy_process_group()


class Torch(GamesTestCase):
    def test_batches_are_boards_of_channels(self):
        values, trailers = program_frames(self.paths[0])
        x, labels = next(iter(PositionDataset(self.paths[0], batch_size=len(values))))
        self.assertEqual(x.shape, (len(values), 11, 8, 8, 8, 8))
        # x[b, c, x, y, z, w] is value c * 4096 + 512 x + 64 y + 8 z + w.
        self.assertEqual(x[3, 2, 1, 4, 0, 7].item(), values[3, 2 * 4096 + 512 + 4 * 64 + 7])
        self.assertTrue(numpy.array_equal(x.reshape(len(values), -1).numpy(), values))
        self.assertTrue(numpy.array_equal(trailer_records(labels), trailers))
        self.assertEqual(labels["ply"].dtype, torch.int64)
        self.assertEqual(labels["has_next_move"].dtype, torch.bool)
        x16, _ = next(iter(PositionDataset(self.paths[0], batch_size=len(values), dtype=torch.bfloat16)))
        self.assertEqual(x16.dtype, torch.bfloat16)
        self.assertTrue(torch.equal(x16, x.to(torch.bfloat16)))

    def test_two_ranks_of_two_persistent_workers_over_three_epochs(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        out_dir = self.scratch.name
        torch.multiprocessing.spawn(rank_main, args=(2, port, self.paths, out_dir), nprocs=2, join=True)
        ranks = []
        for rank in range(2):
            with open(os.path.join(out_dir, f"rank{rank}.pickle"), "rb") as f:
                ranks.append(pickle.load(f))
        orders = []
        for epoch in range(3):
            self.assertEqual(collections.Counter(ranks[0][epoch] + ranks[1][epoch]), self.expected, epoch)
            orders.append(ranks[0][epoch])
        self.assertNotEqual(orders[0], orders[1])
        self.assertNotEqual(orders[1], orders[2])
        # Fixed by the seed: one process reading shard 0 of 4 gives rank 0's first worker's share.
        from quorvane4d.stream import PositionStream
        alone = PositionStream(self.paths, rank=0, world_size=4, **OPTIONS)
        shard0 = [digest(v, t) for values, labels in alone for v, t in zip(values, trailer_records(labels))]
        self.assertTrue(set(shard0) <= set(orders[0]))

    def test_resuming_through_the_loader(self):
        def run(workers, state=None, stop=None):
            loader = PositionLoader(PositionDataset(self.paths, **dict(OPTIONS, epochs=1)), num_workers=workers)
            if state is not None:
                loader.load_state_dict(state)
            seen = []
            if stop == 0:
                return seen, loader.state_dict()
            for k, (x, labels) in enumerate(loader, 1):
                seen += digests(x, labels)
                if k == stop:
                    break
            return seen, loader.state_dict()

        whole, _ = run(2)
        for stop in (1, 7):  # after 1 batch the second worker had not reported yet
            head, state = run(2, stop=stop)
            _, again = run(2, state, stop=0)  # loaded and saved again before a batch: the same state
            tail, _ = run(2, again)
            self.assertEqual(head + tail, whole, stop)
            # Three workers instead of two: every position not yet received, once.
            rest, _ = run(3, state)
            self.assertEqual(collections.Counter(head + rest), self.expected, stop)
        # Persistent workers hold their copies from the first iteration on: too late then.
        loader = PositionLoader(PositionDataset(self.paths, **OPTIONS), num_workers=1, persistent_workers=True)
        next(iter(loader))
        with self.assertRaisesRegex(ArgumentError, "before the loader's first iteration"):
            loader.load_state_dict(state)
        # set_epoch reaches them through the loader's process.
        loader.dataset.set_epoch(0)
        again = PositionLoader(PositionDataset(self.paths, **OPTIONS), num_workers=1)
        self.assertEqual([d for x, labels in loader for d in digests(x, labels)],
                         [d for x, labels in again for d in digests(x, labels)])

    def test_persistent_workers_take_the_pass_their_process_decides(self):
        def second_pass(persistent, stop, take=None, state=None):
            loader = PositionLoader(PositionDataset(self.paths, **dict(OPTIONS, epochs=2)), num_workers=2,
                                    persistent_workers=persistent)
            if state is not None:
                loader.load_state_dict(state)
            for _ in zip(range(stop), loader):
                pass
            seen = []
            for k, (x, labels) in enumerate(loader, 1):
                seen += digests(x, labels)
                if k == take:
                    break
            return seen, loader.state_dict()

        expected, _ = second_pass(False, 16)
        for stop in (2, 16):  # after 16 of 18 batches the workers had prefetched into the next epoch
            self.assertEqual(second_pass(True, stop)[0], expected, stop)
        head, state = second_pass(True, 16, take=20)
        tail, _ = second_pass(True, 0, state=state)
        self.assertEqual(head + tail, expected)

    def test_each_pass_of_workers_started_afresh_takes_the_next_epoch(self):
        dataset = PositionDataset(self.paths, **OPTIONS)
        loader = PositionLoader(dataset, num_workers=1)
        passes = [[d for x, labels in loader for d in digests(x, labels)] for _ in range(2)]
        passes += [[d for x, labels in PositionLoader(dataset, num_workers=1) for d in digests(x, labels)]]
        alone = PositionDataset(self.paths, **dict(OPTIONS, epochs=3))
        self.assertEqual(sum(passes, []), [d for x, labels in alone for d in digests(x, labels)])


if __name__ == "__main__":
    unittest.main()
