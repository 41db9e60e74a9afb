"""PyTorch's side of quorvane4d: PositionDataset, an IterableDataset of
encoded batches, and PositionLoader, a DataLoader that keeps the loader's
state for checkpoints. Importable only where torch is installed."""
import numpy
import torch
import torch.utils.data

from quorvane4d.errors import ArgumentError, Result
from quorvane4d.stream import PositionStream

_BOARD_SHAPE = (11, 8, 8, 8, 8)  # channel, then the square's x, y, z, w


def _tensor(column):
    if column.dtype == numpy.uint32:  # torch 1.13 has no uint32
        column = column.astype(numpy.int64)
    return torch.from_numpy(numpy.ascontiguousarray(column))


class PositionDataset(torch.utils.data.IterableDataset):
    """PositionStream as an IterableDataset. Each item is one batch:
    (x, labels), x a float32 (or, with dtype="bfloat16", torch.bfloat16)
    tensor of shape (B, 11, 8, 8, 8, 8) sharing the batch's memory, labels PositionStream's columns as tensors (ply as
    int64).

    Batches are made here: use PositionLoader, or give a DataLoader
    batch_size=None. Every worker of the loader and every rank of
    torch.distributed reads its own share of the positions (see
    PositionStream, whose arguments these are); set_epoch, state_dict and
    load_state_dict are the stream's.
    """

    def __init__(self, sources, **options):
        super().__init__()
        self.stream = PositionStream(sources, **options)
        # The first epoch of a PositionLoader's pass, as its process decided
        # (-1: none yet): persistent workers read it at each pass, as their
        # own copies may have run ahead into an epoch the caller never got.
        self.pass_epoch = torch.full((1,), -1, dtype=torch.int64).share_memory_()

    def set_epoch(self, epoch):
        self.stream.set_epoch(epoch)

    def state_dict(self):
        return self.stream.state_dict()

    def load_state_dict(self, state):
        self.stream.load_state_dict(state)

    def __iter__(self):
        epoch = int(self.pass_epoch[0])
        if epoch >= 0 and torch.utils.data.get_worker_info() is not None:
            self.stream._epoch = epoch
        return self._tensors(iter(self.stream))  # the stream takes its pass now, not at the first batch

    @staticmethod
    def _tensors(batches):
        for values, labels in batches:
            if values.dtype == numpy.uint16:  # bfloat16 bits; torch 1.13 takes them as int16
                x = torch.from_numpy(values.view(numpy.int16)).view(torch.bfloat16)
            else:
                x = torch.from_numpy(values)
            x = x.view(-1, *_BOARD_SHAPE)
            yield x, {k: v if k == "loader_state" else _tensor(v) for k, v in labels.items()}


class PositionLoader(torch.utils.data.DataLoader):
    """A DataLoader of a PositionDataset (batch_size=None) that keeps, for
    each shard, the state that came with the last batch it handed out, so
    that state_dict() counts what the training loop has received, whatever
    the workers have prepared ahead.

        loader = PositionLoader(dataset, num_workers=2, persistent_workers=True)
        loader.load_state_dict(checkpoint["loader"])          # when resuming, before iterating
        for x, labels in loader: ...
        checkpoint["loader"] = loader.state_dict()

    With several ranks, save the list of every rank's state_dict()
    (torch.distributed.all_gather_object) and give that list to
    load_state_dict on every rank: the number of ranks or workers may then
    change.
    """

    def __init__(self, dataset, **options):
        if not isinstance(dataset, PositionDataset):
            raise TypeError("PositionLoader reads a PositionDataset")
        options.setdefault("batch_size", None)
        super().__init__(dataset, **options)
        self._pass = None      # (layers below, first epoch, end epoch) of the pass under way
        self._shards = {}      # (n_shards, shard): the state that came with its last batch, this pass
        self._next_epoch = 0   # the latest next epoch a batch said
        self._turn = None      # (rank, (workers, the worker whose batch is due next))
        self._complete = False

    def __iter__(self):
        stream = self.dataset.stream
        stream._carry_state = True
        workers = max(1, self.num_workers)
        self._complete, self._shards = False, {}
        if self.num_workers > 0:
            self.dataset.pass_epoch[0] = stream._epoch  # before the workers start or go on
        batches = super().__iter__()
        if self.num_workers == 0:
            self._pass = stream._pass  # the stream took its pass here, in this process
        else:
            # The workers have their copies of the stream now; this process's
            # copy moves on as theirs do, so that the next pass (a new loader,
            # or workers started again) takes the next epochs and not the same.
            self._pass = stream._take_pass()
        self._next_epoch = self._pass[1]
        try:
            for x, labels in batches:
                state = labels.pop("loader_state")
                shard = state["shard"]
                self._shards[(shard["n_shards"], shard["shard"])] = shard
                self._next_epoch = max(self._next_epoch, state["next_epoch"])
                if self.num_workers > 0:  # a pass left midway goes on after what was received
                    stream._epoch = self._next_epoch
                # The worker asked after this one (shard = rank * workers + worker).
                self._turn = (shard["shard"] // workers, (workers, (shard["shard"] % workers + 1) % workers))
                yield x, labels
            self._complete, self._turn = True, None  # the pass is over: the next asks worker 0 first
        finally:
            if self.num_workers > 0:
                stream._epoch = self._pass[2] if self._complete else self._next_epoch

    def state_dict(self):
        stream = self.dataset.stream
        if self._pass is None:
            return stream.state_dict()
        layers, start, end = self._pass
        reported = [self._shards[k] for k in sorted(self._shards)]
        turns = {} if self._turn is None else {self._turn[0]: self._turn[1]}
        next_epoch = end if self._complete else self._next_epoch
        return dict(stream._saved(layers + ([reported] if reported else []), start, end, next_epoch, self._complete),
                    turns=turns)

    def load_state_dict(self, state):
        if getattr(self, "_iterator", None) is not None:  # persistent workers hold their own copies now
            raise ArgumentError(Result.ERR_ARGUMENT,
                                message="load_state_dict must come before the loader's first iteration")
        self.dataset.load_state_dict(state)
        self._pass, self._shards, self._turn, self._complete = None, {}, None, False
