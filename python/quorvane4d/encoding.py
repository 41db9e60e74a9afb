"""Encoding FEN4 texts: one at a time, or many at once on several threads."""
import operator

import numpy

from quorvane4d import _core
from quorvane4d.errors import ArgumentError, Fen4Error, Result

ENCODING_DIM = _core.ENCODING_DIM

# Channel c holds values[c * 4096:(c + 1) * 4096]; the names of the csv report's columns.
CHANNEL_NAMES = ("A1", "STD4_X", "STD4_Y", "STD4_Z", "STD4_W", "FIB_SYM_1", "FIB_SYM_2", "FIB_SYM_3",
                 "FA_PAWN_W", "FA_PAWN_Y", "FD_DIAG")

# The types an encoding can be written in. numpy has no bfloat16: its values
# travel in uint16 arrays of the bits (a torch tensor views them as
# torch.bfloat16 without a copy).
DTYPES = ("float32", "bfloat16")
_NUMPY_DTYPES = {"float32": numpy.dtype(numpy.float32), "bfloat16": numpy.dtype(numpy.uint16)}


def _argument_error(message):
    return ArgumentError(Result.ERR_ARGUMENT, message=message)


def dtype_name(dtype):
    """"float32" or "bfloat16" for a dtype given by that name, as a numpy
    dtype (float32) or as a torch dtype (torch.float32, torch.bfloat16)."""
    if isinstance(dtype, str) and dtype in DTYPES:
        return dtype
    if type(dtype).__module__ == "torch":
        name = str(dtype).removeprefix("torch.")
    else:
        try:
            name = numpy.dtype(dtype).name if dtype is not None else None
        except TypeError:
            name = None
    if name not in DTYPES:
        raise _argument_error(f"dtype must be float32 or bfloat16 (a name, a numpy or a torch dtype), not {dtype!r}")
    return name


def thread_count(threads, name="threads"):
    """`threads` as an int from 0 (one per processor) to the most the
    package's encoder pool takes (4 per processor, at most 256)."""
    limit = _core.shared_pool_thread_limit()
    if isinstance(threads, bool) or not hasattr(type(threads), "__index__") or not 0 <= operator.index(threads) <= limit:
        raise _argument_error(f"{name} must be an integer from 0 to {limit} (0: one per processor), not {threads!r}")
    return operator.index(threads)


def _fen4_error(error, argument=None):
    """`error` worded as the program words a FEN4 text that does not parse,
    naming the text's place in `argument` for a batch."""
    where = f"{argument}[{error.index}]: " if argument is not None and error.index is not None else ""
    return Fen4Error(error.code, index=error.index,
                     message=f"{where}FEN4 parse error {int(error.code)} ({_core.result_name(error.code)})")


def encode(fen4):
    """The encoding of one FEN4 text (str or bytes): a new (45056,) float32
    array. Raises Fen4Error when the text does not parse."""
    try:
        return _core.encode(fen4)
    except Fen4Error as error:
        raise _fen4_error(error) from None


def output_array(out, n, dtype=None):
    """(array, dtype name): `out` as the numpy array an encoding of n rows is
    written into, checked, and the dtype it holds; `dtype` None takes out's."""
    if type(out).__module__ == "torch" and hasattr(out, "numpy"):
        import torch  # a CPU tensor's memory, pinned or not; no copy
        if out.dtype == torch.bfloat16:
            out = out.view(torch.int16).numpy()
        else:
            out = out.numpy()
    if not isinstance(out, numpy.ndarray):
        raise TypeError(f"out must be a numpy array (or a CPU torch tensor), not {type(out).__name__}")
    if dtype is None:
        dtype = "bfloat16" if out.dtype in (numpy.uint16, numpy.int16) else "float32"
    expected = _NUMPY_DTYPES[dtype]
    if dtype == "bfloat16" and out.dtype == numpy.int16:
        out = out.view(numpy.uint16)
    if out.dtype != expected or not out.dtype.isnative:
        held = "uint16 (the bits of bfloat16)" if dtype == "bfloat16" else "float32"
        raise _argument_error(f"out must hold {held} for dtype {dtype}, not {out.dtype}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise _argument_error("out must be C-contiguous and writable")
    if out.ndim < 1 or out.shape[0] != n or out.size != n * ENCODING_DIM:
        raise _argument_error(f"out has shape {out.shape}; {n} encodings need ({n}, {ENCODING_DIM})")
    return out, dtype


def encode_batch(fen4s, *, threads=0, out=None, dtype=None):
    """Encodes a sequence of FEN4 texts on `threads` threads (0: one per
    processor), without holding the interpreter's lock.

    `dtype` is float32 or bfloat16 (by name, numpy or torch dtype): bfloat16
    holds each value rounded to the nearest bfloat16, ties to even, in half the
    bytes, as uint16 bits (torch.from_numpy(a).view(torch.bfloat16) reads them).

    Writes into `out` when given: a writable C-contiguous array (say a pinned
    tensor or its numpy view) with len(fen4s) rows of 45056 values of the
    dtype (when dtype is not given, out's: float32, or bfloat16 for a
    torch.bfloat16 tensor or a uint16 array), and returns it. Otherwise
    returns a new (n, 45056) array in memory recycled from the arrays of
    earlier calls. Every text is parsed before anything is encoded: a bad one
    raises Fen4Error naming its index, and `out` is left untouched.
    """
    threads = thread_count(threads)
    if isinstance(fen4s, (str, bytes)):
        raise TypeError("fen4s must be a sequence of FEN4 texts, not one text: give [text]")
    try:
        texts = list(fen4s)
    except TypeError:
        raise TypeError(f"fen4s must be a sequence of FEN4 texts (str or bytes), not {type(fen4s).__name__}") from None
    if out is not None:
        array, dtype = output_array(out, len(texts), None if dtype is None else dtype_name(dtype))
    else:
        array, dtype = None, "float32" if dtype is None else dtype_name(dtype)
    try:
        written = _core.encode_batch(texts, threads, array, dtype)
    except Fen4Error as error:
        raise _fen4_error(error, "fen4s") from None
    return written if out is None else out
