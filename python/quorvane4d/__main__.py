"""python3 -m quorvane4d FILE...: prints each container's header and one line per frame, and each packed
dataset's summary."""
import signal
import sys

from quorvane4d.container import main
from quorvane4d.pack import is_pack, print_summary

if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the listing quietly
    if sys.argv[1:2] == ["bench"]:
        from quorvane4d.bench import main as bench
        sys.exit(bench(sys.argv[2:]))
    # Packs, by their first bytes or their name, get their summary; every other
    # argument goes to the containers' listing.
    packs = [arg for arg in sys.argv[1:] if is_pack(arg) or arg.endswith(".q4pack")]
    others = [arg for arg in sys.argv[1:] if arg not in packs]
    status = max([print_summary(path) for path in packs], default=0)
    sys.exit(max(status, main(others)) if others or not packs else status)
