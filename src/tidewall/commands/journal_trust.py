"""Whose journal this is, and whether it is the one this machine last wrote or read.

Each journal file (the command history and the memento history) names its owner: the access account,
the VPC, the region, the bucket and the key prefix of the configuration that wrote it. A file whose owner
differs from the configuration's (a journal copied from another VPC's prefix, for instance) is refused.

Each write carries a sequence number one above the last one, and with `journal_key_env` configured an
HMAC-SHA256 over the file's canonical body (owner and sequence number included) under the key held by
that environment variable. A signature that does not match is refused. This machine keeps, next to the
local backup folder, the sequence number it last saw of each file (and whether the file was signed and
named its owner then); a file older than that, or one that lost its signature or owner since, is refused
(a replayed or stripped copy).

Files written before owners were recorded are accepted with a warning as long as this machine never saw
the file with an owner; the next write (only a locked run writes) records the owner.

Once `journal_key_env` is configured, the key is always enforced: every journal file, and every record
the restore checks rely on (the route-table backup and the route snapshots; the discovery is part of the
command history), must carry a valid signature, on every machine, whatever this machine saw before. An
unsigned one is refused (exit status 2). The only way to take an unsigned journal in under a key is
`tidewall adopt`, which shows what it is about to sign and signs it (`adopting()`).

A history finds the context of its folder through `bind()`, which the backup descriptor of a configuration
calls when it hands out the folder. A folder without a context (a history used on its own) is read and
written without owner or signature.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import logging
import os
from dataclasses import dataclass

from tidewall.core import redact
from tidewall.core.exceptions import EXIT_USAGE, TidewallError

logger = logging.getLogger("tidewall.commands.journal_trust")

OWNER_FIELDS = ("account", "vpc_id", "region", "bucket", "prefix")
SIGNATURE_ALG = "HMAC-SHA256"
_SIGNING_TAG = b"tidewall journal\n"


class JournalTrustError(TidewallError):
    """A journal that belongs elsewhere, is older than the one last seen, or whose signature fails."""

    exit_code = EXIT_USAGE


@dataclass(frozen=True)
class JournalContext:
    """What a configuration says about its journal: the owner, the key variable, where this machine keeps
    its record of the journal, and what the restore checks compare against."""

    account: str
    vpc_id: str
    region: str
    bucket: str
    prefix: str
    key_env: str | None
    seen_path: str
    spoke_gw_name: str | None = None

    def owner(self):
        return {name: getattr(self, name) for name in OWNER_FIELDS}

    def key(self):
        """The journal key as bytes, or None when no `journal_key_env` is configured."""
        if not self.key_env:
            return None
        value = os.environ.get(self.key_env)
        if not value:
            raise JournalTrustError(
                f"configuration field 'journal_key_env': environment variable {self.key_env} is not set "
                f"(export {self.key_env}=... with the journal key)"
            )
        redact.add_secret(value)
        return value.encode("utf-8")


def seen_path_for(local_folder):
    """Where this machine keeps its record of the journal of `local_folder`: a hidden file next to it, never
    part of the backup folder (so never stored in or fetched from S3, and kept by a reset)."""
    local_folder = os.path.abspath(local_folder)
    parent, name = os.path.split(local_folder)
    return os.path.join(parent, f".{name}.journal-seen.json")


# ------------------------------------------------------------------------------------------------ adopting

_adopting = False


class adopting:
    """Within the block, unsigned files are read under a key (to be signed by their next write): only
    `tidewall adopt` does this, after showing the operator what it signs."""

    def __enter__(self):
        global _adopting
        self._outer, _adopting = _adopting, True
        return self

    def __exit__(self, *exc):
        global _adopting
        _adopting = self._outer


def _unsigned_refusal(path, what="journal"):
    return JournalTrustError(
        f"{path}: the {what} is not signed, but journal_key_env is configured, so every journal and record "
        "must carry a valid signature. Refusing it; nothing was changed. If this unsigned copy is the right "
        "one, look at it and sign it with: tidewall adopt --config FILE"
    )


# ------------------------------------------------------------------------------------------------ binding

_bound = {}


def bind(folder, context):
    """The histories kept in `folder` belong to `context` (None: to nobody in particular)."""
    key = os.path.realpath(folder)
    if context is None:
        _bound.pop(key, None)
    else:
        _bound[key] = context


def context_of(folder):
    return _bound.get(os.path.realpath(folder))


def clear_bindings():
    _bound.clear()


# ------------------------------------------------------------------------------------- the seen record


def _read_seen(context):
    try:
        with open(context.seen_path, encoding="utf-8") as f:
            record = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as e:
        raise JournalTrustError(
            f"{context.seen_path}: this machine's record of the journal cannot be read ({e}); if the journal "
            "in S3 is right, delete that file and run again"
        ) from None
    return record if isinstance(record, dict) else {}


def last_seen(context, name):
    """{"seq": N, "signed": bool, "owned": bool} of file `name` as this machine last saw it, or {}."""
    entry = _read_seen(context).get(name)
    return entry if isinstance(entry, dict) else {}


def remember(context, name, seq, signed, owned):
    """Record that file `name` was seen (or written) at `seq`; the record never goes back."""
    from tidewall.lib import s3

    record = _read_seen(context)
    before = record.get(name) if isinstance(record.get(name), dict) else {}
    entry = {
        "seq": max(seq, _int(before.get("seq"))),
        "signed": bool(signed or before.get("signed")),
        "owned": bool(owned or before.get("owned")),
    }
    if entry == before:
        return
    record[name] = entry
    data = json.dumps(record, indent=2, sort_keys=True).encode("utf-8")
    s3.atomic_write_bytes(context.seen_path, data, pending=False)


def _int(value):
    return value if type(value) is int else 0


# ---------------------------------------------------------------------------------- sealing and opening


def _canonical(doc):
    return json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def _mac(key, body):
    return hmac.new(key, _SIGNING_TAG + _canonical(body).encode("utf-8"), hashlib.sha256).hexdigest()


def seal(body, context):
    """The document to store for `body` (which holds its sequence number): with its owner, and signed when a
    key is set. Returns (document without digest, whether it is signed)."""
    doc = dict(body)
    doc["owner"] = context.owner() if context is not None else None
    key = context.key() if context is not None else None
    if key is None:
        return doc, False
    doc["signature"] = {"alg": SIGNATURE_ALG, "value": _mac(key, doc)}
    return doc, True


@dataclass(frozen=True)
class Opened:
    seq: int
    signed: bool
    owned: bool
    adopt: bool  # owner or signature missing: both come with the next write


def next_seq(context, name, loaded_seq):
    """The sequence number of the next write of file `name`."""
    seen = _int(last_seen(context, name).get("seq")) if context is not None else 0
    return max(loaded_seq, seen) + 1


def _describe_owner(owner):
    return (
        f"account {owner.get('account')!r}, VPC {owner.get('vpc_id')!r}, region {owner.get('region')!r}, "
        f"s3://{owner.get('bucket')}/{owner.get('prefix')}"
    )


def open_checked(path, name, body, signature, context, read_only):
    """Check a loaded journal file against the configuration's context; raises JournalTrustError.

    `body` is the file without digest and signature. In a read-only look (a dry run, status) a file older
    than the one last seen is reported, not refused: nothing will act on it, and a run writing at that
    moment makes the record move ahead of the copy just read.
    """
    seq = body.get("seq", 0)
    if type(seq) is not int or seq < 0:
        raise JournalTrustError(f"{path}: malformed sequence number {seq!r}; the file was left as it is")
    owner = body.get("owner")
    if owner is not None and not (isinstance(owner, dict) and set(owner) == set(OWNER_FIELDS)):
        raise JournalTrustError(f"{path}: malformed owner record; the file was left as it is")
    if signature is not None and not (
        isinstance(signature, dict)
        and signature.get("alg") == SIGNATURE_ALG
        and isinstance(signature.get("value"), str)
    ):
        raise JournalTrustError(f"{path}: malformed signature record; the file was left as it is")
    if context is None:
        return Opened(seq, signature is not None, owner is not None, False)

    expected = context.owner()
    if owner is not None and owner != expected:
        differs = ", ".join(
            f"{field} {owner.get(field)!r} (configured {expected[field]!r})"
            for field in OWNER_FIELDS
            if owner.get(field) != expected[field]
        )
        raise JournalTrustError(
            f"{path}: this journal belongs to {_describe_owner(owner)}, not to this configuration: {differs}. "
            "Refusing it (a journal copied from another VPC's backup prefix?); nothing was changed"
        )
    seen = last_seen(context, name)
    adopt = False
    if owner is None:
        if seen.get("owned"):
            raise JournalTrustError(
                f"{path}: names no owner, but this machine last saw it naming {_describe_owner(expected)} "
                f"(sequence {seen.get('seq')}): a replaced copy. Refusing it; nothing was changed"
            )
        logger.warning(
            "  %s names no owner (written by an earlier version): taken as the journal of %s; the next "
            "write records its owner",
            path,
            context.vpc_id,
        )
        adopt = True

    key = context.key()
    if signature is not None:
        if key is None:
            raise JournalTrustError(
                f"{path}: the journal is signed, but no key is configured to check it: set journal_key_env to "
                "the environment variable that holds the journal key"
            )
        if not hmac.compare_digest(signature["value"], _mac(key, body)):
            raise JournalTrustError(
                f"{path}: the journal's signature does not match (edited, or signed with another key). "
                "Refusing it; nothing was changed"
            )
    elif key is not None:
        if not _adopting:
            raise _unsigned_refusal(path)
        logger.warning(
            "  %s is not signed yet: adopting it, its next write signs it with the journal key", path
        )
        adopt = True

    locked = _locked_seq.get((context.bucket, context.prefix), {}).get(name) if not read_only else None
    if locked is not None and seq < locked:
        raise JournalTrustError(
            f"{path}: sequence number {seq} is lower than {locked}, the one the last locked write of this "
            "journal produced (as the run lock's record says): an older copy (replayed, or restored from an "
            "old version). Refusing it; nothing was changed"
        )
    last = _int(seen.get("seq"))
    if seq < last:
        text = (
            f"{path}: sequence number {seq} is lower than {last}, the one this machine last saw of this "
            f"journal: an older copy (replayed, or restored from an old version)"
        )
        if read_only:
            logger.warning("  %s; a run that changes something refuses it", text)
        else:
            raise JournalTrustError(
                f"{text}. Refusing it; nothing was changed. If the copy in S3 is the right one, delete "
                f"{context.seen_path} and run again"
            )
    return Opened(seq, signature is not None, owner is not None, adopt)


# ------------------------------------------------------------------------- records of the backup folder

RECORD_SIGNATURE = "signature"


def seal_record(data, context):
    """A record file's content (plain JSON data) with its owner and, when a key is set, its signature."""
    if context is None:
        return data
    doc = json.loads(json.dumps({k: v for k, v in data.items() if k != RECORD_SIGNATURE}, default=str))
    doc["owner"] = context.owner()
    key = context.key()
    if key is not None:
        doc[RECORD_SIGNATURE] = {"alg": SIGNATURE_ALG, "value": _mac(key, doc)}
    return doc


