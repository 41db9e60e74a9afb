#!/usr/bin/env python3
"""encode_batch against the hot loop, side by side in one run: the batch speed targets.

    flock /tmp/q4d-bench.lock /usr/bin/python3 bench/batch_bench.py [BUILD_DIR] [--rounds 9]

BUILD_DIR (default build-bench) is a Release build with -DQUORVANE_BUILD_BENCH=ON.
The positions are the first 256 of a seeded game of 96 pieces (bench/gen_game.py),
written to BUILD_DIR/batch-bench/ once. Each round measures, in turn:

- the hot loop: loader_bench's BM_hot_loop, the 256 positions encoded one after
  the other into one vector that never leaves the cache (encode-fixture --repeat);
- encode_batch(threads=1, out=...) of the 256 positions into a reused output,
  float32 and bfloat16;
- encode_batch of the 256 without out, called again and again (each new array
  kept until the next call returns, as a loop `x = encode_batch(...)` keeps it);
- one call of 3 072 positions without out, against the same into a reused output;
- encode_batch of 256 on 2 threads against 1, and of 8 positions on 2 against 1.

Every figure is the least time of its round (each measured several times in a
row); ratios are taken within a round, and the script prints the least and the
median of the per-round ratios.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS = 256


def least(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build-bench")
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build), "python"))
    import numpy
    import quorvane4d

    directory = os.path.join(args.build, "batch-bench")
    os.makedirs(directory, exist_ok=True)
    game = os.path.join(directory, "game96.ndjson4")
    if not os.path.exists(game):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_game.py"), "game", "--plies", "3200", "--pieces", "96",
                        "--seed", "1", "-o", game], check=True)
    texts = [r.fen4 for r in quorvane4d.read_ply_log(game)]
    batch, big = texts[:ROWS], texts[:3072]
    assert len(big) == 3072
    pieces = sum(t.count("@") for t in batch) / len(batch)
    with open("/proc/cpuinfo") as f:
        cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    print(f"{cpu}, {os.cpu_count()} processors; 256 positions of {pieces:.1f} pieces on average; "
          f"load before: {os.getloadavg()}")

    out = {dtype: numpy.empty((ROWS, quorvane4d.ENCODING_DIM), {"float32": numpy.float32, "bfloat16": numpy.uint16}[dtype])
           for dtype in ("float32", "bfloat16")}
    big_out = numpy.empty((len(big), quorvane4d.ENCODING_DIM), numpy.float32)
    small, small_out = batch[:8], out["float32"][:8]

    def hot_loop():
        result = subprocess.run([os.path.join(args.build, "bench", "loader_bench"), f"--positions={game}",
                                 "--benchmark_filter=BM_hot_loop", "--benchmark_repetitions=5",
                                 "--benchmark_min_time=0.05", "--benchmark_format=json"],
                                check=True, capture_output=True, text=True)
        times = [b["real_time"] for b in json.loads(result.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
        return min(times) / 1e3  # ms per 256 positions, in seconds

    held = [None]

    def new_batch():
        held[0] = quorvane4d.encode_batch(batch, threads=1)

    ratios = {}
    for r in range(args.rounds):
        t = {"hot loop": hot_loop()}
        for dtype in ("float32", "bfloat16"):
            t[f"out= {dtype}"] = least(lambda: quorvane4d.encode_batch(batch, threads=1, out=out[dtype], dtype=dtype), 5)
        t["new array"] = least(new_batch, 5)
        t["new bfloat16 array"] = least(lambda: quorvane4d.encode_batch(batch, threads=1, dtype="bfloat16"), 5)
        t["threads=2"] = least(lambda: quorvane4d.encode_batch(batch, threads=2, out=out["float32"]), 5)
        t["8, threads=1"] = least(lambda: quorvane4d.encode_batch(small, threads=1, out=small_out), 40)
        t["8, threads=2"] = least(lambda: quorvane4d.encode_batch(small, threads=2, out=small_out), 40)
        t["3072 out="] = least(lambda: quorvane4d.encode_batch(big, threads=1, out=big_out), 1)
        t["3072 new"] = least(lambda: quorvane4d.encode_batch(big, threads=1), 1)
        round_ratios = {
            "out= float32 / hot loop (target <= 1.1)": t["out= float32"] / t["hot loop"],
            "new array / out= (target <= 1.1)": t["new array"] / t["out= float32"],
            "3072 new / 3072 out= (target <= 1.3)": t["3072 new"] / t["3072 out="],
            "bfloat16 / float32, out= (target <= 1)": t["out= bfloat16"] / t["out= float32"],
            "bfloat16 / float32, new arrays (target <= 1)": t["new bfloat16 array"] / t["new array"],
            "threads 1 / threads 2, 256 (target >= 1.8)": t["out= float32"] / t["threads=2"],
            "threads 1 / threads 2, 8": t["8, threads=1"] / t["8, threads=2"],
        }
        for name, value in round_ratios.items():
            ratios.setdefault(name, []).append(value)
        print(f"round {r + 1}: " + ", ".join(f"{k} {v * 1e6 / (len(big) if k.startswith('3072') else 8 if k.startswith('8,') else ROWS):.1f}"
                                            for k, v in t.items()) + " us a position", flush=True)
    print("\nratios (least, median over rounds):")
    for name, values in ratios.items():
        print(f"  {name:48s} {min(values):.3f}  {statistics.median(values):.3f}")
    print(f"load after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
