#!/usr/bin/env python3
"""A small policy and value network trained on a packed dataset through
quorvane4d, resumable where it stopped.

It makes games (random play by simple movement rules, each game's metadata
line carrying a result: +1, 0 or -1 by the material left), packs them with
their result, and trains:

- a policy head: the move played from each position, as two classifications
  over the 4096 squares (from-square and to-square), masked where the game
  has no next move (its last position);
- a value head: the game's result, a per-game key of the pack;

on the "train" split, with the loss on the "val" split (whole games kept
apart) printed at the end. A checkpoint (model, optimiser, loader state) is
written every --save-every steps; --resume starts from it and reads exactly
the batches the run would have read. --ranks 2 trains with two processes of
torch.distributed (gloo: CPUs; the same code runs on GPUs with nccl) and
drop_last, so every rank takes the same number of steps.

    PYTHONPATH=build/python /usr/bin/python3 examples/train_policy_value.py --data /tmp/q4d_train
    ... --steps 60 --resume          # after a kill: on from the last checkpoint
    ... --ranks 2                    # two ranks on the CPU
    ... --quick                      # a few seconds' run, as the tests make (small games, model and batches)

Prints each step's losses and, with --log, one line per step naming its
batch (for comparing runs). Exits 1 if the training loss did not fall.
"""
import argparse
import gc
import hashlib
import json
import os
import random
import socket
import sys

import torch
import torch.distributed as dist
import torch.multiprocessing

import quorvane4d
from quorvane4d.torch import PositionDataset, PositionLoader

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_example_game as rules  # noqa: E402  (the example game's movement rules)

VALUES = {"P": 1, "N": 3, "B": 3, "R": 5, "Q": 9, "K": 0}


def write_game(path, seed, plies):
    """One game by random play; its result (by material) in the metadata line."""
    rng = random.Random(seed)
    board = rules.start_position()
    lines = []
    for ply in range(1, plies + 1):
        moves = rules.legal_moves(board, ply % 2 == 1)
        captures = [m for m in moves if m[1] in board]
        source, target = rng.choice(captures if captures and rng.random() < 0.7 else moves)
        letter, axis = board.pop(source)
        board[target] = (letter, axis)
        lines.append({"ply": ply, "fen4": rules.fen4(board), "move_from": list(source), "move_to": list(target)})
    balance = sum(VALUES[l.upper()] * (1 if l.isupper() else -1) for l, _ in board.values())
    result = (balance > 0) - (balance < 0)
    with open(path, "w") as f:
        f.write(json.dumps({"bridge_version": "1.0", "game": seed, "result": result}) + "\n")
        f.writelines(json.dumps(line) + "\n" for line in lines)


def make_dataset(directory, games, plies):
    """games.q4pack in `directory`, made once from generated games."""
    pack = os.path.join(directory, "games.q4pack")
    if not os.path.exists(pack):
        os.makedirs(directory, exist_ok=True)
        logs = [f"game{seed:04d}.ndjson4" for seed in range(games)]
        for seed, log in enumerate(logs):
            write_game(os.path.join(directory, log), seed, plies)
        # Packed from the data's own folder: the validation split hashes each log's path as
        # given, so the same games make the same split wherever the folder is.
        here = os.getcwd()
        os.chdir(directory)
        try:
            quorvane4d.pack(logs, "games.q4pack", game_keys=["result"])
        finally:
            os.chdir(here)
    return pack


class PolicyValue(torch.nn.Module):
    """Per-square features from the 11 channels, a from- and a to-square
    logit per square, and a value from the pooled features."""

    def __init__(self, width=24):
        super().__init__()
        self.squares = torch.nn.Sequential(torch.nn.Linear(11, width), torch.nn.ReLU(),
                                           torch.nn.Linear(width, width), torch.nn.ReLU())
        self.policy = torch.nn.Linear(width, 2)
        self.value = torch.nn.Linear(2 * width, 1)

    def forward(self, x):  # (B, 11, 8, 8, 8, 8)
        v = x.flatten(2).transpose(1, 2)               # (B, 4096, 11)
        v = torch.sign(v) * torch.log1p(v.abs())       # channel 10 reaches 1e9 after a capture
        h = self.squares(v)                            # (B, 4096, width)
        logits = self.policy(h)                        # (B, 4096, 2)
        pooled = torch.cat([h.mean(1), h.amax(1)], dim=1)
        return logits[..., 0], logits[..., 1], torch.tanh(self.value(pooled)).squeeze(1)


def square_index(coords):
    """(B, 4) x, y, z, w -> (B,) square 512 x + 64 y + 8 z + w."""
    c = coords.long()
    return c[:, 0] * 512 + c[:, 1] * 64 + c[:, 2] * 8 + c[:, 3]


