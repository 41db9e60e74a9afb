"""Frame containers, as quorvane_4d writes them: plain, gzip or zstd.

    with quorvane4d.open_container("game.quorvanez4") as game:
        print(game.header.n_frames, game.codec)
        for values, trailer in game:      # values: (45056,) float32 of one position
            print(trailer.ply, trailer.move_from, trailer.move_to)

    game = quorvane4d.open_container("game.quorvane4")   # plain: random access too
    game[3]                                              # (values, trailer) of frame 3
    game.values                                          # (n, 45056) read-only memory map
"""
import collections
import operator
import os
import threading
import warnings

import numpy

from quorvane4d import _core
from quorvane4d.errors import ArgumentError, ContainerError, FileError, Result, bool_argument

# The trailer of each position, as a container stores it (and the loader's labels carry it).
TRAILER_DTYPE = numpy.dtype([("ply", "<u4"), ("move_from", "u1", (4,)), ("move_to", "u1", (4,)),
                             ("promo", "u1"), ("flags", "u1")])

ENCODING_DIM = _core.ENCODING_DIM
HEADER_SIZE = 256
FRAME_SIZE = ENCODING_DIM * 4 + _core.TRAILER_SIZE  # 180238

Header = collections.namedtuple("Header", "version encoding_dim frame_size n_frames board_side n_dims")
# move_from and move_to are (x, y, z, w) tuples of the low bytes the writer stored.
Trailer = collections.namedtuple("Trailer", "ply move_from move_to promo flags")


