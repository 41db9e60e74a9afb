#!/usr/bin/env python3
"""tools/quorvane4.py against the program.

Encodes the example game with the program, plain, gzip and zstd, and checks
that the reader's frames give the energies, distances and ply columns of the
program's csv report, and the promo and flags of the ply log. Then feeds the
reader and the program's csv command the same damaged or unusual containers
and checks that they accept and refuse the same ones. The zstd cases need the
zstandard module (Debian: python3-zstandard) and are skipped without it.

usage: reader_test.py BINARY GAME.ndjson4 [--without-numpy]
    --without-numpy hides numpy from the reader, to test its standard-library path.
"""
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

if "--without-numpy" in sys.argv:
    sys.argv.remove("--without-numpy")
    sys.modules["numpy"] = None  # makes `import numpy` fail

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import quorvane4  # noqa: E402

numpy = quorvane4.numpy
zstandard = quorvane4.zstandard
BINARY = GAME = None
needs_zstandard = unittest.skipIf(zstandard is None, "the zstandard module is not installed")
ENERGY_COLUMNS = ["E_" + name for name in quorvane4.CHANNEL_NAMES]


def run(*args, cwd=None):
    return subprocess.run([BINARY, *args], cwd=cwd, capture_output=True)


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
    if numpy is not None and isinstance(values, numpy.ndarray):
        v = values.astype(numpy.float64)
        energies = [float(e) for e in (v * v).reshape(quorvane4.N_CHANNELS, -1).sum(axis=1)]
        row = {name: e for name, e in zip(ENERGY_COLUMNS, energies)}
        if previous is not None:
            p = previous.astype(numpy.float64)
            d = v - p
            norms = math.sqrt(float(v @ v)) * math.sqrt(float(p @ p))
            row.update(dist_prev=math.sqrt(float(d @ d)), cos_prev=float(v @ p) / norms if norms > 0 else 0.0,
                       dA1=math.sqrt(float(d[:4096] @ d[:4096])))
    else:
        size = quorvane4.CHANNEL_SIZE
        energies = [math.fsum(x * x for x in values[c * size:(c + 1) * size]) for c in range(quorvane4.N_CHANNELS)]
        row = {name: e for name, e in zip(ENERGY_COLUMNS, energies)}
        if previous is not None:
            vv, pp = sum(energies), math.fsum(x * x for x in previous)
            norms = math.sqrt(vv) * math.sqrt(pp)
            row.update(dist_prev=math.sqrt(math.fsum((a - b) ** 2 for a, b in zip(values, previous))),
                       cos_prev=math.fsum(a * b for a, b in zip(values, previous)) / norms if norms > 0 else 0.0,
                       dA1=math.sqrt(math.fsum((a - b) ** 2 for a, b in zip(values[:4096], previous[:4096]))))
    row["E_total"] = sum(energies)
    if previous is None:
        row.update(dist_prev=0.0, cos_prev=0.0, dA1=0.0)
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


