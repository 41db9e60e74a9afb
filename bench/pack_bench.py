#!/usr/bin/env python3
"""Packed datasets against the issue's targets, measured side by side in one run.

    flock /tmp/q4d-bench.lock /usr/bin/python3 bench/pack_bench.py [BUILD_DIR] [--rounds 7]

BUILD_DIR (default build-bench) is a Release build with -DQUORVANE_BUILD_BENCH=ON,
holding quorvane_4d, bench/pack_bench and the package in BUILD_DIR/python.
Material goes to BUILD_DIR/pack-bench/ once: 20 seeded games of 500 plies
from 96 pieces, with a per-ply score and a per-game result (gen_game.py
--keys), one log; and 10 000 files of one game of 10 plies each (the games
cut into pieces, each with its metadata line), about 130 MB.

Reported:
  size     bytes a position of the pack, of the NDJSON4 text and of the text
           compressed by zstd -3, and their ratios;
  C++      pack_bench (randomly interleaved repetitions, the least of each):
           packing against reading and parsing alone, on 1 and 2 threads;
           decoding packed positions into piece lists against parsing the
           text into them; encoding from the pack against encoding boards
           already parsed; opening the index of a million positions;
  Python   open_pack(p).encode_batch of 256 consecutive positions against
           encode_batch of the same positions' FEN4 texts (which parses
           them), taking turns batch by batch, the least of the rounds;
  scale    `quorvane_4d pack --files-from` of the 10 000 files on 2 threads,
           and opening the result.
"""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def generate(directory):
    os.makedirs(directory, exist_ok=True)
    log = os.path.join(directory, "games.ndjson4")
    if not os.path.exists(log):
        parts = []
        for seed in range(1, 21):
            parts.append(subprocess.run([sys.executable, os.path.join(HERE, "gen_game.py"), "game", "--plies", "500",
                                         "--pieces", "96", "--seed", str(seed), "--keys"], check=True,
                                        capture_output=True, text=True).stdout)
        with open(log + ".part", "w") as f:
            f.writelines(parts)
        os.rename(log + ".part", log)
    many = os.path.join(directory, "many")
    listing = os.path.join(directory, "many.list")
    if not os.path.exists(listing):
        os.makedirs(many, exist_ok=True)
        with open(log) as f:
            lines = f.read().splitlines(keepends=True)
        games, meta = [], None
        for line in lines:
            if "bridge_version" in line:
                meta = line
                continue
            if not games or len(games[-1]) == 11:
                games.append([meta])
            games[-1].append(line)
        names = []
        for k in range(10_000):
            name = os.path.join(many, f"{k:05d}.ndjson4")
            with open(name, "w") as f:
                f.writelines(games[k % len(games)])
            names.append(name)
        with open(listing + ".part", "w") as f:
            f.write("\n".join(names) + "\n")
        os.rename(listing + ".part", listing)
    return log, listing


def least_of(benchmarks):
    """{name: least real time in ms, and items per second at it} over the repetitions."""
    best = {}
    for b in benchmarks:
        if b.get("run_type") != "iteration":
            continue
        name = b["name"].replace("/real_time", "")
        t = b["real_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6, "s": 1e3}[b["time_unit"]]
        if name not in best or t < best[name][0]:
            best[name] = (t, b.get("items_per_second"), b)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build-bench")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import numpy
    import quorvane4d

    work = os.path.join(build, "pack-bench")
    log, listing = generate(work)
    program = os.path.join(build, "quorvane_4d")
    pack = os.path.join(work, "games.q4pack")
    subprocess.run([program, "pack", "-o", pack, "--key", "score", "--game-key", "result", log], check=True)
    with quorvane4d.open_pack(pack) as p:
        n = len(p)
    text = os.path.getsize(log)
    zstd = len(subprocess.run(["zstd", "-3", "-c", log], check=True, capture_output=True).stdout)
    size = os.path.getsize(pack)
    print(f"size: {n} positions; pack {size / n:.2f} B/position; NDJSON4 text {text / n:.0f} B/position "
          f"(1/{text / size:.0f}); text by zstd -3 {zstd / n:.1f} B/position (1/{zstd / size:.2f})")

    result = subprocess.run([os.path.join(build, "bench", "pack_bench"), f"--log={log}",
                             f"--benchmark_repetitions={args.rounds}", "--benchmark_enable_random_interleaving=true",
                             "--benchmark_format=json"], check=True, capture_output=True, text=True)
    best = least_of(json.loads(result.stdout)["benchmarks"])
    for name, (t, items, _) in sorted(best.items()):
        rate = f", {items / 1e3:.1f} k positions/s" if items else ""
        print(f"  {name:32s} {t:9.2f} ms{rate}")
    ms = {name: t for name, (t, _, _) in best.items()}
    print(f"packing / reading and parsing: 1 thread {ms['BM_pack/threads:1'] / ms['BM_read_parse']:.2f}, "
          f"2 threads {ms['BM_pack/threads:2'] / ms['BM_read_parse']:.2f}; "
          f"2 threads {ms['BM_pack/threads:1'] / ms['BM_pack/threads:2']:.2f} times faster than 1")
    print(f"text into piece lists / pack into piece lists: {ms['BM_text_to_pieces'] / ms['BM_pack_to_pieces']:.1f}")
    for t in (1, 2):
        print(f"encoding from the pack / from parsed boards, {t} thread(s): "
              f"{ms[f'BM_encode_packed/threads:{t}'] / ms[f'BM_encode_parsed/threads:{t}']:.3f}")
    print(f"opening a million-position index: {ms['BM_open_index']:.2f} ms")

    # The package: encode_batch from the pack and from the texts, batch by batch in turn.
    with quorvane4d.open_pack(pack) as p:
        texts = [p[k].fen4 for k in range(len(p))]
        out = numpy.empty((256, quorvane4d.ENCODING_DIM), numpy.float32)
        for threads in (1, 2):
            packed, parsed = [], []
            for _ in range(args.rounds):
                a = b = 0.0
                for first in range(0, len(p) - 256 + 1, 256):
                    t0 = time.perf_counter()
                    p.encode_batch(range(first, first + 256), threads=threads, out=out)
                    t1 = time.perf_counter()
                    quorvane4d.encode_batch(texts[first:first + 256], threads=threads, out=out)
                    t2 = time.perf_counter()
                    a += t1 - t0
                    b += t2 - t1
                packed.append(a)
                parsed.append(b)
            print(f"Python, {threads} thread(s): open_pack(p).encode_batch {min(packed):.3f} s, encode_batch of the "
                  f"texts {min(parsed):.3f} s, ratio {min(packed) / min(parsed):.3f}")

    many = os.path.join(work, "many.q4pack")
    t0 = time.perf_counter()
    subprocess.run([program, "pack", "-o", many, "--key", "score", "--game-key", "result", "--threads", "2",
                    "--files-from", listing], check=True)
    t1 = time.perf_counter()
    with quorvane4d.open_pack(many) as p:
        t2 = time.perf_counter()
        print(f"scale: 10 000 files packed in {t1 - t0:.1f} s into {len(p)} positions, {p.n_games} games, "
              f"{p.n_blocks} blocks, {os.path.getsize(many) / len(p):.2f} B/position; opened in {1e3 * (t2 - t1):.1f} ms")


if __name__ == "__main__":
    main()
