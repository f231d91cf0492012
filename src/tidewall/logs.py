"""Where the tool's log lines go: the console, kept readable, and with `--log-file` a file that gets all.

`setup_logging` makes every handler the tool logs through, and puts the filters of `HANDLER_FILTERS` on
each one it makes (a filter that must see every line, such as one that hides secrets, is added there once
and reaches the console and the file alike).

Every handler made here writes redacted lines only (no CID, password, AWS secret or session token; control
characters escaped). Console: `time level text`, info and up; with `-v` debug lines and logger names too
(the AWS and HTTP libraries' own debug lines only with `-vv`). Lines that are only
of use to someone reading the record (whole controller replies, for instance) go to debug on the console:
they stay in the log file and in `-v`. Log file: every line from debug up, with the logger name, appended.
"""

from __future__ import annotations

import contextlib
import logging
import os
import sys
import warnings

# Filters (logging.Filter instances or callables taking a record) installed on every handler made here.
HANDLER_FILTERS: list = []

_MARK = "_tidewall_handler"
_LIBRARIES = ("botocore", "boto3", "urllib3", "s3transfer", "werkzeug", "moto")

# Loggers whose whole-reply lines ("{'return': True, 'results': ...}") are record, not progress.
_REPLY_LOGGERS = ("tidewall.lib.spoke",)


class ConsoleFormatter(logging.Formatter):
    def __init__(self, verbose):
        fmt = "%(asctime)s %(levelname)-5s %(message)s"
        if verbose:
            fmt = "%(asctime)s %(levelname)-5s [%(name)s] %(message)s"
        super().__init__(fmt, datefmt="%H:%M:%S")

    def formatMessage(self, record):  # noqa: N802 - logging's own name
        level = "WARN" if record.levelname == "WARNING" else record.levelname
        return self._style._fmt % {**record.__dict__, "levelname": level, "message": record.message}


class FileFormatter(logging.Formatter):
    def __init__(self):
        super().__init__("%(asctime)s %(levelname)-7s [%(name)s] %(message)s")


def is_reply_record(record):
    """A whole controller reply logged as a dict: detail for the record, not a step line."""
    if record.name not in _REPLY_LOGGERS or record.levelno > logging.INFO:
        return False
    try:
        text = record.getMessage().lstrip()
    except Exception:  # a record whose arguments do not format is shown as it is
        return False
    return text.startswith("{'return'") or text.startswith('{"return"')


class ConsoleDetailFilter(logging.Filter):
    """On a console without -v: whole controller replies are not shown (they are at debug level there)."""

    def filter(self, record):
        return not is_reply_record(record)


def _install_filters(handler):
    from tidewall.core.redact import install_redaction

    install_redaction(handler)
    for f in HANDLER_FILTERS:
        handler.addFilter(f)


def _remove_ours(root):
    for handler in list(root.handlers):
        if getattr(handler, _MARK, False):
            root.removeHandler(handler)
            with contextlib.suppress(Exception):
                handler.close()


class _PrivateFileHandler(logging.FileHandler):
    """A log file opened for appending, created 0600 (owner only), never through a symbolic link at its
    last component (O_NOFOLLOW): the log holds run details another local user must not read or redirect."""

    def _open(self):
        flags = (
            os.O_WRONLY
            | os.O_APPEND
            | os.O_CREAT
            | getattr(os, "O_NOFOLLOW", 0)
            | getattr(os, "O_CLOEXEC", 0)
        )
        fd = os.open(self.baseFilename, flags, 0o600)
        try:
            return os.fdopen(fd, "a", encoding=self.encoding, errors=self.errors)
        except BaseException:
            os.close(fd)
            raise


def _private_log_file(path):
    return _PrivateFileHandler(path, mode="a", encoding="utf-8", delay=False)


def setup_logging(verbose=False, log_file=None, stream=None):
    """Console logging (and the log file when given); returns the handlers made.

    Raises OSError when the log file cannot be opened for appending.
    """
    root = logging.getLogger()
    _remove_ours(root)
    handlers = []
    console = logging.StreamHandler(stream if stream is not None else sys.stderr)
    console.setLevel(logging.DEBUG if verbose else logging.INFO)
    console.setFormatter(ConsoleFormatter(verbose))
    _install_filters(console)  # first: they see every line the handler is given
    if not verbose:
        console.addFilter(ConsoleDetailFilter())
    handlers.append(console)
    if log_file:
        path = os.path.abspath(os.path.expanduser(os.fspath(log_file)))
        file_handler = _private_log_file(path)
        file_handler.setLevel(logging.DEBUG)
        file_handler.setFormatter(FileFormatter())
        _install_filters(file_handler)
        handlers.append(file_handler)
    for handler in handlers:
        setattr(handler, _MARK, True)
        root.addHandler(handler)
    full = verbose or bool(log_file)
    root.setLevel(logging.DEBUG if full else logging.INFO)
    # Libraries' chatter (botocore's wire lines among it) stays out of the step lines and the file unless
    # asked for twice.
    for name in _LIBRARIES:
        logging.getLogger(name).setLevel(logging.DEBUG if int(verbose or 0) >= 2 else logging.WARNING)
    # The controller is reached with certificate verification off; one warning per request helps nobody.
    try:
        from urllib3.exceptions import InsecureRequestWarning

        warnings.simplefilter("ignore", InsecureRequestWarning)
    except ImportError:  # pragma: no cover - urllib3 comes with requests
        pass
    return handlers