def open_record(path, data, context):
    """Check a record file read from the backup folder; raises JournalTrustError."""
    if context is None:
        return
    owner = data.get("owner")
    if owner is not None and owner != context.owner():
        raise JournalTrustError(
            f"{path}: this record belongs to {_describe_owner(owner if isinstance(owner, dict) else {})}, not to "
            "this configuration. Refusing it; nothing was changed"
        )
    signature = data.get(RECORD_SIGNATURE)
    body = {k: v for k, v in data.items() if k != RECORD_SIGNATURE}
    key = context.key()
    if signature is None:
        if key is not None and not _adopting:
            raise _unsigned_refusal(path, "record")
        return
    if key is None:
        raise JournalTrustError(
            f"{path}: the record is signed, but no key is configured to check it: set journal_key_env to "
            "the environment variable that holds the journal key"
        )
    if not (
        isinstance(signature, dict)
        and signature.get("alg") == SIGNATURE_ALG
        and isinstance(signature.get("value"), str)
        and hmac.compare_digest(signature["value"], _mac(key, body))
    ):
        raise JournalTrustError(
            f"{path}: the record's signature does not match (edited, or signed with another key). Refusing it; "
            "nothing was changed"
        )


# ------------------------------------------------------------------ the run lock's sequence record
#
# Next to the run lock, a hidden object records the sequence number of each journal file that the last
# locked run wrote; a run that holds the lock refuses a journal older than that, on any machine. With a
# key, the record is signed (an unsigned or forged one is ignored with a warning: deleting it is always
# possible for whoever writes the bucket, and only bucket versioning and policy can tell that).

