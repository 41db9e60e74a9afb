"""PositionStream: batches of encoded positions and their labels, for training loops.

Reads packed datasets, NDJSON4 ply logs and the program's containers; see
docs/PYTHON.md for the order of an epoch, shards, filters, mixing and
resuming.
"""
import numbers
import operator
import os
import stat
import sys

import numpy

from quorvane4d import _core
from quorvane4d.encoding import dtype_name, thread_count
from quorvane4d.errors import ArgumentError, FileError, OutOfMemory, Result, integer_argument


STATE_VERSION = 2
MAX_SHARDS = 1 << 16  # shards of a layout: ranks times DataLoader workers
_SPLITS = {None: 0, "train": 1, "val": 2}
_EPOCH_MAX = (1 << 63) - 1  # epochs are counted in 64 bits, signed where the state is saved


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


def _fraction(name, value, least_open):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not (
            (0 < value <= 1) if least_open else (0 <= value <= 1)):
        raise ArgumentError(Result.ERR_ARGUMENT,
                            message=f"{name} must be a number in {'(0, 1]' if least_open else '[0, 1]'}, not {value!r}")
    return float(value)


def _paths(source):
    """The paths of one source: a path, or a list of paths read as one dataset."""
    paths = [source] if isinstance(source, (str, bytes, os.PathLike)) else list(source)
    if not paths:
        raise ArgumentError(Result.ERR_ARGUMENT, message="a source needs at least one path")
    out = []
    for path in paths:
        path = os.fsdecode(os.fspath(path))
        try:
            mode = os.stat(path).st_mode
        except OSError as e:
            raise FileError(Result.ERR_OPEN, path, errno=e.errno) from None
        if not stat.S_ISREG(mode):
            raise FileError(Result.ERR_NOT_REGULAR, path)
        out.append(path)
    return out


