"""The sandbox's figures as tables: egress and outage per zone, and the AWS calls of one execute.

    .venv/bin/python benchmarks/bench_sandbox.py outage [--seeds 0 1 2 3 4 5] [--markdown]
    .venv/bin/python benchmarks/bench_sandbox.py calls [--nat-gateways 2 3 6] [--markdown]

`outage` runs `tidewall sandbox` (3 NAT gateways, real durations on the default 0.01 clock) once per seed,
seed 0 being the run without faults and any other seed `--chaos SEED`, and reads its report: whether every
check held, the runs of `execute` and `revert` it took, and per zone the seconds without egress over those
runs (world seconds), the longest gap and the Elastic IPs its traffic left through, in order (EIP i is
the address zone i's traffic left through first: its NAT gateway's). `calls` runs one first `execute` (no
acceptance test, every change instant) per count of NAT gateways and counts its AWS calls against the
budget of 7N+20 that `tests/test_aws_budget.py` holds it to.
"""

import argparse
import io
import json
import logging
import os
import sys
import tempfile
import time
import warnings

from tables import Table, add_markdown_option


def outage(args):
    from tidewall.sandbox.clock import DEFAULT_TIME_SCALE, Durations
    from tidewall.sandbox.run import run_sandbox

    table = Table(
        [
            ("seed", ">"),
            ("checks", "<"),
            ("runs: execute + revert", ">"),
            ("outage per zone (world s)", ">"),
            ("longest gap per zone", ">"),
            ("egress IPs in order, per zone", "<"),
            ("wall time", ">"),
        ],
        markdown=args.markdown,
    )
    failed = 0
    for seed in args.seeds:
        with tempfile.TemporaryDirectory(prefix="tidewall-bench-sandbox-") as workdir:
            path = os.path.join(workdir, "report.json")
            started = time.monotonic()
            status = run_sandbox(
                nat_gateways=3,
                out=io.StringIO(),
                time_scale=DEFAULT_TIME_SCALE,
                durations=Durations(),
                chaos=seed or None,
                report=path,
            )
            wall = time.monotonic() - started
            with open(path, encoding="utf-8") as f:
                report = json.load(f)
        zones = {}
        for subnet in sorted(report["egress"], key=lambda s: s["zone"]):
            zone = zones.setdefault(subnet["zone"], {"outage": 0.0, "gap": 0.0, "ips": []})
            zone["outage"] = max(zone["outage"], subnet["outage_s"])
            zone["gap"] = max(zone["gap"], subnet["longest_gap_s"])
            zone["ips"] = zone["ips"] or subnet["egress_ips"]
        eip = {z["ips"][0]: f"EIP {i}" for i, z in enumerate(zones.values()) if z["ips"]}
        held = sum(c["ok"] for c in report["checks"])
        failed += status != 0
        table.row(
            seed or "none",
            f"{held} of {len(report['checks'])} held",
            report["runs"],
            " / ".join(f"{z['outage']:.0f}" for z in zones.values()),
            " / ".join(f"{z['gap']:.0f}" for z in zones.values()),
            "; ".join(" -> ".join(eip.get(ip, ip) for ip in z["ips"]) for z in zones.values()),
            f"{wall:.0f} s",
        )
    return 1 if failed else 0


def calls(args):
    from tidewall.runner import run_command
    from tidewall.sandbox.accounting import CostMeter
    from tidewall.sandbox.run import aws_call_budget
    from tidewall.sandbox.services import Services

    table = Table(
        [("NAT gateways (N)", ">"), ("egress.keep", "<"), ("AWS calls", ">"), ("budget", ">")],
        markdown=args.markdown,
    )
    over = 0
    for n in args.nat_gateways:
        for keep in (True, False):
            with tempfile.TemporaryDirectory(prefix="tidewall-bench-calls-") as workdir:
                with Services(workdir, nat_gateways=n, keep_egress=keep) as services:
                    with CostMeter() as meter:
                        if run_command("execute", services.config_path) != 0:
                            raise SystemExit(f"the execute with {n} NAT gateways failed")
            total = meter.report().aws_total
            over += total > aws_call_budget(n, keep)
            table.row(n, str(keep).lower(), total, aws_call_budget(n, keep))
    return 1 if over else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="table", required=True)
    p = sub.add_parser("outage", help="egress and outage per zone of sandbox runs")
    p.add_argument("--seeds", type=int, nargs="+", default=[0], help="0: no faults; else --chaos SEED")
    add_markdown_option(p)
    p = sub.add_parser("calls", help="AWS calls of one first execute")
    p.add_argument("--nat-gateways", type=int, nargs="+", default=[2, 3, 6])
    add_markdown_option(p)
    args = parser.parse_args()
    logging.disable(logging.CRITICAL)
    warnings.filterwarnings("ignore")
    return outage(args) if args.table == "outage" else calls(args)


if __name__ == "__main__":
    sys.exit(main())
