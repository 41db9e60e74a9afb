"""docs/PYTHON.md's multi-GPU example, run as written on the CPU: two ranks
with gloo, from the top of the source tree."""
import os
import subprocess
import sys
import tempfile

DOC = os.path.join(os.environ["QUORVANE_SOURCE_DIR"], "docs", "PYTHON.md")

with open(DOC) as f:
    text = f.read()
start = text.index("import socket\nimport torch, torch.distributed")
code = text[start:text.index("```", start)]
with tempfile.TemporaryDirectory() as scratch:  # a file: the spawned ranks import its functions
    script = os.path.join(scratch, "multi_gpu_example.py")
    with open(script, "w") as f:
        f.write(code)
    subprocess.run([sys.executable, script], cwd=os.environ["QUORVANE_SOURCE_DIR"], check=True, timeout=240)
print("1 passed, 0 failed")
