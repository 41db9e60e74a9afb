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
import os
import warnings

import numpy

from quorvane4d import _core
from quorvane4d.stream import TRAILER_DTYPE

ENCODING_DIM = _core.ENCODING_DIM
HEADER_SIZE = 256
FRAME_SIZE = ENCODING_DIM * 4 + _core.TRAILER_SIZE  # 180238

Header = collections.namedtuple("Header", "version encoding_dim frame_size n_frames board_side n_dims")
# move_from and move_to are (x, y, z, w) tuples of the low bytes the writer stored.
Trailer = collections.namedtuple("Trailer", "ply move_from move_to promo flags")


class ContainerError(ValueError):
    """A file that is not a container this reader accepts, or damaged data.
    `code` is the library's code, `path` the file."""

    def __init__(self, path, code):
        self.path, self.code = path, code
        super().__init__(f"{path}: {_core.container_read_error_name(code)} ({code})")


class Container:
    """An open container: header, codec ("plain", "gzip" or "zstd"), len(),
    iteration over (values, trailer), and for plain files c[k], c.values and
    c.trailers. Returned by open_container; close() (or a with block) frees
    its file and, for a compressed one, the temporary file it was
    decompressed into."""

    def __init__(self, path, verify):
        self.path = os.fspath(path)
        self.verify = verify
        self._reader = self._open()
        version, encoding_dim, frame_size, n_frames, board_side, n_dims, codec, offset = self._reader.info()
        self.header = Header(version, encoding_dim, frame_size, n_frames, board_side, n_dims)
        self.codec = codec
        self._frame_offset = offset
        self._mapped = None

    def _open(self):
        os.stat(self.path)  # a missing or unreadable path raises the usual OSError
        code, reader = _core.open_container(os.fsencode(self.path), self.verify)
        if reader is None:
            raise ContainerError(self.path, code)
        return reader

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._reader is not None:
            self._reader.close()
            self._reader = None

    def __len__(self):
        return self.header.n_frames

    def __iter__(self):
        """Yields (values, trailer) for every frame, values a new (45056,)
        float32 array. A container opened with verify=False that ends before
        its header's count gives its complete frames, then a RuntimeWarning."""
        reader, self._reader = self._reader or self._open(), None  # the next iteration opens the file again
        try:
            for k in range(self.header.n_frames):
                code, values, trailer = reader.read()
                if code == _core.CONTAINER_READ_ERR_FRAME and not self.verify:
                    warnings.warn(f"{self.path}: frame {k} is incomplete; the header counts {self.header.n_frames}",
                                  RuntimeWarning, stacklevel=2)
                    return
                if code != 0:
                    raise ContainerError(self.path, code)
                yield values, Trailer(*trailer)
        finally:
            reader.close()

    def _map(self):
        """The plain file as read-only bytes; compressed files have none."""
        if self._frame_offset < 0:
            raise TypeError(f"{self.path}: a {self.codec} container is read in order; iterate over it, or "
                            f"decompress it to a plain container for random access")
        if self._mapped is None:
            size = os.path.getsize(self.path)
            self._mapped = numpy.memmap(self.path, dtype=numpy.uint8, mode="r", shape=(size,)) if size else \
                numpy.zeros(0, numpy.uint8)
        complete = max(0, (len(self._mapped) - self._frame_offset) // FRAME_SIZE)
        return self._mapped, min(self.header.n_frames, complete)

    @property
    def values(self):
        """Plain containers: every frame's values as a read-only (n, 45056)
        float32 memory map of the file (n the complete frames, which verify
        makes the header's count)."""
        raw, n = self._map()
        return numpy.ndarray((n, ENCODING_DIM), dtype="<f4", buffer=raw, offset=self._frame_offset,
                             strides=(FRAME_SIZE, 4))

    @property
    def trailers(self):
        """Plain containers: every frame's trailer, a read-only array of TRAILER_DTYPE records."""
        raw, n = self._map()
        return numpy.ndarray((n,), dtype=TRAILER_DTYPE, buffer=raw, offset=self._frame_offset + ENCODING_DIM * 4,
                             strides=(FRAME_SIZE,))

    def __getitem__(self, k):
        """Plain containers: (values, trailer) of frame k (negative k from the end)."""
        values, trailers = self.values, self.trailers
        if not isinstance(k, int) or isinstance(k, bool):
            raise TypeError(f"frames are indexed by int, not {type(k).__name__}")
        n = len(values)
        if not -n <= k < n:
            raise IndexError(f"frame {k} of a container of {n}")
        t = trailers[k]
        return values[k], Trailer(int(t["ply"]), tuple(t["move_from"].tolist()), tuple(t["move_to"].tolist()),
                                  int(t["promo"]), int(t["flags"]))


def open_container(path, *, verify=True):
    """Opens a container written by quorvane_4d: plain, gzip or zstd (told
    apart by their first bytes), its header checked as `csv` checks it.

    With verify (the default), data that would feed training wrongly is
    refused at once with ContainerError: a gzip member whose CRC-32 or length
    does not match what it inflates to, a zstd checksum that does not match,
    a container with fewer frames than its header counts or bytes after
    them. verify=False salvages what `csv` salvages: the complete frames of a
    container cut short, gzip data whose check fields are wrong or missing.
    A compressed file is decompressed as it is opened, in bounded memory and
    only as far as its header's frames go, into a temporary file that goes
    with the container.
    """
    return Container(path, verify)


def main(paths):
    """`python3 -m quorvane4d FILE...`: each header, then one line per frame."""
    import sys
    status = 0
    for path in paths:
        try:
            with open_container(path, verify=False) as game:
                h = game.header
                print(f"{path}: {game.codec}, version {h.version}, {h.n_frames} frames of {h.encoding_dim} floats, "
                      f"board_side {h.board_side}, n_dims {h.n_dims}")
                for _, t in game:
                    print(f"ply {t.ply}: {','.join(map(str, t.move_from))} -> {','.join(map(str, t.move_to))} "
                          f"promo {t.promo} flags {t.flags}")
        except (OSError, ContainerError) as error:
            print(f"quorvane4d: {error}", file=sys.stderr)
            status = 1
    return status
