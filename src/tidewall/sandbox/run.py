"""`tidewall sandbox`: a whole migration on this machine, against a simulated AWS and controller.

Starts moto (AWS) and the simulated controller on 127.0.0.1, seeds a VPC with one NAT gateway per
availability zone, writes a configuration for it and runs the real command line in this process:
`execute` (optionally interrupted and resumed, or with a failing acceptance test that is rolled back and
then run again, or under injected faults and resumed), then `revert`. It shows the VPC before, in between
and after with each zone's outage, checks that egress really moved to the spokes with the NAT gateways'
Elastic IPs (and back) and never left through another address, and reports what the migration cost in
controller requests and AWS API calls. The exit status is 0 only when every check holds.

The parts: `scenario` (what runs, in which order), `checks` (the judgement), `report` (tables and the JSON
report), `chaos` (the faults), `awsworld` and `controller` (the simulated cloud), `egress` (continuity).
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from tidewall.sandbox.report import aws_call_budget
from tidewall.sandbox.scenario import SandboxOptions, SandboxRun, failing_acceptance_test
from tidewall.sandbox.services import PASSWORD_ENV

__all__ = [
    "PASSWORD_ENV",
    "SandboxOptions",
    "aws_call_budget",
    "failing_acceptance_test",
    "problems_with",
    "run_sandbox",
]

MAX_NAT_GATEWAYS = 6  # the simulated region has six availability zones


def problems_with(options):
    """What makes the chosen scenario impossible, one text each (empty when it can run)."""
    problems = []
    n = options.nat_gateways
    if n < 2:
        problems.append("--nat-gateways must be at least 2 (the handover needs two NAT gateways)")
    if n > MAX_NAT_GATEWAYS:
        problems.append("--nat-gateways can be at most 6 (the simulated region has 6 availability zones)")
    if options.fail_test_at is not None and not 0 <= options.fail_test_at < n:
        problems.append(f"--fail-test-at must name a NAT gateway from 0 to {n - 1}")
    if options.interrupt_at is not None and not 1 <= options.interrupt_at < n:
        problems.append(f"--interrupt-at must be from 1 to {n - 1}")
    if options.fail_test_at is not None and options.interrupt_at is not None:
        problems.append("choose one of --fail-test-at and --interrupt-at")
    if "twin_natgw" in options.shapes and (
        options.fail_test_at is not None or options.interrupt_at is not None
    ):
        problems.append(
            "--twin-natgw is refused before any change: it goes with neither --fail-test-at nor --interrupt-at"
        )
    if not 0 < options.time_scale < float("inf"):
        problems.append("--time-scale must be a positive number")
    for flag, path in (("--report", options.report), ("--timeline", options.timeline)):
        folder = os.path.dirname(os.path.abspath(path)) if path else None
        if folder and not os.path.isdir(folder):
            problems.append(f"{flag}: the folder {folder} does not exist")
    return problems


def run_sandbox(
    nat_gateways=3,
    fail_test_at=None,
    interrupt_at=None,
    keep=False,
    workdir=None,
    out=None,
    *,
    time_scale=1.0,
    durations=None,
    chaos=None,
    report=None,
    private_natgw=None,
    secondary_eip=None,
    shapes=(),
    keep_egress=True,
    specific_routes=False,
    timeline=None,
):
    """Run the sandbox demonstration; returns the exit status (0 only when every check holds).

    Called as a function the world is instant unless `durations` is given; the command line passes the
    real-cloud durations and its time scale. `private_natgw` and `secondary_eip` (None: the seeding
    defaults of `tidewall.sandbox.aws`) add what the migration must leave alone or hand over right.
    """
    from tidewall.sandbox.aws import SEED_PRIVATE_NATGW, SEED_SECONDARY_EIP

    out = out if out is not None else sys.stdout
    private_natgw = SEED_PRIVATE_NATGW if private_natgw is None else private_natgw
    secondary_eip = SEED_SECONDARY_EIP if secondary_eip is None else secondary_eip
    options = SandboxOptions(
        nat_gateways=nat_gateways,
        fail_test_at=fail_test_at,
        interrupt_at=interrupt_at,
        keep=keep,
        time_scale=time_scale,
        durations=durations,
        chaos=chaos,
        report=report,
        private_natgw=private_natgw,
        secondary_eip=secondary_eip,
        shapes=tuple(shapes),
        keep_egress=keep_egress,
        specific_routes=specific_routes,
        timeline=timeline,
    )
    problems = problems_with(options)
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
        status = SandboxRun(options, workdir, out)()
    finally:
        if made_workdir and status == EXIT_OK and not keep:
            shutil.rmtree(workdir, ignore_errors=True)
        elif made_workdir:
            print(f"Sandbox files kept in {workdir}", file=out)
    return status
