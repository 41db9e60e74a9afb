"""PyTorch's side of quorvane4d: PositionDataset, an IterableDataset of
encoded batches. Importable only where torch is installed."""
import numpy
import torch
import torch.utils.data

from quorvane4d.stream import PositionStream

_BOARD_SHAPE = (11, 8, 8, 8, 8)  # channel, then the square's x, y, z, w


class PositionDataset(torch.utils.data.IterableDataset):
    """PositionStream as an IterableDataset. Each item is one batch:
    (x, trailers), x a float32 tensor of shape (B, 11, 8, 8, 8, 8) sharing
    the batch's memory, trailers a dict of tensors: ply (int64, B), move_from
    and move_to (uint8, B x 4), promo and flags (uint8, B).

    Batches are made here, so give the DataLoader batch_size=None:

        dataset = PositionDataset(paths, batch_size=256, shuffle_buffer=100_000, seed=epoch_seed)
        loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=2)

    Every worker of the loader and every rank of torch.distributed reads its
    own share of the positions (see PositionStream); the arguments are
    PositionStream's.
    """

    def __init__(self, paths, **options):
        super().__init__()
        self.stream = PositionStream(paths, **options)

    def __iter__(self):
        for values, trailers in self.stream:
            x = torch.from_numpy(values).view(-1, *_BOARD_SHAPE)
            yield x, {
                "ply": torch.from_numpy(trailers["ply"].astype(numpy.int64)),
                "move_from": torch.from_numpy(numpy.ascontiguousarray(trailers["move_from"])),
                "move_to": torch.from_numpy(numpy.ascontiguousarray(trailers["move_to"])),
                "promo": torch.from_numpy(numpy.ascontiguousarray(trailers["promo"])),
                "flags": torch.from_numpy(numpy.ascontiguousarray(trailers["flags"])),
            }