SEQ_RECORD_NAME = ".journal-seq.json"
# (bucket, prefix) -> {file name: sequence number of the last locked write}, while this process holds the lock
_locked_seq = {}
# (bucket, prefix) -> {file name: sequence number this process wrote}
_written_seq = {}


def seq_record_key(prefix):
    return f"{prefix}/{SEQ_RECORD_NAME}" if prefix else SEQ_RECORD_NAME


def read_seq_record(s3_client, bucket, prefix, context):
    """Read the sequence record while holding the lock; returns its ETag (None: there is none)."""
    from botocore.exceptions import ClientError

    where = (bucket, prefix)
    _locked_seq.pop(where, None)
    _written_seq.pop(where, None)
    try:
        reply = s3_client.get_object(Bucket=bucket, Key=seq_record_key(prefix))
    except ClientError as e:
        if e.response.get("Error", {}).get("Code") in ("NoSuchKey", "404", "NotFound"):
            return None
        raise
    etag = reply.get("ETag")
    try:
        doc = json.loads(reply["Body"].read())
        seqs = doc["seqs"]
        if not isinstance(seqs, dict) or not all(type(v) is int for v in seqs.values()):
            raise ValueError("seqs")
    except (ValueError, KeyError, TypeError):
        logger.warning(
            "  The sequence record s3://%s/%s cannot be read; ignored", bucket, seq_record_key(prefix)
        )
        return etag
    try:
        open_record(f"s3://{bucket}/{seq_record_key(prefix)}", doc, context)
    except JournalTrustError as e:
        logger.warning("  %s; the record is ignored", e)
        return etag
    _locked_seq[where] = dict(seqs)
    return etag


def note_written(context, name, seq):
    """A journal file of `context` was written at `seq` by this process."""
    written = _written_seq.setdefault((context.bucket, context.prefix), {})
    written[name] = max(seq, written.get(name, 0))


def write_seq_record(s3_client, bucket, prefix, context, etag):
    """Before the lock is released: record the sequence numbers this run reached (conditional on the
    record as read when the lock was taken)."""
    from botocore.exceptions import ClientError

    where = (bucket, prefix)
    locked, written = _locked_seq.pop(where, {}), _written_seq.pop(where, {})
    if not written:
        return
    doc = seal_record({"format": 1, "seqs": {**locked, **written}}, context)
    condition = {"IfMatch": etag} if etag else {"IfNoneMatch": "*"}
    try:
        s3_client.put_object(
            Bucket=bucket,
            Key=seq_record_key(prefix),
            Body=json.dumps(doc, sort_keys=True).encode(),
            **condition,
        )
    except ClientError as e:
        logger.error("  The sequence record of the journal was not written (%s)", e)
