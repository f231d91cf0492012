"""Runs the tool's commands: the checks before a run, the run switches, and the migration command itself.

The command line (`tidewall.cli`) only parses arguments and prints; `status` and the sandbox call in here
too. Problems found before anything changed raise a `TidewallError` subclass carrying its exit status.
"""

from __future__ import annotations

import logging
import os
import sys

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, UsageError
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.runner")

# The migration command. Bound on first use, so that the parts of the tool that do not migrate (help,
# status, configuration checks) work without the compiled modules; tests bind a stand-in here.
Manager = None

# The run settings that decide which journal slot belongs to which step.
RUN_SETTINGS = ("enable_test", "hs_mode")


def _manager():
    global Manager
    if Manager is None:
        from tidewall.commands.natgw_eip_handover import Manager as manager

        Manager = manager
    return Manager


def exit_status(exc):
    """The exit status a SystemExit stands for (as the interpreter would end with it)."""
    code = exc.code
    if code is None:
        return EXIT_OK
    if isinstance(code, int):
        return code
    # exit("message"): the interpreter prints the message and uses status 1.
    print(code, file=sys.stderr)
    return EXIT_FAILED


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
    from tidewall.commands.history import MementoHistory

    # The journal finishes an interrupted rollback for an execute and refuses one after a killed revert.
    MementoHistory.serve(command if command in ("execute", "revert") else None)
    try:
        action(ca)
    except SystemExit as e:
        status = exit_status(e)
        if status:
            logger.error("%s ended with exit status %d", command, status)
        return status
    finally:
        MementoHistory.serve(None)
    return EXIT_OK
