"""docs/PYTHON.md's multi-GPU example, run as written on the CPU: two ranks
with gloo, from the top of the source tree."""
import os
import subprocess
import sys

DOC = os.path.join(os.environ["QUORVANE_SOURCE_DIR"], "docs", "PYTHON.md")

with open(DOC) as f:
    text = f.read()
start = text.index("import socket\nimport torch, torch.distributed")
code = text[start:text.index("```", start)]
subprocess.run([sys.executable, "-c", code], cwd=os.environ["QUORVANE_SOURCE_DIR"], check=True, timeout=240)
print("1 passed, 0 failed")
