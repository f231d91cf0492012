"""Runs the tool's commands: the checks before a run, the run switches, and the migration command itself.

The command line (`tidewall.cli`) only parses arguments and prints; `status` and the sandbox call in here
too. Problems found before anything changed raise a `TidewallError` subclass carrying its exit status.
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
from dataclasses import dataclass, field

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, Terminated, UsageError
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.runner")

# The migration command. Bound on first use, so that the parts of the tool that do not migrate (help,
# status, configuration checks) work without the compiled modules; tests bind a stand-in here.
Manager = None

# The run settings that decide which journal slot belongs to which step.
RUN_SETTINGS = ("enable_test", "hs_mode")

# The commands that change the VPC or its journal: each holds the VPC's run lock for its whole run.
LOCKED_COMMANDS = ("execute", "revert", "reset")

# A migration replaces NAT gateway 0 while its traffic leaves through NAT gateway 1.
MIN_NAT_GATEWAYS = 2


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


def guard_run_settings(ca, dry_run, clients=None):
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
    clients = clients if clients is not None else AwsClientManager(ca)
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


# -------------------------------------------------------------------------------------------- the journal


@dataclass
class JournalView:
    """What the VPC's journal in S3 holds, read without touching the run's local backup folder."""

    where: str
    files: list = field(default_factory=list)  # names stored under the prefix
    discovered: bool = False
    natgws: list = field(default_factory=list)
    entries: list = field(default_factory=list)  # (class name, begin, state) per memento, oldest first
    undo_in_progress: dict | None = None  # a rollback or revert recorded as started and not finished
    intent: tuple | None = None  # a change recorded as about to be made (it may have been made)

    @property
    def poisoned(self):
        """A first run that recorded a discovery too small to migrate, and did nothing else."""
        return (
            self.discovered
            and len(self.natgws) < MIN_NAT_GATEWAYS
            and not self.entries
            and self.undo_in_progress is None
            and self.intent is None
        )

    @property
    def undo_pending(self):
        """Text naming what is left to undo, or None when the journal holds nothing to undo."""
        if self.entries:
            return _plural(len(self.entries), "step") + " to undo"
        if self.undo_in_progress is not None:
            return f"an unfinished {self.undo_in_progress.get('kind', 'undo')}"
        if self.intent is not None:
            return "a change that may have been made (recorded as in progress)"
        return None


def _read_histories(folder, vpc_id, view):
    """Fill `view` from the histories kept in `folder` (opened for reading only)."""
    from tidewall.commands.history import CommandHistory, MementoHistory

    CommandHistory.init(folder, vpc_id, version="v2")
    view.discovered = bool(CommandHistory.is_command_i_done(0))
    if view.discovered:
        view.natgws = [dict(r) for r in CommandHistory.get_discovered_natgws()]
    MementoHistory.init(folder, resolve=False)
    view.entries = MementoHistory.entries()
    view.undo_in_progress = MementoHistory.in_progress()
    view.intent = MementoHistory.intent()
    return view


def read_journal(ca, s3_client):
    """Download the journal of `ca`'s VPC into a temporary folder (dry-run mode: nothing written) and read it."""
    from tidewall.core.ConfigAdaptor import BackupDescriptor
    from tidewall.lib import s3

    real = ca.backup_descriptor
    view = JournalView(f"s3://{real.bucket}/{real.prefix}")
    tmp = tempfile.mkdtemp(prefix="tidewall-journal-")
    saved_dry_run = Globals.dry_run
    Globals.dry_run = True
    try:
        scratch = BackupDescriptor(os.path.join(tmp, "backup"), real.bucket, real.prefix)
        view.files = list(s3.S3BackupCmdV2(s3_client, scratch).download() or [])
        folder = scratch.getAbsolutePath()
        s3.unregister(folder)
        _read_histories(folder, ca.vpc_id, view)
    finally:
        Globals.dry_run = saved_dry_run
        shutil.rmtree(tmp, ignore_errors=True)
    return view


def read_local_journal(folder, vpc_id):
    """The journal kept in a local backup folder, read without writing anything (an empty view when absent)."""
    view = JournalView(folder)
    if not os.path.isdir(folder):
        return view
    view.files = sorted(
        os.path.relpath(os.path.join(root, name), folder)
        for root, _d, names in os.walk(folder)
        for name in names
    )
    saved_dry_run = Globals.dry_run
    Globals.dry_run = True
    try:
        return _read_histories(folder, vpc_id, view)
    finally:
        Globals.dry_run = saved_dry_run


