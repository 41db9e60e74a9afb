"""Encodings of four-dimensional chess positions, for training neural networks.

A position (FEN4 text) becomes 45 056 float32 values: 11 channels of 4096,
the same bits as the quorvane_4d program writes.

    import quorvane4d

    x = quorvane4d.encode("4d-fen v1: K@0,0,0,4; k@7,7,7,4")          # (45056,) float32
    xs = quorvane4d.encode_batch(texts, threads=0)                       # (n, 45056)
    for record in quorvane4d.read_ply_log("game.ndjson4"): ...          # positions of a game
    for values, labels in quorvane4d.PositionStream(sources, batch_size=256, shuffle_buffer=100_000): ...
    with quorvane4d.open_container("game.quorvanez4") as game: ...     # frames the program wrote
    quorvane4d.pack(paths, "corpus.q4pack", keys=["score"])              # many games in one labelled file
    with quorvane4d.open_pack("corpus.q4pack") as p: p.labels, p[k], p.encode_batch(range(256))

quorvane4d.torch.PositionDataset feeds a PyTorch training loop (needs torch).
Every failure raises a subclass of quorvane4d.Error (quorvane4d.errors).
"""
from quorvane4d._core import CHANNEL_SIZE, ENCODING_DIM, N_CHANNELS, __version__
from quorvane4d.container import TRAILER_DTYPE, Container, Header, Trailer, open_container
from quorvane4d.encoding import CHANNEL_NAMES, encode, encode_batch
from quorvane4d.pack import Pack, PackedPosition, PackSummary, open_pack, pack
from quorvane4d.ply_log import PlyRecord, read_ply_log
from quorvane4d.errors import (ArgumentError, ContainerError, Error, Fen4Error, FileError, FormatError, OutOfMemory,
                               PackError, PlyLogError, Result, SourceError)
from quorvane4d.stream import PositionStream

__all__ = ["ENCODING_DIM", "N_CHANNELS", "CHANNEL_SIZE", "CHANNEL_NAMES", "TRAILER_DTYPE", "encode", "encode_batch",
           "PlyRecord", "read_ply_log", "PositionStream", "open_container", "Container", "Header", "Trailer",
           "Error", "Fen4Error", "ArgumentError", "FileError", "OutOfMemory", "FormatError", "PlyLogError",
           "ContainerError", "PackError", "SourceError", "Result", "__version__", "pack", "open_pack", "Pack",
           "PackedPosition", "PackSummary"]
