"""The `tidewall` command line.

    tidewall execute  --config FILE.yaml [--dry-run] [--stop-before N]
    tidewall revert   --config FILE.yaml [--dry-run]
    tidewall cleanup  --config FILE.yaml
    tidewall status   --config FILE.yaml
    tidewall sandbox  [--nat-gateways N] [--fail-test-at I] [--interrupt-at K] [--keep] [--workdir DIR]

Exit status: 0 when the command finished, 1 when it ended with a rollback, a fatal precondition or an error,
2 for a usage or configuration error (nothing was changed).
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import warnings

from tidewall import __version__
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.cli")

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

# The migration command. Bound on first use, so that the parts of the command line that do not migrate
# (help, status, configuration checks) work without the compiled modules; tests bind a stand-in here.
Manager = None

# The run settings that decide which journal slot belongs to which step.
RUN_SETTINGS = ("enable_test", "hs_mode")


class UsageError(Exception):
    """A problem with the command line, the configuration or the journal found before anything changed."""


def _manager():
    global Manager
    if Manager is None:
        from tidewall.commands.natgw_eip_handover import Manager as manager

        Manager = manager
    return Manager


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


# ------------------------------------------------------------------------------------------ configuration


def load_config(path):
    """The checked configuration adaptor of FILE; a ConfigError names the field."""
    from tidewall.core.ConfigAdaptor import ConfigAdaptor

    return ConfigAdaptor(os.fspath(path))


def check_password_env(ca):
    """The controller login needs the password; say which variable is missing before anything runs."""
    name = ca.controller_password_env
    if not os.environ.get(name):
        raise UsageError(
            f"configuration field 'controller_password_env': environment variable {name} is not set "
            f"(export {name}=... with the password of controller user {ca.controller_user!r})"
        )


def _same_setting(a, b):
    # hs_mode may come back from a JSON journal as text in an old hand-edited file; compare loosely.
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    try:
        return int(a) == int(b)
    except (TypeError, ValueError):
        return a == b


def current_run_settings(ca):
    return {"enable_test": bool(ca.enable_test), "hs_mode": ca.hs_mode}


def settings_mismatch(recorded, current):
    """Texts naming every run setting whose value differs from the recorded one."""
    diffs = []
    for key in RUN_SETTINGS:
        if key in recorded and not _same_setting(recorded[key], current[key]):
            diffs.append(f"{key} is {_yaml(current[key])} but the first run used {_yaml(recorded[key])}")
    return diffs


def _yaml(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def guard_run_settings(ca, dry_run):
    """Refuse a resumed run whose slot-deciding settings differ from the first run's; record them on a first run.

    The backup folder is downloaded (as the migration itself does next), the command history read: when the
    NAT-gateway discovery is recorded, this is a resumed run and `enable_test` / `hs_mode` must equal the
    recorded ones. Otherwise they are recorded (and written through to S3) - except in a dry run, which
    changes nothing.
    """
    from tidewall.commands.history import CommandHistory
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.s3 import S3BackupCmdV2

    current = current_run_settings(ca)
    clients = AwsClientManager(ca)
    descriptor = ca.backup_descriptor
    S3BackupCmdV2(clients.getS3Client(), descriptor).download()
    folder = descriptor.getAbsolutePath()
    CommandHistory.init(folder, ca.vpc_id, version="v2")
    if CommandHistory.is_command_i_done(0):
        recorded = CommandHistory.get_run_settings() or {}
        if not recorded:
            logger.warning(
                "The journal of %s records no run settings: cannot check that enable_test and hs_mode "
                "match the first run",
                ca.vpc_id,
            )
            return
        diffs = settings_mismatch(recorded, current)
        if diffs:
            raise UsageError(
                f"refusing to resume the migration of {ca.vpc_id}: {'; '.join(diffs)}. These settings decide "
                "which journal entry belongs to which step; run with the first run's values (or revert first)"
            )
        logger.info(
            "Resuming the migration of %s (enable_test %s, hs_mode %s as in the first run)",
            ca.vpc_id,
            _yaml(current["enable_test"]),
            current["hs_mode"],
        )
        return
    if dry_run:
        logger.info("Dry run: the run settings are not recorded")
        return
    CommandHistory.set_run_settings(current)
    logger.info(
        "First run for %s: recorded enable_test %s, hs_mode %s",
        ca.vpc_id,
        _yaml(current["enable_test"]),
        current["hs_mode"],
    )


# ----------------------------------------------------------------------------------------------- commands


def _exit_code(exc):
    code = exc.code
    if code is None:
        return EXIT_OK
    if isinstance(code, int):
        return code
    # exit("message"): the interpreter prints the message and uses status 1.
    print(code, file=sys.stderr)
    return EXIT_FAILED


def run_command(command, config, *, dry_run=False, stop_before=None):
    """Run Manager.<command>(config) with the run switches set; returns the exit status.

    `config` is a path, a mapping or a ConfigAdaptor. Raises UsageError (and ConfigError) for problems found
    before anything changed.
    """
    from tidewall.core.ConfigAdaptor import ConfigAdaptor

    ca = ConfigAdaptor(config)
    manager = _manager()
    Globals.dry_run = bool(dry_run)
    Globals.cmdcnt = -1 if stop_before is None else int(stop_before)
    if command in ("execute", "revert"):
        check_password_env(ca)
    if command == "execute":
        guard_run_settings(ca, dry_run)
    if dry_run:
        logger.info("Dry run: nothing is changed in AWS, on the controller or in the journal")
    if stop_before is not None and command == "execute":
        logger.info("Stopping before NAT gateway %d", stop_before)
    action = getattr(manager, command)
    try:
        action(ca)
    except SystemExit as e:
        status = _exit_code(e)
        if status:
            logger.error("%s ended with exit status %d", command, status)
        return status
    return EXIT_OK


def _cmd_run(args):
    return run_command(
        args.command,
        args.config,
        dry_run=getattr(args, "dry_run", False),
        stop_before=getattr(args, "stop_before", None),
    )


def _cmd_status(args):
    from tidewall.status import read_status, render_status

    ca = load_config(args.config)
    status = read_status(ca)
    print(render_status(status, ca))
    return EXIT_OK


def _cmd_sandbox(args):
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
        "--workdir", metavar="DIR", help="folder for the config and backups (default: a temp folder)"
    )
    p.set_defaults(func=_cmd_sandbox)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version, usage errors
        return _exit_code(e)
    setup_logging(args.verbose)

    from tidewall.core.ConfigAdaptor import ConfigError

    saved = (Globals.dry_run, Globals.cmdcnt)
    try:
        return args.func(args)
    except ConfigError as e:
        print(f"tidewall: {e}", file=sys.stderr)
        return EXIT_USAGE
    except UsageError as e:
        print(f"tidewall: {e}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("tidewall: interrupted", file=sys.stderr)
        return 130
    except Exception as e:
        logger.error("%s failed: %s: %s", args.command, type(e).__name__, e)
        if args.verbose:
            logger.exception("Details")
        else:
            logger.error("Run with -v for the traceback")
        return EXIT_FAILED
    finally:
        Globals.dry_run, Globals.cmdcnt = saved
