"""The tool's own CPU time per sandbox `execute`: main-thread CPU time of each execute run.

Runs `tidewall sandbox` (simulated AWS and controller on 127.0.0.1) in this process several times and
takes, for every `execute` it runs, the CPU time of the main thread (`time.thread_time()`) across
`tidewall.runner.run_command`. The simulated services answer on their own threads, so their work is
not counted; the tool's side of every request (botocore, requests, JSON, the modules) is.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_execute_cpu.py [--nat-gateways 3] [--runs 5] [--compare]

`--compare` alternates, in this one process, runs as the tool is now with runs as it was before controller
requests shared one TLS context and before the NAT gateway waits looked near a change's expected end (each
request through requests' own functions, loading the CA store; the waits' growing pauses alone), and
prints both side by side with the budget of 0.6 s + 0.05 s per NAT gateway.
"""

import argparse
import contextlib
import io
import logging
import statistics
import sys
import time


def measure(nat_gateways, runs):
    import tidewall.runner as runner
    from tidewall.sandbox.clock import DEFAULT_TIME_SCALE, Durations
    from tidewall.sandbox.run import run_sandbox

    samples = []
    original = runner.run_command

    def timed(command, *args, **kwargs):
        started = time.thread_time()
        try:
            return original(command, *args, **kwargs)
        finally:
            if command == "execute":
                samples.append(time.thread_time() - started)

    runner.run_command = timed
    try:
        for _ in range(runs):
            # The world as the command line runs it: a real cloud's durations, on a clock 100 times faster.
            status = run_sandbox(
                nat_gateways=nat_gateways,
                out=io.StringIO(),
                durations=Durations(),
                time_scale=DEFAULT_TIME_SCALE,
            )
            if status != 0:
                raise SystemExit(f"the sandbox run failed (exit status {status})")
    finally:
        runner.run_command = original
    return samples


@contextlib.contextmanager
def as_before():
    """Controller requests through requests' own functions (the CA store loaded for each), the waits
    without looks near the expected end."""
    import requests

    from tidewall.lib import corvane_backend, waits

    client, expected = corvane_backend._client, waits.Expected.of
    corvane_backend._client = lambda: requests
    waits.Expected.of = classmethod(lambda cls, kind: None)
    try:
        yield
    finally:
        corvane_backend._client = client
        waits.Expected.of = expected


def shown(samples):
    return (
        f"{statistics.median(samples) * 1e3:.0f} ms (median of {len(samples)}; "
        f"min {min(samples) * 1e3:.0f}, max {max(samples) * 1e3:.0f})"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nat-gateways", type=int, default=3)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--compare", action="store_true", help="alternate runs as before and as now")
    args = parser.parse_args()
    logging.disable(logging.INFO)
    n = args.nat_gateways
    if not args.compare:
        print(f"execute, {n} NAT gateways: main-thread CPU {shown(measure(n, args.runs))}")
        return 0
    measure(n, 1)  # the first execute of a process also imports the modules: not counted
    before, now = [], []
    for _ in range(args.runs):
        with as_before():
            before += measure(n, 1)
        now += measure(n, 1)
    print(f"execute, {n} NAT gateways, main-thread CPU (budget {(0.6 + 0.05 * n) * 1e3:.0f} ms):")
    print(f"  before: {shown(before)}")
    print(f"  now:    {shown(now)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
