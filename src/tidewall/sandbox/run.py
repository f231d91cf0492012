"""`tidewall sandbox`: a whole migration on this machine, against a simulated AWS and controller.

Starts moto (AWS) and the simulated controller on 127.0.0.1, seeds a VPC with one NAT gateway per
availability zone, writes a configuration for it and runs the real command line in this process:
`execute` (optionally interrupted and resumed, or with a failing acceptance test that is rolled back and
then run again), then `revert`. It shows the VPC before, in between and after, checks that egress really
moved to the spokes with the NAT gateways' Elastic IPs (and back), and reports what the migration cost in
controller requests and AWS API calls. The exit status is 0 only when every check holds.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from tidewall.sandbox.services import PASSWORD_ENV  # noqa: F401 - where callers look for it

logger = logging.getLogger("tidewall.sandbox.run")


@dataclass
class Check:
    name: str
    passed: bool
    detail: str = ""


@dataclass
class Checks:
    items: list = field(default_factory=list)

    def add(self, name, passed, detail=""):
        check = Check(name, bool(passed), detail)
        self.items.append(check)
        return check

    @property
    def passed(self):
        return bool(self.items) and all(c.passed for c in self.items)

    def failed(self):
        return [c for c in self.items if not c.passed]


# --------------------------------------------------------------------------------------------- the world


def _natgw_eip(ec2, nat_gw_id):
    if not nat_gw_id:
        return None
    found = ec2.describe_nat_gateways(NatGatewayIds=[nat_gw_id]).get("NatGateways", [])
    addresses = found[0].get("NatGatewayAddresses") if found else None
    return addresses[0].get("PublicIp") if addresses else None


class World:
    """The VPC as AWS shows it now, per public subnet, with the migration order of its NAT gateways."""

    def __init__(self, aws, vpc_id, order=None):
        self.rows = aws.describe_world(vpc_id)
        ec2 = aws.client("ec2")
        for row in self.rows:
            row["nat_gateway_eip"] = _natgw_eip(ec2, row["nat_gateway"])
        self.order = order or {}

    def index_of(self, subnet_id):
        return self.order.get(subnet_id)


def migration_order(folder_or_none=None):
    """subnet id -> index in the replacement order, from the command history of this process (if opened)."""
    from tidewall.commands.history import CommandHistory

    try:
        records = CommandHistory.get_discovered_natgws()
    except Exception:  # not opened yet
        return {}
    return {r.get("subnet_id"): i for i, r in enumerate(records)}


def render_table(title, world, before=None):
    """One row per NAT gateway subnet: subnet, EIP, NAT gateway -> spoke, spoke public IP, private routes."""
    before_rows = {r["subnet_id"]: r for r in (before.rows if before else [])}
    headers = [
        "#",
        "zone",
        "public subnet",
        "EIP",
        "NAT gateway -> spoke",
        "spoke public IP",
        "private 0.0.0.0/0 ->",
    ]
    rows = []
    for row in world.rows:
        index = world.index_of(row["subnet_id"])
        old = before_rows.get(row["subnet_id"])
        original_nat = old["nat_gateway"] if old else None
        spoke = row["spoke_gateway"]
        now = spoke["name"] if spoke else row["nat_gateway"]
        if original_nat and now != original_nat:
            gateway = f"{original_nat} -> {now or '(none)'}"
        else:
            gateway = now or "(none)"
        if spoke is None and row["nat_gateway"] and row["nat_gateway_eip"] != row["original_eip"]:
            gateway += f" (holds {row['nat_gateway_eip']})"
        rows.append(
            [
                "-" if index is None else str(index),
                row["az"],
                f"{row['subnet_id']} {row['cidr']}",
                row["original_eip"] or "-",
                gateway,
                spoke["public_ip"] if spoke else "-",
                ", ".join(row["private_routes"]) or "-",
            ]
        )
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    line = "  ".join("-" * w for w in widths)
    out = [title, "  ".join(h.ljust(w) for h, w in zip(headers, widths, strict=True)).rstrip(), line]
    out += ["  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() for r in rows]
    return "\n".join(out)


# ----------------------------------------------------------------------------------------------- checks


def _spoke_names(ctl, vpc_id):
    return {gw.name for gw in ctl.gateways.values() if gw.vpc_id == vpc_id}


def check_migrated(checks, world, ctl, vpc_id, natgws=None, label="after execute"):
    """The migrated state: no NAT gateway, every EIP on a spoke, every private default route on a live spoke.

    `natgws` limits the replaced subnets (a partial run): the other subnets must still have their NAT
    gateway with its original EIP.
    """
    spokes = _spoke_names(ctl, vpc_id)
    if natgws is not None and len(world.order) != len(world.rows):
        checks.add(
            f"{label}: the migration order of the NAT gateways is recorded", False, "no discovery found"
        )
        return
    replaced = [r for r in world.rows if natgws is None or world.index_of(r["subnet_id"]) in natgws]
    kept = [r for r in world.rows if r not in replaced]
    left = [r["nat_gateway"] for r in replaced if r["nat_gateway"]]
    what = "no NAT gateway left" if natgws is None else f"NAT gateways {sorted(natgws)} replaced"
    checks.add(f"{label}: {what}", not left, f"still there: {', '.join(left)}" if left else "")
    missing = [
        f"{r['original_eip']} ({r['subnet_id']})"
        for r in replaced
        if not r["spoke_gateway"]
        or r["spoke_gateway"]["public_ip"] != r["original_eip"]
        or r["spoke_gateway"]["name"] not in spokes
    ]
    checks.add(
        f"{label}: every replaced NAT gateway's EIP is on a spoke in its subnet",
        not missing,
        f"not on a spoke: {', '.join(missing)}" if missing else "",
    )
    if kept:
        lost = [
            r["subnet_id"] for r in kept if not r["nat_gateway"] or r["nat_gateway_eip"] != r["original_eip"]
        ]
        checks.add(
            f"{label}: the other NAT gateways are untouched",
            not lost,
            f"changed in: {', '.join(lost)}" if lost else "",
        )
    bad = []
    for r in world.rows:
        for table, target in zip(r["private_route_tables"], r["private_routes"], strict=False):
            # Mid-way, a zone may still (or already) leave through another zone's live NAT gateway.
            ok = target in spokes or (bool(kept) and target.startswith("nat-"))
            if not ok:
                bad.append(f"{table} -> {target}")
    what = (
        "every private default route goes to a live spoke"
        if not kept
        else "every private default route is live"
    )
    checks.add(f"{label}: {what}", not bad, ", ".join(bad))


def check_reverted(checks, world, ctl, vpc_id, label="after revert"):
    """The VPC as before: every EIP on a NAT gateway in its subnet, routes on live NAT gateways, no spoke."""
    missing = [
        f"{r['original_eip']} ({r['subnet_id']})"
        for r in world.rows
        if not r["nat_gateway"] or r["nat_gateway_eip"] != r["original_eip"]
    ]
    checks.add(
        f"{label}: every original EIP is back on a NAT gateway in its subnet",
        not missing,
        f"missing: {', '.join(missing)}" if missing else "",
    )
    bad = [
        f"{table} -> {target}"
        for r in world.rows
        for table, target in zip(r["private_route_tables"], r["private_routes"], strict=False)
        if not target.startswith("nat-")
    ]
    checks.add(f"{label}: every private default route goes to a live NAT gateway", not bad, ", ".join(bad))
    spokes = sorted(_spoke_names(ctl, vpc_id)) + [
        r["spoke_gateway"]["name"] for r in world.rows if r["spoke_gateway"]
    ]
    checks.add(f"{label}: no spoke gateway left", not spokes, ", ".join(sorted(set(spokes))))


# ---------------------------------------------------------------------------------------- failing test


@contextlib.contextmanager
def failing_acceptance_test(index):
    """Make the acceptance test of the spoke replacing NAT gateway `index` fail once (the real test still runs)."""
    from tidewall.commands.history import CommandHistory
    from tidewall.lib.test import Test

    original = Test.__dict__["run_test"]
    state = {"armed": True, "fired": False}

    def run_test(cls):
        passed = original.__func__(cls)
        spoke = (cls.prepared or {}).get("spoke") or {}
        records = CommandHistory.get_discovered_natgws()
        target = records[index] if index < len(records) else {}
        hit = spoke.get("gw_subnet_id") == target.get("subnet_id") or (
            spoke.get("gw_subnet_cidr") and spoke.get("gw_subnet_cidr") == target.get("subnet_cidr")
        )
        if state["armed"] and hit:
            state["armed"] = False
            state["fired"] = True
            logger.warning(
                "sandbox: failing the acceptance test of spoke %s on purpose", spoke.get("gw_name")
            )
            return False
        return passed

    Test.run_test = classmethod(run_test)
    try:
        yield state
    finally:
        Test.run_test = original


# ------------------------------------------------------------------------------------------- cost report


def merge_reports(reports):
    """One CostReport adding up several (the runs of one command)."""
    from tidewall.sandbox.accounting import CostReport

    total = CostReport()
    for report in reports:
        for mine, theirs in (
            (total.aws_calls, report.aws_calls),
            (total.aws_seconds, report.aws_seconds),
            (total.controller_requests, report.controller_requests),
            (total.controller_seconds, report.controller_seconds),
        ):
            for key, value in theirs.items():
                mine[key] = mine.get(key, 0) + value
        total.excluded_aws_calls += report.excluded_aws_calls
        total.wall_seconds += report.wall_seconds
    return total


def render_cost(title, report, runs):
    out = [f"{title} ({runs}):"]
    out.append(f"  Controller requests: {report.controller_total}, waiting {report.controller_wait:.2f} s")
    for action, count in sorted(report.controller_requests.items(), key=lambda kv: (-kv[1], kv[0])):
        out.append(f"    {action:<40} {count:>4}  {report.controller_seconds.get(action, 0.0):7.2f} s")
    out.append(f"  AWS API calls: {report.aws_total}, waiting {report.aws_wait:.2f} s")
    for action, count in sorted(report.aws_calls.items(), key=lambda kv: (-kv[1], kv[0])):
        out.append(f"    {action:<40} {count:>4}  {report.aws_seconds.get(action, 0.0):7.2f} s")
    wall = report.wall_seconds
    waiting = report.waiting_seconds
    share = (waiting / wall * 100) if wall else 0.0
    out.append(
        f"  Waiting on outside calls: {waiting:.2f} s of {wall:.2f} s total ({share:.0f}%); "
        f"the tool's own time (including its polling pauses): {max(wall - waiting, 0.0):.2f} s"
    )
    return "\n".join(out)


def aws_call_budget(nat_gateways):
    """The most AWS API calls one execute of a VPC with this many NAT gateways may make (7N+20)."""
    return 7 * nat_gateways + 20


def render_cost_line(title, report):
    return (
        f"{title}: {report.controller_total} controller requests, {report.aws_total} AWS API calls, "
        f"waiting {report.waiting_seconds:.2f} s of {report.wall_seconds:.2f} s"
    )


# ------------------------------------------------------------------------------------------------- run


class SandboxRun:
    def __init__(self, nat_gateways, fail_test_at, interrupt_at, keep, workdir, out):
        self.nat_gateways = nat_gateways
        self.fail_test_at = fail_test_at
        self.interrupt_at = interrupt_at
        self.keep = keep
        self.workdir = workdir
        self.out = out
        self.checks = Checks()
        self.costs = {}  # command -> [CostReport of each run]

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def world(self):
        return World(self.aws, self.seeded.vpc_id, migration_order())

    def show(self, title, world):
        self.say()
        self.say(render_table(title, world, self.before))

    def show_status(self):
        from tidewall.core.ConfigAdaptor import ConfigAdaptor
        from tidewall.sandbox.accounting import excluded
        from tidewall.status import read_status, render_status

        ca = ConfigAdaptor(self.config_path)
        self.say()
        self.say("$ tidewall status --config " + self.config_path)
        with excluded():  # looking is not part of the migration's cost
            self.say(render_status(read_status(ca), ca))

    def run(self, command, *, expect, stop_before=None, title=None):
        from tidewall.runner import run_command

        argv = f"tidewall {command} --config {self.config_path}"
        if stop_before is not None:
            argv += f" --stop-before {stop_before}"
        self.say()
        self.say(f"$ {argv}" + (f"    # {title}" if title else ""))
        from tidewall.core.Globals import Globals
        from tidewall.sandbox.accounting import CostMeter

        started = time.monotonic()
        try:
            with CostMeter() as meter:
                status = run_command(command, self.config_path, stop_before=stop_before)
        except Exception as e:  # a crash, not an exit status: shown, failed as a check, and the demo goes on
            logger.error("%s crashed: %s: %s", command, type(e).__name__, e, exc_info=True)
            status = f"a crash ({type(e).__name__}: {e})"
        finally:
            Globals.dry_run, Globals.cmdcnt = False, -1
            self.costs.setdefault(command, []).append(meter.report())
        outcome = status if isinstance(status, str) else f"exit status {status}"
        self.say(f"  {outcome} after {time.monotonic() - started:.1f} s")
        name = f"{command}" + (f" ({title})" if title else "")
        self.checks.add(f"{name}: exit status {expect}", status == expect, f"got {status}")
        return status

    def migrate(self):
        """The execute runs of the chosen scenario; returns how many there were."""
        vpc_id = self.seeded.vpc_id
        runs = 0
        if self.interrupt_at is not None:
            k = self.interrupt_at
            self.run("execute", expect=0, stop_before=k, title=f"stop before NAT gateway {k}")
            runs += 1
            world = self.world()
            self.show(f"Partial state (stopped before NAT gateway {k}):", world)
            check_migrated(
                self.checks, world, self.ctl, vpc_id, natgws=set(range(k)), label="after the interrupted run"
            )
            self.show_status()
        if self.fail_test_at is not None:
            i = self.fail_test_at
            with failing_acceptance_test(i) as state:
                self.run("execute", expect=1, title=f"acceptance test fails at NAT gateway {i}")
            runs += 1
            self.checks.add(f"the acceptance test failed at NAT gateway {i}", state["fired"])
            world = self.world()
            self.show(f"After the rollback of NAT gateway {i}'s group:", world)
            check_migrated(
                self.checks, world, self.ctl, vpc_id, natgws=set(range(i)), label="after the rollback"
            )
            self.show_status()
        title = "resumed run" if runs else None
        self.run("execute", expect=0, title=title)
        return runs + 1

    def __call__(self):
        from tidewall.sandbox.services import Services

        enable_test = self.fail_test_at is not None
        with Services(self.workdir, nat_gateways=self.nat_gateways, enable_test=enable_test) as services:
            self.aws, self.ctl, self.seeded = services.aws, services.ctl, services.seeded
            self.config_path = services.config_path
            password = services.password
            self.say(
                f"Sandbox: AWS (moto) at {self.aws.endpoint_url}, controller at https://{self.ctl.address}, "
                f"VPC {self.seeded.vpc_id} with {len(self.seeded.zones)} NAT gateways; config {self.config_path}"
            )

            self.before = World(self.aws, self.seeded.vpc_id)
            self.say()
            self.say(render_table("Before:", self.before))

            runs = self.migrate()
            world = self.world()
            self.show("After execute:", world)
            check_migrated(self.checks, world, self.ctl, self.seeded.vpc_id)

            self.run("revert", expect=0)
            world = self.world()
            self.show("After revert:", world)
            check_reverted(self.checks, world, self.ctl, self.seeded.vpc_id)

            self.say()
            self.say("Checks:")
            for check in self.checks.items:
                mark = "ok  " if check.passed else "FAIL"
                self.say(
                    f"  [{mark}] {check.name}"
                    + (f": {check.detail}" if check.detail and not check.passed else "")
                )
            self.say()
            self.say(
                render_cost(
                    "What the migration cost", merge_reports(self.costs["execute"]), f"{runs} execute run(s)"
                )
            )
            counts = ", ".join(str(r.aws_total) for r in self.costs["execute"])
            self.say(
                f"  AWS API calls per execute run: {counts} (at most 7N+20 = "
                f"{aws_call_budget(self.nat_gateways)} for N = {self.nat_gateways} NAT gateways)"
            )
            self.say(render_cost_line("The revert", merge_reports(self.costs["revert"])))
            self.say()
            if self.checks.passed:
                self.say(f"All {len(self.checks.items)} checks passed.")
            else:
                self.say(f"{len(self.checks.failed())} of {len(self.checks.items)} checks FAILED.")

            if self.keep:
                self.keep_running(password)
        return EXIT_OK if self.checks.passed else EXIT_FAILED

    def keep_running(self, password):
        self.say()
        self.say("The services stay up until Ctrl-C. Drive them from another shell:")
        self.say(f"  export {PASSWORD_ENV}='{password}'")
        for command in ("status", "execute", "revert"):
            self.say(f"  tidewall {command} --config {self.config_path}")
        self.say(
            f"  (AWS: endpoint {self.aws.endpoint_url}, access key {self.aws.credentials['access_key_id']}, "
            f"secret {self.aws.credentials['secret_access_key']}, region {self.seeded.region})"
        )
        done = threading.Event()
        previous = {}
        for sig in (signal.SIGINT, signal.SIGTERM):
            previous[sig] = signal.signal(sig, lambda *_: done.set())
        try:
            while not done.wait(0.5):
                pass
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
        self.say("Stopping the services.")


def run_sandbox(nat_gateways=3, fail_test_at=None, interrupt_at=None, keep=False, workdir=None, out=None):
    """Run the sandbox demonstration; returns the exit status (0 only when every check holds)."""
    out = out if out is not None else sys.stdout
    problems = []
    if nat_gateways < 2:
        problems.append("--nat-gateways must be at least 2 (the handover needs two NAT gateways)")
    if nat_gateways > 6:
        problems.append("--nat-gateways can be at most 6 (the simulated region has 6 availability zones)")
    if fail_test_at is not None and not 0 <= fail_test_at < nat_gateways:
        problems.append(f"--fail-test-at must name a NAT gateway from 0 to {nat_gateways - 1}")
    if interrupt_at is not None and not 1 <= interrupt_at < nat_gateways:
        problems.append(f"--interrupt-at must be from 1 to {nat_gateways - 1}")
    if fail_test_at is not None and interrupt_at is not None:
        problems.append("choose one of --fail-test-at and --interrupt-at")
    if problems:
        for problem in problems:
            print(f"tidewall sandbox: {problem}", file=sys.stderr)
        return EXIT_USAGE

    made_workdir = workdir is None
    if made_workdir:
        workdir = tempfile.mkdtemp(prefix="tidewall-sandbox-")
    else:
        workdir = os.path.abspath(workdir)
        os.makedirs(workdir, exist_ok=True)
    status = EXIT_FAILED
    try:
        status = SandboxRun(nat_gateways, fail_test_at, interrupt_at, keep, workdir, out)()
    finally:
        if made_workdir and status == EXIT_OK and not keep:
            shutil.rmtree(workdir, ignore_errors=True)
        elif made_workdir:
            print(f"Sandbox files kept in {workdir}", file=out)
    return status
