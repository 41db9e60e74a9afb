"""python3 -m quorvane4d FILE...: prints each container's header and one line per frame."""
import signal
import sys

from quorvane4d.container import main

if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the listing quietly
    if sys.argv[1:2] == ["bench"]:
        from quorvane4d.bench import main as bench
        sys.exit(bench(sys.argv[2:]))
    sys.exit(main())
