# PYTHON_ARGCOMPLETE_OK
"""The `tidewall` command line: parses the arguments, sets up logging, prints; `tidewall.runner` does the work.

    tidewall plan     --config FILE.yaml [--output json]
    tidewall execute  --config FILE.yaml [--dry-run] [--stop-before N] [--output json]
    tidewall revert   --config FILE.yaml [--dry-run] [--output json]
    tidewall status   --config FILE.yaml [--output json]
    tidewall reset    --config FILE.yaml
    tidewall unlock   --config FILE.yaml --lock-id ID
    tidewall adopt    --config FILE.yaml
    tidewall sandbox  [--nat-gateways N] [--fail-test-at I] [--interrupt-at K] [--keep] [--workdir DIR]
                      [--time-scale F] [--duration NAME=SECONDS] [--instant] [--chaos SEED] [--report FILE.json]
                      [--private-natgw] [--secondary-eip]
    tidewall sandbox  --serve --workdir DIR [--nat-gateways N] [world options as above]
    tidewall sandbox  --vpcs K [--fail-vpc I] [--parallel N] [world options as above]
    tidewall fleet    plan|execute|revert|status --fleet FLEET.yaml [--parallel N] [--only VPC,...]
                      [--wave-size K] [--stop-on-failure] [--output json] [--log-dir DIR]
                      [--controller-parallel M] [--lock-wait SECONDS]
    tidewall fleet    unlock --fleet FLEET.yaml [--only VPC,...] [--lock-id ID ...]

Every command takes -v (debug lines on the console) and --log-file PATH (the full debug log, appended,
each run headed by the version, command line, configuration, user and host). `--config` defaults to the
environment variable TIDEWALL_CONFIG. With argcomplete installed (the extra `completion`), `eval
"$(register-python-argcomplete tidewall)"` completes commands and options in bash and zsh.
execute, revert and reset show what they will change and ask first on a terminal; --yes goes on without
asking, and without a terminal they refuse unless --yes is given.
Exit status: 0 when the command finished, 1 when it ended with a rollback, a fatal precondition or an error,
2 for a usage, configuration or access problem (nothing was changed), 130/143 after Ctrl-C/SIGTERM.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys

from tidewall import __version__, runner
from tidewall.core.exceptions import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TERMINATED,
    EXIT_USAGE,
    UsageError,
)
from tidewall.core.Globals import Globals
from tidewall.core.redact import clean
from tidewall.logs import close_logging, log_run_header, setup_logging

logger = logging.getLogger("tidewall.cli")

# What installs the sandbox's own dependencies (simulated AWS and controller): the checkout's own extra
# (the package index's "tidewall" is not this project, so the hint never names it).
SANDBOX_EXTRA = "pip install '.[sandbox]' in the tidewall checkout"
# The variable that stands for --config when the option is not given.
CONFIG_ENV = "TIDEWALL_CONFIG"
SANDBOX_MODULES = ("moto", "werkzeug", "trustme")

_STATUS_TEXTS = {
    EXIT_OK: "the command finished",
    EXIT_FAILED: "ended early: a rollback, a fatal precondition or an error (one line; -v for the traceback)",
    EXIT_USAGE: "nothing was done: bad arguments, configuration, journal, no access to AWS or the controller, "
    "a held run lock, or no confirmation",
    EXIT_INTERRUPTED: "interrupted by Ctrl-C (143: SIGTERM); the run lock is released, run it again to resume",
}


def _epilog(example, statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED), extra=""):
    lines = ["example:", f"  {example}", "", "exit status:"]
    lines += [f"  {code:<3} {_STATUS_TEXTS[code]}" for code in statuses]
    if extra:
        lines += ["", extra]
    return "\n".join(lines)


# ----------------------------------------------------------------------------------------------- commands


def _emit_json(data):
    print(json.dumps(data, indent=2, sort_keys=False, default=str))


def _cmd_run(args):
    """execute / revert / cleanup; `--dry-run` of execute shows the plan first."""
    if args.command == "execute":
        from tidewall.plan import egress_now

        args.outcome.egress_now = egress_now
    dry_run = getattr(args, "dry_run", False)
    stop_before = getattr(args, "stop_before", None)
    args.outcome.dry_run = dry_run
    ca = runner.load_config(args.config)
    args.outcome.vpc_id = ca.vpc_id
    # Every input, the password variable included, before the first request to AWS or the controller.
    runner.check_inputs(ca, args.command, stop_before)
    ask = _must_ask(args, ca)
    if args.command == "execute" and dry_run:
        from tidewall.plan import build_plan, plan_to_json, render_plan

        plan = build_plan(ca, stop_before=stop_before)
        if _json(args):
            args.outcome.plan = plan_to_json(plan)
        else:
            print(render_plan(plan), flush=True)
    elif ask:
        _confirm(args, ca, _preview(args.command, ca, stop_before))
    return runner.run_command(
        args.command, ca, dry_run=dry_run, stop_before=stop_before, outcome=args.outcome
    )


def _cmd_plan(args):
    from tidewall.plan import build_plan, plan_to_json, render_plan

    ca = runner.load_config(args.config)
    args.outcome.vpc_id = ca.vpc_id
    runner.check_inputs(ca, "plan")
    plan = build_plan(ca)
    if _json(args):
        args.outcome.body = plan_to_json(plan)
    else:
        print(render_plan(plan))
    return args.outcome.ended("done", EXIT_OK)


def _cmd_status(args):
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.status import read_live, read_status, render_status, status_to_json

    ca = runner.load_config(args.config)
    args.outcome.vpc_id = ca.vpc_id
    runner.check_inputs(ca, "status")
    clients = AwsClientManager(ca)
    runner.check_vpc_exists(ca, clients)  # a wrong VPC id or region is no "first run" to come
    report = read_status(ca, clients.getS3Client())
    live = read_live(ca, report, clients) if report.discovered else None
    if _json(args):
        args.outcome.body = status_to_json(report, live, ca)
    else:
        # Journal and controller texts are shown, never their control characters.
        print(clean(render_status(report, ca, live), keep_newlines=True))
    return args.outcome.ended("done", EXIT_OK)


def _cmd_reset(args):
    ca = runner.load_config(args.config)
    runner.check_inputs(ca, "reset")
    if _must_ask(args, ca):
        _confirm(args, ca, _preview("reset", ca))
    return runner.reset_journal(ca)


# ------------------------------------------------------------------------------------------ confirmation

# The commands that change the VPC or its journal: they show what they will change and ask first.
CONFIRMED_COMMANDS = ("execute", "revert", "reset")


def _must_ask(args, ca):
    """Whether the command asks before it changes anything (not with --yes, not in a dry run); without a
    terminal to ask on, a UsageError at once, before any request."""
    if (
        args.command not in CONFIRMED_COMMANDS
        or getattr(args, "yes", False)
        or getattr(args, "dry_run", False)
    ):
        return False
    if not runner.on_terminal():
        raise UsageError(
            f"{args.command} changes {ca.vpc_id} and asks first, but standard input is not a terminal to "
            f"answer on; nothing was changed. Pass --yes to {args.command} without the question"
        )
    return True


def _preview(command, ca, stop_before=None):
    """What the command would change now (execute: its plan), or None when there is nothing to ask about."""
    if command != "execute":
        return runner.preview_changes(command, ca)
    from tidewall.plan import build_plan, render_plan

    plan = build_plan(ca, stop_before=stop_before)
    if plan.complete or len(plan.records) < runner.MIN_NAT_GATEWAYS:
        return None  # nothing to do, or refused by execute itself
    return render_plan(plan)


def _confirm(args, ca, changes):
    """Show what the command will change and ask; a UsageError unless the answer is yes. `changes` None:
    nothing to change, nothing to ask (the command says so itself)."""
    if changes is None:
        return
    print(clean(changes, keep_newlines=True), file=sys.stderr)
    try:
        runner.confirm(f"Go on with {args.command} of {ca.vpc_id}?", yes=False)
    except UsageError:
        raise UsageError(f"{args.command} of {ca.vpc_id} not confirmed; nothing was changed") from None


def _cmd_unlock(args):
    return runner.unlock(args.config, args.lock_id, yes=args.yes)


def _cmd_adopt(args):
    return runner.adopt(args.config, yes=args.yes)


def sandbox_missing():
    """The sandbox modules that cannot be imported (empty when the `sandbox` extra is installed)."""
    import importlib

    missing = []
    for name in SANDBOX_MODULES:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    return missing


def _sandbox_world(args):
    """(time scale, durations) of the sandbox's world from its options; raises ValueError."""
    from tidewall.sandbox.clock import Durations

    if args.instant and args.duration:
        raise ValueError("choose one of --instant and --duration")
    # Instant is EC2's model with every change done at once (a deleted NAT gateway lets go of its EIP, as
    # on AWS), not bare moto.
    durations = Durations.instant() if args.instant else Durations.parse(args.duration)
    return args.time_scale, durations


