"""open_container against the program.

Encodes the example game with the program, plain, gzip and zstd, and checks
that the package's frames give the energies, distances and ply columns of the
program's csv report, the promo and flags of the ply log, and the bits
encode_batch gives. Then feeds the package and the program's csv command the
same damaged or unusual containers: without verification the package accepts
and refuses the same ones as csv; with it, also refuses those whose check
fields or frame count are wrong. The zstd cases need the zstandard module
(Debian: python3-zstandard) to write their files and are skipped without it.
"""
import json
import math
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import warnings
import zlib

import numpy

import quorvane4d
from support import EXAMPLE_GAME, PROGRAM

try:
    import zstandard
except ImportError:
    zstandard = None
needs_zstandard = unittest.skipIf(zstandard is None, "the zstandard module is not installed")
ENERGY_COLUMNS = ["E_" + name for name in quorvane4d.CHANNEL_NAMES]


def run(*args):
    return subprocess.run([PROGRAM, *args], capture_output=True)


def printed_as(cell, x):
    """True when the csv report's number format can have printed x as `cell`
    (x is computed here with other summation orders, so a last-digit rounding
    may differ)."""
    if cell == "0":
        return abs(x) < 1e-6
    if "e" in cell:
        mantissa, exponent = cell.split("e")
        half_unit = 0.5 * 10 ** (int(exponent) - (len(mantissa.split(".")[1])))
    elif "." in cell:
        half_unit = 0.5 * 10 ** -len(cell.split(".")[1])
    else:
        half_unit = 0.5
    return abs(x - float(cell)) <= half_unit * 1.001


def report_numbers(values, previous):
    """The csv report's numbers of one frame, in double precision."""
    v = values.astype(numpy.float64)
    energies = [float(e) for e in (v * v).reshape(quorvane4d.N_CHANNELS, -1).sum(axis=1)]
    row = {name: e for name, e in zip(ENERGY_COLUMNS, energies)}
    row["E_total"] = sum(energies)
    if previous is None:
        row.update(dist_prev=0.0, cos_prev=0.0, dA1=0.0)
    else:
        p = previous.astype(numpy.float64)
        d = v - p
        norms = math.sqrt(float(v @ v)) * math.sqrt(float(p @ p))
        row.update(dist_prev=math.sqrt(float(d @ d)), cos_prev=float(v @ p) / norms if norms > 0 else 0.0,
                   dA1=math.sqrt(float(d[:4096] @ d[:4096])))
    return row