class Game(unittest.TestCase):
    """The example game, read back from the program's containers."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.plain = os.path.join(cls.scratch.name, "game.quorvane4")
        cls.gzip = os.path.join(cls.scratch.name, "game.quorvanez4")
        cls.zstd = os.path.join(cls.scratch.name, "game.zst.quorvanez4")
        for args in (["-i", GAME, "-o", cls.plain], ["-z", "-i", GAME, "-o", cls.gzip],
                     ["--zstd", "--threads", "2", "-i", GAME, "-o", cls.zstd]):
            assert run("encode", *args).returncode == 0
        report = run("csv", cls.plain).stdout.decode().splitlines()
        columns = report[0].split(",")
        cls.rows = [dict(zip(columns, line.split(","))) for line in report[1:]]
        with open(GAME) as log:
            cls.plies = [json.loads(line) for line in log if '"fen4":' in line]

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def frames(self, path, **options):
        with quorvane4.open_container(path, **options) as game:
            self.assertEqual(game.header.n_frames, len(self.rows))
            self.assertEqual(game.header.version, 4)
            return list(game)

    def test_frames_give_the_csv_report(self):
        frames = self.frames(self.plain)
        self.assertEqual(len(frames), len(self.rows))
        self.assertGreater(len(frames), 10)
        previous = None
        for (trailer, values), row in zip(frames, self.rows):
            self.assertEqual(len(values), quorvane4.ENCODING_DIM)
            self.assertEqual(trailer.ply, int(row["ply"]))
            self.assertEqual(trailer.move_from, tuple(int(row["from_" + a]) for a in "xyzw"))
            self.assertEqual(trailer.move_to, tuple(int(row["to_" + a]) for a in "xyzw"))
            for column, x in report_numbers(values, previous).items():
                self.assertTrue(printed_as(row[column], x),
                                f"ply {trailer.ply} {column}: csv says {row[column]}, reader gives {x!r}")
            previous = values

    def test_trailers_hold_the_ply_log(self):
        for (trailer, _), ply in zip(self.frames(self.plain), self.plies, strict=True):
            self.assertEqual(trailer, quorvane4.Trailer(ply["ply"], tuple(ply.get("move_from", (0,) * 4)),
                                                        tuple(ply.get("move_to", (0,) * 4)),
                                                        ply.get("promo", 0), ply.get("flags", 0)))
        self.assertTrue(any(ply.get("flags") for ply in self.plies))

    def test_gzip_reads_as_plain(self):
        plain = self.frames(self.plain, use_numpy=False)
        packed = self.frames(self.gzip, use_numpy=False)
        self.assertEqual([t for t, _ in packed], [t for t, _ in plain])
        self.assertEqual([v.tobytes() for _, v in packed], [v.tobytes() for _, v in plain])

    @needs_zstandard
    def test_zstd_reads_as_plain(self):
        plain = self.frames(self.plain, use_numpy=False)
        packed = self.frames(self.zstd, use_numpy=False)
        self.assertEqual([t for t, _ in packed], [t for t, _ in plain])
        self.assertEqual([v.tobytes() for _, v in packed], [v.tobytes() for _, v in plain])

    @unittest.skipIf(zstandard is not None, "the zstandard module is installed")
    def test_zstd_without_zstandard_says_what_is_missing(self):
        with self.assertRaisesRegex(quorvane4.ContainerError, "python3-zstandard"):
            quorvane4.open_container(self.zstd)

    @unittest.skipIf(numpy is None, "numpy is not installed")
    def test_arrays_hold_the_frames(self):
        frames = self.frames(self.gzip, use_numpy=False)
        for path in (self.plain, self.gzip) + ((self.zstd,) if zstandard else ()):
            values = quorvane4.load_array(path)
            trailers = quorvane4.load_trailers(path)
            self.assertEqual(values.shape, (len(frames), quorvane4.ENCODING_DIM))
            self.assertFalse(values.flags.writeable)
            self.assertEqual([row.tobytes() for row in values], [v.tobytes() for _, v in frames])
            self.assertEqual([quorvane4.Trailer(int(t["ply"]), tuple(t["move_from"].tolist()),
                                                tuple(t["move_to"].tolist()), int(t["promo"]), int(t["flags"]))
                              for t in trailers], [t for t, _ in frames])
        self.assertIsInstance(self.frames(self.plain)[0][1], numpy.ndarray)


class SameVerdictAsTheProgram(unittest.TestCase):
    """Containers that the reader must accept or refuse exactly when the
    program's csv command does."""

    FEN4 = "4d-fen v1: K@0,0,0,4; k@7,7,7,4; Py@2,1,4,0; pw@3,7,3,6; Q@3,3,3,3"

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        path = os.path.join(cls.scratch.name, "one.quorvane4")
        assert run("encode-fen4", "--fen4", cls.FEN4, "-o", path).returncode == 0
        with open(path, "rb") as f:
            cls.container = f.read()
        with quorvane4.open_container(path, use_numpy=False) as game:
            cls.values = [v.tobytes() for _, v in game]

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def patched(self, offset, value):
        return self.container[:offset] + struct.pack("<I", value) + self.container[offset + 4:]

    def verdicts(self, name, data):
        """(program accepts, reader accepts, reader's message) for a file holding `data`."""
        path = os.path.join(self.scratch.name, name)
        with open(path, "wb") as f:
            f.write(data)
        program = run("csv", path)
        try:
            with quorvane4.open_container(path, use_numpy=False) as game:
                values = [v.tobytes() for _, v in game]
            self.assertEqual(values, self.values, name)
            return program.returncode == 0, True, ""
        except quorvane4.ContainerError as error:
            return program.returncode == 0, False, str(error)

    def test_accepted(self):
        second_member = gzip_member(b"not a container")
        longer = gzip_member(self.container + b"\0" * 100000)
        for name, data in {
            # read only as far as the header's one frame goes
            "gzip_longer_than_counted": longer,
            "gzip_cut_after_its_frames": longer[:len(longer) - 40],
            "as_written": self.container,
            "version_3": self.patched(8, 3),
            "gzip": gzip_member(self.container),
            "gzip_every_header_field": gzip_member(self.container, 2 | 4 | 8 | 16, b"ab\x02\x00xy", b"g", b"c"),
            "gzip_two_members": gzip_member(self.container, 8, name=b"one") + second_member,
            "gzip_wrong_crc": gzip_member(self.container)[:-8] + b"\0\0\0\0\0\0\0\0",
            "gzip_without_trailer": gzip_member(self.container)[:-8],
        }.items():
            self.assertEqual(self.verdicts(name, data), (True, True, ""), name)

    @needs_zstandard
    def test_zstd(self):
        packed = zstd_frame(self.container)
        flipped = bytearray(packed)
        flipped[-1] ^= 1
        verdicts = {
            "zstd": (packed, True, ""),
            "zstd_two_frames": (zstd_frame(self.container[:1000]) + zstd_frame(self.container[1000:]), True, ""),
            "zstd_cut": (packed[:len(packed) // 2], False, "ends before"),
            "zstd_checksum_cut": (packed[:-2], False, "ends before"),
            "zstd_checksum_flipped": (bytes(flipped), False, "corrupt"),
            "zstd_garbage_after": (packed + b"garbage!", False, "corrupt"),
            "zstd_longer_than_counted": (zstd_frame(self.container + b"\0" * 1000), False, "holds more"),
            "zstd_of_a_text": (zstd_frame(b"hello"), False, "too short"),
        }
        for name, (data, accepted, message) in verdicts.items():
            program, reader, said = self.verdicts(name, data)
            self.assertEqual((program, reader), (accepted, accepted), name)
            self.assertIn(message, said, name)

    def test_refused(self):
        packed = gzip_member(self.container)
        for name, data, message in [
            ("magic", b"X" + self.container[1:], "wrong magic"),
            ("magic_before_version", b"X" + self.patched(8, 9)[1:], "wrong magic"),
            ("version_2", self.patched(8, 2), "version 2"),
            ("version_5", self.patched(8, 5), "version 5"),
            ("frame_size", self.patched(16, 180237), "frame_size 180237"),
            ("other_dimension", self.patched(12, 45057)[:16] + self.patched(16, 180242)[16:], "frames of 180242"),
            ("short_header", self.container[:100], "too short"),
            ("empty", b"", "too short"),
            ("gzip_cut_in_deflate", packed[:len(packed) // 2], "ends before"),
            ("gzip_corrupt", packed[:10] + b"\xff" * 16 + packed[26:], "corrupt"),
            ("gzip_method_7", packed[:2] + b"\x07" + packed[3:], "gzip header"),
            ("gzip_name_to_the_end", b"\x1f\x8b\x08\x08\0\0\0\0\0\xffname", "gzip header"),
        ]:
            program, reader, said = self.verdicts(name, data)
            self.assertEqual((program, reader), (False, False), name)
            self.assertIn(message, said, name)

    def test_truncated_frames_are_yielded_then_refused(self):
        # The program prints the rows it can read and reports the first
        # missing frame; the reader yields the complete frames, then raises.
        path = os.path.join(self.scratch.name, "counted_two.quorvane4")
        with open(path, "wb") as f:
            f.write(self.patched(20, 2))
        self.assertIn(b"frame read failed at ply 1", run("csv", path).stderr)
        got = []
        with self.assertRaisesRegex(quorvane4.ContainerError, "frame 1 is incomplete"):
            with quorvane4.open_container(path, use_numpy=False) as game:
                for _, values in game:
                    got.append(values.tobytes())
        self.assertEqual(got, self.values)
        if numpy is not None:
            with self.assertRaisesRegex(quorvane4.ContainerError, "too short"):
                quorvane4.load_array(path)


if __name__ == "__main__":
    BINARY, GAME = (os.path.abspath(a) for a in sys.argv[1:3])
    del sys.argv[1:3]
    unittest.main()
