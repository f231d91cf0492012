"""The run's backup folder in S3: download before work, upload after, and write-through of single files.

S3 holds the truth. `S3BackupCmdV2.download()` mirrors the folder's key prefix into the local folder and
registers the folder, so that every later change of a journal file can be stored at once with
`write_through(folder, filename)`. Objects are always written with one whole-object put, never in parts.

A file whose write-through was started but not confirmed is listed in the folder's pending list
(`PENDING_FILE`); the next download stores such files first instead of overwriting them with the older copy
from S3, so a failed or interrupted upload cannot lose a journal change.
"""

import contextlib
import json
import logging
import os
import tempfile

from botocore.exceptions import ClientError

from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib.lock import LOCK_NAME

logger = logging.getLogger("tidewall.lib.s3")

PENDING_FILE = ".unsynced.json"

# realpath of a local folder -> (s3 client, bucket, key prefix)
_registry = {}

# Called before an upload stores the folder: the journals write what they still hold in memory.
_before_upload = []


def add_before_upload(hook):
    """Register `hook()` to run before every upload (once per hook)."""
    if hook not in _before_upload:
        _before_upload.append(hook)


class S3BackupError(TidewallError):
    """The backup folder cannot be fetched from or stored in S3."""


def atomic_write_bytes(path, data):
    """Replace `path` with `data` at once: temp file in the same folder, fsync, os.replace."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    dir_fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def is_scratch_file(relname):
    """Hidden files (the pending list, unfinished temp files of atomic writes) are never stored in S3."""
    return relname.rsplit("/", 1)[-1].startswith(".")


def _folder_key(folder):
    return os.path.realpath(folder)


def _safe_relname(relname):
    """`relname` with '/' separators when it stays inside the folder, else None."""
    relname = relname.replace(os.sep, "/")
    parts = relname.split("/")
    if not relname or "\0" in relname or "\\" in relname or any(p in ("", ".", "..") for p in parts):
        return None
    return relname


def _object_key(prefix, relname):
    return f"{prefix}/{relname}" if prefix else relname


def _put(client, bucket, key, data):
    try:
        client.put_object(Bucket=bucket, Key=key, Body=data)
    except ClientError as e:
        if e.response.get("Error", {}).get("Code") in ("NoSuchBucket", "404"):
            raise S3BackupError(f"backup bucket '{bucket}' does not exist (check s3_bucket)") from None
        raise


def _put_file(client, bucket, prefix, folder, relname):
    with open(os.path.join(folder, *relname.split("/")), "rb") as f:
        data = f.read()
    _put(client, bucket, _object_key(prefix, relname), data)


def _pending(folder):
    try:
        with open(os.path.join(folder, PENDING_FILE), encoding="utf-8") as f:
            names = json.load(f)
    except FileNotFoundError:
        return set()
    except ValueError:
        logger.warning("  Ignoring unreadable %s in %s", PENDING_FILE, folder)
        return set()
    return {n for n in names if isinstance(n, str) and _safe_relname(n)}


def _set_pending(folder, names):
    path = os.path.join(folder, PENDING_FILE)
    if names:
        atomic_write_bytes(path, json.dumps(sorted(names)).encode("utf-8"))
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def register(folder, s3_client, bucket, prefix):
    _registry[_folder_key(folder)] = (s3_client, bucket, prefix)


def unregister(folder):
    _registry.pop(_folder_key(folder), None)


def clear_registry():
    _registry.clear()


def write_through(folder, filename):
    """Store one file of a registered folder in S3 now. Returns True when it was uploaded.

    No-op (False) when the folder was not registered by a download, or in a dry run.
    """
    if Globals.dry_run:
        return False
    entry = _registry.get(_folder_key(folder))
    if entry is None:
        return False
    relname = _safe_relname(filename)
    if relname is None:
        raise ValueError(f"{filename!r} is not a file name inside {folder}")
    client, bucket, prefix = entry
    pending = _pending(folder)
    _set_pending(folder, pending | {relname})
    _put_file(client, bucket, prefix, folder, relname)
    _set_pending(folder, pending - {relname})
    return True


def _local_files(folder):
    out = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            relname = os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/")
            out.append(relname)
    return out


class S3BackupCmdV2:
    """Fetches and stores the backup folder described by a BackupDescriptor."""

    def __init__(self, s3_client, backup_descriptor):
        self.s3_client = s3_client
        self.backup_descriptor = backup_descriptor

    @property
    def _where(self):
        return f"s3://{self.backup_descriptor.bucket}/{self.backup_descriptor.prefix}"

    def _check_bucket(self):
        bucket = self.backup_descriptor.bucket
        try:
            self.s3_client.head_bucket(Bucket=bucket)
        except ClientError as e:
            code = e.response.get("Error", {}).get("Code")
            if code in ("404", "NoSuchBucket"):
                raise S3BackupError(f"backup bucket '{bucket}' does not exist (check s3_bucket)") from None
            if code in ("403", "AccessDenied"):
                raise S3BackupError(f"no access to backup bucket '{bucket}'") from None
            raise

    def _remote_files(self):
        prefix = self.backup_descriptor.prefix
        start = len(prefix) + 1 if prefix else 0
        remote = {}
        paginator = self.s3_client.get_paginator("list_objects_v2")
        pages = paginator.paginate(
            Bucket=self.backup_descriptor.bucket, Prefix=prefix + "/" if prefix else ""
        )
        for page in pages:
            for obj in page.get("Contents", []):
                key = obj["Key"]
                if key.endswith("/"):
                    continue
                relname = _safe_relname(key[start:])
                if relname == LOCK_NAME:  # the run lock: never a file of the local folder
                    continue
                if relname is None or is_scratch_file(relname):
                    logger.warning("  Skipping S3 object %s: not a file name of the backup folder", key)
                    continue
                remote[relname] = key
        return remote

    def download(self):
        """Mirror the S3 prefix into the local folder and register the folder for write-through.

        Returns the names of the files fetched.
        """
        folder = self.backup_descriptor.getAbsolutePath()
        bucket = self.backup_descriptor.bucket
        self._check_bucket()

        keep = set()
        pending = {n for n in _pending(folder) if os.path.isfile(os.path.join(folder, n))}
        if pending and Globals.dry_run:
            logger.warning(
                "  Dry run: keeping local changes not yet stored in S3: %s", ", ".join(sorted(pending))
            )
            keep = pending | {PENDING_FILE}
        elif pending:
            for relname in sorted(pending):
                logger.warning("  Storing %s in S3 first: its last change had not reached S3", relname)
                _put_file(self.s3_client, bucket, self.backup_descriptor.prefix, folder, relname)
            _set_pending(folder, set())

        remote = self._remote_files()
        for relname, key in sorted(remote.items()):
            if relname in keep:
                continue
            body = self.s3_client.get_object(Bucket=bucket, Key=key)["Body"].read()
            atomic_write_bytes(os.path.join(folder, *relname.split("/")), body)

        for relname in _local_files(folder):
            if relname not in remote and relname not in keep:
                logger.info("  Removing %s: not in the S3 backup", relname)
                os.unlink(os.path.join(folder, *relname.split("/")))
        for root, _dirs, _files in os.walk(folder, topdown=False):
            if root != folder and not os.listdir(root):
                os.rmdir(root)

        register(folder, self.s3_client, bucket, self.backup_descriptor.prefix)
        logger.info("- Downloaded %d file(s) from %s to %s", len(remote), self._where, folder)
        return sorted(remote)

    def upload(self):
        """Run the before-upload hooks (the journals flush), then store every file of the local folder
        under the prefix.

        Returns the names of the files stored (none in a dry run).
        """
        for hook in list(_before_upload):
            hook()
        folder = self.backup_descriptor.getAbsolutePath()
        if Globals.dry_run:
            logger.info("  Dry run: upload of %s to %s skipped", folder, self._where)
            return []
        names = [n for n in _local_files(folder) if not is_scratch_file(n)]
        for relname in names:
            _put_file(
                self.s3_client, self.backup_descriptor.bucket, self.backup_descriptor.prefix, folder, relname
            )
        _set_pending(folder, set())
        logger.info("- Uploaded %d file(s) from %s to %s", len(names), folder, self._where)
        return names
