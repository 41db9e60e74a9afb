"""The package's exceptions: one hierarchy for every failure of the library.

    quorvane4d.Error                      every failure; .code, .path, .line, .block, .index
    ├── Fen4Error (ValueError)            a FEN4 text that does not parse (.code -2 to -6, as the program prints)
    ├── ArgumentError (ValueError)        an argument out of its range
    ├── FileError (OSError)               a file that cannot be opened, read, written or renamed (.errno)
    ├── OutOfMemory (MemoryError)
    └── FormatError (ValueError)          a file whose contents are not what they must be
        ├── PlyLogError                   an NDJSON4 ply log
        ├── ContainerError                a frame container, plain, gzip or zstd
        ├── PackError                     a packed dataset
        └── SourceError                   a loader source that is none of the above, or holds no position

A FileError whose errno Python gives a class of its own is also that class:
a missing file is a FileNotFoundError, a folder an IsADirectoryError, an
unreadable file a PermissionError. An argument of the wrong type raises
TypeError, as everywhere in Python.

The codes come from the library (Result, an IntEnum of every code); none is
written here.
"""
import enum
import operator
import os

from quorvane4d import _core

Result = enum.IntEnum("Result", {name: value for name, (value, _) in _core.RESULTS.items()})
_WORDS = {value: words for value, words in _core.RESULTS.values()}
_GROUPS = _core.RESULT_GROUPS  # the first (highest) value of each group


class Error(Exception):
    """A failure of the library. `code` is a Result; `path`, `line` (from 1),
    `block` and `index` (from 0) say where, when they apply (else None)."""

    def __init__(self, code, path=None, *, line=None, block=None, index=None, errno=None, message=None):
        self.code = Result(code) if code in Result._value2member_map_ else code
        self.path, self.line, self.block, self.index = path, line, block, index
        if message is None:
            places = (("line", line), ("block", block), (_index_word(code), index))
            where = "".join(f"{name} {value}: " for name, value in places if value is not None)
            reason = _WORDS.get(code, "unknown result")
            if errno:
                reason += f": {os.strerror(errno)}"
            message = f"{path + ': ' if path else ''}{where}{reason}"
        self._message = message
        super().__init__(message)
        if isinstance(self, OSError):
            self.errno, self.strerror, self.filename = errno, os.strerror(errno) if errno else None, path

    def __str__(self):
        return self._message

    def __reduce__(self):  # survives pickling, e.g. out of a DataLoader worker
        return _rebuild, (type(self) if type(self) in _NAMED else None, self.code, self.path, self.line, self.block,
                          self.index, getattr(self, "errno", None), self._message)


def _rebuild(cls, code, path, line, block, index, errno, message):
    cls = cls or error_class(code, errno)
    return cls(code, path, line=line, block=block, index=index, errno=errno, message=message)


class Fen4Error(Error, ValueError):
    """A FEN4 text that does not parse; `index`, for a batch, the text's place."""


class ArgumentError(Error, ValueError):
    """An argument out of its range."""


class FileError(Error, OSError):
    """A file that cannot be opened, read, written or renamed."""


class OutOfMemory(Error, MemoryError):
    """The memory (or the threads) asked for could not be had."""


class FormatError(Error, ValueError):
    """A file whose contents are not what its format requires."""


class PlyLogError(FormatError):
    """An NDJSON4 ply log that cannot be read."""


class ContainerError(FormatError):
    """A frame container that is not one, or is damaged."""


class PackError(FormatError):
    """A packed dataset that is not one, or is damaged."""


class SourceError(FormatError):
    """A loader source that is none of the formats it reads, or holds no position."""


_FORMATS = {"ply_log": PlyLogError, "container": ContainerError, "pack": PackError, "source": SourceError}
_NAMED = {Error, Fen4Error, ArgumentError, FileError, OutOfMemory, FormatError, PlyLogError, ContainerError,
          PackError, SourceError}
_FILE_ERRORS = {}  # Python's OSError subclass -> the FileError that is also one


def _file_error(errno):
    """FileError, or for an errno that Python gives an OSError subclass of its
    own (FileNotFoundError, PermissionError, ...) a subclass of both."""
    builtin = type(OSError(errno, "")) if errno else OSError
    if builtin is OSError:
        return FileError
    if builtin not in _FILE_ERRORS:
        _FILE_ERRORS[builtin] = type(builtin.__name__, (FileError, builtin),
                                     {"__module__": __name__, "__doc__": f"A FileError that is a {builtin.__name__}."})
    return _FILE_ERRORS[builtin]


def _group(code):
    """The name of the group of results that `code` belongs to."""
    order = ("system", "text", "frames", "pack", "loader", "end")
    for group, following in zip(order, order[1:]):
        if _GROUPS[following] < code <= _GROUPS[group]:
            return group
    return None


def _index_word(code):
    """What a failure's index counts: the frames of a container, else items."""
    return "frame" if _group(code) == "frames" else "index"


def error_class(code, errno=None):
    """The class that a failure of `code` (with `errno`, for a file) raises."""
    if Result.FEN4_ERR_SEPARATOR <= code <= Result.FEN4_ERR_PREFIX:
        return Fen4Error
    if code == Result.ERR_ALLOC or code == Result.ERR_THREADS:
        return OutOfMemory
    if code in (Result.ERR_ARGUMENT, Result.ERR_NULL, Result.PACK_ERR_OUTPUT_IS_INPUT, Result.PACK_ERR_INPUT_TWICE):
        return ArgumentError  # the packer's refusals are of its arguments, not of a pack's bytes
    classes = {"text": PlyLogError, "frames": ContainerError, "pack": PackError, "loader": SourceError}
    group = _group(code)
    if group == "system":
        return _file_error(errno)
    return classes.get(group, Error)


def from_failure(code, path, errno, line, block, index, fen4_error, format=None):
    """The exception for a failure reported by the compiled part; `format`
    names the kind of file read, whose class a format error then takes (a
    damaged compressed stream is a ContainerError in a container)."""
    path = os.fsdecode(path) if path else None
    if fen4_error:
        code = fen4_error
    cls = error_class(code, errno)
    if format is not None and issubclass(cls, FormatError):
        cls = _FORMATS[format]
    return cls(code, path, line=None if line < 0 else line, block=None if block < 0 else block,
               index=None if index < 0 else index, errno=errno or None)


def integer_argument(name, value, least=None, most=None):
    """`value` as an int: any integer (numpy's included, bool excepted), from
    `least` to `most` when given; TypeError or ArgumentError naming `name`."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if (least is not None and number < least) or (most is not None and number > most):
        bounds = (f"from {least} to {most}" if most is not None else f"of {least} or more") if least is not None \
            else f"of {most} or less"
        raise ArgumentError(Result.ERR_ARGUMENT, message=f"{name} must be an integer {bounds}, not {number}")
    return number


def bool_argument(name, value):
    """`value` as a bool: True, False or numpy's booleans; TypeError naming
    `name` for anything else (None included, which is not taken as False)."""
    if type(value).__name__ in ("bool", "bool_") and type(value).__module__ in ("builtins", "numpy"):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {value!r}")