class Container:
    """An open container: header, codec ("plain", "gzip" or "zstd"), len(),
    iteration over (values, trailer), and for plain files c[k], c.values and
    c.trailers. Returned by open_container; close() (or a with block) closes
    its file, stops iterations under way on other threads, and lets go of
    the memory map (which lasts while arrays taken from it do)."""

    def __init__(self, path, verify, memory_map):
        try:
            self.path = os.fspath(path)
        except TypeError:
            raise TypeError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}") from None
        if "\0" in os.fsdecode(self.path):
            raise ArgumentError(Result.ERR_ARGUMENT, message=f"path {self.path!r} holds a NUL character")
        self.verify = bool_argument("verify", verify)
        self.memory_map = bool_argument("memory_map", memory_map)
        self._lock = threading.Lock()
        self._readers = set()  # open readers: the one opened here until an iteration takes it, and those iterating
        self._idle = self._open()
        self._readers.add(self._idle)
        version, encoding_dim, frame_size, n_frames, board_side, n_dims, codec, offset = self._idle.info()
        self.header = Header(version, encoding_dim, frame_size, n_frames, board_side, n_dims)
        self.codec = codec
        self._frame_offset = offset
        self._bytes = None
        self.closed = False

    def _open(self):
        return _core.open_container(os.fsencode(self.path), self.verify)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else f"{self.codec}, {self.header.n_frames} frames"
        return f"<quorvane4d.Container {self.path!r}: {state}>"

    def close(self):
        """Closes the file; iterations under way on other threads stop with
        ValueError. Arrays taken from values and trailers stay valid."""
        with self._lock:
            self.closed = True
            readers, self._readers, self._idle, self._bytes = self._readers, set(), None, None
        for reader in readers:
            reader.close()

    def _check_open(self):
        if self.closed:
            raise ValueError(f"{self.path}: the container is closed")

    def __len__(self):
        return self.header.n_frames

    def __iter__(self):
        """Yields (values, trailer) for every frame, values a new (45056,)
        float32 array. A container opened with verify=False that ends before
        its header's count gives its complete frames, then a RuntimeWarning."""
        with self._lock:
            self._check_open()
            reader, self._idle = self._idle, None  # each iteration reads from the start
        if reader is None:
            reader = self._open()  # outside the lock: a compressed file's check takes time
        with self._lock:
            if self.closed:
                reader.close()
            self._check_open()
            self._readers.add(reader)
        try:
            while (frame := reader.read()) is not None:
                values, trailer = frame
                yield values, Trailer(*trailer)
        except ContainerError as error:
            if error.code != Result.CONTAINER_ERR_FRAME or self.verify:
                raise
            warnings.warn(f"{self.path}: frame {error.index} is incomplete; the header counts {self.header.n_frames}",
                          RuntimeWarning, stacklevel=2)
        finally:
            with self._lock:
                self._readers.discard(reader)
            reader.close()

    def _raw(self):
        """The plain file's bytes (a read-only memory map, or a copy in
        memory) and its number of complete frames; compressed files have none."""
        if self._frame_offset < 0:
            raise TypeError(f"{self.path}: a {self.codec} container is read in order; iterate over it, or "
                            f"decompress it to a plain container for random access")
        with self._lock:
            self._check_open()
            if self._bytes is None:
                self._bytes = self._load()
            raw = self._bytes
        complete = max(0, (len(raw) - self._frame_offset) // FRAME_SIZE)
        return raw, min(self.header.n_frames, complete)

    def _load(self):
        counted = self._frame_offset + self.header.n_frames * FRAME_SIZE
        if not self.memory_map:
            with open(self.path, "rb") as f:
                data = numpy.frombuffer(f.read(counted), numpy.uint8)  # read-only: bytes underneath
            return data
        size = os.path.getsize(self.path)
        if size == 0:
            return numpy.zeros(0, numpy.uint8)
        return numpy.memmap(self.path, dtype=numpy.uint8, mode="r", shape=(min(size, counted),))

    @property
    def values(self):
        """Plain containers: every frame's values as a read-only (n, 45056)
        float32 array (n the complete frames, which verify makes the header's
        count): a memory map of the file, or with memory_map=False a copy in
        memory."""
        raw, n = self._raw()
        if n == 0:
            return _read_only(numpy.zeros((0, ENCODING_DIM), "<f4"))
        return numpy.ndarray((n, ENCODING_DIM), dtype="<f4", buffer=raw, offset=self._frame_offset,
                             strides=(FRAME_SIZE, 4))

    @property
    def trailers(self):
        """Plain containers: every frame's trailer, a read-only array of TRAILER_DTYPE records."""
        raw, n = self._raw()
        if n == 0:
            return _read_only(numpy.zeros(0, TRAILER_DTYPE))
        return numpy.ndarray((n,), dtype=TRAILER_DTYPE, buffer=raw, offset=self._frame_offset + ENCODING_DIM * 4,
                             strides=(FRAME_SIZE,))

    def __getitem__(self, k):
        """Plain containers: (values, trailer) of frame k (negative k from the end)."""
        if isinstance(k, bool) or not hasattr(k, "__index__"):
            raise TypeError(f"frames are indexed by integers, not {type(k).__name__}")
        k = operator.index(k)
        values, trailers = self.values, self.trailers
        n = len(values)
        if not -n <= k < n:
            raise IndexError(f"frame {k} of a container of {n}")
        t = trailers[k]
        return values[k], Trailer(int(t["ply"]), tuple(t["move_from"].tolist()), tuple(t["move_to"].tolist()),
                                  int(t["promo"]), int(t["flags"]))


def _read_only(array):
    array.flags.writeable = False
    return array


def open_container(path, *, verify=True, memory_map=True):
    """Opens a container written by quorvane_4d: plain, gzip or zstd (told
    apart by their first bytes), its header checked as `csv` checks it. Only
    regular files are containers: a folder, a FIFO or a device is refused at
    once (FileError, an OSError).

    With verify (the default), data that would feed training wrongly is
    refused at once with ContainerError: a gzip member whose CRC-32 or length
    does not match what it inflates to, a zstd checksum that does not match,
    a container with fewer frames than its header counts or bytes after
    them. verify=False salvages what `csv` salvages: the complete frames of a
    container cut short, gzip data whose check fields are wrong or missing.
    A compressed file is read as a stream: checked once as it is opened (as
    far as its header's frames go, in bounded memory, writing nothing), then
    decompressed again frame by frame as it is iterated. Ctrl-C stops a long
    check.

    A plain container's values and trailers are a memory map of the file.
    Like any memory map, it crashes the process (SIGBUS) if the file is cut
    short while an array from it is in use: memory_map=False reads them into
    memory instead.
    """
    return Container(path, verify, memory_map)


def main(argv=None):
    """`python3 -m quorvane4d FILE...`: each header, then one line per frame."""
    import argparse
    import sys
    parser = argparse.ArgumentParser(
        prog="python3 -m quorvane4d",
        description="Prints each container's header and one line per frame (ply, moves, promo, flags). "
                    "A container that is damaged, cut short or longer than its header counts is reported in "
                    "one line on standard error, and the exit status is then 1. A packed dataset (*.q4pack) "
                    "gets its summary instead.",
        epilog="python3 -m quorvane4d bench SOURCE... measures the training loader on SOURCE "
               "(python3 -m quorvane4d bench --help).")
    parser.add_argument("--version", action="version", version=f"quorvane4d {_core.__version__}")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="a container: plain, gzip or zstd; or a packed dataset")
    status = 0
    for path in parser.parse_args(argv).files:
        try:
            with open_container(path) as game:
                h = game.header
                print(f"{path}: {game.codec}, version {h.version}, {h.n_frames} frames of {h.encoding_dim} floats, "
                      f"board_side {h.board_side}, n_dims {h.n_dims}")
                for _, t in game:
                    print(f"ply {t.ply}: {','.join(map(str, t.move_from))} -> {','.join(map(str, t.move_to))} "
                          f"promo {t.promo} flags {t.flags}")
        except (ContainerError, FileError) as error:  # each names the file
            print(f"quorvane4d: {error}", file=sys.stderr)
            status = 1
    return status
