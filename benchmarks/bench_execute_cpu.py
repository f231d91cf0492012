"""The tool's own CPU time per sandbox `execute`: main-thread CPU time of each execute run.

Runs `tidewall sandbox --instant` (simulated AWS and controller on 127.0.0.1) in this process several times and
takes, for every `execute` it runs, the CPU time of the main thread (`time.thread_time()`) across
`tidewall.runner.run_command`. The simulated services answer on their own threads, so their work is
not counted; the tool's side of every request (botocore, requests, JSON, the modules) is.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_execute_cpu.py [--nat-gateways 3] [--runs 5] [--markdown]

`--label TEXT` names the build in the table's first column (for a before/after comparison).
"""

import argparse
import io
import logging
import statistics
import sys
import time

from tables import Table, add_markdown_option


def measure(nat_gateways, runs):
    import tidewall.runner as runner
    from tidewall.sandbox.clock import Durations
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
            # The world of `tidewall sandbox --instant`: every change at once, but EC2 as the real one behaves
            # (moto as it is keeps a deleted NAT gateway's Elastic IPs, and the revert would wait for them).
            status = run_sandbox(nat_gateways=nat_gateways, out=io.StringIO(), durations=Durations.instant())
            if status != 0:
                raise SystemExit(f"the sandbox run failed (exit status {status})")
    finally:
        runner.run_command = original
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nat-gateways", type=int, default=3)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--label", default="this build", help="the build's name in the table")
    add_markdown_option(parser)
    args = parser.parse_args()
    logging.disable(logging.INFO)
    samples = measure(args.nat_gateways, args.runs)
    table = Table(
        [
            ("build", "<"),
            ("NAT gateways", ">"),
            ("execute runs", ">"),
            ("median main-thread CPU per execute", ">"),
            ("min", ">"),
            ("max", ">"),
        ],
        markdown=args.markdown,
    )
    table.row(
        args.label,
        args.nat_gateways,
        len(samples),
        f"{statistics.median(samples) * 1e3:,.0f} ms",
        f"{min(samples) * 1e3:,.0f} ms",
        f"{max(samples) * 1e3:,.0f} ms",
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