def _plural(n, word):
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def check_vpc_ready(ca, clients):
    """Before a first run: the VPC exists in the configured region and has enough NAT gateways to replace."""
    from tidewall.lib.natgw import describe_vpc, discoverable_natgws

    ec2 = clients.getEc2Client()
    if describe_vpc(ec2, ca.vpc_id) is None:
        raise UsageError(f"{ca.vpc_id} not found in {ca.region}")
    count = len(discoverable_natgws(ec2, ca.vpc_id))
    if count < MIN_NAT_GATEWAYS:
        raise UsageError(
            f"{ca.vpc_id} has {_plural(count, 'available NAT gateway')}; at least {MIN_NAT_GATEWAYS} are needed"
        )


def _config_hint(ca):
    return ca.source if isinstance(getattr(ca, "source", None), str) else "FILE"


def check_before_execute(ca, clients):
    """Refuse an execute that would record a journal no later run can use, before anything is written."""
    view = read_journal(ca, clients.getS3Client())
    if not view.discovered:
        check_vpc_ready(ca, clients)
    elif view.poisoned:
        raise UsageError(
            f"the journal of {ca.vpc_id} in {view.where} records a discovery of "
            f"{_plural(len(view.natgws), 'NAT gateway')} and no step: a first run that could not start. "
            f"Delete that journal with `tidewall reset --config {_config_hint(ca)}`, then run execute again"
        )
    return view


# ---------------------------------------------------------------------------------------------- run lock


class _SigtermStop:
    """While installed, SIGTERM raises Terminated in the main thread (once), so `finally` blocks run.

    `disarm()` before the last cleanup step: a SIGTERM from then on is noted and ignored, so the cleanup
    itself is not cut short.
    """

    def __init__(self):
        self.armed = True
        self.fired = False
        self._previous = None

    def _handler(self, signum, frame):
        already, self.fired = self.fired, True
        if self.armed and not already:
            raise Terminated()

    def disarm(self):
        self.armed = False

    def rearm(self):
        """Armed again; a SIGTERM that came while disarmed is raised now."""
        self.armed = True
        if self.fired:
            raise Terminated()

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGTERM, self._handler)
        return self

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGTERM, self._previous)
            self._previous = None


def report_lock(ca, s3_client, what):
    """For the commands that take no lock: say when another run holds the VPC's lock. Returns the holder."""
    from tidewall.lib.lock import read_lock_of, unlock_hint

    holder = read_lock_of(s3_client, ca.backup_descriptor)
    if holder is not None:
        logger.warning(
            "%s is locked by %s (lock id %s): %s. A stale lock is removed with: %s",
            ca.vpc_id,
            holder.describe(),
            holder.lock_id,
            what,
            unlock_hint(_config_hint(ca), holder.lock_id),
        )
    return holder


@contextlib.contextmanager
def held_lock(ca, command, clients):
    """Hold the VPC's run lock for the block; released at its end, after an error, Ctrl-C or SIGTERM.

    A lock that cannot be released is reported with the command that removes it: after a block that
    failed, as an error line (the block's own failure is what the run ends with); after a block that
    finished, as a LockReleaseError (exit status 1), so that a run never looks clean while the VPC stays
    locked.
    """
    from tidewall.lib.lock import LockReleaseError, RunLock

    descriptor = ca.backup_descriptor
    lock = RunLock(
        clients.getS3Client(), descriptor.bucket, descriptor.prefix, ca.vpc_id, command, _config_hint(ca)
    )
    with _SigtermStop() as stop:
        stop.disarm()  # a SIGTERM during the put must not leave the lock unrecorded here
        lock.acquire()
        try:
            stop.rearm()
            yield lock
        except BaseException:
            stop.disarm()
            try:
                lock.release()
            except LockReleaseError as e:
                logger.error("%s", e)
            raise
        stop.disarm()
        lock.release()


# ----------------------------------------------------------------------------------------------- commands


def run_command(command, config, *, dry_run=False, stop_before=None):
    """Run Manager.<command>(config) with the run switches set; returns the exit status.

    `config` is a path, a mapping or a ConfigAdaptor. `execute` and `revert` hold the VPC's run lock for
    their whole run (a dry run takes none and only says when one is held). Raises UsageError (and
    ConfigError, LockHeldError) for problems found before anything changed.
    """
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager

    ca = ConfigAdaptor(config)
    if command == "reset":
        return reset_journal(ca)
    manager = _manager()
    Globals.dry_run = bool(dry_run)
    Globals.cmdcnt = -1 if stop_before is None else int(stop_before)
    Globals.waits = ca.waits
    if command in ("execute", "revert"):
        check_password_env(ca)
    if command not in LOCKED_COMMANDS:
        return _run_manager(manager, command, ca, None, dry_run, stop_before)
    clients = AwsClientManager(ca)
    if dry_run:
        report_lock(ca, clients.getS3Client(), "a real run would be refused")
        return _run_manager(manager, command, ca, clients, dry_run, stop_before)
    with held_lock(ca, command, clients):
        return _run_manager(manager, command, ca, clients, dry_run, stop_before)