def log_run_header(argv, config=None):
    """The first line of a run in the log file (not on the console): version, command line, configuration
    file, user and host. A log file appended to by many runs then shows where each begins."""
    import getpass
    import shlex
    import socket

    from tidewall import __version__

    files = [
        h
        for h in logging.getLogger().handlers
        if getattr(h, _MARK, False) and isinstance(h, logging.FileHandler)
    ]
    if not files:
        return
    try:
        user = getpass.getuser()
    except (KeyError, OSError):  # no user name for this uid (containers)
        user = f"uid {os.getuid()}"
    where = os.path.abspath(os.fspath(config)) if isinstance(config, str | os.PathLike) else "none"
    record = logging.LogRecord(
        "tidewall.run",
        logging.INFO,
        __file__,
        0,
        "=== tidewall %s: %s | configuration %s | user %s on %s (pid %d)",
        (__version__, shlex.join(["tidewall", *argv]), where, user, socket.gethostname(), os.getpid()),
        None,
    )
    for handler in files:
        handler.handle(record)


def close_logging():
    """Remove (and close) the handlers `setup_logging` made."""
    _remove_ours(logging.getLogger())


class _Demote(logging.Filter):
    def __init__(self, up_to=logging.INFO):
        super().__init__()
        self.up_to = up_to

    def filter(self, record):
        if logging.DEBUG < record.levelno <= self.up_to:
            record.levelno, record.levelname = logging.DEBUG, "DEBUG"
        return True


@contextlib.contextmanager
def demoted(*names, up_to=logging.INFO):
    """Within the block, info lines of these loggers become debug lines (a scratch read of the journal);
    with `up_to=logging.WARNING` their warnings too (a read whose findings the caller reports itself)."""
    with _filtered(names, _Demote(up_to)):
        yield


# The spoke module's lines that announce a change, by their first word: in a dry run they say "would".
_CHANGE_WORDS = {"Deploy", "Enable", "Disable", "Delete", "Set"}
_DETAIL_CHANGE_WORDS = {"deploy": "deploy", "delete": "delete", "deleting": "delete"}


class DryRunWording(logging.Filter):
    """In a dry run, a line that announces a change the spoke module does not send says so: "- Deploy HS
    Spoke ..." reads "- Dry run: would deploy HS Spoke ...", its detail "  deploy spoke gateway ..." reads
    "  Dry run: would deploy spoke gateway ..." (as the tool's own NAT gateway and route lines do)."""

    def filter(self, record):
        if record.levelno != logging.INFO:
            return True
        try:
            text = record.getMessage()
        except Exception:  # a record whose arguments do not format is shown as it is
            return True
        if text.startswith("- "):
            word, _, rest = text[2:].partition(" ")
            if word in _CHANGE_WORDS:
                record.msg, record.args = f"- Dry run: would {word.lower()} {rest}".rstrip(), ()
        elif text.startswith("  ") and not text.startswith("   "):
            word, _, rest = text[2:].partition(" ")
            if word in _DETAIL_CHANGE_WORDS:
                record.msg, record.args = f"  Dry run: would {_DETAIL_CHANGE_WORDS[word]} {rest}".rstrip(), ()
        return True


# Loggers whose change lines are worded by DryRunWording in a dry run (the compiled modules log there).
DRY_RUN_LOGGERS = ("tidewall.lib.spoke",)


@contextlib.contextmanager
def dry_run_wording(active=True):
    """Within the block (when `active`), the spoke module's change lines say "would"."""
    if not active:
        yield
        return
    with _filtered(DRY_RUN_LOGGERS, DryRunWording()):
        yield


@contextlib.contextmanager
def _filtered(names, f):
    """Within the block, the loggers of these names pass every record through the filter `f`."""
    loggers = [logging.getLogger(n) for n in names]
    for lg in loggers:
        lg.addFilter(f)
    try:
        yield
    finally:
        for lg in loggers:
            lg.removeFilter(f)
