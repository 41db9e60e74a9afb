"""Packed datasets: the positions of many games in one compact, labelled,
indexed file, read at memory speed (docs/PACK_FORMAT.md).

    quorvane4d.pack(["games/0001.ndjson4", ...], "corpus.q4pack", keys=["score"], game_keys=["result"])

    with quorvane4d.open_pack("corpus.q4pack") as p:
        len(p), p.keys, p.n_games, p.inputs
        p.labels["score"], p.labels["next_move_to"]   # numpy columns, one row per position
        p[k].fen4, p[k].pieces                        # position k: its FEN4 text, its piece list
        x = p.encode(k)                               # (45056,) float32
        xs = p.encode_batch(range(256), out=buffer)   # (256, 45056), from the piece lists
"""
import collections
import operator
import os
import stat
import warnings

import numpy

from quorvane4d import _core
from quorvane4d.encoding import dtype_name, output_array, thread_count
from quorvane4d.errors import ArgumentError, Result, integer_argument

MAGIC = b"Q4PACK\r\n"

# The labels every pack has, beside its named keys; move squares are (x, y, z, w).
LABEL_NAMES = ("ply", "move_from", "move_to", "promo", "flags", "next_move_from", "next_move_to", "next_promo",
               "has_move", "has_next_move", "game", "input", "line")

# One position: `pieces` is its piece list as the loader keeps it (uint32
# words: square | pawn axis << 12 | letter << 20, in square order); `input` is
# the index of its input in Pack.inputs; `keys` maps each named key to its
# value (NaN where the line had none).
PackedPosition = collections.namedtuple(
    "PackedPosition", "fen4 pieces ply move_from move_to promo flags next_move_from next_move_to next_promo "
                      "has_move has_next_move game input line keys")

PackSummary = collections.namedtuple("PackSummary", "positions games blocks lines_skipped bytes")

_HAS_MOVE, _HAS_NEXT_MOVE = 1, 2


