"""The two journals of a migration, kept in the VPC's backup folder.

`CommandHistory` records which commands of the run are done (command 0: the NAT-gateway discovery, with its
list of NAT-gateway info records) and the run settings. `MementoHistory` is the stack of mementos that undo
the steps made so far, with a begin mark on the first memento of each rollback group.

Both are class-level services: `init` (re)loads the state of one folder. Each file is indented JSON with a
format version and a sha256 digest of its canonical content, so a truncated, corrupt or edited file is
refused instead of being half-read. Mementos are stored as plain data and rebuilt only for the classes in
`ALLOWED_MEMENTO_CLASSES`; nothing is pickled or evaluated.

Every change is written atomically and written through to S3 before the call returns, except `pop()`: its
removal is written when the next history call starts, after the caller has restored the popped memento.
A process killed between `pop()` and the end of `restore()` therefore finds the memento still journalled
and undoes it again. In a dry run the files are read but never written.
"""

import copy
import hashlib
import importlib
import itertools
import json
import logging
import math
import os

from tidewall.commands import journal_layout
from tidewall.commands.memento import Memento
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib import s3

logger = logging.getLogger("tidewall.commands.history")

FORMAT_VERSION = 1
COMMAND_FILE = "command_history.json"
MEMENTO_FILE = "memento_history.json"
DISCOVER_NATGW = 0

# Only the classes of the journal's steps are rebuilt from stored state.
ALLOWED_MEMENTO_CLASSES = journal_layout.MEMENTO_CLASSES


class HistoryError(TidewallError):
    """A history file that cannot be trusted, or a change that could not be journalled."""


def _check_plain(value, where):
    """Raise HistoryError unless `value` is JSON data that reads back unchanged."""
    if value is None or isinstance(value, str | bool | int):
        return
    if isinstance(value, float):
        if not math.isfinite(value):
            raise HistoryError(f"{where}: {value!r} cannot be stored")
        return
    if isinstance(value, list):
        for i, item in enumerate(value):
            _check_plain(item, f"{where}[{i}]")
        return
    if isinstance(value, dict):
        for key, item in value.items():
            if not isinstance(key, str):
                raise HistoryError(f"{where}: key {key!r} is not text")
            _check_plain(item, f"{where}.{key}")
        return
    raise HistoryError(f"{where}: {type(value).__name__} {value!r} cannot be stored as plain data")


def _canonical(doc):
    return json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def _digest(body):
    return hashlib.sha256(_canonical(body).encode("utf-8")).hexdigest()


