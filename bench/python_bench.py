#!/usr/bin/env python3
"""The Python package's speed targets, measured side by side in one run.

    flock /tmp/q4d-bench.lock /usr/bin/python3 bench/python_bench.py [BUILD_DIR] [--rounds 7]

BUILD_DIR (default build-bench) is a Release build with -DQUORVANE_BUILD_BENCH=ON,
holding loader_bench and the package in BUILD_DIR/python. Material is written
to BUILD_DIR/python-bench/ once: seeded games of 96 pieces at the start (about
80 on average over their plies) from bench/gen_game.py, and 100 000 positions
of exactly 96 pieces for the memory of the shuffle buffer.

Each round measures: the C++ loops (loader_bench: parse and encode_position
over the same positions); encode_batch on 1 and 2 threads, taking turns chunk
by chunk; and PositionStream (10 000-position shuffle buffer) on 1, then 2
threads, in its second epoch, taking turns batch by batch with encode_batch of
as many positions, so that what is compared runs under the same load. Every encoding goes into
256-row batches reused in turn (the stream's own memory comes back batch by
batch). Figures are medians over the rounds; ratios are taken per round,
then their median.

encode_batch runs twice: over the positions in the order of their games, and
shuffled. The encoder is faster on the positions of a game in order (each is
the last one with a piece moved, so its tables stay in cache), an advantage
that any shuffled stream gives up; the stream's own cost (reading, parsing,
shuffling, batch assembly) is its distance from the shuffled encode_batch.
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS = 256


def generate(directory):
    """Game logs (20 000 positions) and a log of 100 000 positions of 96 pieces."""
    os.makedirs(directory, exist_ok=True)
    games = []
    for seed in range(1, 9):
        path = os.path.join(directory, f"game{seed}.ndjson4")
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(HERE, "gen_game.py"), "game", "--plies", "2499", "--pieces",
                            "96", "--seed", str(seed), "-o", path], check=True)
        games.append(path)
    crowded = os.path.join(directory, "crowded96.ndjson4")
    if not os.path.exists(crowded):
        fixtures = subprocess.run([sys.executable, os.path.join(HERE, "gen_game.py"), "fixtures", "--count", "10000",
                                   "--pieces", "96", "--seed", "1"], check=True, capture_output=True, text=True).stdout
        lines = []
        for k, fixture in enumerate(fixtures.splitlines()):
            pieces = json.loads(fixture)["pieces"]
            entries = [f"{p}@{s >> 9},{(s >> 6) & 7},{(s >> 3) & 7},{s & 7}" for s, p in
                       sorted((int(s), p) for s, p in pieces.items())]
            lines.append(json.dumps({"ply": k, "fen4": "4d-fen v1: " + "; ".join(entries)}) + "\n")
        with open(crowded + ".part", "w") as f:
            for _ in range(10):
                f.writelines(lines)
        os.rename(crowded + ".part", crowded)
    return games, crowded


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build-bench")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build), "python"))
    import numpy
    import quorvane4d

    games, crowded = generate(os.path.join(args.build, "python-bench"))
    # One file of all the games' positions for the C++ loops, in the same order.
    all_games = os.path.join(args.build, "python-bench", "all_games.ndjson4")
    if not os.path.exists(all_games):
        with open(all_games, "w") as out:
            for path in games:
                with open(path) as f:
                    out.write(f.read())
    texts = [r.fen4 for path in games for r in quorvane4d.read_ply_log(path)]
    pieces = sum(t.count("@") for t in texts) / len(texts)
    print(f"{len(texts)} positions, {pieces:.1f} pieces on average; load before: {os.getloadavg()}")
    out = numpy.empty((ROWS, quorvane4d.ENCODING_DIM), numpy.float32)

    shuffled = list(texts)
    random.Random(1).shuffle(shuffled)

    def timed(call):
        start = time.perf_counter()
        result = call()
        return time.perf_counter() - start, result

    def encode(chunk, threads):
        return quorvane4d.encode_batch(chunk, threads=threads, out=out[:len(chunk)])

    def encode_batch_rates():
        """encode_batch on 1 and 2 threads, chunk by chunk in turn."""
        seconds = {1: 0.0, 2: 0.0}
        for first in range(0, len(texts), ROWS):
            chunk = texts[first:first + ROWS]
            for threads in (1, 2):
                seconds[threads] += timed(lambda: encode(chunk, threads))[0]
        return {f"encode_batch threads={t}": len(texts) / s for t, s in seconds.items()}

    def stream_rates(threads, source=None, buffer=10_000, name="PositionStream"):
        """PositionStream and encode_batch over the shuffled positions, batch by
        batch in turn, in the stream's second epoch: a training stream runs
        for hours, so its start (the first fill of the shuffle buffer, the
        first use of its batch memory) is timed apart."""
        positions = quorvane4d.PositionStream(source or games, batch_size=ROWS, shuffle_buffer=buffer, seed=1,
                                              threads=threads, epochs=2)
        stream = iter(positions)
        start_seconds = timed(lambda: next(stream))[0]
        stream_seconds = batch_seconds = 0.0
        n = ROWS
        while n < len(texts):  # the rest of the first epoch
            n += len(next(stream)[0])
        n = 0
        while True:
            seconds, batch = timed(lambda: next(stream, None))
            if batch is None:
                break
            stream_seconds += seconds
            chunk = shuffled[n:n + len(batch[0])]
            n += len(chunk)
            del batch  # its memory goes back for the next batch
            batch_seconds += timed(lambda: encode(chunk, threads))[0]
        assert n == len(texts)
        if source is None:
            stages[threads].append((start_seconds, positions.stats["read_seconds"] / (2 * n),
                                    positions.stats["encode_seconds"] / (2 * n)))
        return {f"{name} threads={threads}": n / stream_seconds,
                f"encode_batch shuffled threads={threads}" + ("" if source is None else f" beside {name}"):
                    n / batch_seconds}

    def cpp_rates():
        result = subprocess.run([os.path.join(args.build, "bench", "loader_bench"), f"--positions={all_games}",
                                 "--benchmark_min_time=0.01", "--benchmark_format=json"],
                                check=True, capture_output=True, text=True)
        return {b["name"]: b["items_per_second"] for b in json.loads(result.stdout)["benchmarks"]}

    # The games packed, when the package makes packs: the training path.
    packed = None
    if hasattr(quorvane4d, "pack"):
        packed = os.path.join(args.build, "python-bench", "games.q4pack")
        if not os.path.exists(packed):
            quorvane4d.pack(games, packed)

    rates = {}
    stages = {1: [], 2: []}  # the stream's first batch, and its seconds reading and encoding per position
    for r in range(args.rounds):
        round_rates = {f"C++ {name}": rate for name, rate in cpp_rates().items()}
        round_rates.update(encode_batch_rates())
        round_rates.update(stream_rates(1))
        round_rates.update(stream_rates(2))
        if packed:
            round_rates.update(stream_rates(2, packed, 100_000, "PositionStream over a pack"))
        for name, rate in round_rates.items():
            rates.setdefault(name, []).append(rate)
        print(f"round {r + 1}: " + ", ".join(f"{name} {rate:.0f}/s" for name, rate in round_rates.items()), flush=True)

    def ratio(a, b):
        return statistics.median(x / y for x, y in zip(rates[a], rates[b]))

    print("\nmedian positions per second:")
    for name, values in rates.items():
        print(f"  {name:45s} {statistics.median(values):8.0f}")
    loop, parse_loop = "C++ BM_encode_position_loop/0/real_time", "C++ BM_parse_and_encode_loop/real_time"
    for threads, seconds in stages.items():
        print(f"  PositionStream threads={threads}: first batch {statistics.median(f for f, _, _ in seconds) * 1e3:.0f} ms, "
              f"then reading {statistics.median(r for _, r, _ in seconds) * 1e6:.2f} us, "
              f"encoding {statistics.median(e for _, _, e in seconds) * 1e6:.2f} us a position")
    print("\ntargets (median of the per-round ratios):")
    print(f"  C++ encode_position loop / encode_batch(threads=1): {ratio(loop, 'encode_batch threads=1'):.3f}"
          f"  (from FEN4, parse + encode loop: {ratio(parse_loop, 'encode_batch threads=1'):.3f}; target <= 1.05)")
    print(f"  C++ encode_position loop, in game order / shuffled: "
          f"{ratio(loop, 'C++ BM_encode_position_loop/1/real_time'):.3f}")
    print(f"  encode_batch threads=2 / threads=1: {ratio('encode_batch threads=2', 'encode_batch threads=1'):.2f}"
          f"  (target >= 1.7)")
    for threads in (1, 2):
        print(f"  encode_batch / PositionStream, threads={threads}: "
              f"{ratio(f'encode_batch threads={threads}', f'PositionStream threads={threads}'):.3f} in game order, "
              f"{ratio(f'encode_batch shuffled threads={threads}', f'PositionStream threads={threads}'):.3f} shuffled"
              f"  (target <= 1.2)")

    if packed:
        print(f"  encode_batch / PositionStream over a pack (100 000 buffer), threads=2: "
              f"{ratio('encode_batch shuffled threads=2 beside PositionStream over a pack', 'PositionStream over a pack threads=2'):.3f}"
              f"  (target <= 1.1)")
        # Resuming a million positions in: copies of the pack (a source refuses the same file twice), read as one.
        million = []
        for k in range(1_000_000 // len(texts) + 1):
            million.append(os.path.join(os.path.dirname(packed), "copies", f"{k}.q4pack"))
            if not os.path.exists(million[-1]):
                os.makedirs(os.path.dirname(million[-1]), exist_ok=True)
                shutil.copyfile(packed, million[-1])
        options = dict(batch_size=ROWS, shuffle_buffer=100_000, seed=1, threads=2)
        first = quorvane4d.PositionStream(million, **options)
        next(iter(first))
        state = first.state_dict()
        shard = state["shards"][0]
        shard["received"], shard["sources"] = 1_000_000, [(shard["sources"][0][0], 1_000_000)]
        seconds = []
        for _ in range(3):
            resumed = quorvane4d.PositionStream(million, **options)
            resumed.load_state_dict(state)
            seconds.append(timed(lambda: next(iter(resumed)))[0])
        print(f"  resuming 1 000 000 positions into a pack's epoch, to the first batch: {min(seconds):.3f} s "
              f"(target <= 1 s; a batch encoded is {ROWS / statistics.median(rates['PositionStream over a pack threads=2']):.3f} s of it)")

    # The shuffle buffer's memory: 100 000 positions of 96 pieces; the first
    # batch comes once the buffer is full.
    before = resident_bytes()
    stream = iter(quorvane4d.PositionStream(crowded, batch_size=1, shuffle_buffer=100_000, threads=1))
    next(stream)
    grown = resident_bytes() - before
    print(f"\nshuffle window of 100 000 positions of 96 pieces: {grown / 1e6:.0f} MB, {grown / 100_000:.0f} bytes "
          f"a position (target <= 200 MB)")
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