def _names(names, what):
    if isinstance(names, (str, bytes)):
        raise TypeError(f"{what} is a sequence of names, not one name: use [{names!r}]")
    names = list(names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{what} are names (str), not {type(name).__name__}: {name!r}")
    return names


def pack(inputs, output, *, keys=(), game_keys=(), threads=0):
    """Packs NDJSON4 ply logs (plain, gzip or zstd; "-" for standard input)
    into the packed dataset `output`, as `quorvane_4d pack` does, on
    `threads` threads (0: one per processor; the bytes never depend on it).

    `keys` name per-ply numeric labels, taken from each position's line;
    `game_keys` per-game ones, from the game's metadata line. Lines encode
    would report are skipped with a RuntimeWarning carrying its message, and
    a pack of no position is written with one too. An output that is one of
    the inputs, or an input given twice (under any names), raises
    ArgumentError before anything is written. The output appears only once
    complete: on any failure, or Ctrl-C, nothing is left behind. Returns a PackSummary (positions, games, blocks,
    lines_skipped, bytes).
    """
    if isinstance(inputs, (str, bytes, os.PathLike)):
        inputs = [inputs]
    paths = [os.fsencode(os.fspath(p)) for p in inputs]
    for path in paths + [os.fsencode(os.fspath(output))]:
        if b"\0" in path:
            raise ValueError(f"embedded null byte in the path {path!r}")
    if os.fspath(output) in ("-", b"-"):
        raise ArgumentError(Result.ERR_ARGUMENT, message="the output must be a file: a packed dataset cannot be written to standard output")
    threads = integer_argument("threads", threads, 0, _core.PACK_THREADS_MAX)

    def warn(code, path, line, fen4_error):
        path = os.fsdecode(path)
        if code == Result.PLY_LOG_TOO_LONG:
            message = f"{path}: line {line}: FEN4 string longer than {_core.FEN4_BUF_SIZE // 1024} KiB"
        else:
            message = f"{path}: FEN4 parse error {fen4_error} at line {line}"
        warnings.warn(message, RuntimeWarning, stacklevel=3)

    summary = PackSummary(*_core.pack(paths, os.fsencode(os.fspath(output)), _names(keys, "keys"),
                                      _names(game_keys, "game_keys"), threads, warn))
    if summary.positions == 0:
        warnings.warn("no positions packed (empty input or all FEN4 parse errors)", RuntimeWarning, stacklevel=2)
    return summary


class Pack:
    """An open packed dataset: len(), the label names and columns, position k
    by p[k] (negative from the end) and iteration in order, encodings of
    positions straight from their piece lists. Opening reads only the index;
    a position costs the decoding of its block (a fraction of a millisecond,
    kept for the positions that follow). close(), or a with block, frees the
    file. Every method may be called from several threads."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self._core = _core.open_pack(os.fsencode(self.path))
        info = self._core.info()
        self._n = info["n_positions"]
        self.n_games = info["n_games"]
        self._block_starts = info["block_starts"]
        self.keys = [name for name, _ in info["keys"]]
        self.game_keys = [name for name, per_game in info["keys"] if per_game]
        self.inputs = [os.fsdecode(name) for name in info["inputs"]]
        self._labels = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._core.close()

    def __len__(self):
        return self._n

    @property
    def n_blocks(self):
        return len(self._block_starts)

    @property
    def label_names(self):
        """The names of the label columns: those every pack has, then the named keys."""
        return list(LABEL_NAMES) + self.keys

    @property
    def labels(self):
        """Every position's labels as numpy columns, by name: ply (uint32),
        move_from and move_to ((n, 4) uint8), promo and flags (uint8), as
        encode writes the trailer; next_move_from, next_move_to, next_promo,
        the move played from the position; has_move and has_next_move (bool),
        whether each was given (a missing move reads as zeros, which is also a
        square); game (uint64, from 0), input (index into `inputs`), line
        (uint32, from 1); then each named key (float32, NaN where absent).
        Read once, by decoding every block."""
        if self._labels is None:
            columns = self._core.labels()
            self._labels = _label_dict(columns, self.keys)
        return self._labels

    def _record(self, k):
        (fen4, pieces, ply, move_from, move_to, promo, flags, next_from, next_to, next_promo, move_flags, game, source,
         line, keys) = self._core.position(k)
        return PackedPosition(fen4, pieces, ply, move_from, move_to, promo, flags, next_from, next_to, next_promo,
                              bool(move_flags & _HAS_MOVE), bool(move_flags & _HAS_NEXT_MOVE), game, source, line,
                              dict(zip(self.keys, keys)))

    def _index(self, k):
        try:
            k = operator.index(k)
        except TypeError:
            raise TypeError(f"positions are indexed by int, not {type(k).__name__}") from None
        if not -self._n <= k < self._n:
            raise IndexError(f"position {k} of a pack of {self._n}")
        return k + self._n if k < 0 else k

    def __getitem__(self, k):
        """Position k as a PackedPosition."""
        return self._record(self._index(k))

    def __iter__(self):
        """Yields every position in order, a block at a time."""
        for k in range(self._n):
            yield self._record(k)

    def encode(self, k):
        """The encoding of position k: a new (45056,) float32 array."""
        return self.encode_batch([self._index(k)])[0]

    def encode_batch(self, indices, *, threads=0, out=None, dtype=None):
        """Encodes positions `indices` (ints, negative from the end) on
        `threads` threads (0: one per processor), from their piece lists,
        without holding the interpreter's lock; each block is decoded once
        per call whatever the order of the indices. `out` and `dtype` are
        those of quorvane4d.encode_batch: float32 or bfloat16, into `out` when
        given (and returned), else into a new (n, 45056) array. A damaged
        block raises PackError naming it; `out` is then left as it was for
        batches of up to 4096 positions."""
        threads = thread_count(threads)
        if isinstance(indices, range):
            indices = numpy.arange(indices.start, indices.stop, indices.step)
        rows = numpy.asarray(indices)
        if rows.dtype.kind not in "iu" and rows.size:
            raise TypeError(f"indices must be ints, not {rows.dtype}")
        rows = rows.reshape(-1)
        if rows.size:  # in the indices' own type: uint64 past 2^63 would turn negative as int64
            outside = rows >= self._n
            if rows.dtype.kind == "i":
                outside |= rows < -self._n
            if outside.any():
                raise IndexError(f"position {rows[outside][0]} of a pack of {self._n}")
        rows = rows.astype(numpy.int64, copy=False)
        rows = numpy.ascontiguousarray(numpy.where(rows < 0, rows + self._n, rows))
        if out is not None:
            array, dtype = output_array(out, len(rows), None if dtype is None else dtype_name(dtype))
        else:
            array, dtype = None, "float32" if dtype is None else dtype_name(dtype)
        written = self._core.encode_batch(rows, threads, array, dtype)
        return written if out is None else out

    def verify(self):
        """Reads and checks every block; raises PackError naming the first damaged one."""
        self._core.verify()


def _label_dict(columns, keys):
    flags = columns["move_flags"]
    labels = {name: columns[name] for name in ("ply", "move_from", "move_to", "promo", "flags", "next_move_from",
                                               "next_move_to", "next_promo")}
    labels["has_move"] = (flags & _HAS_MOVE) != 0
    labels["has_next_move"] = (flags & _HAS_NEXT_MOVE) != 0
    for name in ("game", "input", "line"):
        labels[name] = columns[name]
    for j, name in enumerate(keys):
        labels[name] = numpy.ascontiguousarray(columns["keys"][:, j])
    return labels


def open_pack(path):
    """Opens a packed dataset written by `quorvane_4d pack` or pack(): reads
    and checks its index (the blocks are checked as they are read; verify()
    checks them all). Raises PackError for a file that is not one, or whose
    index is damaged or cut, naming the file; FileError when it cannot be
    opened."""
    return Pack(path)


def is_pack(path):
    """Whether `path` is a regular file that starts as a packed dataset does
    (never waiting, on a FIFO say)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except (OSError, ValueError):
        return False
    try:
        return stat.S_ISREG(os.fstat(fd).st_mode) and os.read(fd, len(MAGIC)) == MAGIC
    except OSError:
        return False
    finally:
        os.close(fd)


def _count(n, noun):
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def print_summary(path, file=None):
    """`python3 -m quorvane4d FILE` for a pack: its counts, labels and inputs,
    after checking every block. Returns the exit status: 0, or 1 after one
    line on standard error for a pack that cannot be read."""
    import sys
    from quorvane4d.errors import Error
    out = file or sys.stdout
    try:
        with open_pack(path) as p:
            p.verify()
            size = os.path.getsize(path)
            per = f", {size / len(p):.1f} bytes a position" if len(p) else ""
            print(f"{path}: packed dataset, {_count(len(p), 'position')} in {_count(p.n_games, 'game')}, "
                  f"{_count(p.n_blocks, 'block')}, {_count(size, 'byte')}{per}", file=out)
            kinds = [f"{name} (per {'game' if name in p.game_keys else 'ply'})" for name in p.keys]
            print(f"labels: {', '.join(list(LABEL_NAMES) + kinds)}", file=out)
            shown = p.inputs[:10]
            more = f", and {len(p.inputs) - len(shown)} more" if len(p.inputs) > len(shown) else ""
            print(f"inputs: {len(p.inputs)}: {', '.join(shown)}{more}", file=out)
    except (OSError, Error) as error:
        print(f"quorvane4d: {error}", file=sys.stderr)
        return 1
    return 0
