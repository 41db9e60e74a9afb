"""The positions of an NDJSON4 ply log, read exactly as the program's encode reads them."""
import collections
import os
import warnings

from quorvane4d import _core
from quorvane4d.errors import Result

# move_from and move_to are (x, y, z, w) tuples of the low bytes, as a
# container stores them; line is the line number encode would report.
PlyRecord = collections.namedtuple("PlyRecord", "fen4 ply move_from move_to promo flags line")


def read_ply_log(path):
    """Yields a PlyRecord for every position of the ply log at `path` (plain,
    gzip or zstd, told apart by their first bytes; "-" for standard input), as
    `quorvane_4d encode` would write its frames: the same lines skipped (no
    readable fen4 string, metadata lines, pieces of lines longer than 81 919
    bytes), the same defaults (a missing ply is the number of positions before
    it; moves, promo and flags 0). A line whose FEN4 text is too long or does
    not parse is skipped with a RuntimeWarning carrying encode's message.
    Raises quorvane4d.errors.FileError (an OSError) when the file cannot be
    opened or read, PlyLogError when its compressed form is damaged. Reading a
    FIFO waits for its writer; Ctrl-C interrupts any wait or long scan.
    """
    path = os.fspath(path)
    log = _core.open_ply_log(os.fsencode(path))
    try:
        while True:
            code, line, fen4_error, fen4, (ply, move_from, move_to, promo, flags) = log.next()
            if code == Result.OK:
                yield PlyRecord(fen4.decode("ascii"), ply, move_from, move_to, promo, flags, line)
            elif code == Result.END:
                return
            elif code == Result.PLY_LOG_TOO_LONG:
                warnings.warn(f"{path}: line {line}: FEN4 string longer than {_core.FEN4_BUF_SIZE // 1024} KiB",
                              RuntimeWarning, stacklevel=2)
            else:
                warnings.warn(f"{path}: FEN4 parse error {fen4_error} at line {line}", RuntimeWarning, stacklevel=2)
    finally:
        log.close()
