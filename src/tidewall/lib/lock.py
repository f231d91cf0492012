"""One run at a time per VPC: a lock object under the VPC's backup prefix in S3.

A command that changes the VPC or its journal (`execute`, `revert`, `reset`) creates the object
`<prefix>/.run-lock.json` with a conditional put (`If-None-Match: *`): S3 creates it only when no object of
that name exists, so of two runs started together exactly one gets it; the other is refused with
`LockHeldError` before it has changed anything. The object records who holds it (lock id, command, user,
host, process id, start time). It is removed at the end of the run, with a conditional delete on the ETag
of our own put, so a run never removes a lock that another run took after `tidewall unlock`.

A run killed with SIGKILL leaves its lock behind; `tidewall unlock --config FILE --lock-id ID` removes it,
and only when the id matches. `unlock` refuses a holder that is alive on this host (same host name, its
process id alive with the start time the lock records); any other holder is shown and the removal asked
for (`--yes` answers without a terminal). Every text read from a lock object is shown with its control
characters escaped, and the command the operator is told to paste is quoted for the shell. The lock's name starts with a dot: the backup download never fetches it into
the local folder and the upload never stores it.
"""

from __future__ import annotations

import datetime
import getpass
import json
import logging
import os
import re
import shlex
import socket
import time
import uuid
from dataclasses import asdict, dataclass

from botocore.exceptions import ClientError

from tidewall.core.exceptions import EXIT_FAILED, EXIT_USAGE, AccessError, TidewallError
from tidewall.core.redact import escape_controls

logger = logging.getLogger("tidewall.lib.lock")

LOCK_NAME = ".run-lock.json"
LOCK_FORMAT = 1

# Codes S3 answers a conditional request with when the condition does not hold. 409 comes from a put that
# raced another conditional put of the same key: the other one won.
_EXISTS = ("PreconditionFailed", "412", "ConditionalRequestConflict", "409")
_MISSING = ("NoSuchKey", "404", "NotFound")
_UNSUPPORTED = ("NotImplemented", "501")


def _code(err):
    error = err.response.get("Error", {})
    return str(error.get("Code") or err.response.get("ResponseMetadata", {}).get("HTTPStatusCode", ""))


def _delete_condition(s3_client, etag):
    """DeleteObject's If-Match on `etag`, where this botocore knows it (older ones refuse the parameter).

    Stores that ignore the condition still get the check by lock id that precedes every delete here.
    """
    if not etag:
        return {}
    members = s3_client.meta.service_model.operation_model("DeleteObject").input_shape.members
    return {"IfMatch": etag} if "IfMatch" in members else {}


def _read_lock_object(s3_client, bucket, key):
    """(LockInfo, ETag) of the lock object, or (None, None) when there is none."""
    try:
        reply = s3_client.get_object(Bucket=bucket, Key=key)
    except ClientError as e:
        if _code(e) in _MISSING:
            return None, None
        raise
    return LockInfo.from_json(reply["Body"].read()), reply.get("ETag")


def lock_key(prefix):
    """The S3 key of the lock object of the backup prefix `prefix`."""
    return f"{prefix}/{LOCK_NAME}" if prefix else LOCK_NAME


# The lock ids this tool writes: uuid4().hex.
LOCK_ID = re.compile(r"[0-9a-f]{32}")


def is_lock_id(text):
    return isinstance(text, str) and LOCK_ID.fullmatch(text) is not None


def unlock_hint(config_path, lock_id):
    """The command that removes the lock `lock_id`, quoted for the shell it is pasted into."""
    config = shlex.quote(str(config_path)) if config_path else "FILE"
    if not is_lock_id(lock_id):
        return (
            f"(none: the lock object holds the id {escape_controls(lock_id)!r}, which is not one this tool "
            "writes; look at the lock object itself before removing it)"
        )
    return f"tidewall unlock --config {config} --lock-id {shlex.quote(lock_id)}"


def _process_started(pid):
    """When process `pid` of this host started (seconds since the epoch), or None when it is not alive."""
    if not isinstance(pid, int) or pid <= 0:
        return None
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return None
    except PermissionError:
        pass  # alive, another user's
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as f:
            ticks = int(f.read().rsplit(")", 1)[1].split()[19])
        with open("/proc/stat", encoding="ascii") as f:
            boot = next(int(line.split()[1]) for line in f if line.startswith("btime "))
        return boot + ticks / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, StopIteration):
        return time.time()  # alive, start time unknown: taken as the holder's


