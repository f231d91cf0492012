"""The run's backup folder in S3: download before work, upload after, and write-through of single files.

`S3BackupCmdV2.download()` brings the folder's key prefix into the local folder and registers the folder,
so that every later change of a journal file can be stored at once with `write_through(folder, filename)`.
Objects are always written with one whole-object put, never in parts.

A file whose change may not have reached S3 yet is listed in the folder's pending list (`PENDING_FILE`):
`atomic_write_bytes` lists it before the file is replaced, a confirmed write-through takes it off. The
next download stores such files in S3 first, so an interrupted write-through cannot lose a journal change.

The download never deletes or overwrites a local file. A local file that S3 lacks, or whose content
differs from S3's, and that is not pending, is a conflict: the download stops before changing anything
and names both copies (`BackupConflictError`); someone has to decide which one is right. Files S3 has and
the folder lacks are fetched. Hidden names (the pending list, temp files, the run lock) are never journal
files: they are neither fetched nor compared nor stored.

Every write of a journal file is conditional on the ETag this process last read or wrote for its key
(`If-Match`; `If-None-Match: *` when the download found no such object), so a second writer (a run that
went on after its lock was deleted, say) is stopped at its first write, with S3's journal left as it was:
the local copy that lost is moved aside (a hidden `.NAME.conflict-TIME` file) and the next download
fetches S3's. No request is added: the ETags come with the listing, the fetches and the puts.

What is known to be in S3 (fetched, found equal, or stored) is remembered per registered folder, so an
upload stores only the files whose content S3 does not hold yet. Inside `download_once()` the prefix is
read from S3 once: a command that holds the VPC's run lock, and stores every change itself, knows what S3
holds from then on, so later downloads (to another folder, or again) send no request.
"""

import contextlib
import datetime
import hashlib
import json
import logging
import os
import tempfile

from botocore.exceptions import ClientError

from tidewall.core.exceptions import EXIT_USAGE, AccessError, TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib.lock import LOCK_NAME

logger = logging.getLogger("tidewall.lib.s3")

PENDING_FILE = ".unsynced.json"

# realpath of a local folder -> (s3 client, bucket, key prefix)
_registry = {}
# realpath of a registered folder -> {relname: sha256 of the content S3 holds, as far as this process knows}
_in_s3 = {}
# Inside download_once(): (bucket, prefix) -> {relname: content} of the journal files S3 holds
_remote = None

# (bucket, key) -> ETag of the object as this process last read or wrote it; ABSENT: there was none.
_etags = {}
ABSENT = object()
# (bucket, prefix) listed by this process: a key under it that the listing lacked did not exist then.
_listed = set()

# Called before an upload stores the folder: the journals write what they still hold in memory.
_before_upload = []


def add_before_upload(hook):
    """Register `hook()` to run before every upload (once per hook)."""
    if hook not in _before_upload:
        _before_upload.append(hook)


class S3BackupError(TidewallError):
    """The backup folder cannot be fetched from or stored in S3."""


class JournalWriteConflict(S3BackupError):
    """S3's copy of a journal file changed since this run last read or wrote it: another writer. Nothing
    was stored; this run stops."""

    exit_code = EXIT_USAGE


class BucketAccessError(S3BackupError, AccessError):
    """The backup bucket does not exist or refuses access: a configuration or access problem (exit status 2
    when nothing had changed yet)."""


class BackupConflictError(S3BackupError):
    """The local backup folder and S3 disagree, or the folder cannot be used safely; nothing was changed."""

    exit_code = EXIT_USAGE


def private_folder(path):
    """Create `path` and its missing parents with mode 0700 (owner only); returns the absolute path."""
    path = os.path.abspath(path)
    missing = []
    head = path
    while not os.path.isdir(head):
        missing.append(head)
        parent = os.path.dirname(head)
        if parent == head:
            break
        head = parent
    for folder in reversed(missing):
        with contextlib.suppress(FileExistsError):
            os.mkdir(folder, 0o700)
    return path


def check_no_symlink(path):
    """Refuse a backup folder path that is, passes through, or holds a symbolic link."""
    path = os.path.abspath(path)
    head = path
    while True:
        if os.path.islink(head):
            raise BackupConflictError(
                f"backup folder {path}: {head} is a symbolic link; refusing to use it (set backup_root to "
                "a folder reached without symbolic links)"
            )
        parent = os.path.dirname(head)
        if parent == head:
            break
        head = parent
    if os.path.isdir(path):
        for root, dirs, files in os.walk(path):
            for name in dirs + files:
                if os.path.islink(os.path.join(root, name)):
                    raise BackupConflictError(
                        f"backup folder {path} holds a symbolic link {os.path.join(root, name)}; refusing to "
                        "use it (replace the link by the file itself or remove it)"
                    )


