"""The `tidewall` command line.

    tidewall execute  --config FILE.yaml [--dry-run] [--stop-before N]
    tidewall revert   --config FILE.yaml [--dry-run]
    tidewall cleanup  --config FILE.yaml
    tidewall status   --config FILE.yaml
    tidewall reset    --config FILE.yaml
    tidewall unlock   --config FILE.yaml --lock-id ID
    tidewall sandbox  [--nat-gateways N] [--fail-test-at I] [--interrupt-at K] [--keep] [--workdir DIR]
                      [--time-scale F] [--duration NAME=SECONDS] [--instant] [--chaos SEED] [--report FILE.json]
                      [--private-natgw] [--secondary-eip]
    tidewall sandbox  --serve --workdir DIR [--nat-gateways N] [world options as above]

Exit status: 0 when the command finished, 1 when it ended with a rollback, a fatal precondition or an error,
2 for a usage or configuration error (nothing was changed).
"""

from __future__ import annotations

import argparse
import logging
import sys
import warnings

from tidewall import __version__, runner
from tidewall.core.exceptions import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, TidewallError
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.cli")


# ------------------------------------------------------------------------------------------------ logging


class _ConsoleFormatter(logging.Formatter):
    def __init__(self, verbose):
        fmt = "%(asctime)s %(levelname)-5s %(message)s"
        if verbose:
            fmt = "%(asctime)s %(levelname)-5s [%(name)s] %(message)s"
        super().__init__(fmt, datefmt="%H:%M:%S")

    def formatMessage(self, record):  # noqa: N802 - logging's own name
        if record.levelname == "WARNING":
            record.levelname = "WARN"
        return super().formatMessage(record)


def setup_logging(verbose=False, stream=None):
    """Console logging: time, level, text; debug lines (and logger names) only with `verbose`."""
    root = logging.getLogger()
    for handler in list(root.handlers):
        if getattr(handler, "_tidewall_console", False):
            root.removeHandler(handler)
    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler._tidewall_console = True
    handler.setFormatter(_ConsoleFormatter(verbose))
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    # Libraries' chatter stays out of the step lines unless asked for.
    for name in ("botocore", "boto3", "urllib3", "s3transfer", "werkzeug", "moto"):
        logging.getLogger(name).setLevel(logging.DEBUG if verbose else logging.WARNING)
    # The controller is reached with certificate verification off; one warning per request helps nobody.
    try:
        from urllib3.exceptions import InsecureRequestWarning

        warnings.simplefilter("ignore", InsecureRequestWarning)
    except ImportError:  # pragma: no cover - urllib3 comes with requests
        pass


# ----------------------------------------------------------------------------------------------- commands


def _cmd_run(args):
    return runner.run_command(
        args.command,
        args.config,
        dry_run=getattr(args, "dry_run", False),
        stop_before=getattr(args, "stop_before", None),
    )


def _cmd_status(args):
    from tidewall.status import read_status, render_status

    ca = runner.load_config(args.config)
    status = read_status(ca)
    print(render_status(status, ca))
    return EXIT_OK


def _cmd_reset(args):
    return runner.reset_journal(args.config)


def _cmd_unlock(args):
    return runner.unlock(args.config, args.lock_id)


def _sandbox_world(args):
    """(time scale, durations) of the sandbox's world from its options; raises ValueError."""
    from tidewall.sandbox.clock import Durations

    if args.instant and args.duration:
        raise ValueError("choose one of --instant and --duration")
    durations = None if args.instant else Durations.parse(args.duration)
    return args.time_scale, durations


def _cmd_sandbox(args):
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
    if args.serve:
        from tidewall.sandbox.serve import serve_sandbox

        if not args.workdir:
            print("tidewall sandbox: --serve needs --workdir DIR", file=sys.stderr)
            return EXIT_USAGE
        if args.nat_gateways < 2 or args.nat_gateways > 6:
            print("tidewall sandbox: --nat-gateways must be from 2 to 6", file=sys.stderr)
            return EXIT_USAGE
        return serve_sandbox(args.workdir, nat_gateways=args.nat_gateways, **world)

    from tidewall.sandbox.run import run_sandbox

    return run_sandbox(
        nat_gateways=args.nat_gateways,
        fail_test_at=args.fail_test_at,
        interrupt_at=args.interrupt_at,
        keep=args.keep,
        workdir=args.workdir,
        chaos=args.chaos,
        report=args.report,
        **world,
    )