def _load(path, kind):
    """The checked body of a history file (without its digest), or None when there is no file."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise HistoryError(f"{path}: cannot be read ({e}); the file was left as it is") from None
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise HistoryError(
            f"{path}: not valid JSON, truncated or corrupt ({e}); the file was left as it is"
        ) from None
    if not isinstance(doc, dict):
        raise HistoryError(f"{path}: not a {kind} file; the file was left as it is")
    body = {k: v for k, v in doc.items() if k != "sha256"}
    if body.get("kind") != kind or body.get("format") != FORMAT_VERSION:
        raise HistoryError(
            f"{path}: expected a {kind} file of format {FORMAT_VERSION}, found kind {body.get('kind')!r} "
            f"format {body.get('format')!r}; the file was left as it is"
        )
    if doc.get("sha256") != _digest(body):
        raise HistoryError(
            f"{path}: content does not match its sha256 digest (edited or damaged); the file was left as it is"
        )
    return body


def _dump(folder, name, body):
    """Write a history file atomically and write it through to S3."""
    doc = dict(body)
    doc["sha256"] = _digest(body)
    text = json.dumps(doc, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    s3.atomic_write_bytes(os.path.join(folder, name), text.encode("utf-8"))
    s3.write_through(folder, name)


def _resolve_memento_class(name):
    if name not in ALLOWED_MEMENTO_CLASSES:
        raise HistoryError(f"memento class {name!r} is not one the history may rebuild")
    module_name, _, attr = name.rpartition(".")
    try:
        cls = getattr(importlib.import_module(module_name), attr)
    except (ImportError, AttributeError) as e:
        raise HistoryError(f"memento class {name!r} cannot be loaded: {e}") from None
    if not (isinstance(cls, type) and issubclass(cls, Memento)):
        raise HistoryError(f"{name!r} is not a Memento class")
    return cls


class CommandHistory:
    """Which commands of this VPC's migration are done, with the discovered NAT-gateway list."""

    _folder = None
    _vpc_id = None
    _version = None
    _dry_run = False
    _commands = {}
    _natgws = []
    _run_settings = None

    @classmethod
    def init(cls, folder, vpc_id, version="v2"):
        """Open the command history of `vpc_id` kept in `folder` (refuses a file it cannot trust)."""
        cls._folder = None
        if not isinstance(vpc_id, str) or not vpc_id:
            raise HistoryError(f"vpc_id must be non-empty text, got {vpc_id!r}")
        folder = os.path.abspath(folder)
        path = os.path.join(folder, COMMAND_FILE)
        body = _load(path, "command_history")
        commands, natgws, settings = {}, [], None
        if body is not None:
            if body.get("vpc_id") != vpc_id or body.get("version") != version:
                raise HistoryError(
                    f"{path}: belongs to VPC {body.get('vpc_id')!r} version {body.get('version')!r}, "
                    f"not {vpc_id!r} version {version!r}; the file was left as it is"
                )
            try:
                for entry in body["commands"]:
                    index = entry["index"]
                    if type(index) is not int or not isinstance(entry["name"], str):
                        raise TypeError(f"command entry {entry!r}")
                    commands[index] = {"index": index, "name": entry["name"]}
                    if index == DISCOVER_NATGW:
                        natgws = entry["natgws"]
                        if not isinstance(natgws, list) or not all(isinstance(r, dict) for r in natgws):
                            raise TypeError("natgws is not a list of records")
                        commands[DISCOVER_NATGW]["natgws"] = copy.deepcopy(natgws)
                settings = body["run_settings"]
                if settings is not None and not isinstance(settings, dict):
                    raise TypeError("run_settings is not a mapping")
            except (KeyError, TypeError, ValueError) as e:
                raise HistoryError(f"{path}: malformed entries ({e}); the file was left as it is") from None
        cls._vpc_id, cls._version = vpc_id, version
        cls._commands, cls._natgws, cls._run_settings = commands, natgws, settings
        cls._dry_run = bool(Globals.dry_run)
        cls._folder = folder
        logger.info(
            "  Command history of %s opened in %s (%d command(s) done)", vpc_id, folder, len(commands)
        )

    @classmethod
    def _require(cls):
        if cls._folder is None:
            raise HistoryError("CommandHistory.init has not been called")

    @classmethod
    def _write(cls):
        if cls._dry_run:
            return
        body = {
            "format": FORMAT_VERSION,
            "kind": "command_history",
            "vpc_id": cls._vpc_id,
            "version": cls._version,
            "commands": [cls._commands[i] for i in sorted(cls._commands)],
            "run_settings": cls._run_settings,
        }
        _dump(cls._folder, COMMAND_FILE, body)

    @classmethod
    def is_command_i_done(cls, i):
        cls._require()
        return i in cls._commands

    @classmethod
    def log_discover_natgw_cmd(cls, natGwInfos):
        """Record the discovery as done, with its NAT-gateway info records (the list is kept, not copied)."""
        cls._require()
        if DISCOVER_NATGW in cls._commands:
            raise HistoryError(f"the NAT-gateway discovery of {cls._vpc_id} is already recorded")
        if not isinstance(natGwInfos, list) or not all(isinstance(r, dict) for r in natGwInfos):
            raise HistoryError("natGwInfos must be a list of records")
        _check_plain(natGwInfos, "natGwInfos")
        entry = {"index": DISCOVER_NATGW, "name": "discover_natgw", "natgws": copy.deepcopy(natGwInfos)}
        cls._commands[DISCOVER_NATGW] = entry
        try:
            cls._write()
        except BaseException:
            del cls._commands[DISCOVER_NATGW]
            raise
        cls._natgws = natGwInfos

    @classmethod
    def get_discovered_natgws(cls):
        """The recorded NAT-gateway list, the same list object on every call (empty before discovery)."""
        cls._require()
        return cls._natgws

    @classmethod
    def get_run_settings(cls):
        cls._require()
        return copy.deepcopy(cls._run_settings)

    @classmethod
    def set_run_settings(cls, mapping):
        cls._require()
        settings = dict(mapping)
        _check_plain(settings, "run settings")
        previous, cls._run_settings = cls._run_settings, copy.deepcopy(settings)
        try:
            cls._write()
        except BaseException:
            cls._run_settings = previous
            raise

    @classmethod
    def flush(cls):
        """Nothing is ever left unwritten here; present so callers can flush both histories alike."""


