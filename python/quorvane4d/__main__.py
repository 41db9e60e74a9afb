"""python3 -m quorvane4d FILE...: prints each container's header and one line per frame, and each packed
dataset's summary."""
import signal
import sys

from quorvane4d.container import main
from quorvane4d.pack import is_pack, print_summary

if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the listing quietly
    if len(sys.argv) < 2:
        sys.exit("usage: python3 -m quorvane4d FILE...")
    sys.exit(max(print_summary(path) if is_pack(path) else main([path]) for path in sys.argv[1:]))
