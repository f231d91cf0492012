"""A sandbox fleet at `--parallel 16`: memory per VPC process and wall time against the number of VPCs.

For each count K: seed K VPCs (in two regions, `--nat-gateways` each) behind one simulated controller and
one simulated AWS in this process, run `tidewall fleet execute --parallel 16` as an operator does (its own
process, the command line), and read its JSON summary: the wall time of the fleet, the peak RSS of each VPC
process (from the kernel's accounting of the reaped process), the CPU seconds of each, and the peak RSS of
the fleet process itself. The simulated services run in this process and are not counted.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_fleet.py                      # 4, 8, 16 VPCs
    PYTHONPATH=src .venv/bin/python benchmarks/bench_fleet.py --vpcs 16 32 --controller-parallel 8 --instant
    PYTHONPATH=src .venv/bin/python benchmarks/bench_fleet.py --vpcs 4 --markdown     # a row for the docs

The world is the sandbox's default (real durations on a 0.01 clock: a spoke takes 3 s, a NAT gateway's
deletion 0.6 s), or with `--instant` every change at once (the figures are then the tool's own work). The
NAT gateways have no CloudWatch metrics unless `--metrics` (every spoke then gets the smallest size and
no resize): moto answers a metric query in time that grows with every datapoint of the region, which would
measure moto, not the fleet.
"""

import argparse
import json
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time

from tables import Table, add_markdown_option

import tidewall

SRC = os.path.dirname(os.path.dirname(tidewall.__file__))


def run_fleet(vpcs, args):
    from tidewall.sandbox.clock import DEFAULT_TIME_SCALE, Durations
    from tidewall.sandbox.services import Services

    durations = Durations.instant() if args.instant else Durations()
    with tempfile.TemporaryDirectory(prefix="tidewall-bench-fleet-") as workdir:
        with Services(
            workdir,
            nat_gateways=args.nat_gateways,
            vpcs=vpcs,
            time_scale=1.0 if args.instant else DEFAULT_TIME_SCALE,
            durations=durations,
            metrics=args.metrics,
        ) as services:
            env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
            argv = [sys.executable, "-m", "tidewall", "fleet", "execute", "--fleet", services.fleet_path]
            argv += ["--parallel", str(args.parallel), "--controller-parallel", str(args.controller_parallel)]
            argv += ["--output", "json"]
            started = time.monotonic()
            done = subprocess.run(argv, env=env, capture_output=True, text=True)
            wall = time.monotonic() - started
    if done.returncode != 0:
        raise SystemExit(f"fleet execute of {vpcs} VPCs ended with {done.returncode}:\n{done.stderr[-4000:]}")
    return wall, json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vpcs", type=int, nargs="+", default=[4, 8, 16])
    parser.add_argument("--parallel", type=int, default=16)
    parser.add_argument("--controller-parallel", type=int, default=2)
    parser.add_argument("--nat-gateways", type=int, default=3)
    parser.add_argument("--instant", action="store_true", help="every change at once")
    parser.add_argument(
        "--metrics",
        action="store_true",
        help="seed NAT gateway metrics (moto's CloudWatch then spends time on every datapoint of the region)",
    )
    add_markdown_option(parser)
    args = parser.parse_args()
    logging.disable(logging.INFO)
    world = ("instant" if args.instant else "real durations at 0.01") + (", metrics" if args.metrics else "")
    print(
        f"fleet execute, --parallel {args.parallel}, --controller-parallel {args.controller_parallel}, "
        f"{args.nat_gateways} NAT gateways per VPC, world: {world}\n"
    )
    table = Table(
        [
            ("VPCs", ">"),
            ("--parallel", ">"),
            ("--controller-parallel", ">"),
            ("wall time", ">"),
            ("per VPC", ">"),
            ("VPC process peak RSS (median / max)", ">"),
            ("CPU per VPC process (median)", ">"),
            ("fleet process peak RSS", ">"),
        ],
        markdown=args.markdown,
    )
    for vpcs in args.vpcs:
        wall, summary = run_fleet(vpcs, args)
        rows = summary["vpcs"]
        rss = [r["peak_rss_mib"] for r in rows]
        cpu = [r["cpu_s"] for r in rows]
        results = {r["result"] for r in rows}
        if results != {"done"}:
            raise SystemExit(f"not every VPC is done: {summary['counts']}")
        table.row(
            vpcs,
            args.parallel,
            args.controller_parallel,
            f"{wall:.1f} s",
            f"{wall / vpcs:.1f} s",
            f"{statistics.median(rss):.0f} / {max(rss):.0f} MiB",
            f"{statistics.median(cpu):.2f} s",
            f"{summary['fleet_peak_rss_mib']:.0f} MiB",
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
