#!/usr/bin/env python3
"""Reader of quorvane_4d frame containers, plain (.quorvane4) or gzip (.quorvanez4).

Python 3 standard library only; numpy is used when it is installed.

    import quorvane4

    with quorvane4.open_container("game.quorvanez4") as game:
        print(game.header.n_frames)
        for trailer, values in game:   # values: 45 056 float32 of one position
            print(trailer.ply, trailer.move_from, trailer.move_to)

    values = quorvane4.load_array("game.quorvane4")      # numpy (n, 45056) float32
    trailers = quorvane4.load_trailers("game.quorvane4")  # numpy records: ply, move_from, ...

Iterating yields numpy arrays when numpy is installed and array('f') objects
otherwise (open_container(..., use_numpy=False) asks for the latter). The
arrays of load_array and load_trailers are read-only memory maps of the file;
a gzip file is first inflated into an anonymous temporary file, so memory does
not grow with the length of the game either way. Channel c of a position is
values[c * 4096:(c + 1) * 4096].

Headers are checked as the program checks them, in this order: the magic
"ENAVUQOR", version 3 or 4, frame_size == encoding_dim * 4 + 14, and a frame
size of 180 238 bytes. Gzip files are read as the program reads them: the
first member only, optional header fields skipped, the trailer's CRC-32 and
length not checked. Any failure raises ContainerError.

Command line: python3 quorvane4.py FILE...   prints each header and one line per frame.
"""
import array
import collections
import io
import os
import signal
import struct
import sys
import tempfile
import zlib

try:
    import numpy
except ImportError:
    numpy = None

MAGIC = b"ENAVUQOR"
HEADER_SIZE = 256
ENCODING_DIM = 45056  # 11 channels x 4096 squares
N_CHANNELS = 11
CHANNEL_SIZE = 4096
TRAILER_SIZE = 14
FRAME_SIZE = ENCODING_DIM * 4 + TRAILER_SIZE  # 180238
CHANNEL_NAMES = ("A1", "STD4_X", "STD4_Y", "STD4_Z", "STD4_W", "FIB_SYM_1", "FIB_SYM_2", "FIB_SYM_3",
                 "FA_PAWN_W", "FA_PAWN_Y", "FD_DIAG")

Header = collections.namedtuple("Header", "version encoding_dim frame_size n_frames board_side n_dims")
# move_from and move_to are (x, y, z, w) tuples of the low bytes the writer stored.
Trailer = collections.namedtuple("Trailer", "ply move_from move_to promo flags")

_HEADER_FIELDS = struct.Struct("<8s6I")
_TRAILER = struct.Struct("<I4s4sBB")
_CHUNK = 65536
_FHCRC, _FEXTRA, _FNAME, _FCOMMENT = 2, 4, 8, 16


class ContainerError(ValueError):
    """The file is not a container this reader accepts, or ends too soon."""


def parse_header(data, name="container"):
    """Validates 256 header bytes as the program does and returns a Header."""
    if len(data) < HEADER_SIZE:
        raise ContainerError(f"{name}: {len(data)} bytes, too short for a {HEADER_SIZE}-byte header")
    magic, version, encoding_dim, frame_size, n_frames, board_side, n_dims = _HEADER_FIELDS.unpack_from(data)
    if magic != MAGIC:
        raise ContainerError(f"{name}: wrong magic {magic!r}, expected {MAGIC!r}")
    if version not in (3, 4):
        raise ContainerError(f"{name}: version {version}, expected 3 or 4")
    if frame_size != (encoding_dim * 4 + TRAILER_SIZE) & 0xFFFFFFFF:
        raise ContainerError(f"{name}: frame_size {frame_size} does not match encoding_dim {encoding_dim}")
    if frame_size != FRAME_SIZE:
        raise ContainerError(f"{name}: frames of {frame_size} bytes, expected {FRAME_SIZE}")
    return Header(version, encoding_dim, frame_size, n_frames, board_side, n_dims)


def parse_trailer(data):
    """The 14 trailer bytes at the end of a frame as a Trailer."""
    ply, move_from, move_to, promo, flags = _TRAILER.unpack(data)
    return Trailer(ply, tuple(move_from), tuple(move_to), promo, flags)


class _RawInflater(io.RawIOBase):
    """The first member of a gzip file, inflated as it is read."""

    def __init__(self, file, name):
        self._file = file
        self._name = name
        self._inflater = zlib.decompressobj(-15)
        self._pending = b""
        self._skip_gzip_header()

    def _read_exact(self, n):
        data = self._file.read(n)
        if len(data) != n:
            raise ContainerError(f"{self._name}: malformed gzip header")
        return data

    def _skip_gzip_header(self):
        fixed = self._read_exact(10)
        if fixed[0] != 0x1F or fixed[1] != 0x8B or fixed[2] != 8:
            raise ContainerError(f"{self._name}: malformed gzip header")
        flags = fixed[3]
        if flags & _FEXTRA:
            self._read_exact(struct.unpack("<H", self._read_exact(2))[0])
        for field in (_FNAME, _FCOMMENT):
            if flags & field:
                while self._read_exact(1) != b"\0":
                    pass
        if flags & _FHCRC:
            self._read_exact(2)

    def readable(self):
        return True

    def readinto(self, buffer):
        while not self._pending:
            if self._inflater.eof:
                return 0  # whatever follows the deflate stream is not read
            compressed = self._file.read(_CHUNK)
            try:
                self._pending = self._inflater.decompress(compressed) if compressed else self._inflater.flush()
            except zlib.error as error:
                raise ContainerError(f"{self._name}: corrupt gzip data ({error})") from None
            if not compressed and not self._inflater.eof:
                raise ContainerError(f"{self._name}: the gzip data ends before its deflate stream does")
        n = min(len(buffer), len(self._pending))
        buffer[:n] = self._pending[:n]
        self._pending = self._pending[n:]
        return n

    def close(self):
        self._file.close()
        super().close()