def losses(model, x, labels):
    from_logits, to_logits, value = model(x)
    has = labels["has_next_move"]
    policy = torch.zeros(())
    if has.any():
        policy = (torch.nn.functional.cross_entropy(from_logits[has], square_index(labels["next_move_from"][has])) +
                  torch.nn.functional.cross_entropy(to_logits[has], square_index(labels["next_move_to"][has])))
    value_loss = torch.nn.functional.mse_loss(value, labels["result"])
    return policy, value_loss


def train(rank, args, port):
    if args.ranks > 1:
        dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=args.ranks)
    torch.manual_seed(0)
    options = dict(batch_size=args.batch_size, shuffle_buffer=2000, seed=7, threads=1, val_fraction=0.1,
                   require=["result"], drop_last=args.ranks > 1, epochs=1)
    dataset = PositionDataset(args.pack, split="train", **options)
    loader = PositionLoader(dataset, num_workers=args.workers, persistent_workers=args.workers > 0)
    model = PolicyValue(args.width)
    # Saved and loaded without the wrapper of several ranks, so that any layout can resume.
    plain = model
    if args.ranks > 1:
        model = torch.nn.parallel.DistributedDataParallel(model)
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    checkpoint = os.path.join(args.data, f"checkpoint{rank}.pt")
    step = 0
    if args.resume and os.path.exists(checkpoint):
        saved = torch.load(checkpoint)
        plain.load_state_dict(saved["model"])
        optimiser.load_state_dict(saved["optimiser"])
        loader.load_state_dict(saved["loader"])  # with several ranks: the list gathered from all of them
        step = saved["step"]
        print(f"rank {rank}: resumed at step {step}", flush=True)
    log = open(args.log + (f".{rank}" if args.ranks > 1 else ""), "a") if args.log else None
    trained = []
    while step < args.steps:
        for x, labels in loader:
            policy, value = losses(model, x, labels)
            optimiser.zero_grad()
            (policy + value).backward()
            optimiser.step()
            step += 1
            trained.append((policy.item(), value.item()))
            if log:
                batch = hashlib.sha1(x.numpy().tobytes() + labels["ply"].numpy().tobytes()).hexdigest()[:16]
                log.write(f"{step} {batch}\n")
                log.flush()
            if rank == 0 and (step % 10 == 0 or step == 1):
                print(f"step {step:4d}  policy {policy.item():.3f}  value {value.item():.3f}", flush=True)
            if step % args.save_every == 0 or step == args.steps:
                state = loader.state_dict()
                if args.ranks > 1:  # every rank's state, so that any layout can resume
                    states = [None] * args.ranks
                    dist.all_gather_object(states, state)
                    state = states
                torch.save({"model": plain.state_dict(), "optimiser": optimiser.state_dict(), "loader": state,
                            "step": step}, checkpoint + ".tmp")
                os.replace(checkpoint + ".tmp", checkpoint)
                if rank == 0:
                    print(f"checkpoint saved at step {step}", flush=True)
            if step == args.steps:
                break
    ok = True
    if rank == 0 and len(trained) >= 20:
        first = sum(p + v for p, v in trained[:10]) / 10
        last = sum(p + v for p, v in trained[-10:]) / 10
        val = PositionDataset(args.pack, split="val", **dict(options, drop_last=False), rank=0, world_size=1)
        model = plain
        with torch.no_grad():
            held = [sum(losses(model, x, labels)).item() for x, labels in val]
        print(f"training loss: first ten steps {first:.3f}, last ten {last:.3f}; "
              f"validation loss {sum(held) / max(len(held), 1):.3f} over {len(held)} batches", flush=True)
        ok = last < first
    if args.ranks > 1:
        # The wrapper of several ranks goes before its process group: freed after it,
        # it now and then kept the process from exiting.
        del model
        gc.collect()
        dist.destroy_process_group()
    if not ok:
        sys.exit(1)


FULL = dict(games=60, plies=40, steps=60, batch_size=32, width=24, workers=2, save_every=10)
QUICK = dict(games=16, plies=24, steps=24, batch_size=8, width=8, workers=1, save_every=8)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(HERE, "..", "build", "train_policy_value"))
    parser.add_argument("--games", type=int)
    parser.add_argument("--plies", type=int)
    parser.add_argument("--steps", type=int)
    parser.add_argument("--batch-size", type=int)
    parser.add_argument("--width", type=int, help="features per square")
    parser.add_argument("--workers", type=int)
    parser.add_argument("--ranks", type=int, default=1)
    parser.add_argument("--save-every", type=int)
    parser.add_argument("--quick", action="store_true", help="small games, model and batches, few steps")
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--log", help="append one line per step naming its batch to this file")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    for name, value in sizes.items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    args.pack = make_dataset(args.data, args.games, args.plies)
    if args.ranks == 1:
        train(0, args, None)
        return
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    torch.multiprocessing.spawn(train, args=(args, port), nprocs=args.ranks, join=True)


if __name__ == "__main__":
    main()