class PositionStream:
    """Iterates batches (values, labels) of packed datasets, ply logs or containers.

    values is a (B, 45056) float32 array (dtype="bfloat16": uint16 holding
    the bfloat16 bits, half the bytes); labels a dict of numpy columns of B
    entries: ply, move_from, move_to, promo, flags (the trailer: the move that
    led to the position), has_move, next_move_from, next_move_to, next_promo,
    has_next_move (the move played from the position, from packs), every
    named key of a pack (float32, NaN where a line had none) and, for a mix,
    source (which one).

    `sources` is a path or a list of paths read as one dataset; with
    `weights`, a list of such sources mixed in those proportions. A shuffle
    window of `shuffle_buffer` positions (piece lists) mixes the order of a
    seeded permutation of the data's blocks or files; each epoch has its own
    order, fixed by `seed`. Work is split across `(rank, world_size)` (both
    None: torch.distributed's, if initialised) and, inside a DataLoader,
    across its workers, at the start of each iteration. One iteration yields
    `epochs` epochs and the next iteration the following ones (`set_epoch`
    chooses). `state_dict()` / `load_state_dict()` resume where the caller
    stopped. docs/PYTHON.md has the details.
    """

    def __init__(self, sources, *, batch_size=256, shuffle_buffer=0, seed=0, threads=0, epochs=1, rank=None,
                 world_size=None, weights=None, drop_last=False, min_ply=None, max_ply=None, min_pieces=None,
                 max_pieces=None, keep_fraction=1.0, require=(), split=None, val_fraction=0.0, dtype="float32"):
        if weights is None:
            self.sources = [_paths(sources)]
            self.weights = [1.0]
        else:
            if isinstance(sources, (str, bytes, os.PathLike)):
                raise ArgumentError(Result.ERR_ARGUMENT, message="with weights, sources is a list of sources")
            self.sources = [_paths(s) for s in sources]
            self.weights = [float(w) for w in weights]
            if len(self.weights) != len(self.sources) or not 0 < len(self.sources) < 256 or not all(
                    0 < w < float("inf") for w in self.weights):
                raise ArgumentError(Result.ERR_ARGUMENT,
                                    message="weights must be one positive number per source (at most 255)")
        self.batch_size = integer_argument("batch_size", batch_size, 1, 1 << 20)
        self.shuffle_buffer = integer_argument("shuffle_buffer", shuffle_buffer, 0, (1 << 32) - 1)
        self.seed = integer_argument("seed", seed, 0, (1 << 64) - 1)
        self.threads = thread_count(threads)
        self.epochs = integer_argument("epochs", epochs, 0, _EPOCH_MAX)
        if (rank is None) != (world_size is None):
            raise ArgumentError(Result.ERR_ARGUMENT, message="give both rank and world_size, or neither")
        if rank is not None:
            world_size = integer_argument("world_size", world_size, 1, MAX_SHARDS)
            rank = integer_argument("rank", rank, 0, world_size - 1)
        self.rank, self.world_size = rank, world_size
        self.drop_last = bool(drop_last)
        self.dtype = dtype_name(dtype)
        bounds = {}
        for name, value in (("min_ply", min_ply), ("max_ply", max_ply), ("min_pieces", min_pieces),
                            ("max_pieces", max_pieces)):
            bounds[name] = None if value is None else integer_argument(name, value, 0, (1 << 62) - 1)
        if split not in _SPLITS:
            raise ArgumentError(Result.ERR_ARGUMENT, message=f"split must be None, 'train' or 'val', not {split!r}")
        require = [require] if isinstance(require, str) else list(require)
        if not all(isinstance(k, str) for k in require):
            raise ArgumentError(Result.ERR_ARGUMENT, message="require is a list of key names")
        self.filter = dict(bounds, keep_fraction=_fraction("keep_fraction", keep_fraction, True),
                           required_keys=require, split=_SPLITS[split],
                           val_fraction=_fraction("val_fraction", val_fraction, False))
        self.stats = {}
        self._epoch = 0          # the first epoch of the next iteration
        self._resume = None      # (layers, first epoch, end epoch) to start the next iteration from
        self._pass = None        # (layers below, first epoch, end epoch) of the iteration under way
        self._state = None       # this shard's state since its epoch began
        self._carry_state = False
        self._complete = False   # the last iteration ran to its end
        self._turns = {}         # rank: (workers, the worker whose batch was due next), for a resumed pass
        self._open = None        # (shard layout and threads, the compiled stream) kept after a whole pass

    def shard(self):
        """(shard, number of shards) of the calling process or DataLoader worker."""
        rank, world_size = (self.rank, self.world_size) if self.rank is not None else _distributed_rank() or (0, 1)
        worker, workers = _dataloader_worker()
        # A resumed DataLoader asks its workers in turn from worker 0: the
        # shards turn with them, so that the shard whose batch was due next
        # comes first, as it would have in the run that stopped.
        turn = self._turns.get(rank, (workers, 0))
        if turn[0] == workers:
            worker = (worker + turn[1]) % workers
        return rank * workers + worker, world_size * workers

    def set_epoch(self, epoch):
        """The epoch the next iteration starts with, as DistributedSampler.set_epoch."""
        self._epoch = integer_argument("epoch", epoch, 0, _EPOCH_MAX)

    def _identity(self):
        return {"version": STATE_VERSION, "seed": self.seed, "shuffle_buffer": self.shuffle_buffer,
                "sources": [[os.path.basename(p) for p in s] for s in self.sources], "weights": self.weights,
                "filter": self.filter}

    def _saved(self, layers, start, end, next_epoch, complete):
        return dict(self._identity(), next_epoch=next_epoch, complete=complete, start_epoch=start, end_epoch=end,
                    shards=[shard for layer in _merged([layers]) for shard in layer])

    def state_dict(self):
        """Where this stream stands: small, to save beside a checkpoint."""
        if self._resume is not None:  # loaded, not yet under way
            return dict(self._saved(*self._resume, self._resume[1], False), turns=self._turns)
        if self._pass is None:  # never iterated: its next pass, of which it has read nothing
            return self._saved([], self._epoch, self._epoch + self.epochs, self._epoch, False)
        layers, start, end = self._pass
        own = [] if self._state is None else [[self._state]]
        return self._saved(layers + own, start, end, self._epoch, self._complete)

    def load_state_dict(self, state):
        """Resumes from state_dict() (or a list of them, gathered from every rank
        and worker) at the next iteration. With the same layout each shard
        takes up its own state; with another, each shard reads its share of
        what no old shard had yet yielded, and later epochs use the new layout.
        A shard that never reported had read nothing."""
        states = state if isinstance(state, (list, tuple)) else [state]
        stacks, next_epoch, turns, start, end = [], 0, {}, None, 0
        identity = self._identity()
        for s in states:
            if not isinstance(s, dict) or s.get("version") != STATE_VERSION:
                raise ArgumentError(Result.ERR_ARGUMENT, message="not a PositionStream state (or one of an older "
                                    "version, which cannot be resumed)")
            for key, value in identity.items():
                if s.get(key) != value:
                    raise ArgumentError(Result.ERR_ARGUMENT,
                                        message=f"the state was saved with another {key}: {s.get(key)!r}")
            shards = [_checked_shard(shard, len(self.sources)) for shard in s.get("shards", ())]
            stacks.append(_layers(shards))
            next_epoch = max(next_epoch, integer_argument("next_epoch", s.get("next_epoch"), 0, _EPOCH_MAX))
            first = integer_argument("start_epoch", s.get("start_epoch"), 0, _EPOCH_MAX)
            start = first if start is None else min(start, first)
            end = max(end, integer_argument("end_epoch", s.get("end_epoch"), 0, _EPOCH_MAX))
            turns.update({int(rank): tuple(turn) for rank, turn in s.get("turns", {}).items()})
        self._epoch = next_epoch
        self._turns = turns
        # Every pass saved had ended: the next starts afresh.
        self._resume = None if all(s.get("complete") for s in states) else (_merged(stacks), start, end)

    def _take_pass(self):
        """The layers to start from, the first and the end epoch of the next
        iteration; the one after starts where it ends."""
        if self._resume is not None:
            self._pass, self._resume = self._resume, None
        else:
            self._pass = ([], self._epoch, self._epoch + self.epochs)
        self._epoch = self._pass[2]
        self._state, self._complete = None, False
        return self._pass

    def __getstate__(self):
        # A DataLoader worker that is started afresh (the "spawn" method, the
        # default inside ranks started by torch.multiprocessing.spawn) has no
        # torch.distributed of its own: it takes this process's rank along.
        state = self.__dict__.copy()
        state["_open"] = None  # the compiled stream stays with its process
        if self.rank is None and _distributed_rank() is not None:
            state["rank"], state["world_size"] = _distributed_rank()
        return state

    def __iter__(self):
        layers, start, end = self._take_pass()
        return self._batches([shard for layer in layers for shard in layer], start, end)

    def _batches(self, saved, epoch, end):
        shard, n_shards = self.shard()
        if n_shards > MAX_SHARDS:
            raise ArgumentError(Result.ERR_ARGUMENT, message=f"{n_shards} shards (ranks x DataLoader workers): "
                                f"at most {MAX_SHARDS}")
        threads = self.threads
        if threads == 0:
            threads = max(1, _core.available_processors() // _dataloader_worker()[1])
        # The compiled stream is kept from one iteration to the next of the
        # same shard (a persistent worker's passes): it has read the packs'
        # indexes and counted what the filters keep once.
        key = (shard, n_shards, threads)
        reuse, self._open = self._open, None
        if reuse is not None and reuse[0] != key:
            reuse[1].close()
            reuse = None
        try:
            stream = reuse[1] if reuse is not None else _core.open_stream(
                [(s, w) for s, w in zip(self.sources, self.weights)], self.batch_size, self.shuffle_buffer, self.seed,
                threads, shard, n_shards, self.drop_last, self.filter, self.dtype)
        except OutOfMemory:
            raise self._out_of_memory() from None
        self._turns = {}
        try:
            # A resumed shard may start in a later epoch than the first.
            while epoch < end:
                stream.begin(epoch, saved)
                saved = []
                self._state = stream.state()  # reported with the first batch, or known to have read nothing
                epoch = self._state["epoch"]
                if epoch >= end:
                    break
                self._epoch = epoch + 1
                while (batch := self._next(stream)) is not None:
                    values, labels = batch
                    self._state = stream.state()
                    self.stats = stream.stats()
                    if self._carry_state:
                        labels["loader_state"] = {"next_epoch": self._epoch, "shard": self._state}
                    yield values, labels
                epoch += 1
            self._epoch = max(self._epoch, end)
            self._complete = True  # the pass is over: the next starts at the next epoch
            self._open = (key, stream)
        finally:
            self.stats = stream.stats()
            if self._open is None:  # stopped early, or failed: not kept
                stream.close()

    def _next(self, stream):
        try:
            return stream.next()
        except OutOfMemory:
            raise self._out_of_memory() from None

    def _out_of_memory(self):
        size = self.batch_size * _core.ENCODING_DIM * (4 if self.dtype == "float32" else 2)
        return OutOfMemory(Result.ERR_ALLOC, message=f"out of memory for batches of {self.batch_size} positions "
                           f"({size / 2 ** 30:.1f} GiB each): choose a smaller batch_size")


def _checked_shard(shard, n_sources):
    """A shard's state as state_dict() writes it, else ArgumentError."""
    def whole(value):
        return isinstance(value, numbers.Integral) and not isinstance(value, bool) and 0 <= value < 1 << 64

    fields = ("n_shards", "shard", "epoch", "received", "length", "least_length")
    ok = isinstance(shard, dict) and all(whole(shard.get(f)) for f in fields)
    ok = ok and shard["shard"] < shard["n_shards"] <= MAX_SHARDS
    ok = ok and isinstance(shard.get("plan"), (list, tuple)) and all(
        isinstance(p, (list, tuple)) and len(p) == 4 and all(map(whole, p)) and p[1] < p[0] <= MAX_SHARDS
        for p in shard["plan"])
    ok = ok and isinstance(shard.get("sources"), (list, tuple)) and len(shard["sources"]) == n_sources and all(
        isinstance(p, (list, tuple)) and len(p) == 2 and all(map(whole, p)) for p in shard["sources"])
    if not ok:
        raise ArgumentError(Result.ERR_ARGUMENT, message=f"not a PositionStream shard state: {shard!r:.200}")
    return shard


def _layers(shards):
    """A saved list of shard states as layers: runs of one layout, oldest first."""
    layers = []
    for s in shards:
        if layers and layers[-1][0]["n_shards"] == s["n_shards"]:
            layers[-1].append(s)
        else:
            layers.append([s])
    return layers


def _merged(stacks):
    """One list of layers from several (every rank's or worker's, each
    starting from the same loaded layers): layer k of each is of one layout,
    a shard's later state supersedes its earlier one, a layer of the layout
    below it is merged into it and a layer with every shard hides those below
    (a shard missing from a layer had read nothing of it)."""
    out = []
    for k in range(max(map(len, stacks), default=0)):
        layer = [s for stack in stacks if k < len(stack) for s in stack[k]]
        if len({s["n_shards"] for s in layer}) > 1:
            raise ArgumentError(Result.ERR_ARGUMENT, message="the states come from more than one shard layout")
        if out and out[-1][0]["n_shards"] == layer[0]["n_shards"]:
            layer = out.pop() + layer
        latest = {}
        for s in layer:
            if s["shard"] not in latest or (s["epoch"], s["received"]) >= (latest[s["shard"]]["epoch"],
                                                                             latest[s["shard"]]["received"]):
                latest[s["shard"]] = s
        out.append([latest[shard] for shard in sorted(latest)])
        if len(latest) == layer[0]["n_shards"]:
            out = out[-1:]
    return [layer for layer in out if layer]
