"""`tidewall sandbox --vpcs K`: a fleet on this machine, against one simulated controller and one simulated AWS.

Seeds K VPCs, alternately in two regions (moto serves every region at one endpoint; the controller's cloud
side acts in each), writes a fleet file for them, and runs the real `tidewall fleet execute` (one process
per VPC), the checks of each VPC, `tidewall fleet revert` and the checks again. With `fail_vpc` I, the
I-th VPC runs with its acceptance test on while the controller's cloud side brings its spokes up without
their Elastic IP: its test fails and its group is rolled back while the others finish.

The world behaves as EC2 does, with every change instant unless `durations` say otherwise (the processes
of the fleet reach the simulated AWS over HTTP, so its model must run in the server, not in them).
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from tidewall.sandbox import checks as judge

MAX_FLEET_NAT_GATEWAYS = 4  # us-west-2 of the simulated AWS has four availability zones


class MonitorGroup:
    """The egress monitors of several VPCs of one region, told together of each change."""

    def __init__(self, monitors=()):
        self.monitors = list(monitors)

    def evaluate(self, t):
        for monitor in self.monitors:
            monitor.evaluate(t)


def fleet_problems(vpcs, nat_gateways, fail_vpc, parallel):
    problems = []
    if vpcs < 1:
        problems.append("--vpcs must be at least 1")
    if not 2 <= nat_gateways <= MAX_FLEET_NAT_GATEWAYS:
        problems.append(f"--nat-gateways must be from 2 to {MAX_FLEET_NAT_GATEWAYS} with --vpcs")
    if fail_vpc is not None and not 0 <= fail_vpc < vpcs:
        problems.append(f"--fail-vpc must name a VPC from 0 to {vpcs - 1}")
    if parallel is not None and parallel < 1:
        problems.append("--parallel must be at least 1")
    return problems


def run_fleet_sandbox(
    vpcs,
    nat_gateways=3,
    fail_vpc=None,
    parallel=None,
    workdir=None,
    out=None,
    *,
    controller_parallel=2,
    time_scale=1.0,
    durations=None,
    private_natgw=None,
    secondary_eip=None,
):
    """Run the fleet demonstration; returns the exit status (0 only when every check holds)."""
    from tidewall.sandbox.aws import SEED_PRIVATE_NATGW, SEED_SECONDARY_EIP
    from tidewall.sandbox.clock import Durations

    out = out if out is not None else sys.stdout
    problems = fleet_problems(vpcs, nat_gateways, fail_vpc, parallel)
    if problems:
        for problem in problems:
            print(f"tidewall sandbox: {problem}", file=sys.stderr)
        return EXIT_USAGE
    made_workdir = workdir is None
    workdir = tempfile.mkdtemp(prefix="tidewall-fleet-sandbox-") if made_workdir else os.path.abspath(workdir)
    os.makedirs(workdir, exist_ok=True)
    run = FleetSandboxRun(
        workdir,
        out,
        vpcs=vpcs,
        nat_gateways=nat_gateways,
        fail_vpc=fail_vpc,
        parallel=parallel or min(vpcs, 4),
        controller_parallel=controller_parallel,
        time_scale=time_scale,
        durations=durations if durations is not None else Durations.instant(),
        private_natgw=SEED_PRIVATE_NATGW if private_natgw is None else private_natgw,
        secondary_eip=SEED_SECONDARY_EIP if secondary_eip is None else secondary_eip,
    )
    status = EXIT_FAILED
    try:
        status = run()
    finally:
        if made_workdir and status == EXIT_OK:
            shutil.rmtree(workdir, ignore_errors=True)
        elif made_workdir:
            print(f"Sandbox files kept in {workdir}", file=out)
    return status


class FleetSandboxRun:
    def __init__(self, workdir, out, *, vpcs, nat_gateways, fail_vpc, parallel, controller_parallel, **world):
        self.workdir = workdir
        self.out = out
        self.vpcs = vpcs
        self.nat_gateways = nat_gateways
        self.fail_vpc = fail_vpc
        self.parallel = parallel
        self.controller_parallel = controller_parallel
        self.world = world
        self.checks = judge.Checks()

    def say(self, text=""):
        print(text, file=self.out, flush=True)

    def fleet(self, command):
        """One `tidewall fleet COMMAND` run, as the command line runs it; (exit status, summary rows)."""
        from tidewall.fleet.command import FleetOptions, fleet_run

        options = FleetOptions(
            parallel=self.parallel,
            controller_parallel=self.controller_parallel,
            log_dir=os.path.join(self.workdir, "fleet-logs", command),
            lock_poll=1.0,
        )
        self.say()
        self.say(
            f"$ tidewall fleet {command} --fleet {self.fleet_path} --parallel {self.parallel} "
            f"--controller-parallel {self.controller_parallel}"
        )
        live = sys.stderr if self.out is sys.stdout else self.out
        return fleet_run(command, self.fleet_path, options, out=self.out, err=live)

    def expect_results(self, command, status, rows, expected):
        """The fleet's exit status and each VPC's result are as expected (vpc id -> result word)."""
        want = EXIT_OK if all(r in ("done", "reverted") for r in expected.values()) else EXIT_FAILED
        self.checks.add(f"fleet {command}: exit status {want}", status == want, f"got {status}")
        got = {row["vpc_id"]: row["result"] for row in rows}
        wrong = [
            f"{vpc} {got.get(vpc)} (expected {word})"
            for vpc, word in expected.items()
            if got.get(vpc) != word
        ]
        words = sorted(set(expected.values()))
        summary = ", ".join(f"{sum(1 for w in expected.values() if w == word)} {word}" for word in words)
        self.checks.add(f"fleet {command}: {summary}", not wrong, "; ".join(wrong))

    def __call__(self):
        from tidewall.sandbox.egress import EgressMonitor
        from tidewall.sandbox.services import Services

        services = Services(
            self.workdir,
            nat_gateways=self.nat_gateways,
            vpcs=self.vpcs,
            failing_vpcs=[self.fail_vpc] if self.fail_vpc is not None else [],
            **self.world,
        )
        with services:
            aws, ctl, fleet = services.aws, services.ctl, services.fleet
            self.fleet_path = services.fleet_path
            regions = sorted({s.region for s in fleet})
            self.say(
                f"Sandbox fleet: AWS (moto) at {aws.endpoint_url}, controller at https://{ctl.address}; "
                f"{len(fleet)} VPC{'' if len(fleet) == 1 else 's'} with {self.nat_gateways} NAT gateways each in {', '.join(regions)}; "
                f"fleet file {self.fleet_path}"
            )
            for i, seeded in enumerate(fleet):
                failing = " (its spokes come up without their EIP: the acceptance test fails)"
                self.say(
                    f"  {i}: {seeded.vpc_id} in {seeded.region}" + (failing if i == self.fail_vpc else "")
                )
            monitors = {
                s.vpc_id: EgressMonitor(aws.account_id, s.region, s.vpc_id, serves=ctl.backend.serves)
                for s in fleet
            }
            for region in aws.regions:
                aws.worlds[region].monitor = MonitorGroup(m for m in monitors.values() if m.region == region)
            aws.changed()

            failed_vpc = fleet[self.fail_vpc].vpc_id if self.fail_vpc is not None else None
            status, rows = self.fleet("execute")
            self.expect_results(
                "execute",
                status,
                rows,
                {s.vpc_id: "rolled_back" if s.vpc_id == failed_vpc else "done" for s in fleet},
            )
            if failed_vpc is not None:
                reason = next((r["reason"] or "" for r in rows if r["vpc_id"] == failed_vpc), "")
                self.checks.add(
                    f"{failed_vpc}: rolled back after its acceptance test failed",
                    reason.startswith("Acceptance test of spoke"),
                    f"reason: {reason}",
                )
            for seeded in fleet:
                world = judge.World(aws, seeded.vpc_id, seeded=seeded)
                if seeded.vpc_id == failed_vpc:
                    judge.check_reverted(
                        self.checks, world, ctl, seeded.vpc_id, label=f"{seeded.vpc_id} after its rollback"
                    )
                else:
                    judge.check_migrated(
                        self.checks, world, ctl, seeded.vpc_id, label=f"{seeded.vpc_id} after execute"
                    )
                judge.check_private_natgw(self.checks, aws, seeded, f"{seeded.vpc_id} after execute")

            status, rows = self.fleet("revert")
            self.expect_results("revert", status, rows, {s.vpc_id: "reverted" for s in fleet})
            for seeded in fleet:
                world = judge.World(aws, seeded.vpc_id, seeded=seeded)
                judge.check_reverted(
                    self.checks, world, ctl, seeded.vpc_id, label=f"{seeded.vpc_id} after revert"
                )
                judge.check_private_natgw(self.checks, aws, seeded, f"{seeded.vpc_id} after revert")
                judge.check_egress_ips(
                    self.checks, monitors[seeded.vpc_id], seeded, f"{seeded.vpc_id} egress"
                )
            for world in aws.worlds.values():
                world.monitor = None
        self.finish()
        return EXIT_OK if self.checks.passed else EXIT_FAILED

    def finish(self):
        self.say()
        self.say("Checks:")
        for line in self.checks.lines():
            self.say(line)
        self.say()
        if self.checks.passed:
            self.say(f"All {len(self.checks.items)} checks passed.")
        else:
            self.say(f"{len(self.checks.failed())} of {len(self.checks.items)} checks FAILED.")
