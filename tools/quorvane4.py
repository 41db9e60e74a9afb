#!/usr/bin/env python3
"""Reader of quorvane_4d frame containers, plain (.quorvane4), gzip or zstd (.quorvanez4).

Python 3 standard library only; numpy is used when it is installed, and
zstd containers need the zstandard module (Debian: python3-zstandard).

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
a compressed file is first decompressed into an anonymous temporary file, so
memory does not grow with the length of the game either way. Channel c of a
position is values[c * 4096:(c + 1) * 4096].

Headers are checked as the program checks them, in this order: the magic
"ENAVUQOR", version 3 or 4, frame_size == encoding_dim * 4 + 14, and a frame
size of 180 238 bytes. Compressed files are read as the program reads them,
only as far as the header's frames go (and one byte more, to see whether the
stream ends there): gzip's first member only, optional header fields
skipped, the trailer's CRC-32 and length not checked; every zstd frame, each
checksum checked, so that content after the last frame, which is not read,
is refused. Any failure raises ContainerError.

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
try:
    import zstandard
except ImportError:
    zstandard = None

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
_ZSTD_CHUNK = 4096  # compressed bytes per step: what one step can expand to stays bounded
_FHCRC, _FEXTRA, _FNAME, _FCOMMENT = 2, 4, 8, 16
_GZIP_MAGIC, _ZSTD_MAGIC = b"\x1f\x8b", b"\x28\xb5\x2f\xfd"


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


def codec_of(first_bytes):
    """"gzip", "zstd" or "plain", from a file's first four bytes."""
    if first_bytes[:2] == _GZIP_MAGIC:
        return "gzip"
    return "zstd" if first_bytes[:4] == _ZSTD_MAGIC else "plain"


class _RawDecompressor(io.RawIOBase):
    """The first member of a gzip file, or every frame of a zstd file,
    decompressed as it is read, never much more at a time than asked for."""

    def __init__(self, file, name, codec):
        self._file = file
        self._name = name
        self._codec = codec
        self._pending = b""
        self._ended = False
        if codec == "gzip":
            self._skip_gzip_header()
            self._inflater = zlib.decompressobj(-15)
        else:
            if zstandard is None:
                raise ContainerError(f"{name}: zstd containers need the zstandard module "
                                     "(Debian: python3-zstandard)")
            self._input = b""
            self._frame = None  # one decompressor per zstd frame

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

    def _inflate(self, room):
        if self._inflater.eof:
            self._ended = True  # whatever follows the deflate stream is not read
            return b""
        compressed = self._inflater.unconsumed_tail or self._file.read(_CHUNK)
        try:
            # With no input left this gives what zlib still holds, if anything.
            inflated = self._inflater.decompress(compressed, room)
        except zlib.error as error:
            raise ContainerError(f"{self._name}: corrupt gzip data ({error})") from None
        if not compressed and not inflated and not self._inflater.eof:
            raise ContainerError(f"{self._name}: the gzip data ends before its deflate stream does")
        return inflated

    def _unzstd(self):
        if self._frame is not None and self._frame.eof:
            self._input = self._frame.unused_data + self._input
            self._frame = None
        if not self._input:
            self._input = self._file.read(_ZSTD_CHUNK)
            if not self._input:
                if self._frame is not None:
                    raise ContainerError(f"{self._name}: the zstd data ends before its frame does")
                self._ended = True
                return b""
        if self._frame is None:
            self._frame = zstandard.ZstdDecompressor().decompressobj()
        compressed, self._input = self._input, b""
        try:
            return self._frame.decompress(compressed)
        except zstandard.ZstdError as error:
            raise ContainerError(f"{self._name}: corrupt zstd data ({error})") from None

    def readable(self):
        return True

    def readinto(self, buffer):
        while not self._pending:
            if self._ended:
                return 0
            self._pending = self._inflate(len(buffer)) if self._codec == "gzip" else self._unzstd()
        n = min(len(buffer), len(self._pending))
        buffer[:n] = self._pending[:n]
        self._pending = self._pending[n:]
        return n

    def close(self):
        self._file.close()
        super().close()


def open_stream(path):
    """(codec, binary stream of the uncompressed container in `path`): the
    file itself, or its compressed content decompressed as it is read."""
    file = open(path, "rb")
    codec = codec_of(file.read(4))
    file.seek(0)
    if codec == "plain":
        return codec, file
    try:
        return codec, io.BufferedReader(_RawDecompressor(file, os.fspath(path), codec), _CHUNK)
    except BaseException:
        file.close()
        raise


def _check_end(stream, codec, name):
    """After the header's frames: one byte more tells whether a compressed
    stream ends there, as the program reads it. A gzip stream that goes on is
    not read further; a zstd one could not be checked, and is refused."""
    if codec != "plain" and stream.read(1) and codec == "zstd":
        raise ContainerError(f"{name}: the zstd data holds more than the header's frames")


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
        self._codec, self._stream = open_stream(path)
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
        _check_end(self._stream, self._codec, self.path)

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
    codec, stream = open_stream(path)
    if codec == "plain":
        source = stream
    else:
        source = tempfile.TemporaryFile()
        try:
            with stream:
                head = _read_exactly(stream, HEADER_SIZE)
                source.write(head)
                remaining = parse_header(head, path).n_frames * FRAME_SIZE
                while remaining:
                    chunk = stream.read(min(1 << 20, remaining))
                    if not chunk:
                        break
                    source.write(chunk)
                    remaining -= len(chunk)
                if not remaining:
                    _check_end(stream, codec, path)
            source.flush()
        except BaseException:
            source.close()
            raise
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
