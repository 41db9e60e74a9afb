"""PositionStream over logs and containers: every position once across ranks,
the program's values and trailers, order by seed and epoch, resuming after a
kill, errors, memory, and one stream used from two threads."""
import collections
import gzip
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import unittest

import numpy

import quorvane4d
from quorvane4d.errors import ArgumentError, FileError, SourceError
from support import GamesTestCase, digest, run, trailer_records


def positions(stream):
    """Counter of the positions a stream yields, checking each batch's form."""
    seen = collections.Counter()
    for values, labels in stream:
        records = trailer_records(labels)
        assert values.dtype == numpy.float32 and values.shape == (len(records), quorvane4d.ENCODING_DIM)
        assert 0 < len(records) <= stream.batch_size
        seen.update(digest(v, t) for v, t in zip(values, records))
    return seen


def order(stream):
    return [(int(p), bytes(m)) for _, labels in stream for p, m in zip(labels["ply"], labels["move_to"])]


RESUMABLE = dict(batch_size=6, shuffle_buffer=20, seed=9, epochs=2)


class Stream(GamesTestCase):
    def test_every_position_once_across_ranks(self):
        self.assertEqual(sum(self.expected.values()), 41 + 41 + 2)
        for world_size in (1, 2, 5):
            for shuffle_buffer in (0, 20):
                parts = [positions(quorvane4d.PositionStream(self.paths, batch_size=9, shuffle_buffer=shuffle_buffer,
                                                             seed=4, threads=2, rank=rank, world_size=world_size))
                         for rank in range(world_size)]
                self.assertEqual(sum(parts, collections.Counter()), self.expected, (world_size, shuffle_buffer))

    def test_compressed_logs_and_containers_are_sources(self):
        compressed = []
        for k, path in enumerate(self.paths):
            compressed.append(os.path.join(self.scratch.name, f"log{k}.ndjson4.gz"))
            with open(path, "rb") as f, gzip.open(compressed[-1], "wb") as g:
                g.write(f.read())
        for world_size in (1, 4):  # more shards than files: plain logs are cut into ranges, compressed ones not
            seen = sum((positions(quorvane4d.PositionStream(compressed, batch_size=7, shuffle_buffer=5, rank=rank,
                                                            world_size=world_size))
                        for rank in range(world_size)), collections.Counter())
            self.assertEqual(seen, self.expected)
        # The containers encode writes, plain and compressed, give the same positions as their logs.
        containers = []
        for k, path in enumerate(self.paths):
            containers.append(os.path.join(self.scratch.name, f"game{k}.quorvane{'z' if k else ''}4"))
            run("encode", "-i", path, "-o", containers[-1], *(["-z"] if k else []))
        for world_size in (1, 2):
            seen = sum((positions(quorvane4d.PositionStream(containers, batch_size=7, shuffle_buffer=5, rank=rank,
                                                            world_size=world_size))
                        for rank in range(world_size)), collections.Counter())
            self.assertEqual(seen, self.expected)

    def test_bfloat16_is_float32_rounded(self):
        container = os.path.join(self.scratch.name, "bf16.quorvanez4")
        run("encode", "-i", self.paths[0], "-o", container, "-z")
        for source in (self.paths, container):  # encoded here, and read encoded
            options = dict(batch_size=16, shuffle_buffer=20, seed=3)
            wide = numpy.concatenate([v for v, _ in quorvane4d.PositionStream(source, **options)])
            narrow = numpy.concatenate([v for v, _ in quorvane4d.PositionStream(source, dtype="bfloat16", **options)])
            self.assertEqual(narrow.dtype, numpy.uint16)
            bits = wide.view(numpy.uint32).astype(numpy.uint64)
            rounded = ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16).astype(numpy.uint16)
            nan = numpy.isnan(wide)
            rounded[nan] = (bits[nan] >> 16).astype(numpy.uint16) | 0x40
            self.assertTrue(numpy.array_equal(narrow, rounded), source)

    def test_in_file_order_without_a_shuffle_buffer(self):
        records = [r for path in self.paths for r in quorvane4d.read_ply_log(path)]
        self.assertEqual(order(quorvane4d.PositionStream(self.paths, batch_size=10)),
                         [(r.ply, bytes(r.move_to)) for r in records])

    def test_the_seed_and_the_epoch_decide_the_order(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=11, threads=1)
        first = order(stream)
        second = order(stream)  # the next iteration is the next epoch
        self.assertNotEqual(second, first)
        self.assertEqual(sorted(second), sorted(first))
        again = quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=11, threads=2)
        self.assertEqual(order(again), first)
        again.set_epoch(1)
        self.assertEqual(order(again), second)
        self.assertNotEqual(order(quorvane4d.PositionStream(self.paths, batch_size=8, shuffle_buffer=30, seed=12)),
                            first)

    def test_epochs(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=50, shuffle_buffer=10, epochs=3)
        sizes = [len(labels["ply"]) for _, labels in stream]
        self.assertEqual(sizes, [50, 34] * 3)  # no batch spans two epochs
        self.assertEqual(stream.stats["positions"], 3 * 84)
        self.assertEqual(stream.stats["fen4_errors"], 3)
        self.assertEqual(list(quorvane4d.PositionStream(self.paths, epochs=0)), [])
        dropped = quorvane4d.PositionStream(self.paths, batch_size=50, drop_last=True)
        self.assertEqual([len(v) for v, _ in dropped], [50])

    def test_resumes_after_a_kill_exactly_where_it_stopped(self):
        whole = order(quorvane4d.PositionStream(self.paths, **RESUMABLE))
        # A child reads batches, printing its state after each, and is killed.
        child = subprocess.Popen([sys.executable, __file__, "child", *self.paths], stdout=subprocess.PIPE, text=True,
                                 env=dict(os.environ, PYTHONUNBUFFERED="1"))
        received, state = [], None
        for line in child.stdout:  # noqa: the pipe is closed when the child dies
            batch, state = json.loads(line)
            received += [(p, bytes.fromhex(m)) for p, m in batch]
            if len(received) >= 40:
                child.send_signal(signal.SIGKILL)
                break
        child.wait()
        child.stdout.close()
        self.assertEqual(child.returncode, -signal.SIGKILL)
        stream = quorvane4d.PositionStream(self.paths, **RESUMABLE)
        stream.load_state_dict(state)
        self.assertEqual(received + [(p, m) for p, m in order(stream)], whole)
        # Saved after the last batch of an epoch: the rest of the pass is the next epoch.
        stream = quorvane4d.PositionStream(self.paths, **RESUMABLE)
        for _ in zip(range(14), stream):  # the whole first epoch
            pass
        self.assertEqual(stream.state_dict()["shards"][0]["epoch"], 0)
        resumed = quorvane4d.PositionStream(self.paths, **RESUMABLE)
        resumed.load_state_dict(stream.state_dict())
        self.assertEqual(order(resumed), whole[84:])
        # Saved after a whole pass: the next pass.
        self.assertEqual((resumed.state_dict()["complete"], resumed.state_dict()["next_epoch"]), (True, 2))
        # Stopped in the second epoch, or resumed and saved again before a batch: the rest of the
        # two epochs, no more.
        stream = quorvane4d.PositionStream(self.paths, **RESUMABLE)
        for _ in zip(range(20), stream):
            pass
        for hops in (0, 1):
            resumed = quorvane4d.PositionStream(self.paths, **RESUMABLE)
            resumed.load_state_dict(stream.state_dict())
            stream = resumed
        self.assertEqual(order(stream), whole[120:])

    def test_another_layout_reads_what_was_left_exactly_once(self):
        states, seen = [], collections.Counter()
        for rank in range(3):
            stream = quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, rank=rank, world_size=3)
            for _, (values, labels) in zip(range(rank * 2), stream):
                seen.update(digest(v, t) for v, t in zip(values, trailer_records(labels)))
            states.append(stream.state_dict())
        for rank in range(2):
            stream = quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, rank=rank, world_size=2)
            stream.load_state_dict(states)
            seen += positions(stream)
        self.assertEqual(seen, self.expected)
        # A rank that never began, beside one whose pass is over, still owes its whole share.
        done = quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, rank=0, world_size=2)
        seen = positions(done)
        idle = quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, rank=1, world_size=2)
        for rank in range(2):
            stream = quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, rank=rank, world_size=2)
            stream.load_state_dict([done.state_dict(), idle.state_dict()])
            seen += positions(stream)
        self.assertEqual(seen, self.expected)
        with self.assertRaisesRegex(ArgumentError, "another seed"):
            quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10, seed=1).load_state_dict(states)
        for change in (dict(shard=7), dict(n_shards=2 ** 32 + 3, shard=1), dict(plan=[(2 ** 32 + 3, 1, 0, 5)])):
            damaged = dict(states[1], shards=[dict(states[1]["shards"][0], **change)])
            with self.assertRaisesRegex(ArgumentError, "shard state", msg=change):
                quorvane4d.PositionStream(self.paths, batch_size=4, shuffle_buffer=10).load_state_dict(damaged)

    def test_batches_keep_their_values_while_referenced(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=4, epochs=5)
        kept, copies = [], []
        for k, (values, _) in enumerate(stream):
            if k % 10 == 0:
                kept.append(values)
                copies.append(values.copy())
        self.assertGreater(len(kept), 5)
        for values, copy in zip(kept, copies):
            self.assertTrue(numpy.array_equal(values, copy))

    def test_memory_stays_flat(self):
        def resident_bytes():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        batches = iter(quorvane4d.PositionStream(self.paths, batch_size=16, shuffle_buffer=50, epochs=40, threads=2))
        for _ in range(20):
            next(batches)
        before = resident_bytes()
        for count, _ in enumerate(batches):  # some 200 batches of 2.9 MB each
            pass
        self.assertGreater(count, 150)
        self.assertLess(resident_bytes() - before, 16 << 20)

    def test_errors_name_the_argument_or_the_file(self):
        directory = self.scratch.name
        with self.assertRaisesRegex(FileError, "nonexistent.ndjson4: cannot open"):
            quorvane4d.PositionStream([self.paths[0], "/nonexistent.ndjson4"])
        with self.assertRaisesRegex(FileError, "not a regular file"):
            quorvane4d.PositionStream(directory)
        for options, name in [(dict(batch_size=0), "batch_size"), (dict(threads=2 ** 31), "threads"),
                              (dict(epochs=1.5), "epochs"), (dict(seed=2 ** 64 + 5), "seed"),
                              (dict(rank=0, world_size=2 ** 16 + 1), "world_size"), (dict(rank=2, world_size=2), "rank"),
                              (dict(batch_size=True), "batch_size"), (dict(shuffle_buffer=2 ** 64), "shuffle_buffer"),
                              (dict(keep_fraction=0), "keep_fraction"), (dict(split="test"), "split"),
                              (dict(min_ply=-1), "min_ply"), (dict(batch_size=2 ** 20 + 1), "batch_size")]:
            # A value of the wrong type is a TypeError, one out of bounds an ArgumentError.
            with self.assertRaisesRegex(TypeError if name == "epochs" or options.get("batch_size") is True
                                        else ArgumentError, name, msg=options):
                quorvane4d.PositionStream(self.paths, **options)
        quorvane4d.PositionStream(self.paths, batch_size=2 ** 20, rank=0, world_size=2 ** 16)
        quorvane4d.PositionStream(self.paths, threads=numpy.int64(2), seed=numpy.uint64(2 ** 64 - 1))
        # Files that are no source, found when the stream starts.
        text = os.path.join(directory, "notes.txt")
        with open(text, "w") as f:
            f.write("hello\n")
        empty = os.path.join(directory, "empty.ndjson4")
        open(empty, "w").close()
        for path, options in ((text, {}), (empty, {}), (empty, dict(rank=1, world_size=2)),
                              (self.paths[0], dict(split="val", rank=1, world_size=2))):
            with self.assertRaises(SourceError, msg=(path, options)) as caught:
                list(quorvane4d.PositionStream(path, **options))
            self.assertEqual(caught.exception.path, path)
        # A log among logs is looked at by the shard that reads it, no other.
        with self.assertRaisesRegex(SourceError, "notes.txt: the files of one source are not all of one format"):
            list(quorvane4d.PositionStream([self.paths[0], text]))
        with self.assertRaisesRegex(SourceError, "required key"):
            list(quorvane4d.PositionStream(self.paths, require=["result"]))

    def test_has_move_says_whether_the_line_gave_its_move(self):
        path = os.path.join(self.scratch.name, "moves.ndjson4")
        fen4 = "4d-fen v1: K@0,0,0,4; k@7,7,7,4"
        with open(path, "w") as f:
            f.write(json.dumps({"ply": 1, "fen4": fen4, "move_from": [0, 0, 0, 0], "move_to": [0, 0, 0, 0]}) + "\n")
            f.write(json.dumps({"ply": 2, "fen4": fen4}) + "\n")
        _, labels = next(iter(quorvane4d.PositionStream(path, batch_size=2)))
        self.assertEqual(labels["has_move"].tolist(), [True, False])

    def test_one_stream_from_two_threads(self):
        # Closing while another thread reads: that thread stops with an error, nothing breaks.
        from quorvane4d import _core
        for _ in range(5):
            stream = _core.open_stream([(self.paths, 1.0)], 4, 10, 0, 1, 0, 1, False,
                                       quorvane4d.PositionStream(self.paths).filter, "float32")
            stream.begin(0, [])
            outcome = []

            def read():
                try:
                    while stream.next() is not None:
                        stream.stats()
                        stream.state()
                    outcome.append("end")
                except ValueError as e:
                    outcome.append(str(e))

            reader = threading.Thread(target=read)
            reader.start()
            stream.stats()
            stream.close()
            reader.join()
            self.assertIn(outcome[0], ("end", "the stream is closed"))

    def test_stats(self):
        stream = quorvane4d.PositionStream(self.paths, batch_size=16, shuffle_buffer=10)
        for _ in stream:
            pass
        stats = stream.stats
        self.assertEqual((stats["positions"], stats["batches"], stats["fen4_errors"]), (84, 6, 1))
        self.assertGreater(stats["encode_seconds"], 0)
        self.assertGreater(stats["bytes_read"], 0)



