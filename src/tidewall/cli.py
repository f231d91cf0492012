"""The `tidewall` command line.

    tidewall execute  --config FILE.yaml [--dry-run] [--stop-before N]
    tidewall revert   --config FILE.yaml [--dry-run]
    tidewall cleanup  --config FILE.yaml
    tidewall status   --config FILE.yaml
    tidewall reset    --config FILE.yaml
    tidewall unlock   --config FILE.yaml --lock-id ID
    tidewall sandbox  [--nat-gateways N] [--fail-test-at I] [--interrupt-at K] [--keep] [--workdir DIR]
    tidewall sandbox  --serve --workdir DIR [--nat-gateways N]

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
from tidewall.core.redact import clean, install_redaction

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
    """Console logging: time, level, text; debug lines (and logger names) with `verbose` (the number of
    -v given): the tool's own with one, the libraries' wire-level lines too with two.

    Every line is redacted (no CID, password, AWS secret or session token; control
    characters escaped)."""
    verbose = int(verbose or 0)
    root = logging.getLogger()
    for handler in list(root.handlers):
        if getattr(handler, "_tidewall_console", False):
            root.removeHandler(handler)
    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler._tidewall_console = True
    handler.setFormatter(_ConsoleFormatter(verbose))
    install_redaction(handler)
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if verbose else logging.INFO)
    # Libraries' chatter stays out of the step lines unless asked for twice.
    for name in ("botocore", "boto3", "urllib3", "s3transfer", "werkzeug", "moto"):
        logging.getLogger(name).setLevel(logging.DEBUG if verbose >= 2 else logging.WARNING)
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
    runner.check_journal_key_env(ca)
    status = read_status(ca)
    # Journal and configuration texts are shown, never their control characters.
    print(clean(render_status(status, ca), keep_newlines=True))
    return EXIT_OK


def _cmd_reset(args):
    return runner.reset_journal(args.config)


def _cmd_unlock(args):
    return runner.unlock(args.config, args.lock_id)


def _cmd_sandbox(args):
    if args.serve:
        from tidewall.sandbox.serve import serve_sandbox

        if not args.workdir:
            print("tidewall sandbox: --serve needs --workdir DIR", file=sys.stderr)
            return EXIT_USAGE
        if args.nat_gateways < 2 or args.nat_gateways > 6:
            print("tidewall sandbox: --nat-gateways must be from 2 to 6", file=sys.stderr)
            return EXIT_USAGE
        return serve_sandbox(args.workdir, nat_gateways=args.nat_gateways)

    from tidewall.sandbox.run import run_sandbox

    return run_sandbox(
        nat_gateways=args.nat_gateways,
        fail_test_at=args.fail_test_at,
        interrupt_at=args.interrupt_at,
        keep=args.keep,
        workdir=args.workdir,
    )


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
    parser.add_argument(
        "-v", "--verbose", action="count", default=0, help="debug logging (-vv: with AWS and HTTP wire lines)"
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(p):
        p.add_argument("-c", "--config", required=True, metavar="FILE.yaml", help="configuration file")
        p.add_argument(
            "-v",
            "--verbose",
            dest="sub_verbose",
            action="count",
            default=0,
            help="debug logging (-vv: with AWS and HTTP wire lines)",
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
    p.add_argument(
        "-v",
        "--verbose",
        dest="sub_verbose",
        action="count",
        default=0,
        help="debug logging (-vv: with AWS and HTTP wire lines)",
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
        help="seed the world, write DIR/config.yaml and DIR/sandbox.json, run nothing, serve until a signal",
    )
    p.add_argument(
        "--workdir", metavar="DIR", help="folder for the config and backups (default: a temp folder)"
    )
    p.set_defaults(func=_cmd_sandbox)
    return parser


def report_error(command, error, verbose=False):
    """Show an error that ended the command, once. Refusals (nothing changed) get one plain line."""
    if isinstance(error, TidewallError) and error.exit_code == EXIT_USAGE:
        print(f"tidewall: {clean(error)}", file=sys.stderr)
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
    # -v counts before and after the command: `tidewall -v status -v` is -vv.
    args.verbose = args.verbose + getattr(args, "sub_verbose", 0)
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
