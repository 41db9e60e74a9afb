#!/usr/bin/env python3
"""A tiny PyTorch model trained on the example game through quorvane4d.

It learns how far a game has gone (the ply, scaled to 0..1) from the
encoding of the position: a few dozen steps on the CPU, printing the loss as
it falls. Batches come from PositionDataset, which reads the ply log, shuffles
its positions and encodes them in C++ threads as the loop asks for them.

    PYTHONPATH=build/python /usr/bin/python3 examples/train_tiny.py [examples/game.ndjson4] [--steps 60]

Exits 1 if the loss did not fall.
"""
import argparse
import os
import sys

import torch
import torch.utils.data

from quorvane4d.torch import PositionDataset


class TinyModel(torch.nn.Module):
    """Per-channel statistics of the (signed, log-scaled) encoding, then a small MLP."""

    def __init__(self):
        super().__init__()
        self.mlp = torch.nn.Sequential(torch.nn.Linear(33, 32), torch.nn.ReLU(), torch.nn.Linear(32, 1))

    def forward(self, x):  # x: (B, 11, 8, 8, 8, 8)
        v = x.flatten(2)
        v = torch.sign(v) * torch.log1p(v.abs())  # channel 10 reaches 1e9 after a capture
        features = torch.cat([v.mean(2), v.std(2), v.abs().amax(2)], dim=1)
        return self.mlp(features).squeeze(1)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("game", nargs="?", default=os.path.join(here, "game.ndjson4"))
    parser.add_argument("--steps", type=int, default=60)
    args = parser.parse_args()

    torch.manual_seed(0)
    dataset = PositionDataset(args.game, batch_size=8, shuffle_buffer=64, seed=1, epochs=1000, threads=1, drop_last=True)
    loader = torch.utils.data.DataLoader(dataset, batch_size=None, num_workers=1)
    model = TinyModel()
    optimiser = torch.optim.Adam(model.parameters(), lr=0.01)

    losses = []
    for step, (x, labels) in enumerate(loader):
        if step == args.steps:
            break
        target = labels["ply"].float() / 40.0
        loss = torch.nn.functional.mse_loss(model(x), target)
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        losses.append(loss.item())
        if step % 10 == 0 or step == args.steps - 1:
            print(f"step {step:3d}  loss {loss.item():.4f}", flush=True)

    first, last = sum(losses[:10]) / 10, sum(losses[-10:]) / 10
    print(f"mean loss of the first ten steps {first:.4f}, of the last ten {last:.4f}")
    return 0 if last < first / 2 else 1


if __name__ == "__main__":
    sys.exit(main())