class Packs(GamesTestCase):
    """Labels on the right positions, filters against a plain reference, mixing."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.games = []
        with open(cls.paths[0]) as f:
            lines = f.read().splitlines()
        for k, result in enumerate((1, -1, 0)):  # the example game three times, each with its result
            cls.games.append(os.path.join(cls.scratch.name, f"result{k}.ndjson4"))
            with open(cls.games[-1], "w") as f:
                f.write(json.dumps({"bridge_version": "1.0", "result": result}) + "\n")
                f.writelines(line + "\n" for line in lines[1:])
        cls.pack = os.path.join(cls.scratch.name, "games.q4pack")
        cls.pack_here("games.q4pack", cls.games)
        cls.records = [r for path in cls.games for r in quorvane4d.read_ply_log(path)]

    @classmethod
    def pack_here(cls, name, games):
        """Packs `games` by their names within the scratch folder, which keep and split decisions hash:
        the same whatever folder the test runs in."""
        run("pack", "--game-key", "result", "-o", name, *(os.path.relpath(g, cls.scratch.name) for g in games),
            cwd=cls.scratch.name)

    def rows(self, **options):
        """Every position of an epoch as (ply, move_to, next from, has next, result)."""
        out = []
        for _, labels in quorvane4d.PositionStream(options.pop("paths", self.pack), batch_size=16, **options):
            out += zip(labels["ply"].tolist(), map(bytes, labels["move_to"]), map(bytes, labels["next_move_from"]),
                       labels["has_next_move"].tolist(), labels["result"].tolist())
        return out

    def test_labels_are_those_of_their_positions(self):
        rows = self.rows()  # no shuffle: the pack's order, the games' order
        self.assertEqual(len(rows), len(self.records))
        for k, (ply, move_to, next_from, has_next, result) in enumerate(rows):
            record = self.records[k]
            self.assertEqual((ply, move_to), (record.ply, bytes(record.move_to)))
            last = k + 1 == len(rows) or self.records[k + 1].ply == 0
            self.assertEqual(has_next, not last)
            if not last:
                self.assertEqual(next_from, bytes(self.records[k + 1].move_from))
            self.assertEqual(result, (1, -1, 0)[k // 41])
        self.assertEqual(sorted(self.rows(shuffle_buffer=30, seed=2)), sorted(rows))

    def test_filters_against_a_plain_reference(self):
        def pieces(record):
            return record.fen4.count("@")

        expected = sorted((r.ply, bytes(r.move_to)) for r in self.records
                          if 20 <= r.ply <= 39 and 38 <= pieces(r) <= 39)
        self.assertTrue(expected)
        got = self.rows(min_ply=20, max_ply=39, min_pieces=38, max_pieces=39, shuffle_buffer=10, rank=0, world_size=1)
        self.assertEqual(sorted((p, m) for p, m, *_ in got), expected)
        train = self.rows(split="train", val_fraction=0.5)
        val = self.rows(split="val", val_fraction=0.5)
        self.assertEqual(len(train) + len(val), len(self.records))
        self.assertFalse({r[4] for r in train} & {r[4] for r in val})  # each game (its result) on one side

    def test_split_and_keep_survive_renaming_and_repacking(self):
        def kept(packs):
            return sorted((r[0], r[1], r[4]) for r in self.rows(paths=packs, split="val", val_fraction=0.5,
                                                               keep_fraction=0.7))
        renamed = os.path.join(self.scratch.name, "renamed.q4pack")
        parts = [os.path.join(self.scratch.name, f"part{k}.q4pack") for k in range(2)]
        self.pack_here(renamed, self.games)
        self.pack_here(parts[0], self.games[2:])
        self.pack_here(parts[1], self.games[:2])
        expected = kept([self.pack])
        self.assertTrue(0 < len(expected) < len(self.records))
        self.assertEqual(kept([renamed]), expected)
        self.assertEqual(kept(parts), expected)

    def test_logs_of_one_name_in_other_folders_are_other_logs(self):
        folders = [os.path.join(self.scratch.name, f"d{k}") for k in range(len(self.games))]
        for folder, game in zip(folders, self.games):
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(game, os.path.join(folder, "game.ndjson4"))
        same_names = os.path.join(self.scratch.name, "same_names.q4pack")
        self.pack_here(same_names, [os.path.join(f, "game.ndjson4") for f in folders])
        kept_plies = {}
        for ply, _, _, _, result in self.rows(paths=[same_names], keep_fraction=0.5):
            kept_plies.setdefault(result, set()).add(ply)
        self.assertEqual(len(kept_plies), len(self.games))
        self.assertGreater(len({frozenset(p) for p in kept_plies.values()}), 1)

    def test_mixing_proportions(self):
        stream = quorvane4d.PositionStream([self.pack, self.pack], weights=[0.75, 0.25], batch_size=64)
        sources = numpy.concatenate([labels["source"] for _, labels in stream])
        self.assertLessEqual(abs((sources == 0).sum() - 0.75 * len(sources)), 1)


def child(paths):
    """Reads batches, printing each one's (ply, move_to) and the state after it."""
    stream = quorvane4d.PositionStream(paths, **RESUMABLE)
    for _, labels in stream:
        batch = [(int(p), bytes(m).hex()) for p, m in zip(labels["ply"], labels["move_to"])]
        print(json.dumps([batch, stream.state_dict()]), flush=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["child"]:
        child(sys.argv[2:])
    else:
        unittest.main()
