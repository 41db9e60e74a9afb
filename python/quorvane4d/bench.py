"""python3 -m quorvane4d bench SOURCE...: how fast the loader feeds a training loop here.

Reads SOURCE (packed datasets, ply logs or containers, read as one dataset)
through PositionStream, or through a torch DataLoader with --workers, after
a warm-up, and prints positions per second, megabytes per second of
encodings delivered, bytes read per position and, in one process, the time
spent in each stage.
"""
import argparse
import sys
import time

from quorvane4d._core import ENCODING_DIM
from quorvane4d.errors import Error
from quorvane4d.stream import PositionStream


def _arguments(argv):
    parser = argparse.ArgumentParser(prog="python3 -m quorvane4d bench", description=__doc__.split("\n\n")[0])
    parser.add_argument("sources", nargs="+", metavar="SOURCE")
    parser.add_argument("--threads", type=int, default=0, help="encoding threads (0: one per processor)")
    parser.add_argument("--workers", type=int, default=0, help="torch DataLoader workers (0: this process)")
    parser.add_argument("--batch-size", type=int, default=256)
    parser.add_argument("--shuffle-buffer", type=int, default=100_000)
    parser.add_argument("--batches", type=int, default=50, help="batches measured, after the warm-up")
    parser.add_argument("--warmup", type=int, default=5, help="batches read before measuring")
    return parser.parse_args(argv)


def _batches(args):
    options = dict(batch_size=args.batch_size, shuffle_buffer=args.shuffle_buffer, threads=args.threads,
                   epochs=1 << 40)
    if args.workers == 0:
        stream = PositionStream(args.sources, **options)
        return stream, iter(stream)
    from quorvane4d.torch import PositionDataset, PositionLoader
    loader = PositionLoader(PositionDataset(args.sources, **options), num_workers=args.workers)
    return None, ((x.numpy(), labels) for x, labels in loader)


def main(argv):
    args = _arguments(argv)
    try:
        return _measure(args)
    except Error as e:
        print(f"bench: {e}", file=sys.stderr)
        return 1


def _measure(args):
    stream, batches = _batches(args)
    for _ in range(args.warmup):
        next(batches)
    positions = 0
    started = time.perf_counter()
    for _ in range(args.batches):
        values, _ = next(batches)
        positions += len(values)
    seconds = time.perf_counter() - started
    print(f"{positions} positions in {seconds:.2f} s: {positions / seconds:,.0f} positions/s, "
          f"{positions * ENCODING_DIM * 4 / seconds / 1e6:,.0f} MB/s of encodings")
    if stream is not None:
        # Reading comes in windows, so its costs are taken over the whole run, warm-up included.
        stats = stream.stats
        n = max(stats["positions"], 1)
        print(f"bytes read per position: {stats['bytes_read'] / n:,.1f} (over all {n} positions)")
        for name, key in (("read and decompress (logs: and parse)", "read_seconds"),
                          ("expand piece lists, copy labels", "assemble_seconds"), ("encode", "encode_seconds")):
            print(f"  {name}: {stats[key]:.3f} s, {stats[key] / n * 1e6:.1f} us per position")
    else:
        print("(stages and bytes read are measured in one process: run without --workers)")
    return 0
