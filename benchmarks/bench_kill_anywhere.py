"""Kill-anywhere sweep of `execute` and `revert` in the sandbox world.

For each command: an uninterrupted run on a freshly seeded VPC gives K outside calls (AWS calls and
controller requests) and the end state; then, for every k in 1..K, before and after: a freshly seeded VPC
(for `revert`, migrated first by an uninterrupted `execute`), the command run in a child process and killed
with SIGKILL around its k-th call, the run lock it left checked and removed with `tidewall unlock`, at most
two resumed runs, and the end compared with the uninterrupted run's:

- the cloud per zone: who holds the zone's Elastic IP, where its private default routes go, its live NAT
  gateways and instances (no orphan gateway or instance), and the controller's gateways;
- the journal's memento kinds, order and group marks, locally and in S3, and no lock left;
- egress, as the sandbox's egress monitor saw it through the killed and the resumed runs: every public IP
  any private subnet's traffic left through is one of the original Elastic IPs; after `execute` each private
  default route is on its own zone's spoke, after `revert` on its own zone's NAT gateway. The egress figure
  of each case is the number of private subnets that were without egress at some moment (in this world a
  change takes no time, so the moment is counted, not its length; 0 when every route was parked first).

EC2 behaves as the real one (deletions free the Elastic IPs, routes to deleted NAT gateways blackhole),
with every change taking no time, so that a sweep of some hundred cases stays within the hour.

    PYTHONPATH=src nice .venv/bin/python benchmarks/bench_kill_anywhere.py [--command execute|revert]
        [--every N] [--first K] [-v] [--markdown]

Prints, per command, "N of N kill points converged" and "egress: N of N kill points kept every private
subnet online" (with `--markdown` as a markdown table); exit status 1 when a kill point did not converge.
"""

import argparse
import os
import sys
import tempfile
import time
import warnings

from tables import Table, add_markdown_option

from tidewall.sandbox.clock import Durations
from tidewall.sandbox.egress import EgressMonitor
from tidewall.sandbox.faults import AFTER, BEFORE, FaultWorld, KillPoint, kill_anywhere


class EgressWatch:
    """An egress monitor per seeded VPC, in the order the sweep seeds them (the clean run first)."""

    def __init__(self, migrate_first):
        self.migrate_first = migrate_first
        self.monitors = []
        self.eips = []

    def prepare(self, world):
        monitor = EgressMonitor(
            world.aws.account_id, world.aws.region, world.seeded.vpc_id, serves=world.ctl.backend.serves
        )
        world.aws.world.monitor = monitor
        world.aws.world.changed()
        self.monitors.append(monitor)
        self.eips.append({z.eip for z in world.seeded.zones})
        if self.migrate_first:
            result = world.run("execute")
            if result.status != 0:
                raise AssertionError(
                    f"the execute before the revert ended with {result.status}:\n{result.stderr}"
                )


def egress_problems(monitor, eips, state, command):
    problems = []
    foreign = sorted(monitor.ips_used() - eips)
    if foreign:
        problems.append(f"egress left through {', '.join(foreign)}, not an original Elastic IP")
    for zone in state.zones:
        for label in zone.private_routes:
            own = label.startswith("spoke ") if command == "execute" else label.startswith("natgw@")
            if not (own and label.endswith(f"@{zone.az}")):
                problems.append(f"zone {zone.az}: a private default route goes to {label}")
    return problems


def dark_subnets(monitor):
    """How many private subnets were without egress at some moment of the record."""
    return sum(1 for line in monitor.timeline.values() if any(not egress.live for _t, egress in line))


def sweep(world, command, every, first):
    watch = EgressWatch(migrate_first=command == "revert")
    clean = kill_anywhere(world, command, points=[], prepare=watch.prepare)
    calls = clean.calls if first is None else min(first, clean.calls)
    points = [KillPoint(when, k) for k in range(1, calls + 1, every) for when in (BEFORE, AFTER)]
    result = kill_anywhere(
        world, command, points, prepare=watch.prepare, clean=(clean.clean, clean.clean_state)
    )
    clean_problems = egress_problems(watch.monitors[0], watch.eips[0], clean.clean_state, command)
    if clean_problems:
        raise AssertionError(f"the uninterrupted {command} fails the egress checks: {clean_problems}")
    for case, monitor, eips in zip(result.cases, watch.monitors[1:], watch.eips[1:], strict=True):
        case.problems += egress_problems(monitor, eips, case.state, command)
        case.dark_subnets = dark_subnets(monitor)
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--command", choices=["execute", "revert"], action="append")
    parser.add_argument("--every", type=int, default=1, metavar="N", help="only every N-th call (default 1)")
    parser.add_argument("--first", type=int, metavar="K", help="only the first K calls")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every case")
    add_markdown_option(parser)
    args = parser.parse_args(argv)
    warnings.filterwarnings("ignore")
    failed = 0
    table = Table(
        [
            ("command", "<"),
            ("kill points converged", ">"),
            ("calls of the uninterrupted run", ">"),
            ("sampled", "<"),
            ("sweep time", ">"),
        ],
        markdown=args.markdown,
    )
    sampled = f"every {max(args.every, 1)}" + (f", first {args.first}" if args.first else "")
    with tempfile.TemporaryDirectory(prefix="bench-kills-") as workdir:
        with FaultWorld(nat_gateways=3, workdir=workdir, durations=Durations.instant()) as world:
            for command in args.command or ["execute", "revert"]:
                started = time.monotonic()
                result = sweep(world, command, max(args.every, 1), args.first)
                failures = result.failures()
                failed += len(failures)
                n = len(result.cases)
                table.row(
                    command,
                    f"{n - len(failures)} of {n}",
                    result.calls,
                    sampled,
                    f"{time.monotonic() - started:.0f} s",
                )
                dark = [c for c in result.cases if c.dark_subnets]
                print(
                    f"  egress: {n - len(dark)} of {n} kill points kept every private subnet online",
                    flush=True,
                )
                for case in result.cases if args.verbose else failures + dark:
                    extra = (
                        f" ({case.dark_subnets} private subnet(s) without egress)"
                        if case.dark_subnets
                        else ""
                    )
                    print("  " + str(case).replace("\n", "\n  ") + extra, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONWARNINGS", "ignore")
    sys.exit(main())