def _positive_number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


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


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tidewall",
        description="Move a VPC's egress traffic from AWS NAT gateways to controller spoke gateways that "
        "keep the NAT gateways' Elastic IPs; resumable, with rollback and revert.",
    )
    parser.add_argument("--version", action="version", version=f"tidewall {__version__}")
    parser.add_argument("-v", "--verbose", action="store_true", help="debug logging")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(p):
        p.add_argument("-c", "--config", required=True, metavar="FILE.yaml", help="configuration file")
        p.add_argument(
            "-v", "--verbose", action="store_true", default=argparse.SUPPRESS, help="debug logging"
        )

    p = sub.add_parser("execute", help="migrate the VPC (resumes an interrupted run)")
    common(p)
    p.add_argument("--dry-run", action="store_true", help="read and log only; change nothing")
    p.add_argument(
        "--stop-before",
        type=_non_negative,
        metavar="N",
        help="stop before NAT gateway N (counted from 0); a later execute resumes",
    )
    p.set_defaults(func=_cmd_run)

    p = sub.add_parser("revert", help="undo every recorded step, newest first")
    common(p)
    p.add_argument("--dry-run", action="store_true", help="read and log only; change nothing")
    p.set_defaults(func=_cmd_run)

    p = sub.add_parser("cleanup", help="final clean-up (currently does nothing)")
    common(p)
    p.set_defaults(func=_cmd_run)

    p = sub.add_parser("status", help="show the journal: steps done per NAT gateway and what comes next")
    common(p)
    p.set_defaults(func=_cmd_status)

    p = sub.add_parser(
        "reset",
        help="delete the VPC's journal (S3 and local) when it holds nothing to undo, "
        "e.g. after a first run that found too few NAT gateways",
    )
    common(p)
    p.set_defaults(func=_cmd_reset)

    p = sub.add_parser("unlock", help="remove the run lock left by a killed run (its id must match)")
    common(p)
    p.add_argument(
        "--lock-id", required=True, metavar="ID", help="the lock id that status or the refusal named"
    )
    p.set_defaults(func=_cmd_unlock)

    p = sub.add_parser("sandbox", help="run a whole migration against a simulated controller and AWS")
    p.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS, help="debug logging")
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
        help="seed the world, write DIR/config.yaml and DIR/sandbox.json, run nothing, serve until a signal",
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
        "--private-natgw",
        action=argparse.BooleanOptionalAction,
        help="seed a private NAT gateway (no EIP, an on-premises route) that must be left alone",
    )
    p.add_argument(
        "--secondary-eip",
        action=argparse.BooleanOptionalAction,
        help="give NAT gateway 1 a secondary Elastic IP, listed before its primary one",
    )
    p.set_defaults(func=_cmd_sandbox)
    return parser


def report_error(command, error, verbose=False):
    """Show an error that ended the command, once. Refusals (nothing changed) get one plain line."""
    if isinstance(error, TidewallError) and error.exit_code == EXIT_USAGE:
        print(f"tidewall: {error}", file=sys.stderr)
        return
    logger.error("%s failed: %s: %s", command, type(error).__name__, error)
    if verbose:
        logger.error("Details", exc_info=error)
    else:
        logger.error("Run with -v for the traceback")


def main(argv=None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version, usage errors
        return runner.exit_status(e)
    setup_logging(args.verbose)

    saved = (Globals.dry_run, Globals.cmdcnt)
    try:
        return args.func(args)
    except TidewallError as e:
        report_error(args.command, e, args.verbose)
        return e.exit_code
    except KeyboardInterrupt as e:  # Ctrl-C, or SIGTERM during a run
        print(
            "tidewall: " + ("terminated" if getattr(e, "exit_code", None) else "interrupted"), file=sys.stderr
        )
        return getattr(e, "exit_code", EXIT_INTERRUPTED)
    except Exception as e:
        report_error(args.command, e, args.verbose)
        return EXIT_FAILED
    finally:
        Globals.dry_run, Globals.cmdcnt = saved