@dataclass(frozen=True)
class LockInfo:
    """Who holds a lock: what the lock object records."""

    lock_id: str
    command: str
    user: str
    host: str
    pid: int
    started: str  # UTC, ISO 8601
    vpc_id: str = ""
    process_started: float = 0.0  # when the holder's process started (seconds since the epoch); 0 unknown

    @classmethod
    def new(cls, command, vpc_id):
        try:
            user = getpass.getuser()
        except (KeyError, OSError):  # no user name for this uid (containers)
            user = f"uid {os.getuid()}"
        started = (
            datetime.datetime.now(datetime.UTC).replace(microsecond=0).isoformat().replace("+00:00", "Z")
        )
        process_started = _process_started(os.getpid()) or 0.0
        return cls(
            uuid.uuid4().hex,
            command,
            user,
            socket.gethostname(),
            os.getpid(),
            started,
            vpc_id,
            process_started,
        )

    @classmethod
    def from_json(cls, data):
        """The holder recorded in a lock object's body; fields that cannot be read say so."""
        try:
            record = json.loads(data)
        except ValueError:
            record = None
        if not isinstance(record, dict):
            return cls(
                "(unreadable)", "(unknown command)", "(unknown user)", "(unknown host)", 0, "(unknown)"
            )

        def text(name, default):
            # Whoever can write the bucket writes these texts: never a control character to a terminal.
            value = record.get(name)
            return escape_controls(value) if isinstance(value, str) and value else default

        pid = record.get("pid")
        process_started = record.get("process_started")
        return cls(
            text("lock_id", "(unreadable)"),
            text("command", "(unknown command)"),
            text("user", "(unknown user)"),
            text("host", "(unknown host)"),
            pid if isinstance(pid, int) and not isinstance(pid, bool) else 0,
            text("started", "(unknown)"),
            text("vpc_id", ""),
            float(process_started)
            if isinstance(process_started, int | float) and not isinstance(process_started, bool)
            else 0.0,
        )

    def to_json(self):
        return json.dumps({"format": LOCK_FORMAT, **asdict(self)}, indent=2, sort_keys=True).encode("utf-8")

    def to_record(self):
        """The holder as `--output json` shows it, in every command's object (`held_by` in words)."""
        return {
            "lock_id": self.lock_id,
            "command": self.command,
            "user": self.user,
            "host": self.host,
            "pid": self.pid,
            "started": self.started,
            "held_by": self.describe(),
        }

    def describe(self):
        """'execute by alice@host1 (pid 4242) since 2026-01-02T03:04:05Z'"""
        return f"{self.command} by {self.user}@{self.host} (pid {self.pid}) since {self.started}"

    def __str__(self):
        return self.describe()

    def alive_here(self):
        """Whether the holder is a process alive on this host: same host name, its pid alive, started when
        the lock says (within a second; a lock that records no start time: started before the lock)."""
        if self.host != socket.gethostname():
            return False
        started = _process_started(self.pid)
        if started is None:
            return False
        if self.process_started:
            return abs(started - self.process_started) < 1.0
        try:
            taken = datetime.datetime.fromisoformat(self.started.replace("Z", "+00:00")).timestamp()
        except ValueError:
            return True
        return started <= taken + 1.0


class LockHeldError(TidewallError):
    """Another run holds the VPC's lock; nothing was changed. `holder` is its LockInfo."""

    exit_code = EXIT_USAGE

    def __init__(self, vpc_id, holder, config_path=None):
        self.vpc_id = vpc_id
        self.holder = holder
        super().__init__(
            f"{vpc_id} is locked by {holder.describe()}, lock id {escape_controls(holder.lock_id)}; nothing was "
            "changed. "
            "Only one execute, revert or reset may run on a VPC at a time. If that run is no longer running "
            f"(killed, or its machine gone), remove the stale lock with: "
            f"{unlock_hint(config_path, holder.lock_id)}"
        )


class LockError(TidewallError):
    """The lock could not be taken, checked or removed as required."""


class LockReleaseError(LockError):
    """The run's own lock could not be removed at its end (the run's work itself is done)."""

    exit_code = EXIT_FAILED


