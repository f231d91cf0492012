"""`tidewall fleet unlock --fleet FILE`: remove the run locks that a fleet killed outright left, VPC by VPC.

A fleet killed with SIGKILL (or a machine that went down under it) can leave a run lock on every VPC that
was running. `tidewall unlock` removes one lock and needs that VPC's configuration; here the fleet file
stands for all of them. Each VPC gets the checks `unlock` makes (the lock removed is the one read, by its
id, with a conditional delete), and a lock is removed only when its run is known to be gone:

- its id is given with `--lock-id` (the operator checked that run has ended), or
- it names a process of this machine that no longer runs.

A lock held from another machine, or by a process of this one that still runs, is kept and named with the
command that removes it. Exit status: 0 when no selected VPC is locked at the end, 1 when a lock was kept
or could not be removed, 2 for a fleet file or option that cannot be used (nothing was changed).
"""

from __future__ import annotations

import json
import logging
import shlex
import sys

from tidewall.core.exceptions import EXIT_FAILED, EXIT_OK
from tidewall.core.redact import clean
from tidewall.fleet.fleetfile import load_fleet
from tidewall.fleet.scheduler import lock_is_stale
from tidewall.logs import demoted

logger = logging.getLogger("tidewall.fleet")

# What became of each VPC's lock.
UNLOCKED = "unlocked"  # its lock was removed
NOT_LOCKED = "not_locked"  # there was none
KEPT = "kept"  # its run may still be going: the lock stays
FAILED = "failed"  # the lock could not be read or removed


def unlock_hint(fleet_path, lock_ids=()):
    """The command that removes the locks of a fleet (with these ids, where given)."""
    ids = "".join(f" --lock-id {shlex.quote(i)}" for i in lock_ids)
    return f"tidewall fleet unlock --fleet {shlex.quote(str(fleet_path))}{ids}"


def _holder_json(holder):
    return {
        "lock_id": holder.lock_id,
        "command": holder.command,
        "user": holder.user,
        "host": holder.host,
        "pid": holder.pid,
        "started": holder.started,
        "holder": holder.describe(),
    }


def unlock_entry(entry, lock_ids, fleet_path, s3_client=None):
    """(result word, lock record or None, text) for one VPC of the fleet."""
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.lib.lock import force_unlock, read_lock_of

    ca = entry.adaptor
    s3_client = s3_client if s3_client is not None else AwsClientManager(ca).getS3Client()
    holder = read_lock_of(s3_client, ca.backup_descriptor)
    if holder is None:
        return NOT_LOCKED, None, "not locked"
    lock = _holder_json(holder)
    if holder.alive_here():
        return (
            KEPT,
            lock,
            f"kept the run lock {holder.lock_id}: {holder.describe()} is still running on this host",
        )
    if holder.lock_id not in lock_ids and not lock_is_stale(lock):
        return (
            KEPT,
            lock,
            f"kept the run lock {holder.lock_id} of {holder.describe()}: that run may still be going. If it "
            f"has ended, remove the lock with: {unlock_hint(fleet_path, [holder.lock_id])}",
        )
    with demoted("tidewall.lib.lock"):  # the VPC's line says it
        force_unlock(s3_client, ca.backup_descriptor, holder.lock_id, ca.vpc_id)
    return UNLOCKED, lock, f"removed the run lock {holder.lock_id} (it was held by {holder.describe()})"


def unlock_fleet(fleet_path, only=None, lock_ids=(), output="text", out=None, clients=None):
    """Remove the stale run locks of the fleet's VPCs; prints one line per VPC (or one JSON object).

    Returns the exit status (see the module docstring); a fleet file that cannot be used raises
    FleetFileError before any lock is read. `clients` (vpc id -> S3 client) stands in for AWS in tests.
    """
    out = out if out is not None else sys.stdout
    fleet = load_fleet(fleet_path, "unlock")
    entries = fleet.select(only)
    lock_ids = set(lock_ids or ())
    rows = []
    for entry in entries:
        try:
            s3_client = (clients or {}).get(entry.vpc_id)
            result, lock, text = unlock_entry(entry, lock_ids, fleet.path, s3_client)
        except Exception as e:  # one VPC that cannot be reached does not stop the others
            logger.debug("fleet unlock of %s failed", entry.vpc_id, exc_info=True)
            result, lock, text = FAILED, None, " ".join(str(e).split()) or type(e).__name__
        rows.append({"vpc_id": entry.vpc_id, "result": result, "lock": lock, "text": text})
    status = EXIT_OK if all(r["result"] in (UNLOCKED, NOT_LOCKED) for r in rows) else EXIT_FAILED
    if output == "json":
        data = {"command": "fleet unlock", "fleet": fleet.path, "exit_status": status, "vpcs": rows}
        out.write(json.dumps(data, indent=2) + "\n")
    else:
        width = max(len(r["vpc_id"]) for r in rows)
        for row in rows:
            out.write(f"{row['vpc_id']:<{width}}  {clean(row['text'])}\n")
        removed = sum(1 for r in rows if r["result"] == UNLOCKED)
        left = len(rows) - removed - sum(1 for r in rows if r["result"] == NOT_LOCKED)
        if not removed and not left:
            summary = "No VPC of the fleet is locked: nothing to remove"
        else:
            summary = f"Removed {removed} run lock{'' if removed == 1 else 's'}"
            if left:
                summary += f"; {left} VPC{' is' if left == 1 else 's are'} still locked or could not be read"
            else:
                summary += "; no VPC of the fleet is locked now: run the fleet again to resume"
        out.write(summary + "\n")
    out.flush()
    return status
