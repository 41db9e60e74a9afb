#!/usr/bin/env python3
"""encode's progress line on a terminal.

Runs `encode -i -` with standard error on a pseudo-terminal and feeds it a ply
log slowly, so that the progress line is shown between plies; a line that
does not parse comes in the middle. Replays what the terminal received on a
model screen (carriage return, newline, overwriting) and checks that the
progress line was shown, and that the screen ends holding exactly the
command's messages: no progress text left over, none run into a message.

usage: progress_test.py BINARY
"""
import os
import pty
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BINARY = None
PLY = '{"fen4": "4d-fen v1: K@0,0,0,4; k@7,7,7,4; Pw@1,0,0,4"}\n'
BAD = '{"fen4": "4d-fen v1: X@0,0,0,0"}\n'
PAUSE = 0.35  # longer than the quarter second between two updates
PROGRESS = re.compile(r"encode: (\d+) plies written, (\d+) plies/s")


def screen_lines(output):
    """The lines a terminal shows after receiving `output`."""
    lines, row, col = [[]], 0, 0
    for ch in output:
        if ch == "\r":
            col = 0
        elif ch == "\n":
            row, col = row + 1, 0
            if row == len(lines):
                lines.append([])
        else:
            line = lines[row]
            line.extend(" " * (col + 1 - len(line)))
            line[col] = ch
            col += 1
    return ["".join(line).rstrip() for line in lines]


def run_on_terminal(args, feed):
    """Runs BINARY with standard error on a pseudo-terminal; `feed` writes to
    its standard input. Returns (exit status, text received by the terminal)."""
    controller, terminal = pty.openpty()
    with tempfile.TemporaryDirectory() as scratch:
        proc = subprocess.Popen([BINARY, *args], cwd=scratch, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        received = []

        def drain():
            while True:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:  # the terminal's last user has gone
                    return
                if not chunk:
                    return
                received.append(chunk)

        reader = threading.Thread(target=drain)
        reader.start()
        feed(proc.stdin)
        proc.stdin.close()
        status = proc.wait(timeout=60)
        reader.join(timeout=10)
        os.close(controller)
    return status, b"".join(received).decode("utf-8")


class ProgressOnTerminal(unittest.TestCase):
    def test_progress_is_shown_and_erased_around_messages(self):
        def feed(stdin):
            for line in (PLY, PLY, BAD, PLY, PLY):
                stdin.write(line.encode())
                stdin.flush()
                time.sleep(PAUSE)

        status, output = run_on_terminal(["encode", "-i", "-", "-o", "game.quorvane4"], feed)
        self.assertEqual(status, 0)
        counts = [int(m.group(1)) for m in PROGRESS.finditer(output)]
        self.assertTrue(counts, f"no progress line in {output!r}")
        self.assertEqual(counts, sorted(counts))
        self.assertLessEqual(counts[-1], 4)
        self.assertEqual([line for line in screen_lines(output) if line],
                         ["encode: FEN4 parse error -3 at line 3"])
        # The message is written after the erased line, on a line of its own.
        message = output.index("encode: FEN4 parse error")
        self.assertEqual(output[message - 1], "\r")

    def test_final_message_starts_on_a_clean_line(self):
        def feed(stdin):
            for line in (PLY, PLY):
                stdin.write(line.encode())
                stdin.flush()
                time.sleep(PAUSE)

        status, output = run_on_terminal(["encode", "-z", "-i", "-", "-o", "missing/game.quorvanez4"], feed)
        self.assertEqual(status, 3)
        self.assertRegex(output, PROGRESS)
        self.assertEqual([line for line in screen_lines(output) if line],
                         ["encode: gzip to missing/game.quorvanez4 failed"])

    def test_a_short_run_shows_no_progress(self):
        def feed(stdin):
            stdin.write((PLY * 3).encode())

        status, output = run_on_terminal(["encode", "-i", "-", "-o", "game.quorvane4"], feed)
        self.assertEqual(status, 0)
        self.assertEqual(output, "")


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