def open_stream(path):
    """A binary stream of the uncompressed container in `path`: the file
    itself, or its gzip content inflated as it is read."""
    file = open(path, "rb")
    if file.read(2) != b"\x1f\x8b":
        file.seek(0)
        return file
    file.seek(0)
    try:
        return io.BufferedReader(_RawInflater(file, os.fspath(path)), _CHUNK)
    except BaseException:
        file.close()
        raise


def _read_exactly(stream, n):
    chunks = []
    while n > 0:
        chunk = stream.read(n)
        if not chunk:
            break
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


class Container:
    """An open container: .header, and one pass over (Trailer, values)."""

    def __init__(self, path, use_numpy=None):
        self.path = os.fspath(path)
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
        if self._use_numpy and numpy is None:
            raise ImportError("numpy is not installed")
        self._stream = open_stream(path)
        self._compressed = isinstance(getattr(self._stream, "raw", None), _RawInflater)
        self._iterated = False
        try:
            self.header = parse_header(_read_exactly(self._stream, HEADER_SIZE), self.path)
        except BaseException:
            self._stream.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._stream.close()

    def __iter__(self):
        """Yields the header's n_frames frames in order; raises ContainerError
        after the last complete frame if the file ends before the count does."""
        if self._iterated:
            raise ContainerError(f"{self.path}: frames are read in one pass; open the container again")
        self._iterated = True
        for k in range(self.header.n_frames):
            frame = _read_exactly(self._stream, FRAME_SIZE)
            if len(frame) != FRAME_SIZE:
                raise ContainerError(f"{self.path}: frame {k} is incomplete; "
                                     f"the header counts {self.header.n_frames} frames")
            yield parse_trailer(frame[-TRAILER_SIZE:]), self._values(frame)
        # The program refuses a gzip file whose deflate stream is cut short,
        # even after the last frame: so does this reader, at the end.
        while self._compressed and self._stream.read(_CHUNK):
            pass

    def _values(self, frame):
        if self._use_numpy:
            return numpy.frombuffer(frame, dtype="<f4", count=ENCODING_DIM).astype(numpy.float32)
        values = array.array("f")
        values.frombytes(memoryview(frame)[:ENCODING_DIM * 4])
        if sys.byteorder == "big":
            values.byteswap()
        return values


def open_container(path, use_numpy=None):
    """Opens a plain or gzip container and checks its header."""
    return Container(path, use_numpy)


def _mapped_container(path):
    """(header, bytes of the uncompressed container as a read-only numpy map)."""
    if numpy is None:
        raise ImportError("load_array and load_trailers need numpy")
    path = os.fspath(path)
    with open(path, "rb") as file:
        compressed = file.read(2) == b"\x1f\x8b"
    if compressed:
        source = tempfile.TemporaryFile()
        with open_stream(path) as stream:
            while True:
                chunk = stream.read(1 << 20)
                if not chunk:
                    break
                source.write(chunk)
        source.flush()
    else:
        source = open(path, "rb")
    with source:
        size = os.fstat(source.fileno()).st_size
        header = parse_header(os.pread(source.fileno(), HEADER_SIZE, 0), path)
        needed = HEADER_SIZE + header.n_frames * FRAME_SIZE
        if size < needed:
            raise ContainerError(f"{path}: {size} bytes, too short for the {header.n_frames} frames "
                                 f"the header counts ({needed} bytes)")
        raw = numpy.memmap(source, dtype=numpy.uint8, mode="r", shape=(size,))
    return header, raw


def load_array(path):
    """All frames' values as a read-only (n, 45056) float32 numpy array."""
    header, raw = _mapped_container(path)
    return numpy.ndarray((header.n_frames, ENCODING_DIM), dtype="<f4", buffer=raw,
                         offset=HEADER_SIZE, strides=(FRAME_SIZE, 4))


TRAILER_DTYPE = [("ply", "<u4"), ("move_from", "u1", (4,)), ("move_to", "u1", (4,)),
                 ("promo", "u1"), ("flags", "u1")]


def load_trailers(path):
    """All frames' trailers as a read-only numpy record array of n entries."""
    header, raw = _mapped_container(path)
    return numpy.ndarray((header.n_frames,), dtype=TRAILER_DTYPE, buffer=raw,
                         offset=HEADER_SIZE + ENCODING_DIM * 4, strides=(FRAME_SIZE,))


def main(paths):
    status = 0
    for path in paths:
        try:
            with open_container(path, use_numpy=False) as game:
                h = game.header
                print(f"{path}: version {h.version}, {h.n_frames} frames of {h.encoding_dim} floats, "
                      f"board_side {h.board_side}, n_dims {h.n_dims}")
                for t, _ in game:
                    print(f"ply {t.ply}: {','.join(map(str, t.move_from))} -> {','.join(map(str, t.move_to))} "
                          f"promo {t.promo} flags {t.flags}")
        except (OSError, ContainerError) as error:
            print(f"quorvane4.py: {error}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the listing quietly
    if len(sys.argv) < 2:
        sys.exit(f"usage: {sys.argv[0]} FILE...")
    sys.exit(main(sys.argv[1:]))
