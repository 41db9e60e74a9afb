"""python3 -m quorvane4d FILE...: prints each container's header and one line per frame."""
import signal
import sys

from quorvane4d.container import main

if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `| head` ends the listing quietly
    sys.exit(main())
