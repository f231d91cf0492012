"""Runs the tool's commands: the checks before a run, the run switches, and the migration command itself.

The command line (`tidewall.cli`) only parses arguments and prints; `status` and the sandbox call in here
too. Problems found before anything changed raise a `TidewallError` subclass carrying its exit status.
"""

from __future__ import annotations

import contextlib
import logging
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
from dataclasses import dataclass, field

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK, Terminated, UsageError
from tidewall.core.Globals import Globals
from tidewall.logs import demoted, dry_run_wording

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
    spoke = sys.modules.get("tidewall.lib.spoke")
    if spoke is not None:
        from tidewall.lib.corvane_backend import guard_requests

        guard_requests(spoke)  # a failed GET of the spoke module names its URL without the CID
    return Manager


def exit_status(exc):
    """The exit status a SystemExit stands for (as the interpreter would end with it)."""
    code = exc.code
    if code is None:
        return EXIT_OK
    if isinstance(code, int):
        return code
    # exit("message"): the interpreter prints the message and uses status 1.
    from tidewall.core.redact import clean

    print(clean(code), file=sys.stderr)
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


def check_journal_key_env(ca):
    """With `journal_key_env` configured, the variable must hold the key before the journal is read."""
    name = getattr(ca, "journal_key_env", None)
    if name and not os.environ.get(name):
        raise UsageError(
            f"configuration field 'journal_key_env': environment variable {name} is not set "
            f"(export {name}=... with the journal key)"
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
    recorded_settings: dict | None = None  # the run settings the first run recorded
    natgw_count: int | None = None  # NAT gateways a first run would discover (checked before it)

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
    view.recorded_settings = CommandHistory.get_run_settings() or None
    MementoHistory.init(folder, resolve=False)
    view.entries = MementoHistory.entries()
    view.undo_in_progress = MementoHistory.in_progress()
    view.intent = MementoHistory.intent()
    return view


def journal_where(ca):
    """Where the VPC's journal is kept: s3://bucket/prefix."""
    descriptor = ca.backup_descriptor
    return f"s3://{descriptor.bucket}/{descriptor.prefix}"


def read_journal(ca, s3_client):
    """Download the journal of `ca`'s VPC into a temporary folder (dry-run mode: nothing written) and read it."""
    from tidewall.core.ConfigAdaptor import BackupDescriptor
    from tidewall.lib import s3

    real = ca.backup_descriptor
    view = JournalView(journal_where(ca))
    tmp = tempfile.mkdtemp(prefix="tidewall-journal-")
    saved_dry_run = Globals.dry_run
    Globals.dry_run = True
    try:
        scratch = BackupDescriptor(
            os.path.join(tmp, "backup"), real.bucket, real.prefix, context=getattr(real, "context", None)
        )
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


def vpc_not_found(ca):
    return UsageError(f"{ca.vpc_id} not found in {ca.region}")


def check_vpc_exists(ca, clients):
    """The VPC exists in the configured region (`plan` and `status`, before they read anything else)."""
    from tidewall.lib.natgw import describe_vpc

    if describe_vpc(clients.getEc2Client(), ca.vpc_id) is None:
        raise vpc_not_found(ca)


def check_vpc_ready(ca, clients):
    """Before a first run: the VPC exists in the configured region and has enough NAT gateways to replace."""
    from tidewall.lib.natgw import describe_vpc, discoverable_natgws

    ec2 = clients.getEc2Client()
    count = len(discoverable_natgws(ec2, ca.vpc_id))
    check_no_twin_natgws(ec2, ca.vpc_id)
    # A VPC with NAT gateways exists; it is looked up only to tell a missing VPC from one without them.
    if count < MIN_NAT_GATEWAYS and describe_vpc(ec2, ca.vpc_id) is None:
        raise vpc_not_found(ca)
    if count < MIN_NAT_GATEWAYS:
        raise UsageError(
            f"{ca.vpc_id} has {_plural(count, 'available NAT gateway')}; at least {MIN_NAT_GATEWAYS} are needed"
        )
    return count


def check_no_twin_natgws(ec2, vpc_id):
    """Refuse a VPC with more than one public NAT gateway in a subnet (before a first run, and in plan)."""
    from tidewall.lib.natgw import twin_natgws, twin_natgws_refusal

    refusal = twin_natgws_refusal(twin_natgws(ec2, vpc_id))
    if refusal is not None:
        raise UsageError(f"{vpc_id}: {refusal}")


def natgws_left_alone(ec2, vpc_id):
    """NAT gateways of the VPC that the migration does not replace (private or regional), as plain records:
    `nat_gw_id`, `subnet_id`, `connectivity_type`, `state` and `reason`."""
    from tidewall.lib import natgw

    return [
        {
            "nat_gw_id": description.get("NatGatewayId"),
            "subnet_id": description.get("SubnetId"),
            "connectivity_type": description.get("ConnectivityType", "public"),
            "state": description.get("State"),
            "reason": reason,
        }
        for description, reason in natgw.natgws_left_alone(ec2, vpc_id)
    ]


def _config_hint(ca):
    return ca.source if isinstance(getattr(ca, "source", None), str) else "FILE"


def check_before_execute(ca, clients):
    """Refuse an execute that would record a journal no later run can use, before anything is written."""
    with demoted("tidewall.lib.s3"), demoted("tidewall.commands.history", up_to=logging.WARNING):
        view = read_journal(ca, clients.getS3Client())
        # A revert killed before its record reached S3 is in the local copy only.
        local = read_local_journal(os.path.abspath(ca.backup_descriptor.local_path), ca.vpc_id)
    for journal in (view, local):
        progress = journal.undo_in_progress
        if progress is not None and progress.get("kind") == "revert":
            raise UsageError(
                f"refusing to execute {ca.vpc_id}: a revert was started and not finished "
                f"({_plural(len(journal.entries), 'step')} still to undo, journal in {journal.where}); nothing "
                f"was changed. Finish it with `tidewall revert --config {_config_hint(ca)}`, then run execute "
                "again to migrate anew"
            )
    if not view.discovered:
        view.natgw_count = check_vpc_ready(ca, clients)
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
    from tidewall.commands import journal_trust

    context = getattr(descriptor, "context", None)

    def record_seq():
        if context is not None:
            journal_trust.write_seq_record(s3_client, descriptor.bucket, descriptor.prefix, context, seq_etag)

    s3_client = clients.getS3Client()
    seq_etag = None
    with _SigtermStop() as stop:
        stop.disarm()  # a SIGTERM during the put must not leave the lock unrecorded here
        lock.acquire()
        try:
            seq_etag = (
                journal_trust.read_seq_record(s3_client, descriptor.bucket, descriptor.prefix, context)
                if context is not None
                else None
            )
            stop.rearm()
            yield lock
        except BaseException:
            stop.disarm()
            try:
                record_seq()
            finally:
                try:
                    lock.release()
                except LockReleaseError as e:
                    logger.error("%s", e)
            raise
        stop.disarm()
        try:
            record_seq()
        finally:
            lock.release()


# ----------------------------------------------------------------------------------------------- commands


# Result words of a run, for people and for programs reading `--output json`.
RESULTS = ("done", "stopped", "dry_run", "nothing_to_do", "rolled_back", "failed", "refused", "interrupted")


# What `error.kind` of `--output json` says the error was.
ERROR_KINDS = ("lock_held", "access", "refused", "failed")

# The field names of every `--output json` object (plan, status, execute, revert; the fleet summary's runs
# too): a name means one thing, with one type, wherever it appears. name -> (types, meaning).
_STEPS = "list of steps ({slot, code, natgw, label})"
JSON_FIELDS = {
    "command": ((str,), "the command: plan, status, execute or revert"),
    "vpc_id": ((str, type(None)), "the VPC; null when the configuration could not be read"),
    "result": ((str,), "how the command ended: " + ", ".join(RESULTS)),
    "exit_status": ((int,), "the command's exit status"),
    "reason": ((str, type(None)), "why it ended so, in one line; null when it just finished"),
    "error": ((dict, type(None)), "the error that ended it ({kind, message, lock}); null without one"),
    "kind": ((str,), "error: " + ", ".join(ERROR_KINDS) + " (egress objects: what the route leads to)"),
    "message": ((str,), "error: the line the console shows"),
    "lock": (
        (dict, type(None)),
        "the run lock another run holds ({lock_id, command, user, host, pid, "
        "started, held_by}); null when none is",
    ),
    "lock_id": ((str,), "lock: its id, for `tidewall unlock --lock-id`"),
    "user": ((str,), "lock: who holds it"),
    "host": ((str,), "lock: on which machine"),
    "pid": ((int,), "lock: the holding process"),
    "started": ((str,), "lock: since when (UTC, ISO 8601)"),
    "held_by": ((str,), "lock: the holder in words ('execute by alice@host1 (pid 4242) since ...')"),
    "dry_run": ((bool,), "execute, revert: a rehearsal that changed nothing"),
    "journal": ((str, type(None)), "where the VPC's journal is kept (s3://bucket/prefix)"),
    "steps_total": ((int, type(None)), "steps of the whole migration (for the discovery recorded or made)"),
    "steps_in_effect": ((int, type(None)), "steps the journal holds as done and staying so"),
    "steps_done": (
        (list,),
        _STEPS + ": plan, status: those in effect; execute: those this run did; revert: those it undid",
    ),
    "steps_pending": ((list,), _STEPS + " still to do (revert: still to undo)"),
    "steps_to_undo": ((list,), _STEPS + ": status: what an unfinished rollback or revert undoes first"),
    "slot": ((int,), "step: its journal slot"),
    "code": ((str,), "step: A1-A6, B1, B2, T or R"),
    "natgw": ((int, type(None)), "step: the NAT gateway it belongs to (by index); null for the run's own"),
    "label": ((str,), "step: what it does, in a few words"),
    "index": ((int,), "a NAT gateway's position in the recorded discovery, from 0"),
    "nat_gw_id": ((str, type(None)), "a NAT gateway id"),
    "subnet_id": ((str, type(None)), "a subnet id"),
    "eip": ((str, type(None)), "the primary Elastic IP that the spoke takes over"),
    "natgws": ((list,), "plan, status: one object per NAT gateway of the discovery"),
    "natgws_replaced": ((list,), "execute, revert: the NAT gateways replaced by a spoke now"),
    "natgws_left_alone": ((list,), "NAT gateways the migration does not replace, with the reason"),
    "settings": ((dict,), "plan, status: enable_test and hs_mode the steps are mapped with"),
    "complete": ((bool,), "plan, status: every step is in the journal"),
    "plan": ((dict,), "execute --dry-run: the plan object"),
}


@dataclass
class RunOutcome:
    """How a command ended (every `--output json` object starts with these fields) and, for execute and
    revert, what the run did and what is left. `body` holds the fields of plan's and status's own object."""

    command: str
    vpc_id: str | None = None
    dry_run: bool = False
    result: str = "failed"
    exit_status: int = EXIT_FAILED
    reason: str | None = None
    journal: str | None = None  # where the journal is kept (s3://bucket/prefix)
    steps_done: list = field(default_factory=list)
    steps_pending: list = field(default_factory=list)
    natgws_replaced: list = field(default_factory=list)
    steps_in_effect: int | None = None
    steps_total: int | None = None
    plan: dict | None = None
    error: dict | None = None  # the error that ended the command (see `error_json`), None otherwise
    body: dict | None = None
    # (ec2 client, vpc id, NAT-gateway records) -> lines of where the private subnets' traffic leaves now,
    # said after a run stopped by --stop-before (the command line gives the plan's reader)
    egress_now: object = field(default=None, repr=False, compare=False)
    _before: int | None = None  # journal slots in effect when the run started
    _slots: list = field(default_factory=list)

    def to_json(self):
        data = {
            "command": self.command,
            "vpc_id": self.vpc_id,
            "result": self.result,
            "exit_status": self.exit_status,
            "reason": self.reason,
            "error": self.error,
        }
        if self.body is not None:
            data.update((k, v) for k, v in self.body.items() if k not in data)
        elif self.command in ("execute", "revert"):
            data.update(
                {
                    "dry_run": self.dry_run,
                    "journal": self.journal,
                    "steps_total": self.steps_total,
                    "steps_in_effect": self.steps_in_effect,
                    "steps_done": self.steps_done,
                    "steps_pending": self.steps_pending,
                    "natgws_replaced": self.natgws_replaced,
                }
            )
            if self.plan is not None:
                data["plan"] = self.plan
        return data

    def ended(self, result, status, reason=None):
        self.result, self.exit_status = result, status
        if reason is not None or self.reason is None:
            self.reason = reason
        return status


def json_problems(data, where="$"):
    """Texts naming every field of a JSON object (and of the objects in it) whose value does not have
    its JSON_FIELDS type; an object that ends a command also needs the fields every such object has."""
    problems = []
    if where == "$":
        problems += [f"$: no {name!r}" for name in COMMON_JSON_FIELDS if name not in data]
    if isinstance(data, dict):
        for key, value in data.items():
            known = JSON_FIELDS.get(key)
            if known is not None and (
                not isinstance(value, known[0]) or (isinstance(value, bool) and bool not in known[0])
            ):
                problems.append(f"{where}.{key}: {type(value).__name__}, not {known[0][0].__name__}")
            problems += json_problems(value, f"{where}.{key}")
    elif isinstance(data, list):
        for i, item in enumerate(data):
            problems += json_problems(item, f"{where}[{i}]")
    return problems


# The fields every object that ends a command starts with, on success and on failure alike.
COMMON_JSON_FIELDS = ("command", "vpc_id", "result", "exit_status", "reason", "error")


def during_changes(error):
    """Whether `error` came while the command was changing the VPC or its journal (see `changing`), and
    does not know itself to come before the first change (`before_changes`, as the run's first login)."""
    if getattr(error, "before_changes", False):
        return False
    return bool(getattr(error, "_tidewall_during_changes", False))


@contextlib.contextmanager
def changing():
    """The block changes the VPC or its journal: an error raised in it is marked so, and an access problem
    is then no refusal (something may have changed) but a failure."""
    try:
        yield
    except Exception as e:
        with contextlib.suppress(AttributeError, TypeError):
            e._tidewall_during_changes = True
        raise


def classify_error(error):
    """(exit status, error kind, one-line text) of an error that ended a command.

    A configuration or access problem found before anything changed is exit status 2 (`refused`,
    `access`, `lock_held`); an access problem while changing, and every other error, is a failure with the
    error's own status (1 for most)."""
    from tidewall.core.exceptions import EXIT_USAGE, TidewallError, plain_error
    from tidewall.lib.lock import LockHeldError

    text, access = plain_error(error)
    text = " ".join(str(text).split())
    if isinstance(error, LockHeldError):
        return EXIT_USAGE, "lock_held", text
    if access:
        return (EXIT_FAILED, "failed", text) if during_changes(error) else (EXIT_USAGE, "access", text)
    if isinstance(error, TidewallError):
        status = error.exit_code
        return status, ("refused" if status == EXIT_USAGE else "failed"), text
    return EXIT_FAILED, "failed", text


def error_json(error, kind=None, message=None):
    """What `--output json` says of the error that ended a command: its `kind` (one of ERROR_KINDS), its
    `message` (the line the console shows) and, for `lock_held`, the `lock` that another run holds."""
    from tidewall.lib.lock import LockHeldError

    if kind is None or message is None:
        _status, kind, message = classify_error(error)
    data = {"kind": kind, "message": message, "lock": None}
    if isinstance(error, LockHeldError):
        data["lock"] = error.holder.to_record()
    return data


def _slot_json(slot):
    return {"slot": slot.index, "code": slot.code, "natgw": slot.natgw, "label": slot.label}


@dataclass
class JournalProgress:
    """Where a journal stands against the migration's steps (the layout of `journal_layout`)."""

    slots: list  # every slot of the migration, for the recorded discovery and the run settings
    entries: int  # mementos in the journal
    done: int  # slots in effect that stay so (an unfinished rollback's are not)
    complete: bool
    settings_diffs: list


def journal_progress(ca, view):
    """The JournalProgress of a journal view, mapped with the first run's settings where recorded."""
    from tidewall.commands import journal_layout

    current = current_run_settings(ca)
    recorded = view.recorded_settings or {}
    settings = dict(current, **{k: recorded[k] for k in current if k in recorded})
    slots = []
    if view.discovered:
        slots = journal_layout.layout(
            view.natgws, bool(settings["enable_test"]), settings["hs_mode"], ca.spoke_gw_size
        )
    entries = len(view.entries)
    progress = view.undo_in_progress
    undoing = 0
    if progress is not None:
        undoing = entries if progress.get("kind") == "revert" else entries - progress.get("group_start", 0)
    done = max(0, min(entries - undoing, len(slots)))
    complete = (
        view.discovered
        and not view.poisoned
        and progress is None
        and view.intent is None
        and entries >= len(slots)
        and not journal_layout.mismatches(slots, view.entries)
    )
    diffs = settings_mismatch(recorded, current) if recorded else []
    return JournalProgress(slots, entries, done, bool(complete), diffs)


def fill_outcome(outcome, ca, view):
    """Steps done by this run, steps left, replaced NAT gateways: from the journal as the run left it."""
    progress = journal_progress(ca, view)
    slots, done = progress.slots, progress.done
    outcome.steps_total = len(slots)
    outcome.steps_in_effect = done
    if outcome.command == "revert":
        after = min(progress.entries, len(slots))
        before = outcome._before if outcome._before is not None else after
        outcome.steps_done = [_slot_json(s) for s in reversed(slots[after:before])]
        outcome.steps_pending = [_slot_json(s) for s in reversed(slots[:after])]
    else:
        before = outcome._before if outcome._before is not None else done
        outcome.steps_done = [_slot_json(s) for s in slots[before:done]]
        outcome.steps_pending = [_slot_json(s) for s in slots[done:]]
    outcome.natgws_replaced = [
        {
            "index": s.natgw,
            "nat_gw_id": (view.natgws[s.natgw] if s.natgw < len(view.natgws) else {}).get("nat_gw_id"),
            "subnet_id": (view.natgws[s.natgw] if s.natgw < len(view.natgws) else {}).get("subnet_id"),
            "eip": (view.natgws[s.natgw] if s.natgw < len(view.natgws) else {}).get("eip"),
        }
        for s in slots[:done]
        if s.step.makes_spoke
    ]
    return outcome


# The commands that read the VPC's journal (and so need its key when one is configured).
JOURNAL_COMMANDS = ("plan", "status", "execute", "revert", "reset")


def check_inputs(ca, command, stop_before=None):
    """Inputs the configuration check cannot judge alone, all checked before the first request to AWS or the
    controller (UsageError): the spoke tag, the acceptance test's files, the password and journal key
    variables."""
    if command in ("execute", "plan"):
        from tidewall.core.ConfigAdaptor import normalise_spoke_tag

        try:
            normalise_spoke_tag(ca.spoke_gw_tag)
        except ValueError:
            count = len(ca.spoke_gw_tag.lstrip(",").split(","))
            raise UsageError(
                f"configuration field 'spoke_gw_tag': {ca.spoke_gw_tag!r} lists {count} items; without ':' "
                "it must alternate keys and values (key,value,key,value) - or write key:value,key:value"
            ) from None
    if command == "execute":
        check_test_config(ca)
    if command in ("execute", "revert"):
        check_password_env(ca)
    if command in JOURNAL_COMMANDS:
        check_journal_key_env(ca)


def check_test_config(ca):
    """`input_test_config` loads and parses; `output_test_config` is a JSON results file or can become one."""
    import json

    from tidewall.lib.test import AcceptanceTestError, load_test_settings

    if ca.input_test_config is not None:
        try:
            load_test_settings(ca.input_test_config)
        except AcceptanceTestError as e:
            raise UsageError(f"configuration field 'input_test_config': {e}") from None
        except (OSError, UnicodeDecodeError) as e:
            raise UsageError(f"configuration field 'input_test_config': cannot be read: {e}") from None
        except Exception as e:  # a YAML error, most often
            raise UsageError(f"configuration field 'input_test_config': does not parse: {e}") from None
    out = ca.output_test_config
    if out is None:
        return
    if not isinstance(out, str | os.PathLike):
        raise UsageError(f"configuration field 'output_test_config': expected a file path, got {out!r}")
    path = os.path.abspath(os.path.expanduser(os.fspath(out)))
    if os.path.isdir(path):
        raise UsageError(f"configuration field 'output_test_config': {path} is a folder, not a file")
    if os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            raise UsageError(
                f"configuration field 'output_test_config': {path} is not a JSON results file ({e})"
            ) from None
        if not isinstance(data, dict) or not isinstance(data.get("results"), list):
            raise UsageError(
                f"configuration field 'output_test_config': {path} does not hold a \"results\" list"
            )
    elif not os.path.isdir(os.path.dirname(path)):
        raise UsageError(f"configuration field 'output_test_config': the folder of {path} does not exist")


def run_command(command, config, *, dry_run=False, stop_before=None, outcome=None):
    """Run Manager.<command>(config) with the run switches set; returns the exit status.

    `config` is a path, a mapping or a ConfigAdaptor. `execute` and `revert` hold the VPC's run lock for
    their whole run (a dry run takes none and only says when one is held). Raises UsageError (and
    ConfigError, LockHeldError) for problems found before anything changed. `outcome` (a RunOutcome), when
    given, is filled with what the run did.
    """
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager

    outcome = outcome if outcome is not None else RunOutcome(command)
    outcome.dry_run = bool(dry_run)
    ca = ConfigAdaptor(config)
    outcome.vpc_id = ca.vpc_id
    outcome.journal = journal_where(ca)
    if command == "reset":
        return reset_journal(ca)
    check_inputs(ca, command, stop_before)
    manager = _manager()
    Globals.dry_run = bool(dry_run)
    Globals.cmdcnt = -1 if stop_before is None else int(stop_before)
    Globals.waits = ca.waits
    Globals.controller = ca.controller
    Globals.egress = ca.egress
    if command not in LOCKED_COMMANDS:
        return _run_manager(manager, command, ca, None, dry_run, stop_before, outcome)
    clients = AwsClientManager(ca)
    if dry_run:
        report_lock(ca, clients.getS3Client(), "a real run would be refused")
        return _run_manager(manager, command, ca, clients, dry_run, stop_before, outcome)
    with held_lock(ca, command, clients):
        return _run_manager(manager, command, ca, clients, dry_run, stop_before, outcome)


def preview_changes(command, ca):
    """What revert or reset would change now, as text to show before the confirmation question (execute
    shows its plan); None when there is nothing to ask about (nothing to change, or the command refuses by
    itself)."""
    from tidewall.lib.aws_cred import AwsClientManager

    clients = AwsClientManager(ca)
    if command == "revert":
        view = _revert_view(ca, clients)
        if view.undo_pending is None:
            return None
        progress = journal_progress(ca, view)
        undo = list(reversed(progress.slots[: min(progress.entries, len(progress.slots))]))
        what = _plural(len(undo), "step") if undo else view.undo_pending
        lines = [f"Revert of {ca.vpc_id} undoes {what}, newest first (journal in {view.where}):"]
        lines += [
            f"  {slot.code:<2} {slot.label}"
            + (f" (NAT gateway {slot.natgw})" if slot.natgw is not None else "")
            for slot in undo
        ]
        return "\n".join(lines)
    if command == "reset":
        local = os.path.abspath(ca.backup_descriptor.local_path)
        with demoted("tidewall.lib.s3", "tidewall.commands.history"):
            view = read_journal(ca, clients.getS3Client())
        local_view = read_local_journal(local, ca.vpc_id)
        if view.undo_pending is not None or local_view.undo_pending is not None:
            return None  # refused, pointing to revert
        if not view.files and not local_view.files:
            return None  # nothing to reset
        return (
            f"Reset of {ca.vpc_id} deletes its journal: {_plural(len(view.files), 'file')} in {view.where} "
            f"and {_plural(len(local_view.files), 'file')} in {local}; the next execute is a first run"
        )
    return None


def _revert_view(ca, clients):
    """The journal as revert finds it: S3's copy, or the local one when only it holds steps to undo."""
    # The revert's own opening of the journal says what it finds; these reads only choose the copy.
    with demoted("tidewall.lib.s3"), demoted("tidewall.commands.history", up_to=logging.WARNING):
        view = read_journal(ca, clients.getS3Client())
    if view.undo_pending is None:
        with demoted("tidewall.commands.history", up_to=logging.WARNING):
            local = read_local_journal(os.path.abspath(ca.backup_descriptor.local_path), ca.vpc_id)
        if local.undo_pending is not None:
            return local
    return view


@contextlib.contextmanager
def _one_client_manager(manager, clients):
    """The migration command builds its AWS client manager from the configuration it is given; while the
    runner runs it, that manager is the runner's own, so each client (session, credentials, connections) is
    made once per command."""
    module = sys.modules.get(getattr(manager, "__module__", None) or "")
    if clients is None or module is None or not hasattr(module, "AwsClientManager"):
        yield
        return
    original = module.AwsClientManager

    def shared(config):
        return clients

    module.AwsClientManager = shared
    try:
        yield
    finally:
        module.AwsClientManager = original


def _run_manager(manager, command, ca, clients, dry_run, stop_before, outcome):
    from tidewall.lib import s3

    # The backup prefix is read from S3 once per command: by the checks; the migration's download reuses it.
    with s3.download_once(), _one_client_manager(manager, clients):
        return _run_action(manager, command, ca, clients, dry_run, stop_before, outcome)


def _run_action(manager, command, ca, clients, dry_run, stop_before, outcome):
    view = None
    if command == "execute":
        view = check_before_execute(ca, clients)
        _warn_stop_before(view, stop_before)
        guard_run_settings(ca, dry_run, clients)
        if view.discovered:
            progress = journal_progress(ca, view)
            outcome._before = progress.done
            if progress.complete and not progress.settings_diffs:
                logger.info("%s: migration already complete (every step is in the journal)", ca.vpc_id)
                fill_outcome(outcome, ca, view)
                return outcome.ended("nothing_to_do", EXIT_OK, "migration already complete")
        else:
            outcome._before = 0
    elif command == "revert":
        view = _revert_view(ca, clients)
        progress = journal_progress(ca, view)
        outcome._before = min(progress.entries, len(progress.slots))
        if view.undo_pending is None:
            logger.info(
                "%s: nothing to revert (the journal in %s holds no step to undo)", ca.vpc_id, view.where
            )
            fill_outcome(outcome, ca, view)
            return outcome.ended("nothing_to_do", EXIT_OK, "nothing to revert")
    if dry_run:
        logger.info("Dry run: nothing is changed in AWS, on the controller or in the journal")
    if stop_before is not None and command == "execute":
        logger.info("Stopping before NAT gateway %d", stop_before)
    action = getattr(manager, command)
    from tidewall.commands.history import MementoHistory

    # The journal finishes an interrupted rollback for an execute and refuses one after a killed revert.
    MementoHistory.serve(command if command in ("execute", "revert") else None)
    errors = _ErrorLines()
    root = logging.getLogger()
    root.addHandler(errors)
    status = EXIT_OK
    try:
        with _StderrToLog(), changing(), dry_run_wording(dry_run):
            action(ca)
    except SystemExit as e:
        status = exit_status(e)
    finally:
        root.removeHandler(errors)
        MementoHistory.serve(None)
        end_controller_session()
        if command in ("execute", "revert"):
            _fill_after_run(outcome, ca)
    hint = _config_hint(ca)
    if status == EXIT_OK:
        if command == "execute" and dry_run:
            return outcome.ended("dry_run", EXIT_OK)
        if command == "execute" and outcome.steps_pending and stop_before is not None:
            _say_stopped(ca, clients, stop_before, outcome)
            return outcome.ended("stopped", EXIT_OK, f"stopped before NAT gateway {stop_before} as asked")
        return outcome.ended("dry_run" if dry_run else "done", EXIT_OK)
    if errors.rollback:
        logger.error(
            "%s rolled back the current group and ended with exit status %d (`tidewall status` shows what "
            "stays done)",
            command,
            status,
        )
        logger.info(
            "The groups before it stay migrated. Once the cause is fixed, `tidewall execute --config %s` "
            "runs the group again; `tidewall revert --config %s` undoes every group",
            hint,
            hint,
        )
        return outcome.ended("rolled_back", status, errors.reason())
    logger.error("%s ended with exit status %d", command, status)
    logger.info(
        "The journal keeps every step that was done: once the cause is fixed, run `tidewall %s --config %s` "
        "again to go on from there (`tidewall status --config %s` shows where the VPC stands)",
        command,
        hint,
        hint,
    )
    return outcome.ended("failed", status, errors.reason() or f"exit status {status}")


def _say_stopped(ca, clients, stop_before, outcome):
    """After `--stop-before N`: what is done, where the private subnets' traffic leaves now, how to go on."""
    done = outcome.steps_in_effect or 0
    replaced = [str(n["index"]) for n in outcome.natgws_replaced]
    logger.info(
        "Stopped before NAT gateway %d as asked: %d of %d steps done%s",
        stop_before,
        done,
        outcome.steps_total or 0,
        f"; NAT gateway{'s' if len(replaced) > 1 else ''} {', '.join(replaced)} replaced" if replaced else "",
    )
    try:
        lines = []
        if outcome.egress_now is not None:
            view = read_local_journal(os.path.abspath(ca.backup_descriptor.local_path), ca.vpc_id)
            lines = outcome.egress_now(clients.getEc2Client(), ca.vpc_id, view.natgws)
    except Exception as e:  # the words must not hide how the run itself ended
        logger.debug("Could not read the route tables after the run: %s", e, exc_info=True)
        lines = []
    if lines:
        logger.info("Egress of the private subnets now (looked up live):")
        for line in lines:
            logger.info("  %s", line)
    hint = _config_hint(ca)
    logger.info(
        "To go on: `tidewall execute --config %s` (resumes at NAT gateway %d); to undo what was done: "
        "`tidewall revert --config %s`",
        hint,
        stop_before,
        hint,
    )


def _warn_stop_before(view, stop_before):
    if stop_before is None:
        return
    count = len(view.natgws) if view.discovered else view.natgw_count
    if count is not None and stop_before >= count:
        logger.warning(
            "--stop-before %d is beyond the last NAT gateway (%d NAT gateways, numbered 0 to %d): nothing is "
            "held back, the whole migration runs",
            stop_before,
            count,
            count - 1,
        )


def _fill_after_run(outcome, ca):
    """The outcome's steps from the local journal the run left (read only; no S3 request)."""
    try:
        view = read_local_journal(os.path.abspath(ca.backup_descriptor.local_path), ca.vpc_id)
        fill_outcome(outcome, ca, view)
    except Exception as e:  # the report must not hide how the run itself ended
        logger.debug("Could not read the journal after the run: %s", e, exc_info=True)


class _ErrorLines(logging.Handler):
    """Collects the error lines of a run: the first one is the run's reason; the handover's own
    "**Error** ..." line marks a rollback."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.lines = []
        self.rollback = False

    def emit(self, record):
        if record.levelno < logging.ERROR:
            return
        try:
            text = record.getMessage().strip()
        except Exception:
            return
        if record.name == "tidewall.commands.natgw_eip_handover" and text.startswith("**Error**"):
            self.rollback = True
            text = text[len("**Error**") :].strip()
        self.lines.append((record.name, text))

    def reason(self):
        # The acceptance test's own line says which check failed; it beats the generic "EC2 test failure".
        for name, text in self.lines:
            if name == "tidewall.lib.test":
                return text
        return self.lines[0][1] if self.lines else None


_EXCEPTION_LINE = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Exit|Interrupt|Terminated)\b[^\s]*: ")


class _StderrToLog:
    """While a command runs, what it prints to standard error goes to the log: a traceback as debug lines
    (the error itself is already logged in one line; -v and the log file show the traceback), anything
    else as warnings."""

    def __init__(self):
        self._saved = None
        self._buffer = ""
        self._in_traceback = False
        self._logger = logging.getLogger("tidewall.stderr")

    def write(self, text):
        self._buffer += str(text)
        while "\n" in self._buffer:
            line, self._buffer = self._buffer.split("\n", 1)
            self._line(line)
        return len(text)

    def _line(self, line):
        if line.startswith("Traceback (most recent call last):"):
            self._in_traceback = True
        elif _EXCEPTION_LINE.match(line):
            self._logger.debug("%s", line)  # an exception printed without frames (raised by a C++ module)
            return
        if self._in_traceback:
            self._logger.debug("%s", line)
            if line and not line[0].isspace() and not line.startswith("Traceback"):
                self._in_traceback = False  # the exception's own line ends the traceback
        elif line.strip():
            self._logger.warning("%s", line)

    def flush(self):
        pass

    def isatty(self):
        return False

    def __enter__(self):
        self._saved = sys.stderr
        sys.stderr = self
        return self

    def __exit__(self, *exc):
        if self._buffer:
            self._line(self._buffer)
            self._buffer = ""
        sys.stderr = self._saved
        return False


def end_controller_session():
    """End the run's controller session (a CID left in a pasted log then opens nothing)."""
    from tidewall.lib.corvane_backend import endSession

    if Globals.CID:
        endSession(Globals.controller_ip, Globals.CID)
        Globals.CID = None


def reset_journal(config):
    """`tidewall reset`: delete the VPC's journal (S3 and local) when it holds nothing to undo.

    For a first run that stopped before any step (a discovery of too few NAT gateways, for instance).
    Refused, pointing to revert, while the journal holds a memento or an unfinished rollback or revert.
    Returns the exit status.
    """
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager

    ca = ConfigAdaptor(config)
    check_inputs(ca, "reset")
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
        with changing():
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


def unlock(config, lock_id, yes=False):
    """`tidewall unlock`: remove the VPC's run lock when its id is `lock_id`, after showing its holder and
    asking (`yes` answers). Returns the exit status."""
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.lock import force_unlock

    ca = ConfigAdaptor(config)

    def ask(holder):
        confirm(
            f"The run lock of {ca.vpc_id} is held by {holder.describe()}. Remove it only if that run is gone "
            "(killed, or its machine down). Remove it?",
            yes,
        )

    with demoted("tidewall.lib.lock"):  # the line below says it
        holder = force_unlock(
            AwsClientManager(ca).getS3Client(), ca.backup_descriptor, lock_id, ca.vpc_id, confirm=ask
        )
    print(f"Removed the run lock {lock_id} of {ca.vpc_id} (it was held by {holder.describe()})")
    return EXIT_OK


def on_terminal():
    """Whether a question can be answered: standard input is a terminal."""
    try:
        return bool(sys.stdin) and sys.stdin.isatty()
    except (AttributeError, ValueError):  # closed or replaced standard input
        return False


def confirm(question, yes):
    """Ask `question` on the terminal; `--yes` answers it. Without a terminal and without `--yes` the
    command is refused (exit status 2) before it changes anything; any answer but yes refuses too."""
    if yes:
        return
    if not on_terminal():
        raise UsageError(f"{question} Refusing without a terminal to ask on: pass --yes to answer yes")
    print(f"{question} Type 'yes' to go on: ", end="", file=sys.stderr, flush=True)
    answer = sys.stdin.readline()
    if answer.strip().lower() not in ("y", "yes"):
        raise UsageError("not confirmed; nothing was changed")


def _record_names(folder):
    """The record files of a backup folder that carry signatures (route-table backup and snapshots)."""
    from tidewall.lib.route_table import BACKUP_FILE

    names = sorted(n for n in os.listdir(folder) if n.startswith("rt_snapshot_") and n.endswith(".json"))
    return ([BACKUP_FILE] if os.path.exists(os.path.join(folder, BACKUP_FILE)) else []) + names


def adopt(config, yes=False):
    """`tidewall adopt`: sign the VPC's unsigned journal and records with the journal key, after showing what
    is about to be signed. The only way an unsigned journal is taken in once `journal_key_env` is set."""
    import json

    from tidewall.commands import journal_trust
    from tidewall.commands.history import COMMAND_FILE, MEMENTO_FILE, CommandHistory, MementoHistory
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.core.redact import escape_controls
    from tidewall.lib import s3
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.route_table import atomic_write_json

    ca = ConfigAdaptor(config)
    if not getattr(ca, "journal_key_env", None):
        raise UsageError(
            "nothing to adopt with: configuration field 'journal_key_env' is not set (adopt signs the journal "
            "with the key that variable holds)"
        )
    check_journal_key_env(ca)
    clients = AwsClientManager(ca)
    s3_client = clients.getS3Client()
    descriptor = ca.backup_descriptor
    with held_lock(ca, "adopt", clients):
        s3.S3BackupCmdV2(s3_client, descriptor).download()
        folder = descriptor.getAbsolutePath()
        unsigned = []
        for name in (COMMAND_FILE, MEMENTO_FILE, *_record_names(folder)):
            path = os.path.join(folder, name)
            if not os.path.exists(path):
                continue
            with open(path, encoding="utf-8") as f:
                doc = json.load(f)
            if isinstance(doc, dict) and "signature" not in doc:
                unsigned.append((name, doc))
        if not unsigned:
            print(f"Nothing to adopt: every journal file of {ca.vpc_id} is signed")
            return EXIT_OK
        print(f"The unsigned journal of {ca.vpc_id} in s3://{descriptor.bucket}/{descriptor.prefix}:")
        for name, doc in unsigned:
            print(escape_controls(f"  {name}: {_adopt_summary(name, doc)}"))
        confirm(f"Sign {_plural(len(unsigned), 'file')} with the journal key?", yes)
        names = {name for name, _doc in unsigned}
        with journal_trust.adopting():
            if COMMAND_FILE in names:
                CommandHistory.init(folder, ca.vpc_id)
                CommandHistory._write()
            if MEMENTO_FILE in names:
                MementoHistory.init(folder, resolve=False)
                MementoHistory._write()
            for name, doc in unsigned:
                if name in (COMMAND_FILE, MEMENTO_FILE):
                    continue
                journal_trust.open_record(os.path.join(folder, name), doc, journal_trust.context_of(folder))
                atomic_write_json(os.path.join(folder, name), doc)
                s3.write_through(folder, name)
        print(f"Adopted the journal of {ca.vpc_id}: signed {', '.join(sorted(names))}")
    return EXIT_OK


def _adopt_summary(name, doc):
    """One line for people: what a journal file holds."""
    from tidewall.commands.history import COMMAND_FILE, MEMENTO_FILE

    if name == MEMENTO_FILE:
        entries = [
            e.get("class", "?").rsplit(".", 1)[-1] for e in doc.get("entries") or [] if isinstance(e, dict)
        ]
        return f"sequence {doc.get('seq', 0)}, {_plural(len(entries), 'step')} to undo: {', '.join(entries) or '-'}"
    if name == COMMAND_FILE:
        natgws = []
        for entry in doc.get("commands") or []:
            if isinstance(entry, dict) and entry.get("index") == 0:
                natgws = [
                    f"{r.get('nat_gw_id')} in {r.get('subnet_id')} with {r.get('eip')}"
                    for r in entry.get("natgws") or []
                    if isinstance(r, dict)
                ]
        return f"sequence {doc.get('seq', 0)}, discovery: {'; '.join(natgws) or 'none yet'}"
    tables = doc.get("RouteTables")
    if isinstance(tables, list):
        return f"backup of {_plural(len(tables), 'route table')} of {doc.get('vpc_id')}"
    return f"route snapshot {doc.get('tag')!r} of {_plural(len(doc.get('routes') or []), 'route')}"