def _cmd_sandbox(args):
    missing = sandbox_missing()
    if missing:
        print(
            f"tidewall sandbox needs the sandbox extra ({', '.join(missing)} not installed): {SANDBOX_EXTRA}",
            file=sys.stderr,
        )
        return EXIT_USAGE
    try:
        time_scale, durations = _sandbox_world(args)
    except ValueError as e:
        print(f"tidewall sandbox: {e}", file=sys.stderr)
        return EXIT_USAGE
    world = {
        "time_scale": time_scale,
        "durations": durations,
        "private_natgw": args.private_natgw,
        "secondary_eip": args.secondary_eip,
    }
    shapes = tuple(
        name for name, on in (("twin_natgw", args.twin_natgw), ("late_eip", args.eip_released_late)) if on
    )
    if args.vpcs is not None and shapes:
        print(
            "tidewall sandbox: --twin-natgw and --eip-released-late go with one VPC, not --vpcs",
            file=sys.stderr,
        )
        return EXIT_USAGE
    if args.vpcs is None and (args.fail_vpc is not None or args.parallel is not None):
        print("tidewall sandbox: --fail-vpc and --parallel go with --vpcs K", file=sys.stderr)
        return EXIT_USAGE
    if args.vpcs is not None:
        single = [
            name
            for name, value in (
                ("--fail-test-at", args.fail_test_at),
                ("--interrupt-at", args.interrupt_at),
                ("--chaos", args.chaos),
                ("--report", args.report),
                ("--keep", args.keep or None),
            )
            if value is not None
        ]
        if single:
            print(f"tidewall sandbox: {', '.join(single)} cannot go with --vpcs", file=sys.stderr)
            return EXIT_USAGE
    if args.serve:
        from tidewall.sandbox.serve import serve_sandbox

        if not args.workdir:
            print("tidewall sandbox: --serve needs --workdir DIR", file=sys.stderr)
            return EXIT_USAGE
        top = 6 if args.vpcs is None else 4
        if args.nat_gateways < 2 or args.nat_gateways > top:
            print(f"tidewall sandbox: --nat-gateways must be from 2 to {top}", file=sys.stderr)
            return EXIT_USAGE
        if args.fail_vpc is not None and args.fail_vpc >= args.vpcs:
            print(f"tidewall sandbox: --fail-vpc must name a VPC from 0 to {args.vpcs - 1}", file=sys.stderr)
            return EXIT_USAGE
        return serve_sandbox(
            args.workdir,
            nat_gateways=args.nat_gateways,
            vpcs=args.vpcs,
            fail_vpc=args.fail_vpc,
            shapes=shapes,
            **world,
        )

    if args.vpcs is not None:
        from tidewall.sandbox.fleet import run_fleet_sandbox

        return run_fleet_sandbox(
            args.vpcs,
            nat_gateways=args.nat_gateways,
            fail_vpc=args.fail_vpc,
            parallel=args.parallel,
            workdir=args.workdir,
            **world,
        )

    from tidewall.sandbox.run import run_sandbox

    return run_sandbox(
        nat_gateways=args.nat_gateways,
        fail_test_at=args.fail_test_at,
        interrupt_at=args.interrupt_at,
        keep=args.keep,
        workdir=args.workdir,
        chaos=args.chaos,
        report=args.report,
        shapes=shapes,
        keep_egress=args.keep_egress,
        specific_routes=args.specific_routes,
        timeline=args.timeline,
        **world,
    )


