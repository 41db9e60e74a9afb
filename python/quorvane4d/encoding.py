"""Encoding FEN4 texts: one at a time, or many at once on several threads."""
import numpy

from quorvane4d import _core

ENCODING_DIM = _core.ENCODING_DIM

# Channel c holds values[c * 4096:(c + 1) * 4096]; the names of the csv report's columns.
CHANNEL_NAMES = ("A1", "STD4_X", "STD4_Y", "STD4_Z", "STD4_W", "FIB_SYM_1", "FIB_SYM_2", "FIB_SYM_3",
                 "FA_PAWN_W", "FA_PAWN_Y", "FD_DIAG")

class Fen4Error(ValueError):
    """A FEN4 text that does not parse. `code` is the parser's code (-2 to -6,
    as the program prints it); `index`, for encode_batch, the text's place."""

    def __init__(self, code, index=None):
        self.code = code
        self.index = index
        where = "" if index is None else f"fen4s[{index}]: "
        super().__init__(f"{where}FEN4 parse error {code} ({_core.result_name(code)})")

    def __reduce__(self):  # survives pickling, e.g. out of a DataLoader worker
        return Fen4Error, (self.code, self.index)


def encode(fen4):
    """The encoding of one FEN4 text (str or bytes): a new (45056,) float32
    array. Raises Fen4Error when the text does not parse."""
    code, values = _core.encode(fen4)
    if code != 0:
        raise Fen4Error(code)
    return values


def _output_array(out, n):
    """`out` as the numpy array encode_batch writes into, checked."""
    if type(out).__module__ == "torch" and hasattr(out, "numpy"):
        out = out.numpy()  # a CPU tensor's memory, pinned or not; no copy
    if not isinstance(out, numpy.ndarray):
        raise TypeError(f"out must be a numpy array (or a CPU torch tensor), not {type(out).__name__}")
    if out.dtype != numpy.float32 or not out.dtype.isnative:
        raise ValueError(f"out must hold float32, not {out.dtype}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out must be C-contiguous and writable")
    if out.ndim < 1 or out.shape[0] != n or out.size != n * ENCODING_DIM:
        raise ValueError(f"out has shape {out.shape}; {n} encodings need ({n}, {ENCODING_DIM})")
    return out


def encode_batch(fen4s, *, threads=0, out=None):
    """Encodes a sequence of FEN4 texts on `threads` threads (0: one per
    processor), without holding the interpreter's lock.

    Writes into `out` when given: a writable C-contiguous float32 array with
    len(fen4s) rows of 45056 values (say a pinned tensor's numpy view), and
    returns it. Otherwise returns a new (n, 45056) array. Every text is parsed
    before anything is encoded: a bad one raises Fen4Error naming its index,
    and `out` is left untouched.
    """
    texts = list(fen4s)
    if not isinstance(threads, int) or threads < 0:
        raise ValueError(f"threads must be an int of 0 or more, not {threads!r}")
    given = out
    array = numpy.empty((len(texts), ENCODING_DIM), numpy.float32) if out is None else _output_array(out, len(texts))
    code, index, fen4_error = _core.encode_batch_into(texts, threads, array)
    if code == -2:
        raise Fen4Error(fen4_error, index)
    if code == -3:
        raise MemoryError("encode_batch: no memory or no threads for the batch")
    if code != 0:
        raise RuntimeError(f"encode_batch failed ({code})")
    return array if given is None else given
