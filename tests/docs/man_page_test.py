#!/usr/bin/env python3
"""docs/quorvane_4d.1 against the program: every command, option, exit code
and channel of the usage text, and every message the command handlers print,
appear in the man page.

usage: man_page_test.py BINARY MAN_PAGE HANDLER_SOURCE...
"""
import re
import shutil
import subprocess
import sys
import unittest

BINARY = MAN_PAGE = None
SOURCES = []


ALTERNATING = {"BR", "RB", "BI", "IB", "IR", "RI"}  # arguments joined without spaces


def man_text(roff):
    """The man page as plain text, near enough for searching: comments
    dropped, requests replaced by their arguments, escapes resolved."""
    lines = []
    for line in roff.splitlines():
        if line.startswith('.\\"'):
            continue
        if line.startswith("."):
            request, _, rest = line[1:].partition(" ")
            args = [quoted or bare for quoted, bare in re.findall(r'"([^"]*)"|(\S+)', rest)]
            line = ("" if request in ALTERNATING else " ").join(args)
        lines.append(line)
    text = "\n".join(lines)
    for escape, plain in ((r"\\f[BIRP]", ""), (r"\\-", "-"), (r"\\\(em", "—"), (r"\\\(mu", "×"),
                          (r"\\\(lq|\\\(rq|\\\(dq", '"'), (r"\\~|\\ ", " "), (r"\\\(->", "→")):
        text = re.sub(escape, plain, text)
    return text


def flat(text):
    return re.sub(r"\s+", " ", text)


def section(text, title, next_title):
    """From the line `title` to the line `next_title`."""
    start = re.search(rf"(?m)^{re.escape(title)}$", text).start()
    return text[start:re.compile(rf"(?m)^{re.escape(next_title)}$").search(text, start).start()]


def handler_messages():
    """Every message a handler writes to standard error, as regular
    expressions with a wildcard for each formatted value."""
    call = re.compile(r'std::(?:fprintf\(stderr,|fputs\()\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
    literal = re.compile(r'"((?:[^"\\]|\\.)*)"')
    messages = []
    for source in SOURCES:
        with open(source, encoding="utf-8") as f:
            code = f.read()
        for match in call.finditer(code):
            text = "".join(literal.findall(match.group(1)))
            text = text.replace("\\n", "\n").replace('\\"', '"')
            for line in filter(None, (l.strip() for l in text.split("\n"))):
                pieces = re.findall(r"%(?:zu|[sdu])|\s+|[^%\s]+|%", line)
                pattern = "".join(r"\S+" if p.startswith("%") and len(p) > 1 else r"\s+" if p.isspace()
                                  else re.escape(p) for p in pieces)
                messages.append((line, pattern))
    return messages


class ManPage(unittest.TestCase):
    def assertFinds(self, pattern, text, what):
        self.assertIsNotNone(re.search(pattern, text), f"not in the man page: {what}")

    @classmethod
    def setUpClass(cls):
        with open(MAN_PAGE, encoding="utf-8") as f:
            cls.roff = f.read()
        cls.text = man_text(cls.roff)
        cls.usage = subprocess.run([BINARY, "help"], capture_output=True, check=True).stdout.decode()

    def test_every_command_of_the_usage_text(self):
        listed = re.findall(r"^    (\S+)\s{2,}", section(self.usage, "COMMANDS:", "ENCODING DIMENSIONS (v1.1.1, Halvik-Dorne Def. 11 pawn axis split):"), re.M)
        self.assertEqual(listed, ["version", "help", "encode-fixture", "encode-fen4", "encode", "csv"])
        commands = section(self.text, "COMMANDS", "EXIT STATUS")
        for word in listed:
            self.assertFinds(rf"(?m)^{re.escape(word)}(,|$)", commands, f"command {word}")

    def test_every_option(self):
        options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z0-9-]*)", self.usage[:self.usage.index("ENCODING")]))
        options |= {"--repeat", "--fen"}  # accepted, though the usage text leaves them out
        self.assertGreaterEqual(len(options), 13)
        for option in sorted(options):
            self.assertFinds(rf"(?<![\w-]){re.escape(option)}(?![\w-])", self.text, f"option {option}")

    def test_every_exit_code(self):
        codes = re.findall(r"^    (\d)  (.*)$", self.usage[self.usage.index("EXIT CODES:"):], re.M)
        self.assertEqual([c for c, _ in codes], ["0", "1", "2", "3", "4"])
        exit_status = flat(section(self.text, "EXIT STATUS", "DIAGNOSTICS"))
        for code, meaning in codes:
            self.assertFinds(re.escape(f"{code} {flat(meaning)}"), exit_status, f"exit status {code} {meaning}")

    def test_every_channel(self):
        channels = re.findall(r"^        (Ch [\d-]+)\s*: (.*?)\s*\(dims", self.usage, re.M)
        self.assertEqual(len(channels), 6)
        encoding = flat(section(self.text, "ENCODING", "EXAMPLES"))
        for channel, name in channels:
            self.assertFinds(re.escape(f"{channel} {flat(name)}"), encoding, f"{channel}: {name}")

    def test_every_message_of_the_handlers(self):
        messages = handler_messages()
        self.assertGreater(len(messages), 30)
        diagnostics = flat(section(self.text, "DIAGNOSTICS", "FILES"))
        for message, pattern in messages:
            self.assertFinds(pattern, diagnostics, message)

    @unittest.skipIf(shutil.which("groff") is None, "groff is not installed")
    def test_renders_without_warnings(self):
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", MAN_PAGE], capture_output=True)
        self.assertEqual(result.stderr.decode(), "")


if __name__ == "__main__":
    BINARY, MAN_PAGE, *SOURCES = sys.argv[1:]
    del sys.argv[1:]
    unittest.main()