class MementoHistory:
    """The stack of mementos of this VPC's migration, newest on top."""

    # Each entry: [memento, begin, class name, stored state]
    _folder = None
    _dry_run = False
    _entries = []
    _pop_pending = False

    @classmethod
    def init(cls, folder):
        """Open the memento history kept in `folder`, rebuilding its mementos (refuses a file it cannot trust)."""
        cls._folder = None
        folder = os.path.abspath(folder)
        path = os.path.join(folder, MEMENTO_FILE)
        body = _load(path, "memento_history")
        entries = []
        if body is not None:
            items = body.get("entries")
            if not isinstance(items, list):
                raise HistoryError(f"{path}: malformed entries; the file was left as it is")
            for i, item in enumerate(items):
                if (
                    not isinstance(item, dict)
                    or set(item) != {"class", "state", "begin"}
                    or not isinstance(item["class"], str)
                    or not isinstance(item["state"], dict)
                    or not isinstance(item["begin"], bool)
                ):
                    raise HistoryError(f"{path}: entry {i} is malformed; the file was left as it is")
                try:
                    memento_cls = _resolve_memento_class(item["class"])
                except HistoryError as e:
                    raise HistoryError(f"{path}: entry {i}: {e}; the file was left as it is") from None
                memento = memento_cls.__new__(memento_cls)
                memento.__dict__.update(copy.deepcopy(item["state"]))
                entries.append([memento, item["begin"], item["class"], item["state"]])
        cls._entries = entries
        cls._pop_pending = False
        cls._dry_run = bool(Globals.dry_run)
        cls._folder = folder
        logger.info("  Memento history opened in %s (%d memento(s))", folder, len(entries))

    @classmethod
    def _require(cls):
        if cls._folder is None:
            raise HistoryError("MementoHistory.init has not been called")

    @classmethod
    def _write(cls):
        if cls._dry_run:
            return
        body = {
            "format": FORMAT_VERSION,
            "kind": "memento_history",
            "entries": [
                {"class": name, "state": state, "begin": begin} for _m, begin, name, state in cls._entries
            ],
        }
        _dump(cls._folder, MEMENTO_FILE, body)

    @classmethod
    def _commit_pop(cls):
        cls._require()
        if cls._pop_pending:
            cls._write()
            cls._pop_pending = False

    @classmethod
    def flush(cls):
        """Write a pending pop. A no-op when the history has not been opened."""
        if cls._folder is not None:
            cls._commit_pop()

    @classmethod
    def is_memento_exist(cls):
        """Iterator: True once per memento held now (in append order), then False for ever."""
        cls._require()
        return itertools.chain(itertools.repeat(True, len(cls._entries)), itertools.repeat(False))

    @classmethod
    def append(cls, memento, MarkBegin=False):
        """Put `memento` on top; `MarkBegin` marks it as the first memento of a rollback group."""
        cls._commit_pop()
        name = f"{type(memento).__module__}.{type(memento).__qualname__}"
        if _resolve_memento_class(name) is not type(memento):
            raise HistoryError(f"memento class {name!r} cannot be rebuilt from its name")
        state = memento.toDict()
        if not isinstance(state, dict):
            raise HistoryError(f"{name}.toDict() must return a mapping, got {type(state).__name__}")
        _check_plain(state, f"{name} state")
        cls._entries.append([memento, bool(MarkBegin), name, copy.deepcopy(state)])
        try:
            cls._write()
        except BaseException:
            cls._entries.pop()
            raise

    @classmethod
    def isEmpty(cls):
        cls._commit_pop()
        return not cls._entries

    @classmethod
    def isCmdBegin(cls):
        """Whether the top memento opened a rollback group (False when empty)."""
        cls._commit_pop()
        return bool(cls._entries) and cls._entries[-1][1]

    @classmethod
    def pop(cls):
        """Take the top memento off; its removal is written when the next history call starts."""
        cls._commit_pop()
        if not cls._entries:
            raise IndexError("pop from an empty memento history")
        memento = cls._entries.pop()[0]
        cls._pop_pending = True
        return memento

    @classmethod
    def entries(cls):
        """(class name, begin flag, stored state) of each memento, oldest first."""
        cls._require()
        return [(name, begin, copy.deepcopy(state)) for _m, begin, name, state in cls._entries]