def atomic_write_bytes(path, data, *, pending=True):
    """Replace `path` with `data` at once: temp file in the same folder, fsync, os.replace.

    A file of a folder registered for write-through is first listed as pending (unless `pending` is
    false): it stays listed until a write-through or an upload has stored it in S3.
    """
    path = os.path.abspath(path)
    folder = private_folder(os.path.dirname(path))
    if pending:
        _mark_pending(path)
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


_CHANGED = ("PreconditionFailed", "412", "ConditionalRequestConflict", "409")


def _condition(bucket, key, prefix=None):
    known = _etags.get((bucket, key))
    if known is None and prefix is not None and (bucket, prefix) in _listed:
        known = ABSENT
    if known is None:
        return {}
    return {"IfNoneMatch": "*"} if known is ABSENT else {"IfMatch": known}


def _put(client, bucket, key, data, prefix=None):
    condition = _condition(bucket, key, prefix)
    try:
        reply = client.put_object(Bucket=bucket, Key=key, Body=data, **condition)
    except ClientError as e:
        code = e.response.get("Error", {}).get("Code")
        if code in ("NoSuchBucket", "404"):
            raise BucketAccessError(f"backup bucket '{bucket}' does not exist (check s3_bucket)") from None
        if condition and str(code) in _CHANGED:
            raise JournalWriteConflict(
                f"s3://{bucket}/{key} was changed by another writer since this run last read or wrote it; "
                "this run stops here and leaves S3's journal as it is. Check `tidewall status` before going on"
            ) from None
        raise
    etag = reply.get("ETag") if isinstance(reply, dict) else None
    if etag:
        _etags[(bucket, key)] = etag
    else:
        _etags.pop((bucket, key), None)


def _remote_stored(bucket, prefix, relname, data):
    """Keep the record of what S3 holds (inside download_once) in step with a file just stored."""
    if _remote is not None and (bucket, prefix) in _remote:
        _remote[(bucket, prefix)][relname] = data


def _put_file(client, bucket, prefix, folder, relname):
    path = os.path.join(folder, *relname.split("/"))
    with open(path, "rb") as f:
        data = f.read()
    try:
        _put(client, bucket, _object_key(prefix, relname), data, prefix)
    except JournalWriteConflict:
        # The copy that lost goes aside, out of the journal: the next download fetches S3's.
        aside = os.path.join(
            os.path.dirname(path),
            f".{os.path.basename(path)}.conflict-{datetime.datetime.now():%Y%m%dT%H%M%S%f}",
        )
        os.replace(path, aside)
        _set_pending(folder, _pending(folder) - {relname})
        logger.error("  Kept this run's copy of %s as %s", relname, aside)
        raise
    _known_stored(folder, relname, data)
    _remote_stored(bucket, prefix, relname, data)


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


def _registered_folder(path):
    """(folder, relname) of the registered folder holding `path`, or (None, None)."""
    real = os.path.realpath(path)
    head = os.path.dirname(real)
    while True:
        if head in _registry:
            return head, os.path.relpath(real, head).replace(os.sep, "/")
        parent = os.path.dirname(head)
        if parent == head:
            return None, None
        head = parent


def _mark_pending(path):
    """List a file of a registered folder as pending before it changes (not in a dry run)."""
    if Globals.dry_run:
        return
    folder, relname = _registered_folder(path)
    if folder is None or is_scratch_file(relname) or _safe_relname(relname) is None:
        return
    pending = _pending(folder)
    if relname not in pending:
        _set_pending(folder, pending | {relname})


def register(folder, s3_client, bucket, prefix):
    key = _folder_key(folder)
    if _registry.get(key, (None, None, None))[1:] != (bucket, prefix):
        _in_s3[key] = {}
    _registry[key] = (s3_client, bucket, prefix)


def unregister(folder):
    _registry.pop(_folder_key(folder), None)
    _in_s3.pop(_folder_key(folder), None)


def clear_registry():
    _registry.clear()
    _in_s3.clear()
    _etags.clear()
    _listed.clear()


def _digest(data):
    return hashlib.sha256(data).hexdigest()


