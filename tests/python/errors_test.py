"""The package's exceptions: one class per group of the library's results,
what they carry, and that they survive pickling (out of a DataLoader
worker) with their class, code and message."""
import errno
import os
import pickle
import tempfile
import unittest

import numpy

import quorvane4d
from quorvane4d import _core
from quorvane4d.errors import Result, bool_argument, error_class, from_failure, integer_argument


class Hierarchy(unittest.TestCase):
    def test_every_result_is_exported_once_and_has_a_class(self):
        values = [value for value, _ in _core.RESULTS.values()]
        self.assertEqual(len(values), len(set(values)))
        self.assertEqual(values, sorted(values, reverse=True))
        groups = _core.RESULT_GROUPS
        for name, (value, words) in _core.RESULTS.items():
            self.assertEqual(Result[name], value)
            self.assertTrue(words and words != "unknown result", name)
            self.assertGreater(value, groups["end"], name)
            if value < 0:
                self.assertTrue(issubclass(error_class(value), quorvane4d.Error), name)
        for code, cls in ((Result.FEN4_ERR_PIECE, quorvane4d.Fen4Error), (Result.ERR_ALLOC, quorvane4d.OutOfMemory),
                          (Result.ERR_ARGUMENT, quorvane4d.ArgumentError), (Result.ERR_OPEN, quorvane4d.FileError),
                          (Result.FIXTURE_ERR_MALFORMED, quorvane4d.PlyLogError),
                          (Result.CONTAINER_ERR_MAGIC, quorvane4d.ContainerError),
                          (Result.CODEC_ERR_CHECK, quorvane4d.PlyLogError)):
            self.assertIs(error_class(code), cls, code.name)
        # A damaged compressed stream is an error of the kind of file it was read as.
        error = from_failure(Result.CODEC_ERR_DATA, b"g.quorvanez4", 0, -1, -1, -1, 0, "container")
        self.assertIs(type(error), quorvane4d.ContainerError)
        self.assertTrue(issubclass(quorvane4d.ContainerError, ValueError))

    def test_file_errors_are_the_oserror_of_their_errno(self):
        for number, builtin in ((errno.ENOENT, FileNotFoundError), (errno.EACCES, PermissionError),
                                (errno.EISDIR, IsADirectoryError), (errno.ENOSPC, OSError)):
            error = from_failure(Result.ERR_OPEN, os.fsencode("dir/é.bin"), number, -1, -1, -1, 0)
            self.assertIsInstance(error, builtin)
            self.assertIsInstance(error, quorvane4d.FileError)
            self.assertEqual((error.errno, error.filename, error.path), (number, "dir/é.bin", "dir/é.bin"))
            self.assertEqual(str(error), f"dir/é.bin: cannot open the file: {os.strerror(number)}")

    def test_messages_say_where(self):
        cases = [
            ((Result.CONTAINER_ERR_FRAME, b"g.quorvane4", 0, -1, -1, 7, 0), "g.quorvane4: frame 7: frame incomplete"),
            ((Result.ERR_READ, b"log", errno.EIO, 12, -1, -1, 0), f"log: line 12: read error: {os.strerror(errno.EIO)}"),
            # Regression: "out of memory reading " ended in an empty path.
            ((Result.ERR_ALLOC, b"", 0, -1, -1, -1, 0), "out of memory"),
        ]
        for failure, message in cases:
            self.assertEqual(str(from_failure(*failure)), message)

    def test_pickling_keeps_class_code_and_message(self):
        with tempfile.TemporaryDirectory() as scratch:
            raised = []
            for path in (os.path.join(scratch, "missing"), scratch):
                try:
                    quorvane4d.open_container(path)
                except quorvane4d.Error as error:
                    raised.append(error)
            raised.append(from_failure(Result.CONTAINER_ERR_MAGIC, b"x", 0, -1, -1, -1, 0))
            raised.append(quorvane4d.ArgumentError(Result.ERR_ARGUMENT, message="threads must be 0 or more"))
            for error in raised:
                back = pickle.loads(pickle.dumps(error))
                self.assertIs(type(back), type(error))
                self.assertEqual((back.code, back.path, str(back)), (error.code, error.path, str(error)))
                self.assertEqual(getattr(back, "errno", None), getattr(error, "errno", None))


class Arguments(unittest.TestCase):
    def test_integers(self):
        self.assertEqual(integer_argument("threads", numpy.int64(3), least=0), 3)
        self.assertEqual(integer_argument("seed", 2**70), 2**70)
        for value, cls, words in ((True, TypeError, "threads must be an integer, not bool"),
                                  (2.0, TypeError, "not float"), (None, TypeError, "not NoneType"),
                                  (-1, quorvane4d.ArgumentError, "threads must be an integer of 0 or more, not -1"),
                                  (2**31, quorvane4d.ArgumentError, "from 0 to 1024, not 2147483648")):
            with self.assertRaises(cls, msg=repr(value)) as caught:
                integer_argument("threads", value, least=0, most=None if value == -1 else 1024)
            self.assertIn(words, str(caught.exception))

    def test_bools(self):
        self.assertIs(bool_argument("verify", numpy.bool_(False)), False)
        for value in (None, 0, "", numpy.int8(1)):
            with self.assertRaisesRegex(TypeError, "verify must be True or False", msg=repr(value)):
                bool_argument("verify", value)


if __name__ == "__main__":
    unittest.main()