def gzip_member(data, flags=0, extra=b"", name=b"", comment=b""):
    """A gzip member of `data` with the optional header fields that `flags` names."""
    header = bytearray(b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\0\xff")
    if flags & 4:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 8:
        header += name + b"\0"
    if flags & 16:
        header += comment + b"\0"
    if flags & 2:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    return bytes(header) + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def zstd_frame(data):
    """One zstd frame of `data` with its checksum, as zstd(1) writes it."""
    return zstandard.ZstdCompressor(level=3, write_checksum=True).compress(data)


def trailers_of(frames):
    return [t for _, t in frames]


def bits(frames):
    return [v.tobytes() for v, _ in frames]


class Game(unittest.TestCase):
    """The example game, read back from the program's containers."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.plain = os.path.join(cls.scratch.name, "game.quorvane4")
        cls.gzip = os.path.join(cls.scratch.name, "game.quorvanez4")
        cls.zstd = os.path.join(cls.scratch.name, "game.zst.quorvanez4")
        for args in (["-i", EXAMPLE_GAME, "-o", cls.plain], ["-z", "-i", EXAMPLE_GAME, "-o", cls.gzip],
                     ["--zstd", "--threads", "2", "-i", EXAMPLE_GAME, "-o", cls.zstd]):
            assert run("encode", *args).returncode == 0
        report = run("csv", cls.plain).stdout.decode().splitlines()
        columns = report[0].split(",")
        cls.rows = [dict(zip(columns, line.split(","))) for line in report[1:]]
        with open(EXAMPLE_GAME) as log:
            cls.plies = [json.loads(line) for line in log if '"fen4":' in line]

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def frames(self, path):
        with quorvane4d.open_container(path) as game:
            self.assertEqual((len(game), game.header.n_frames, game.header.version), (len(self.rows),) * 2 + (4,))
            return list(game)

    def test_frames_give_the_csv_report(self):
        frames = self.frames(self.plain)
        self.assertGreater(len(frames), 10)
        previous = None
        for (values, trailer), row in zip(frames, self.rows, strict=True):
            self.assertEqual((values.shape, values.dtype), ((quorvane4d.ENCODING_DIM,), numpy.float32))
            self.assertEqual(trailer.ply, int(row["ply"]))
            self.assertEqual(trailer.move_from, tuple(int(row["from_" + a]) for a in "xyzw"))
            self.assertEqual(trailer.move_to, tuple(int(row["to_" + a]) for a in "xyzw"))
            for column, x in report_numbers(values, previous).items():
                self.assertTrue(printed_as(row[column], x),
                                f"ply {trailer.ply} {column}: csv says {row[column]}, reader gives {x!r}")
            previous = values

    def test_trailers_hold_the_ply_log(self):
        for (_, trailer), ply in zip(self.frames(self.plain), self.plies, strict=True):
            self.assertEqual(trailer, quorvane4d.Trailer(ply["ply"], tuple(ply.get("move_from", (0,) * 4)),
                                                         tuple(ply.get("move_to", (0,) * 4)),
                                                         ply.get("promo", 0), ply.get("flags", 0)))
        self.assertTrue(any(ply.get("flags") for ply in self.plies))

    def test_every_codec_reads_as_encode_batch_encodes(self):
        expected = quorvane4d.encode_batch([r.fen4 for r in quorvane4d.read_ply_log(EXAMPLE_GAME)])
        plain = self.frames(self.plain)
        self.assertEqual(bits(plain), [row.tobytes() for row in expected])
        for path, codec in ((self.gzip, "gzip"), (self.zstd, "zstd")):
            self.assertEqual(quorvane4d.open_container(path).codec, codec)
            packed = self.frames(path)
            self.assertEqual(trailers_of(packed), trailers_of(plain), codec)
            self.assertEqual(bits(packed), bits(plain), codec)

    def test_random_access_to_plain_containers(self):
        frames = self.frames(self.plain)
        game = quorvane4d.open_container(self.plain)
        self.assertEqual(game.codec, "plain")
        values, trailers = game.values, game.trailers
        self.assertEqual(values.shape, (len(frames), quorvane4d.ENCODING_DIM))
        self.assertFalse(values.flags.writeable or trailers.flags.writeable)
        self.assertEqual([row.tobytes() for row in values], bits(frames))
        self.assertEqual([int(t["ply"]) for t in trailers], [t.ply for t in trailers_of(frames)])
        for k in (0, 7, -1, -len(frames)):
            self.assertEqual(game[k][0].tobytes(), frames[k][0].tobytes())
            self.assertEqual(game[k][1], frames[k][1])
        for k in (len(frames), -len(frames) - 1):
            with self.assertRaises(IndexError):
                game[k]
        self.assertEqual(bits(game), bits(frames))  # and it can be iterated again, and again
        self.assertEqual(bits(game), bits(frames))
        for path in (self.gzip, self.zstd):
            packed = quorvane4d.open_container(path)
            with self.assertRaisesRegex(TypeError, "read in order"):
                packed.values
            with self.assertRaises(TypeError):
                packed[0]

    def test_command_line(self):
        listing = subprocess.run([sys.executable, "-m", "quorvane4d", self.gzip, "missing"],
                                 capture_output=True, text=True)
        self.assertEqual(listing.returncode, 1)
        lines = listing.stdout.splitlines()
        self.assertIn("gzip, version 4, 41 frames", lines[0])
        self.assertEqual(lines[2], "ply 1: 2,1,4,0 -> 2,2,4,0 promo 0 flags 0")
        self.assertEqual(listing.stderr, "quorvane4d: missing: cannot open the file: No such file or directory\n")
        # Regression: --help was taken for a file name.
        for option, words in (("--help", "usage: python3 -m quorvane4d"), ("--version", quorvane4d.__version__)):
            shown = subprocess.run([sys.executable, "-m", "quorvane4d", option], capture_output=True, text=True)
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), option)
            self.assertIn(words, shown.stdout, option)

    def test_command_line_fails_on_damaged_containers(self):
        """Regression: a cut container, or one with a gigabyte after its last
        frame, exited 0 with only a RuntimeWarning quoting internal source
        lines; now each is one line on standard error, and the status 1."""
        with open(self.plain, "rb") as f:
            whole = f.read()
        cut, longer = (os.path.join(self.scratch.name, name) for name in ("cut.quorvane4", "longer.quorvane4"))
        with open(cut, "wb") as f:
            f.write(whole[:-100])
        with open(longer, "wb") as f:
            f.write(whole)
            f.truncate(len(whole) + (1 << 30))  # sparse: a gigabyte of zeros that takes no room
        for path, reason in ((cut, "fewer frames than the header counts"), (longer, "bytes after the last frame")):
            listing = subprocess.run([sys.executable, "-m", "quorvane4d", path], capture_output=True, text=True)
            self.assertEqual((listing.returncode, listing.stdout), (1, ""), path)
            self.assertEqual(listing.stderr, f"quorvane4d: {path}: {reason}\n")


class Unusual(unittest.TestCase):
    """Empty containers, files that are not regular, arguments, threads."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.empty = os.path.join(cls.scratch.name, "empty.quorvane4")
        subprocess.run([PROGRAM, "encode", "-i", "-", "-o", cls.empty], input=b"", capture_output=True, check=True)
        cls.game = os.path.join(cls.scratch.name, "game.quorvane4")
        subprocess.run([PROGRAM, "encode", "-i", EXAMPLE_GAME, "-o", cls.game], capture_output=True, check=True)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_an_empty_container(self):
        """Regression: .trailers of a valid empty container (what encode
        writes for a log without positions) raised `strides is incompatible`."""
        for memory_map in (True, False):
            with quorvane4d.open_container(self.empty, memory_map=memory_map) as game:
                self.assertEqual((len(game), list(game)), (0, []))
                self.assertEqual(game.values.shape, (0, quorvane4d.ENCODING_DIM))
                self.assertEqual((game.trailers.shape, game.trailers.dtype), ((0,), quorvane4d.TRAILER_DTYPE))
                with self.assertRaises(IndexError):
                    game[0]

    def test_files_that_are_not_containers(self):
        """Regression: open_container blocked forever on a FIFO without a
        writer, and called a folder too short for a header."""
        fifo = os.path.join(self.scratch.name, "fifo")
        os.mkfifo(fifo)
        for path, cls in ((fifo, quorvane4d.FileError), (self.scratch.name, IsADirectoryError),
                          (os.path.join(self.scratch.name, "missing"), FileNotFoundError)):
            with self.assertRaises(cls, msg=path) as caught:
                quorvane4d.open_container(path)
            self.assertIsInstance(caught.exception, quorvane4d.FileError)
            self.assertEqual(caught.exception.path, path)
            self.assertNotIn("too short", str(caught.exception))
        listing = subprocess.run([sys.executable, "-m", "quorvane4d", fifo], capture_output=True, text=True, timeout=60)
        self.assertEqual((listing.returncode, listing.stderr), (1, f"quorvane4d: {fifo}: not a regular file\n"))

    def test_arguments(self):
        """Regression: verify=None was taken as False; numpy integers could
        not index frames."""
        for options in ({"verify": None}, {"verify": "yes"}, {"memory_map": 1}):
            with self.assertRaisesRegex(TypeError, "must be True or False", msg=options):
                quorvane4d.open_container(self.game, **options)
        with self.assertRaisesRegex(TypeError, "path must be"):
            quorvane4d.open_container(3)
        with self.assertRaisesRegex(quorvane4d.ArgumentError, "NUL"):
            quorvane4d.open_container(self.game + "\0.txt")
        with quorvane4d.open_container(self.game, verify=numpy.bool_(True)) as game:
            self.assertEqual(game[numpy.int64(3)][1], game[3][1])
            self.assertEqual(game[numpy.uint8(3)][1].ply, game.trailers[3]["ply"])
            for index in (True, 1.0, "1"):
                with self.assertRaises(TypeError, msg=repr(index)):
                    game[index]

    def test_close_while_another_thread_reads(self):
        """Each container's methods are safe against each other: closing it
        on one thread stops an iteration on another with ValueError, never a
        crash; arrays already taken stay valid."""
        for codec_args in ([], ["--zstd"]):
            path = os.path.join(self.scratch.name, "threads.quorvane4")
            subprocess.run([PROGRAM, "encode", *codec_args, "-i", EXAMPLE_GAME, "-o", path], check=True)
            for _ in range(5):
                game = quorvane4d.open_container(path)
                values = game.values if not codec_args else None
                started, outcome = threading.Event(), []

                def read():
                    try:
                        for _ in game:
                            started.set()
                        outcome.append("finished")
                    except ValueError as error:
                        outcome.append(str(error))
                    started.set()

                reader = threading.Thread(target=read)
                reader.start()
                started.wait()
                game.close()
                reader.join()
                self.assertIn(outcome[0], ("finished", "the container is closed"))
                with self.assertRaisesRegex(ValueError, "closed"):
                    list(game)
                if values is not None:
                    self.assertEqual(values.shape[0], 41)
                    self.assertTrue(numpy.isfinite(values).all())

    def test_read_into_memory_survives_a_cut_file(self):
        """A memory map of a file cut short crashes the process (SIGBUS), as
        any memory map does; memory_map=False reads the frames into memory
        instead, so the arrays survive whatever happens to the file."""
        path = os.path.join(self.scratch.name, "cut_later.quorvane4")
        with open(self.game, "rb") as f, open(path, "wb") as g:
            g.write(f.read())
        with quorvane4d.open_container(path, memory_map=False) as game:
            values, trailers = game.values, game.trailers
            expected = numpy.array(quorvane4d.open_container(self.game).values)
            os.truncate(path, 1000)
            self.assertTrue(numpy.array_equal(values, expected))
            self.assertEqual(len(trailers), len(expected))
            self.assertFalse(values.flags.writeable)

    @needs_zstandard
    def test_ctrl_c_stops_a_long_check(self):
        """The check of a compressed container that claims 2^31 frames
        decompresses whatever its stream holds, writing nothing; Ctrl-C
        stops it (here some 16 GB of zeros in 33 KB)."""
        with open(self.empty, "rb") as f:
            header = bytearray(f.read())
        header[20:24] = struct.pack("<I", 1 << 31)
        zeros = zstd_frame(bytes(16 << 20))
        path = os.path.join(self.scratch.name, "claims_much.quorvanez4")
        with open(path, "wb") as f:
            f.write(zstd_frame(bytes(header)) + zeros * 1000)
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with self.assertRaises(KeyboardInterrupt):
                quorvane4d.open_container(path)
        finally:
            timer.cancel()


class SameVerdictAsTheProgram(unittest.TestCase):
    """Containers that the package, without verification, must accept or
    refuse exactly when the program's csv command does; and those that
    verification refuses besides."""

    FEN4 = "4d-fen v1: K@0,0,0,4; k@7,7,7,4; Py@2,1,4,0; pw@3,7,3,6; Q@3,3,3,3"

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        path = os.path.join(cls.scratch.name, "one.quorvane4")
        assert run("encode-fen4", "--fen4", cls.FEN4, "-o", path).returncode == 0
        with open(path, "rb") as f:
            cls.container = f.read()
        cls.values = [quorvane4d.encode(cls.FEN4).tobytes()]

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def patched(self, offset, value):
        return self.container[:offset] + struct.pack("<I", value) + self.container[offset + 4:]

    def verdicts(self, name, data):
        """(csv accepts, the package accepts without verifying, its message, with verifying, its message)."""
        path = os.path.join(self.scratch.name, name)
        with open(path, "wb") as f:
            f.write(data)
        said = []
        for verify in (False, True):
            try:
                with quorvane4d.open_container(path, verify=verify) as game:
                    self.assertEqual(bits(game), self.values, name)
                said += [True, ""]
            except quorvane4d.ContainerError as error:
                self.assertEqual(error.path, path)
                self.assertIsInstance(error.code, quorvane4d.Result)
                said += [False, str(error)]
        return (run("csv", path).returncode == 0, *said)

    def test_gzip_and_plain(self):
        packed = gzip_member(self.container)
        longer = gzip_member(self.container + b"\0" * 100000)
        for name, data, verified, message in [
            ("as_written", self.container, True, ""),
            ("version_3", self.patched(8, 3), True, ""),
            ("gzip", packed, True, ""),
            ("gzip_every_header_field", gzip_member(self.container, 2 | 4 | 8 | 16, b"ab\x02\x00xy", b"g", b"c"),
             True, ""),
            ("gzip_two_members", gzip_member(self.container, 8, name=b"one") + gzip_member(b"not a container"),
             True, ""),
            # csv reads only as far as the header's frames go; verification reads the rest
            ("gzip_longer_than_counted", longer, False, "bytes after the last frame"),
            ("gzip_cut_after_its_frames", longer[:len(longer) - 40], False, "bytes after the last frame"),
            ("gzip_wrong_crc", packed[:-8] + b"\0" * 8, False, "checksum"),
            ("gzip_without_trailer", packed[:-8], False, ""),
            ("plain_with_bytes_after", self.container + b"\0", False, "bytes after the last frame"),
            ("counted_two", self.patched(20, 2), False, "fewer frames"),
        ]:
            accepted = name != "counted_two"  # csv prints its one row, then reports the missing frame
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                csv, unverified, _, verifying, said = self.verdicts(name, data)
            self.assertEqual((unverified, verifying), (True, verified), name)
            self.assertEqual(csv, True, name)
            self.assertIn(message, said, name)
            self.assertEqual(len(caught), 0 if accepted else 1, name)

    @needs_zstandard
    def test_zstd(self):
        packed = zstd_frame(self.container)
        flipped = bytearray(packed)
        flipped[-1] ^= 1
        for name, data, accepted, message in [
            ("zstd", packed, True, ""),
            ("zstd_two_frames", zstd_frame(self.container[:1000]) + zstd_frame(self.container[1000:]), True, ""),
            ("zstd_cut", packed[:len(packed) // 2], False, ""),
            ("zstd_checksum_cut", packed[:-2], False, ""),
            ("zstd_checksum_flipped", bytes(flipped), False, ""),
            ("zstd_garbage_after", packed + b"garbage!", False, ""),
            ("zstd_longer_than_counted", zstd_frame(self.container + b"\0" * 1000), False, ""),
            ("zstd_of_a_text", zstd_frame(b"hello"), False, ""),
        ]:
            csv, unverified, said, verifying, _ = self.verdicts(name, data)
            self.assertEqual((csv, unverified, verifying), (accepted,) * 3, name)
            self.assertIn(message, said, name)

    def test_refused(self):
        packed = gzip_member(self.container)
        for name, data, message in [
            ("magic", b"X" + self.container[1:], "magic"),
            ("magic_before_version", b"X" + self.patched(8, 9)[1:], "magic"),
            ("version_2", self.patched(8, 2), "version"),
            ("version_5", self.patched(8, 5), "version"),
            ("frame_size", self.patched(16, 180237), "frame"),
            ("other_dimension", self.patched(12, 45057)[:16] + self.patched(16, 180242)[16:], "180238"),
            ("short_header", self.container[:100], "256"),
            ("empty", b"", "256"),
            ("gzip_cut_in_deflate", packed[:len(packed) // 2], ""),
            ("gzip_corrupt", packed[:10] + b"\xff" * 16 + packed[26:], ""),
            ("gzip_method_7", packed[:2] + b"\x07" + packed[3:], "gzip header"),
            ("gzip_name_to_the_end", b"\x1f\x8b\x08\x08\0\0\0\0\0\xffname", "gzip header"),
        ]:
            self.assertEqual(self.verdicts(name, data)[:2], (False, False), name)
            self.assertIn(message, self.verdicts(name, data)[2], name)

    def test_a_small_file_that_inflates_to_much(self):
        # 200 MB of zeros in 200 KB: refused by its header, without inflating it all.
        deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
        body = b"".join(deflate.compress(bytes(1 << 20)) for _ in range(200)) + deflate.flush()
        bomb = b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + body + struct.pack("<II", 0, (200 << 20) & 0xFFFFFFFF)
        self.assertLess(len(bomb), 300_000)
        self.assertEqual(self.verdicts("zeros", bomb)[:2], (False, False))
        # The same zeros after a valid one-frame container: without verifying, only the frame is read.
        deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
        body = deflate.compress(self.container) + b"".join(deflate.compress(bytes(1 << 20)) for _ in range(200))
        body += deflate.flush()
        self.assertEqual(self.verdicts("frame_then_zeros", b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + body + b"\0" * 8)[1:4:2],
                         (True, False))


if __name__ == "__main__":
    unittest.main()
