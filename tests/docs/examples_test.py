"""The examples of the README and docs/PYTHON.md, run as written, in the
order a reader meets them: every ```python block, and every command of an
indented block that runs the program or the package from the build tree
(build/quorvane_4d ..., PYTHONPATH=build/python ...). They run in a scratch
folder laid out as the source tree is after the README's first command
(build/quorvane_4d, build/python, examples/, tools/), so a file an example
reads must be one an earlier example wrote. Examples that need torch, a
CUDA device or matplotlib are skipped where there is none. Other commands
(installing, the reader's own corpus) are left to the reader.

usage: examples_test.py SOURCE_DIR PROGRAM PACKAGE_DIR  (the build's python/)
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE, PROGRAM, PACKAGE = sys.argv[1:4]
DOCUMENTS = ("README.md", "docs/PYTHON.md")
RUNNABLE = re.compile(r"^(build/quorvane_4d|PYTHONPATH=build/python) ")


def examples(document):
    """(line, kind, text) of the document's examples, in order."""
    with open(os.path.join(SOURCE, document)) as f:
        lines = f.read().splitlines()
    k = 0
    while k < len(lines):
        if lines[k] == "```python":
            end = lines.index("```", k + 1)
            yield k + 1, "python", "\n".join(lines[k + 1:end]) + "\n"
            k = end
        elif lines[k].startswith("    ") and (k == 0 or not lines[k - 1].strip()):
            while k < len(lines) and lines[k].startswith("    "):
                for command in lines[k].strip().split(" && "):
                    if RUNNABLE.match(command):
                        yield k + 1, "shell", command
                k += 1
        k += 1


def importable(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def torch_and_cuda():
    """(torch importable, a CUDA device), from one interpreter: importing torch takes seconds."""
    check = "import sys, torch; sys.exit(0 if torch.cuda.is_available() else 3)"
    code = subprocess.run([sys.executable, "-c", check], capture_output=True).returncode
    return code in (0, 3), code == 0


class Examples(unittest.TestCase):
    def test_every_example_runs_as_written(self):
        torch, cuda = torch_and_cuda()
        have = {"torch": torch, "cuda": cuda, "matplotlib": importable("matplotlib")}
        with tempfile.TemporaryDirectory() as scratch:
            os.mkdir(os.path.join(scratch, "build"))
            for link, target in (("build/quorvane_4d", PROGRAM), ("build/python", PACKAGE),
                                 ("examples", os.path.join(SOURCE, "examples")),
                                 ("tools", os.path.join(SOURCE, "tools"))):
                os.symlink(os.path.abspath(target), os.path.join(scratch, link))
            environment = dict(os.environ, PYTHONPATH=os.path.join(scratch, "build", "python"))
            ran = 0
            for document in DOCUMENTS:
                for line, kind, text in examples(document):
                    needs = [need for need, words in (("cuda", "cuda"), ("torch", "import torch"),
                                                      ("matplotlib", "plot_csv"))
                             if words in text and not have[need]]
                    with self.subTest(f"{document}:{line}"):
                        if needs:
                            self.skipTest(f"needs {needs[0]}")
                        if kind == "python":
                            path = os.path.join(scratch, f"example_{ran}.py")
                            with open(path, "w") as f:
                                f.write(text)
                            command = [sys.executable, path]
                        else:
                            command = ["bash", "-c", text.replace("/usr/bin/python3", sys.executable)]
                        done = subprocess.run(command, cwd=scratch, env=environment, capture_output=True,
                                              text=True, timeout=120)
                        self.assertEqual(done.returncode, 0, f"{text}\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
                        ran += 1
            self.assertGreaterEqual(ran, 10)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