def _known_stored(folder, relname, data):
    """Remember that S3 holds `data` under `relname` of a registered folder."""
    known = _in_s3.get(_folder_key(folder))
    if known is not None:
        known[relname] = _digest(data)


@contextlib.contextmanager
def download_once():
    """Within the block, each backup prefix is read from S3 once (listed and its files fetched); later
    downloads of it use what that read found, kept up to date with every file stored since.

    For a command that holds the VPC's run lock: nobody else changes its journal in S3 meanwhile.
    """
    global _remote
    outer, _remote = _remote, {} if _remote is None else _remote
    try:
        yield
    finally:
        _remote = outer


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
    if relname not in pending:
        _set_pending(folder, pending | {relname})
    _put_file(client, bucket, prefix, folder, relname)
    _set_pending(folder, _pending(folder) - {relname})
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

    def _bucket_error(self, err):
        """The clear error for a listing refused because of the bucket itself, or None."""
        bucket = self.backup_descriptor.bucket
        code = err.response.get("Error", {}).get("Code")
        if code in ("404", "NoSuchBucket"):
            return BucketAccessError(f"backup bucket '{bucket}' does not exist (check s3_bucket)")
        if code in ("403", "AccessDenied"):
            return BucketAccessError(
                f"no access to backup bucket '{bucket}' (check the AWS credentials and their permissions)"
            )
        return None

    def _list_pages(self):
        prefix = self.backup_descriptor.prefix
        paginator = self.s3_client.get_paginator("list_objects_v2")
        pages = paginator.paginate(
            Bucket=self.backup_descriptor.bucket, Prefix=prefix + "/" if prefix else ""
        )
        try:
            # The listing answers for the bucket too (missing, no access): no separate check is sent.
            yield from pages
        except ClientError as e:
            error = self._bucket_error(e)
            if error is None:
                raise
            raise error from None

    def _remote_files(self):
        """relname -> key of the journal files under the prefix (their ETags are remembered)."""
        prefix = self.backup_descriptor.prefix
        bucket = self.backup_descriptor.bucket
        start = len(prefix) + 1 if prefix else 0
        remote = {}
        for known in [
            k for k in _etags if k[0] == bucket and k[1].startswith(prefix + "/" if prefix else "")
        ]:
            del _etags[known]  # what this listing finds replaces what was known
        for page in self._list_pages():
            for obj in page.get("Contents", []):
                key = obj["Key"]
                if key.endswith("/"):
                    continue
                relname = _safe_relname(key[start:])
                if relname == LOCK_NAME:  # the run lock: never a file of the local folder
                    continue
                if relname is None:
                    logger.warning("  Skipping S3 object %s: not a file name of the backup folder", key)
                    continue
                if is_scratch_file(relname):
                    logger.debug("  Not a journal file: %s", key)
                    continue
                remote[relname] = key
                if obj.get("ETag"):
                    _etags[(bucket, key)] = obj["ETag"]
        _listed.add((bucket, prefix))
        folders = {"/".join(r.split("/")[:n]) for r in remote for n in range(1, r.count("/") + 1)}
        clashes = sorted(folders & set(remote))
        if clashes:
            where = self._where
            raise BackupConflictError(
                "S3 keys that cannot all be files of one folder: "
                + "; ".join(f"{where}/{c} is an object and also a folder of other objects" for c in clashes)
                + ". Rename or remove one of them in S3"
            )
        return remote

    def _key_url(self, key):
        return f"s3://{self.backup_descriptor.bucket}/{key}"

    def download(self):
        """Bring the S3 prefix into the local folder and register the folder for write-through.

        Pending local changes are stored in S3 first; files only S3 has are fetched; nothing local is ever
        deleted or overwritten: a disagreement stops with BackupConflictError before anything changes. In
        a dry run nothing is stored in S3 and pending local changes are kept as they are.
        Returns the names of the journal files in S3.
        """
        descriptor = self.backup_descriptor
        bucket, prefix = descriptor.bucket, descriptor.prefix
        check_no_symlink(descriptor.local_path)
        folder = private_folder(descriptor.local_path)
        check_no_symlink(folder)
        if _remote is not None and (bucket, prefix) in _remote:
            # Read once by this command; kept up to date with what it stored since.
            bodies = dict(sorted(_remote[(bucket, prefix)].items()))
            remote = {relname: _object_key(prefix, relname) for relname in bodies}
        else:
            remote = self._remote_files()
            bodies = {}
            for relname, key in sorted(remote.items()):
                reply = self.s3_client.get_object(Bucket=bucket, Key=key)
                bodies[relname] = reply["Body"].read()
                if reply.get("ETag"):
                    _etags[(bucket, key)] = reply["ETag"]
            if _remote is not None:
                _remote[(bucket, prefix)] = dict(bodies)
        local = [n for n in _local_files(folder) if not is_scratch_file(n)]
        pending = {n for n in _pending(folder) if n in local}

        conflicts = []
        for relname in local:
            path = os.path.join(folder, *relname.split("/"))
            key = self._key_url(_object_key(prefix, relname))
            if relname in pending:
                continue
            if relname not in remote:
                conflicts.append(f"local {path} has no copy in S3 ({key} does not exist)")
                continue
            with open(path, "rb") as f:
                if f.read() != bodies[relname]:
                    conflicts.append(f"local {path} differs from {key}")
        for relname in remote:
            parts = relname.split("/")
            for n in range(1, len(parts) + 1):
                path = os.path.join(folder, *parts[:n])
                blocked = os.path.isfile(path) if n < len(parts) else os.path.isdir(path)
                if blocked and os.path.lexists(path):
                    conflicts.append(
                        f"local {path} is in the way of {self._key_url(remote[relname])} "
                        f"({'a file where S3 has a folder' if n < len(parts) else 'a folder where S3 has a file'})"
                    )
                    break
        if conflicts:
            raise BackupConflictError(
                f"the local backup folder {folder} and {self._where} disagree: "
                + "; ".join(conflicts)
                + ". Nothing was changed. Decide which copy is right: to keep S3's, move the local file "
                "away; to keep the local one, copy it to S3 (aws s3 cp LOCAL S3-URL); then run again"
            )

        stored_first = []
        if pending and Globals.dry_run:
            logger.warning(
                "  Dry run: keeping local changes not yet stored in S3: %s", ", ".join(sorted(pending))
            )
        elif pending:
            for relname in sorted(pending):
                logger.warning("  Storing %s in S3 first: its last change had not reached S3", relname)
                _put_file(self.s3_client, bucket, prefix, folder, relname)
                stored_first.append(relname)
            _set_pending(folder, set())

        fetched = 0
        for relname, body in bodies.items():
            path = os.path.join(folder, *relname.split("/"))
            if os.path.lexists(path):
                continue  # the same content, or a pending change kept above
            atomic_write_bytes(path, body, pending=False)
            fetched += 1

        register(folder, self.s3_client, bucket, prefix)
        for relname, body in bodies.items():
            if relname not in pending:
                _known_stored(folder, relname, body)
        for relname in stored_first:
            with open(os.path.join(folder, *relname.split("/")), "rb") as f:
                _known_stored(folder, relname, f.read())
        files = "1 file" if len(remote) == 1 else f"{len(remote)} files"
        if not remote:
            logger.info("- Backup folder %s holds no file yet (local folder %s)", self._where, folder)
        elif fetched == len(remote):
            logger.info("- Downloaded %s from %s to %s", files, self._where, folder)
        elif fetched == 0:
            logger.info(
                "- Backup folder %s: %s, already in %s (nothing to fetch)", self._where, files, folder
            )
        else:
            logger.info(
                "- Downloaded %d of %s from %s to %s (the others already there)",
                fetched,
                files,
                self._where,
                folder,
            )
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
        known = _in_s3.get(_folder_key(folder))
        entry = _registry.get(_folder_key(folder))
        if entry is None or entry[1:] != (self.backup_descriptor.bucket, self.backup_descriptor.prefix):
            known = None  # not the folder this process downloaded: store everything
        names = []
        for relname in (n for n in _local_files(folder) if not is_scratch_file(n)):
            if known is not None:
                with open(os.path.join(folder, *relname.split("/")), "rb") as f:
                    if known.get(relname) == _digest(f.read()):
                        continue  # S3 holds it already (written through)
            _put_file(
                self.s3_client, self.backup_descriptor.bucket, self.backup_descriptor.prefix, folder, relname
            )
            names.append(relname)
        _set_pending(folder, set())
        if names:
            files = "1 file" if len(names) == 1 else f"{len(names)} files"
            logger.info("- Uploaded %s from %s to %s", files, folder, self._where)
        else:
            logger.info(
                "- Backup folder %s is up to date in %s (every change was stored as it was made)",
                folder,
                self._where,
            )
        return names