class RunLock:
    """The lock of one VPC's backup prefix: `acquire()` / `release()`, or `with RunLock(...):`."""

    def __init__(self, s3_client, bucket, prefix, vpc_id, command, config_path=None):
        self.s3_client = s3_client
        self.bucket = bucket
        self.key = lock_key(prefix)
        self.vpc_id = vpc_id
        self.command = command
        self.config_path = config_path
        self.info = None  # our LockInfo while held
        self._etag = None

    @property
    def where(self):
        return f"s3://{self.bucket}/{self.key}"

    @property
    def held(self):
        return self.info is not None

    def acquire(self):
        """Create the lock object, or raise LockHeldError naming its holder. Returns our LockInfo."""
        if self.held:
            return self.info
        info = LockInfo.new(self.command, self.vpc_id)
        for _attempt in range(3):
            try:
                reply = self.s3_client.put_object(
                    Bucket=self.bucket,
                    Key=self.key,
                    Body=info.to_json(),
                    ContentType="application/json",
                    IfNoneMatch="*",
                )
            except ClientError as e:
                if _code(e) == "NoSuchBucket":
                    raise AccessError(
                        f"backup bucket '{self.bucket}' does not exist (check s3_bucket)"
                    ) from None
                if _code(e) not in _EXISTS:
                    raise
                holder = read_lock(self.s3_client, self.bucket, self.key)
                if holder is None:  # released between our put and our read: try again
                    continue
                raise LockHeldError(self.vpc_id, holder, self.config_path) from None
            self.info, self._etag = info, reply.get("ETag")
            logger.info("Took the run lock of %s (lock id %s)", self.vpc_id, info.lock_id)
            logger.debug("  Run lock object %s: %s", self.where, info.describe())
            return info
        raise LockError(f"the run lock {self.where} keeps changing hands; try again")

    def release(self):
        """Remove our lock object. Raises LockReleaseError when it cannot be removed or is not ours any more.

        After a failure the lock counts as released by this object (a second call does nothing): what is
        left in S3 is for `tidewall unlock`, which the error names.
        """
        if not self.held:
            return
        info, etag = self.info, self._etag
        self.info = self._etag = None
        hint = unlock_hint(self.config_path, info.lock_id)

        def taken_away(now):
            other = f"; it is now held by {now.describe()}, lock id {now.lock_id}" if now else ""
            return LockReleaseError(
                f"the run lock {info.lock_id} of {self.vpc_id} was removed by someone else while this "
                f"run held it{other}. Another command may have run on this VPC at the same time: check "
                "`tidewall status` before going on"
            )

        try:
            # Still ours? Checked by id as well as by the delete's condition, which not every store honours.
            now, now_etag = _read_lock_object(self.s3_client, self.bucket, self.key)
            if now is None or now.lock_id != info.lock_id:
                raise taken_away(now)
            condition = _delete_condition(self.s3_client, now_etag or etag)
            try:
                self.s3_client.delete_object(Bucket=self.bucket, Key=self.key, **condition)
            except ClientError as e:
                if not condition or _code(e) not in _UNSUPPORTED:
                    raise
                # A store without conditional deletes: the lock id was checked just now.
                self.s3_client.delete_object(Bucket=self.bucket, Key=self.key)
        except LockReleaseError:
            raise
        except ClientError as e:
            code = _code(e)
            if code in _EXISTS or code in _MISSING:
                raise taken_away(read_lock(self.s3_client, self.bucket, self.key)) from None
            raise LockReleaseError(
                f"the run lock {info.lock_id} of {self.vpc_id} could not be removed ({code}: "
                f"{e.response.get('Error', {}).get('Message', e)}); the next command on this VPC will be "
                f"refused until it is removed with: {hint}"
            ) from None
        except Exception as e:  # a network failure after botocore's retries
            from tidewall.core.exceptions import plain_error

            raise LockReleaseError(
                f"the run lock {info.lock_id} of {self.vpc_id} could not be removed ({plain_error(e)[0]}); "
                f"the next command on this VPC will be refused until it is removed with: {hint}"
            ) from None
        logger.info("Released the run lock of %s", self.vpc_id)

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, *exc):
        self.release()


def read_lock(s3_client, bucket, key):
    """The LockInfo of the lock object `key`, or None when there is none."""
    return _read_lock_object(s3_client, bucket, key)[0]


def read_lock_of(s3_client, descriptor):
    """The holder of the lock of a backup descriptor's prefix, or None."""
    return read_lock(s3_client, descriptor.bucket, lock_key(descriptor.prefix))


def force_unlock(s3_client, descriptor, lock_id, vpc_id="", confirm=None):
    """Remove the lock of `descriptor`'s prefix when its id is `lock_id`; returns the removed LockInfo.

    Refuses (a LockError with exit status 2) a lock id not of the form this tool writes, no lock held, an id
    that differs, and a holder alive on this host. `confirm(holder)` is asked before the removal (it raises
    to refuse). The delete is conditional on the object read (where the store honours it), so a lock taken
    in between is not removed.
    """
    bucket, key = descriptor.bucket, lock_key(descriptor.prefix)
    where = vpc_id or f"s3://{bucket}/{descriptor.prefix}"
    if not is_lock_id(lock_id):
        raise LockError(
            f"--lock-id {escape_controls(lock_id)!r} is not a lock id of this tool (32 hexadecimal digits, as "
            "status and the refusal name it); nothing was changed",
            exit_code=EXIT_USAGE,
        )
    holder, etag = _read_lock_object(s3_client, bucket, key)
    if holder is None:
        raise LockError(f"no run lock is held on {where}; nothing to remove", exit_code=EXIT_USAGE)
    if holder.lock_id != lock_id:
        raise LockError(
            f"refusing to unlock {where}: the lock held is {holder.lock_id} ({holder.describe()}), "
            f"not {lock_id}. Check that run is gone, then pass its lock id",
            exit_code=EXIT_USAGE,
        )
    if holder.alive_here():
        raise LockError(
            f"refusing to unlock {where}: its holder, {holder.describe()}, is still running on this host. Let it "
            "finish, or stop it first (Ctrl-C, or kill " + str(holder.pid) + "); nothing was changed",
            exit_code=EXIT_USAGE,
        )
    if confirm is not None:
        confirm(holder)
    try:
        s3_client.delete_object(Bucket=bucket, Key=key, **_delete_condition(s3_client, etag))
    except ClientError as e:
        if _code(e) in _EXISTS or _code(e) in _MISSING:
            raise LockError(
                f"the run lock of {where} changed while it was being removed; run `tidewall status` and try again",
                exit_code=EXIT_USAGE,
            ) from None
        raise
    logger.info("Removed the run lock %s of %s (%s)", lock_id, where, holder.describe())
    return holder
