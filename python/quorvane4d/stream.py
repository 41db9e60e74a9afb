"""PositionStream: batches of encoded positions from NDJSON4 ply logs, for training loops."""
import os
import sys

import numpy

from quorvane4d import _core

# The trailer of each position, as a container stores it.
TRAILER_DTYPE = numpy.dtype([("ply", "<u4"), ("move_from", "u1", (4,)), ("move_to", "u1", (4,)),
                             ("promo", "u1"), ("flags", "u1")])

_ERR_OPEN, _ERR_READ, _ERR_ALLOC = -4, -5, -6


def _distributed_rank():
    """(rank, world size) of an initialised torch.distributed, else None."""
    distributed = sys.modules.get("torch.distributed")
    if distributed is not None and distributed.is_available() and distributed.is_initialized():
        return distributed.get_rank(), distributed.get_world_size()
    return None


def _dataloader_worker():
    """(worker id, number of workers) inside a torch DataLoader worker, else (0, 1)."""
    data = sys.modules.get("torch.utils.data")
    info = data.get_worker_info() if data is not None else None
    return (info.id, info.num_workers) if info is not None else (0, 1)


def _count(name, value, least):
    if not isinstance(value, int) or isinstance(value, bool) or value < least:
        raise ValueError(f"{name} must be an int of {least} or more, not {value!r}")
    return value


class PositionStream:
    """Iterates batches (values, trailers) of the positions of NDJSON4 ply logs.

    values is a (B, 45056) float32 array, trailers a numpy array of B records
    of TRAILER_DTYPE (ply, move_from, move_to, promo, flags). The positions and
    trailers are the ones `quorvane_4d encode` writes for the same files.

    Positions are read and encoded on the fly, `threads` threads encoding each
    batch (0: one per processor, shared among DataLoader workers). A shuffle
    buffer of `shuffle_buffer` positions (kept as piece lists, about 400 bytes
    for 96 pieces) mixes them, the files are read in an order drawn anew each
    epoch, and the same seed gives the same order. With shuffle_buffer=0, files
    and lines come in order. A batch never spans two epochs: the last of an
    epoch may be smaller.

    Work is split without overlap across `(rank, world_size)` (when both are
    None: torch.distributed's, if initialised, else a single rank) and, inside
    a torch DataLoader, across its workers: every file is cut into that many
    shares of its bytes, and in one epoch every position is yielded exactly
    once in all. The split is made when iteration starts.

    `stats` holds the counters of the iteration under way, or of the last
    one: positions, batches, lines skipped (lines_too_long, fen4_errors, as
    encode reports them), the shuffle buffer's fill, and seconds spent
    reading and encoding, to see which stage is the slow one.
    """

    def __init__(self, paths, *, batch_size=256, shuffle_buffer=0, seed=0, threads=0, epochs=1, rank=None,
                 world_size=None):
        if isinstance(paths, (str, bytes, os.PathLike)):
            paths = [paths]
        self.paths = [os.fspath(p) for p in paths]
        for path in self.paths:
            if not os.path.isfile(path):
                raise FileNotFoundError(2, "no such file", path)
        self.batch_size = _count("batch_size", batch_size, 1)
        self.shuffle_buffer = _count("shuffle_buffer", shuffle_buffer, 0)
        self.seed = _count("seed", seed, 0) & 0xFFFFFFFFFFFFFFFF
        self.threads = _count("threads", threads, 0)
        self.epochs = _count("epochs", epochs, 0)
        if (rank is None) != (world_size is None):
            raise ValueError("give both rank and world_size, or neither")
        if rank is not None:
            _count("world_size", world_size, 1)
            if not isinstance(rank, int) or not 0 <= rank < world_size:
                raise ValueError(f"rank must be in [0, {world_size}), not {rank!r}")
        self.rank, self.world_size = rank, world_size
        self.stats = {}

    def shard(self):
        """(shard, number of shards) of the calling process or DataLoader worker."""
        rank, world_size = (self.rank, self.world_size) if self.rank is not None else _distributed_rank() or (0, 1)
        worker, workers = _dataloader_worker()
        return rank * workers + worker, world_size * workers

    def __getstate__(self):
        # A DataLoader worker that is started afresh (the "spawn" method, the
        # default inside ranks started by torch.multiprocessing.spawn) has no
        # torch.distributed of its own: it takes this process's rank along.
        state = self.__dict__.copy()
        if self.rank is None and _distributed_rank() is not None:
            state["rank"], state["world_size"] = _distributed_rank()
        return state

    def __iter__(self):
        shard, n_shards = self.shard()
        threads = self.threads
        if threads == 0:
            threads = max(1, _core.available_processors() // _dataloader_worker()[1])
        code, stream = _core.open_stream([os.fsencode(p) for p in self.paths], self.batch_size,
                                         self.shuffle_buffer, self.seed, threads, self.epochs, shard, n_shards)
        if stream is None:
            raise MemoryError("PositionStream: no memory or no threads") if code in (-3, _ERR_ALLOC) else \
                ValueError(f"PositionStream: bad options ({code})")
        try:
            while True:
                code, values, trailers = stream.next()
                if code != 0:
                    path, error = stream.failure()
                    if code == _ERR_ALLOC:
                        raise MemoryError(f"PositionStream: out of memory reading {path}")
                    what = "cannot open" if code == _ERR_OPEN else "read error on"
                    raise OSError(error, f"PositionStream: {what} {path}: {os.strerror(error)}", path)
                if values is None:
                    return
                self.stats = stream.stats()
                yield values, trailers.view(TRAILER_DTYPE)
        finally:
            self.stats = stream.stats()
            stream.close()