def _run_manager(manager, command, ca, clients, dry_run, stop_before):
    if command == "execute":
        check_before_execute(ca, clients)
        guard_run_settings(ca, dry_run, clients)
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


def reset_journal(config):
    """`tidewall reset`: delete the VPC's journal (S3 and local) when it holds nothing to undo.

    For a first run that stopped before any step (a discovery of too few NAT gateways, for instance).
    Refused, pointing to revert, while the journal holds a memento or an unfinished rollback or revert.
    Returns the exit status.
    """
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager

    ca = ConfigAdaptor(config)
    clients = AwsClientManager(ca)
    s3_client = clients.getS3Client()
    descriptor = ca.backup_descriptor
    local = os.path.abspath(descriptor.local_path)
    if os.path.islink(local):
        raise UsageError(f"refusing to reset: the local backup folder {local} is a symbolic link")
    with held_lock(ca, "reset", clients):
        view = read_journal(ca, s3_client)
        # The local copy counts too: a change whose record had not reached S3 when its run stopped.
        for journal in (view, read_local_journal(local, ca.vpc_id)):
            what = journal.undo_pending
            if what is not None:
                raise UsageError(
                    f"refusing to reset {ca.vpc_id}: its journal in {journal.where} holds {what}. Undo the "
                    f"migration with `tidewall revert --config {_config_hint(ca)}` instead"
                )
        # The local copy first: a reset cut short then leaves S3's copy, which a new reset (or the refusal
        # of execute) finds again, never a local file that S3 lacks.
        local_files = _delete_local_folder(local)
        removed = _delete_journal_objects(s3_client, descriptor)
        if not removed and not local_files:
            print(f"Nothing to reset: no journal of {ca.vpc_id} in {view.where} or in {local}")
        else:
            print(
                f"Reset {ca.vpc_id}: deleted {_plural(len(removed), 'file')} from {view.where} and "
                f"{_plural(local_files, 'file')} from {local}; the next execute is a first run"
            )
    return EXIT_OK


def _delete_journal_objects(s3_client, descriptor):
    """Delete every object under the VPC's backup prefix except the run lock; returns the keys deleted."""
    from tidewall.commands.history import COMMAND_FILE
    from tidewall.lib.lock import lock_key

    prefix = descriptor.prefix + "/" if descriptor.prefix else ""
    keep = lock_key(descriptor.prefix)
    keys = []
    for page in s3_client.get_paginator("list_objects_v2").paginate(Bucket=descriptor.bucket, Prefix=prefix):
        keys.extend(o["Key"] for o in page.get("Contents", []) if o["Key"] != keep)
    # The recorded discovery last: a reset cut short leaves a journal that is still refused and reset again.
    keys.sort(key=lambda key: key == prefix + COMMAND_FILE)
    for key in keys:
        s3_client.delete_object(Bucket=descriptor.bucket, Key=key)
        logger.info("  Deleted s3://%s/%s", descriptor.bucket, key)
    return keys


def _delete_local_folder(folder):
    """Delete the local backup folder (never following a symbolic link); returns the number of files."""
    if not os.path.lexists(folder):
        return 0
    count = 0
    for root, dirs, files in os.walk(folder, topdown=False):
        for name in files:
            os.unlink(os.path.join(root, name))
            count += 1
        for name in dirs:
            path = os.path.join(root, name)
            if os.path.islink(path):
                os.unlink(path)
            else:
                os.rmdir(path)
    os.rmdir(folder)
    return count


def unlock(config, lock_id):
    """`tidewall unlock`: remove the VPC's run lock when its id is `lock_id`. Returns the exit status."""
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.lock import force_unlock

    ca = ConfigAdaptor(config)
    holder = force_unlock(AwsClientManager(ca).getS3Client(), ca.backup_descriptor, lock_id, ca.vpc_id)
    print(f"Removed the run lock {lock_id} of {ca.vpc_id} (it was held by {holder.describe()})")
    return EXIT_OK