def _json(args):
    return getattr(args, "output", "text") == "json"


def _cmd_fleet(args):
    from tidewall.fleet.command import FleetOptions, run_fleet

    options = FleetOptions(
        parallel=args.parallel,
        only=args.only,
        wave_size=args.wave_size,
        stop_on_failure=args.stop_on_failure,
        output=args.output,
        log_dir=args.log_dir,
        controller_parallel=args.controller_parallel,
        lock_wait=args.lock_wait,
    )
    return run_fleet(args.fleet_command, args.fleet, options)


def _cmd_fleet_unlock(args):
    from tidewall.fleet.unlock import unlock_fleet

    return unlock_fleet(args.fleet, only=args.only, lock_ids=args.lock_id, output=args.output)


# ------------------------------------------------------------------------------------------------- parser


def _positive_number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"expected 0 or more seconds, got {text!r}")
    return value


def _vpc_list(text):
    vpcs = [v.strip() for v in text.split(",") if v.strip()]
    if not vpcs:
        raise argparse.ArgumentTypeError("expected VPC ids separated by commas")
    return vpcs


def _non_negative(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {value}")
    return value


def _positive(text):
    value = _non_negative(text)
    if value < 1:
        raise argparse.ArgumentTypeError("expected 1 or more")
    return value


def _logging_options(p, top=False):
    default = {} if top else {"default": argparse.SUPPRESS}
    # -v counts before and after the command: `tidewall -v status -v` is -vv.
    p.add_argument(
        "-v",
        "--verbose",
        dest="verbose" if top else "sub_verbose",
        action="count",
        default=0,
        help="debug lines on the console (-vv: with the AWS and HTTP libraries' wire lines)",
    )
    p.add_argument(
        "--log-file",
        metavar="PATH",
        help="append the full debug log to PATH (the console stays as it is)",
        **({"default": None} if top else default),
    )


def _add(
    sub, name, summary, example, func, statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED), extra=""
):
    p = sub.add_parser(
        name,
        help=summary,
        description=summary[0].upper() + summary[1:] + ".",
        epilog=_epilog(example, statuses, extra),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _logging_options(p)
    p.set_defaults(func=func)
    return p


def _config(p):
    default = os.environ.get(CONFIG_ENV) or None
    p.add_argument(
        "-c",
        "--config",
        required=default is None,
        default=default,
        metavar="FILE.yaml",
        help=f"configuration file (default: the environment variable {CONFIG_ENV}"
        + (f", now {default})" if default else ", not set now)"),
    )


def _yes(p):
    p.add_argument(
        "-y",
        "--yes",
        action="store_true",
        help="go on without showing the changes and asking first (needed where no terminal can answer)",
    )


def _output(p, what):
    p.add_argument(
        "--output",
        choices=("text", "json"),
        default="text",
        help=f"text (default) or json: {what} (see docs/json.md)",
    )


def _add_sandbox_parser(sub):
    p = _add(
        sub,
        "sandbox",
        "run a whole migration against a simulated controller and AWS on this machine",
        "tidewall sandbox --nat-gateways 3 --fail-test-at 1",
        _cmd_sandbox,
        statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE),
        extra=f"needs the sandbox extra: {SANDBOX_EXTRA}",
    )
    p.add_argument("--nat-gateways", type=_positive, default=3, metavar="N", help="NAT gateways (default 3)")
    p.add_argument(
        "--fail-test-at",
        type=_non_negative,
        metavar="I",
        help="enable the acceptance test and make it fail at NAT gateway I: shows a rollback, then a resumed run",
    )
    p.add_argument(
        "--interrupt-at",
        type=_non_negative,
        metavar="K",
        help="stop the first run before NAT gateway K, then resume it",
    )
    p.add_argument("--keep", action="store_true", help="leave the services running to drive them by hand")
    p.add_argument(
        "--serve",
        action="store_true",
        help="seed the world, write DIR/config.yaml (and with --vpcs DIR/fleet.yaml) and DIR/sandbox.json, "
        "run nothing, serve until a signal",
    )
    p.add_argument(
        "--workdir", metavar="DIR", help="folder for the config and backups (default: a temp folder)"
    )
    from tidewall.sandbox.clock import DEFAULT_TIME_SCALE, Durations

    p.add_argument(
        "--time-scale",
        type=_positive_number,
        default=DEFAULT_TIME_SCALE,
        metavar="F",
        help=f"real seconds per second of the world's clock (default {DEFAULT_TIME_SCALE:g})",
    )
    p.add_argument(
        "--duration",
        action="append",
        default=[],
        metavar="NAME=SECONDS",
        help="how long a change takes in world seconds (repeatable; 0: at once); NAME is one of "
        + ", ".join(f"{n} ({getattr(Durations(), n):g})" for n in Durations.names()),
    )
    p.add_argument("--instant", action="store_true", help="a world where every change is done at once")
    p.add_argument(
        "--chaos",
        type=_non_negative,
        metavar="SEED",
        help="inject the faults of a real cloud (throttling, 5xx, lagging describes, a controller time-out and "
        "session expiry), reproducibly from SEED; a stopped command is run again, at most three times",
    )
    p.add_argument("--report", metavar="FILE.json", help="write checks, egress, cost and runs as JSON")
    p.add_argument(
        "--timeline",
        metavar="FILE.svg",
        help="draw each private subnet's egress target and IP over world time, with the commands marked",
    )
    p.add_argument(
        "--vpcs",
        type=_positive,
        metavar="K",
        help="a fleet: K VPCs in two regions behind one controller, run with `tidewall fleet execute` and "
        "`fleet revert` (with --serve: also writes DIR/fleet.yaml)",
    )
    p.add_argument(
        "--fail-vpc",
        type=_non_negative,
        metavar="I",
        help="with --vpcs: VPC I (from 0) runs its acceptance test, and its spokes come up without their "
        "EIP: it is rolled back while the others finish",
    )
    p.add_argument("--parallel", type=_positive, metavar="N", help="with --vpcs: VPCs at once (default 4)")
    p.add_argument(
        "--private-natgw",
        action=argparse.BooleanOptionalAction,
        help="seed a private NAT gateway (no EIP, an on-premises route) that must be left alone",
    )
    p.add_argument(
        "--secondary-eip",
        action=argparse.BooleanOptionalAction,
        help="give NAT gateway 1 a secondary Elastic IP, listed before its primary one",
    )
    p.add_argument(
        "--twin-natgw",
        action="store_true",
        help="seed a second public NAT gateway in NAT gateway 0's subnet: plan and execute must refuse the VPC "
        "(exit status 2) before any change",
    )
    p.add_argument(
        "--eip-released-late",
        action="store_true",
        help="EC2 lets go of a deleted NAT gateway's Elastic IPs only some time after it shows it deleted",
    )
    p.add_argument(
        "--specific-routes",
        action="store_true",
        help="also seed routes other than 0.0.0.0/0 to the NAT gateways (a partner /24 across zones, a /16 in "
        "each zone); the checks follow them",
    )
    p.add_argument(
        "--keep-egress",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="run with egress.keep true (the default) or false (the NAT gateways' zones go without egress "
        "until their spokes are up)",
    )
    return p


_FLEET_STATUSES = """exit status:
  0   every selected VPC ended done (fleet revert: reverted, or nothing to revert; plan and status: read)
  1   a VPC failed, was rolled back, was interrupted, or was not started after --stop-on-failure
  2   nothing was run: the fleet file (the message names the entry and the field) or an option is wrong
  3   no VPC failed, but one stayed skipped: another run held its lock for all of --lock-wait (or left a
      stale lock)
  130 interrupted by Ctrl-C (143: SIGTERM), passed on to every running VPC; run the fleet again to resume

A VPC whose run lock another run holds is "skipped: locked by ..." and does not count as failed: once
nothing else is left, the fleet waits for that lock and runs the VPC again (after the other run, that finds
"migration already complete", which counts as done)."""

_FLEET_SUMMARIES = {
    "plan": "show the plan of every VPC (read-only)",
    "execute": "migrate every VPC of the fleet (resumes where each stands)",
    "revert": "undo the migration of every VPC of the fleet",
    "status": "show the journal of every VPC and whether it is locked (changes nothing)",
}


def _add_fleet_parser(sub):
    p = sub.add_parser(
        "fleet",
        help="run plan, execute, revert or status over many VPCs (a fleet file), one process per VPC; "
        "unlock removes the locks a killed fleet left",
        description="Run a command over the VPCs of a fleet file, one process per VPC, several at once and "
        "in waves, against one controller; a live line per VPC, a summary at the end.",
        epilog="example:\n  tidewall fleet execute --fleet fleet.yaml --parallel 8 --wave-size 16\n\n"
        + _FLEET_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _logging_options(p)
    fleet_sub = p.add_subparsers(dest="fleet_command", metavar="COMMAND", required=True)
    for name, summary in _FLEET_SUMMARIES.items():
        q = fleet_sub.add_parser(
            name,
            help=summary,
            description=summary[0].upper() + summary[1:] + ".",
            epilog=f"example:\n  tidewall fleet {name} --fleet fleet.yaml --parallel 8 --wave-size 16\n\n"
            + _FLEET_STATUSES,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        _logging_options(q)
        q.set_defaults(func=_cmd_fleet)
        q.add_argument(
            "--fleet", required=True, metavar="FLEET.yaml", help="the fleet file (defaults and vpcs)"
        )
        q.add_argument(
            "--parallel", type=_positive, default=4, metavar="N", help="VPCs run at once (default 4)"
        )
        q.add_argument(
            "--only",
            type=_vpc_list,
            metavar="VPC_ID,...",
            help="run these VPCs of the fleet only",
        )
        q.add_argument(
            "--wave-size",
            type=_positive,
            metavar="K",
            help="start at most K VPCs per wave; the next wave starts when the previous one has ended",
        )
        q.add_argument(
            "--stop-on-failure",
            action="store_true",
            help="after a VPC fails or is rolled back, start no other (those running finish)",
        )
        q.add_argument(
            "--output",
            choices=("text", "json"),
            default="text",
            help="text (default) or json: the summary as one JSON object (see docs/fleets.md)",
        )
        q.add_argument(
            "--log-dir",
            metavar="DIR",
            help="one log file per VPC there (default: <backup_root>/fleet-logs/<time>-<command>)",
        )
        q.add_argument(
            "--controller-parallel",
            type=_positive,
            default=2,
            metavar="M",
            help="controller requests in flight at once, across every VPC (default 2)",
        )
        q.add_argument(
            "--lock-wait",
            type=_seconds,
            default=3600.0,
            metavar="SECONDS",
            help="how long to wait for a VPC another run holds, once nothing else is left (default 3600; "
            "0: do not wait)",
        )
    _add_fleet_unlock_parser(fleet_sub)
    return p


_FLEET_UNLOCK_STATUSES = """exit status:
  0   no VPC of the fleet (or of --only) is locked now
  1   a lock was kept (its run may still be going: the line names it and the command that removes it), or
      could not be read or removed
  2   nothing was changed: the fleet file (the message names the entry and the field) or an option is wrong"""


def _add_fleet_unlock_parser(fleet_sub):
    q = fleet_sub.add_parser(
        "unlock",
        help="remove the run locks that a fleet or runs killed outright left, VPC by VPC",
        description="Remove the run locks that a fleet or runs killed outright left, VPC by VPC, with the "
        "checks of `tidewall unlock`: a lock goes when it names a process of this machine that no longer "
        "runs, or when its id is given with --lock-id; any other lock is kept and named.",
        epilog="example:\n  tidewall fleet unlock --fleet fleet.yaml\n\n" + _FLEET_UNLOCK_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _logging_options(q)
    q.set_defaults(func=_cmd_fleet_unlock)
    q.add_argument("--fleet", required=True, metavar="FLEET.yaml", help="the fleet file (defaults and vpcs)")
    q.add_argument("--only", type=_vpc_list, metavar="VPC_ID,...", help="these VPCs of the fleet only")
    q.add_argument(
        "--lock-id",
        action="append",
        default=[],
        metavar="ID",
        help="also remove the lock with this id, wherever its run was (repeatable; the id that fleet "
        "status or the refusal named)",
    )
    q.add_argument(
        "--output",
        choices=("text", "json"),
        default="text",
        help="text (default) or json: one object with a line per VPC",
    )


def build_parser():
    parser = _Parser(
        prog="tidewall",
        description="Move a VPC's egress traffic from AWS NAT gateways to controller spoke gateways that "
        "keep the NAT gateways' Elastic IPs; resumable, with rollback and revert.",
        epilog=_epilog(
            "tidewall plan --config vpc.yaml", (EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED)
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tidewall {__version__}")
    _logging_options(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = _add(
        sub,
        "plan",
        "show what execute would do: each step with its resources and every private subnet's egress "
        "during and after each group; read-only",
        "tidewall plan --config vpc.yaml --output json",
        _cmd_plan,
        statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE),
    )
    _config(p)
    _output(p, "the plan as one JSON object")

    p = _add(
        sub,
        "execute",
        "migrate the VPC (resumes an interrupted run)",
        "tidewall execute --config vpc.yaml --stop-before 1",
        _cmd_run,
    )
    _config(p)
    _yes(p)
    p.add_argument("--dry-run", action="store_true", help="print the plan, then rehearse; change nothing")
    p.add_argument(
        "--stop-before",
        type=_non_negative,
        metavar="N",
        help="stop before NAT gateway N (counted from 0); a later execute resumes",
    )
    _output(p, "one JSON object at the end (what was done, what is pending, why it ended)")

    p = _add(
        sub,
        "revert",
        "undo every recorded step, newest first",
        "tidewall revert --config vpc.yaml",
        _cmd_run,
    )
    _config(p)
    _yes(p)
    p.add_argument("--dry-run", action="store_true", help="read and log only; change nothing")
    _output(p, "one JSON object at the end (what was undone, what is left, why it ended)")

    # Not in the command list: the migration command's clean-up does nothing (a finished migration leaves
    # nothing behind that a later revert does not need). Kept so that scripts calling it still run.
    p = _add(
        sub,
        "cleanup",
        "do nothing: a finished migration leaves nothing to clean up (kept for scripts that call it)",
        "tidewall cleanup --config vpc.yaml",
        _cmd_run,
        statuses=(EXIT_OK, EXIT_USAGE),
    )
    _config(p)
    sub._choices_actions = [a for a in sub._choices_actions if a.dest != "cleanup"]

    p = _add(
        sub,
        "status",
        "show the journal (steps done per NAT gateway, what comes next) and the NAT gateways and spokes "
        "as they are now; changes nothing",
        "tidewall status --config vpc.yaml --output json",
        _cmd_status,
        statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE),
    )
    _config(p)
    _output(p, "the status as one JSON object")

    p = _add(
        sub,
        "reset",
        "delete the VPC's journal (S3 and local) when it holds nothing to undo, "
        "e.g. after a first run that found too few NAT gateways",
        "tidewall reset --config vpc.yaml",
        _cmd_reset,
    )
    _config(p)
    _yes(p)

    p = _add(
        sub,
        "unlock",
        "remove the run lock left by a killed run (its id must match)",
        "tidewall unlock --config vpc.yaml --lock-id 3f2c9a...",
        _cmd_unlock,
        statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE),
    )
    _config(p)
    p.add_argument(
        "--lock-id", required=True, metavar="ID", help="the lock id that status or the refusal named"
    )
    _yes(p)

    p = _add(
        sub,
        "adopt",
        "sign the VPC's unsigned journal with the journal key (journal_key_env), after showing what it signs",
        "tidewall adopt --config vpc.yaml",
        _cmd_adopt,
        statuses=(EXIT_OK, EXIT_FAILED, EXIT_USAGE),
    )
    _config(p)
    _yes(p)

    _add_sandbox_parser(sub)
    _add_fleet_parser(sub)
    return parser


# ----------------------------------------------------------------------------------------------- the end


def _one_line(text):
    return " ".join(str(text).split())


def report_error(command, error, verbose=False):
    """Show an error that ended the command: once, in one line, in plain words; the traceback with -v
    (always in the log file). Refusals (nothing changed, exit status 2) read `tidewall: ...`. Returns
    (exit status, error kind, text) as `runner.classify_error` gives them."""
    logger.debug("%s failed", command, exc_info=error)
    status, kind, text = runner.classify_error(error)
    if status == EXIT_USAGE:
        print(f"tidewall: {clean(_one_line(text))}", file=sys.stderr)
    else:
        hint = "" if verbose else " (-v shows the traceback)"
        logger.error("%s failed: %s%s", command, _one_line(text), hint)
    return status, kind, text


def _finish_outcome(args, result, status, reason, error=None):
    outcome = getattr(args, "outcome", None)
    if outcome is not None:
        outcome.ended(result, status, _one_line(reason) if reason is not None else None)
        outcome.error = error


class _Parser(argparse.ArgumentParser):
    """argparse's parser, keeping the message of a usage error for the JSON object that reports it."""

    last_error = None

    def error(self, message):
        _Parser.last_error = message
        super().error(message)


# The commands whose outcome is one JSON object with --output json (the fleet has its own summary).
_JSON_COMMANDS = ("plan", "status", "execute", "revert")


def _usage_error_json(argv, status):
    """The JSON object of a command line argparse refused, when the command line asked for JSON."""
    wants_json = any(
        a == "--output=json" or (a == "--output" and b == "json")
        for a, b in zip(argv, [*argv[1:], None], strict=False)
    )
    command = next((a for a in argv if a in _JSON_COMMANDS), None)
    if not wants_json or command is None or _Parser.last_error is None:
        return
    outcome = runner.RunOutcome(command)
    outcome.ended("refused", status, _one_line(_Parser.last_error))
    outcome.error = {"kind": "refused", "message": outcome.reason, "lock": None}
    _emit_json(outcome.to_json())


def _complete(parser):
    """Shell completion, when argcomplete is installed: answers the shell's question and exits; otherwise
    returns at once (it acts only when the shell's completion hook runs the tool)."""
    if "_ARGCOMPLETE" not in os.environ:
        return
    try:
        import argcomplete
    except ImportError:
        return
    argcomplete.autocomplete(parser, exclude=["cleanup"])  # not in the command list


def _go_on(args):
    """After Ctrl-C or SIGTERM of a command that changes the VPC: where it stands and how to go on."""
    if args.command not in ("execute", "revert"):
        return ""
    return (
        "; the run lock is released and the journal keeps every step done: run the same command again to go "
        "on (`tidewall status` shows where the VPC stands)"
    )


def main(argv=None) -> int:
    parser = build_parser()
    _complete(parser)
    argv = list(sys.argv[1:] if argv is None else argv)
    _Parser.last_error = None
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version, usage errors
        status = runner.exit_status(e)
        _usage_error_json(argv, status)
        return status
    args.verbose = args.verbose + getattr(args, "sub_verbose", 0)
    if args.command not in ("sandbox", "fleet"):
        args.outcome = runner.RunOutcome(args.command)
    try:
        setup_logging(args.verbose, getattr(args, "log_file", None))
    except OSError as e:
        text = f"cannot open the log file {args.log_file}: {e.strerror or e}"
        print(f"tidewall: {text}", file=sys.stderr)
        _finish_outcome(args, "refused", EXIT_USAGE, text, {"kind": "refused", "message": text, "lock": None})
        if getattr(args, "outcome", None) is not None and _json(args):
            _emit_json(args.outcome.to_json())
        return EXIT_USAGE
    log_run_header(argv, getattr(args, "config", None) or getattr(args, "fleet", None))

    saved = (Globals.dry_run, Globals.cmdcnt)
    status = EXIT_FAILED
    try:
        status = args.func(args)
    except KeyboardInterrupt as e:  # Ctrl-C, or SIGTERM during a run
        terminated = getattr(e, "exit_code", None) == EXIT_TERMINATED
        print("tidewall: " + ("terminated" if terminated else "interrupted") + _go_on(args), file=sys.stderr)
        status = getattr(e, "exit_code", EXIT_INTERRUPTED)
        _finish_outcome(args, "interrupted", status, "terminated" if terminated else "interrupted")
    except Exception as e:  # the tool's own errors and every other one, in plain words
        status, kind, text = report_error(args.command, e, args.verbose)
        result = "refused" if status == EXIT_USAGE else "failed"
        _finish_outcome(args, result, status, text, runner.error_json(e, kind, _one_line(text)))
    finally:
        Globals.dry_run, Globals.cmdcnt = saved
    outcome = getattr(args, "outcome", None)
    if outcome is not None and _json(args):
        _emit_json(outcome.to_json())
    close_logging()  # the log file is complete; a later main() in this process sets logging up anew
    return status
