"""Keeping secrets and raw control characters out of everything the tool prints.

- `add_secret(value)` registers a value that must never be shown: the controller password, the controller
  session id (CID) of the run, the AWS secret key and session token, the journal key. `redact(text)`
  replaces every registered value, and besides those the values of fields that carry such things in the
  forms they take in URLs, form dumps, headers and JSON (`CID=...`, `"CID": "..."`, `('CID', '...')`,
  `X-Amz-Security-Token: ...`, `"password": "..."`, ...).
- `escape_controls(text)` writes control characters (ANSI escapes, carriage returns, newlines, bidi
  overrides) as visible escapes, so text from the configuration, the journal, S3 or the controller can
  neither colour the terminal nor forge a line of the log.
- `strip_query(text)` drops the query strings of URLs (a GET to the controller carries the CID there).
- `install_redaction(handler)` makes a log handler do all of this to every record it writes (message,
  traceback, stack), on its own copy of the record; every handler of the tool gets it.
"""

from __future__ import annotations

import logging
import re
import threading

MASK = "***"
# Shorter values are not registered: masking every "ab" in a log would hide more than it protects.
MIN_SECRET_LENGTH = 4

_lock = threading.Lock()
_secrets: set[str] = set()
_secret_re = None

# Field names whose values are secrets wherever they appear.
_SECRET_FIELDS = (
    r"CID",
    r"password",
    r"passwd",
    r"X-Amz-Security-Token",
    r"X-Amz-Signature",
    r"aws_secret_access_key",
    r"secret_access_key",
    r"SecretAccessKey",
    r"aws_session_token",
    r"session_token",
    r"SessionToken",
)
_NAMES = "|".join(_SECRET_FIELDS)
_FIELD_PATTERNS = (
    # name=value in URLs, form bodies and dumps (value up to a separator)
    re.compile(rf"(?i)(?<![\w-])((?:{_NAMES})=)([^&\s'\",;)\]}}]+)"),
    # "name": "value" / 'name': b'value' in JSON and Python reprs of dicts
    re.compile(rf"(?i)([\"'](?:{_NAMES})[\"']\s*:\s*b?[\"'])([^\"']*)"),
    # ('name', 'value') in form dumps given as pairs
    re.compile(rf"(?i)(\(\s*[\"'](?:{_NAMES})[\"']\s*,\s*b?[\"'])([^\"']*)"),
    # Name: value in header dumps
    re.compile(rf"(?im)(^\s*(?:{_NAMES}):\s*)(\S+)"),
    # Signature=... of an AWS Authorization header
    re.compile(r"(Signature=)([0-9a-fA-F]{16,})"),
)

# The query string of a URL (or of an absolute path, as urllib3 names it in its errors).
_QUERY = re.compile(r"((?:https?://[^\s/?#'\"()<>]+)?/[^\s?#'\"()<>]*)\?[^\s#'\"()<>]*")

_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# C0 and C1 controls, DEL, line/paragraph separators and the bidirectional overrides and isolates.
_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")
_CONTROLS_BUT_NEWLINE = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def add_secret(value):
    """Never show `value` (text of at least MIN_SECRET_LENGTH characters; anything else is ignored)."""
    global _secret_re
    if not isinstance(value, str) or len(value) < MIN_SECRET_LENGTH:
        return
    with _lock:
        if value in _secrets:
            return
        _secrets.add(value)
        ordered = sorted(_secrets, key=len, reverse=True)  # the longest first, when one holds another
        _secret_re = re.compile("|".join(re.escape(s) for s in ordered))


def forget_secrets():
    """Drop every registered value (a new process, in tests)."""
    global _secret_re
    with _lock:
        _secrets.clear()
        _secret_re = None


def redact(text):
    """`text` with registered secrets and the values of secret fields masked."""
    text = str(text)
    pattern = _secret_re
    if pattern is not None:
        text = pattern.sub(MASK, text)
    for field in _FIELD_PATTERNS:
        text = field.sub(lambda m: m.group(1) + MASK, text)
    return text


def strip_query(text):
    """`text` with the query string of every URL in it removed."""
    return _QUERY.sub(r"\1", str(text))


def _escape_char(match):
    char = match.group(0)
    if char in _ESCAPES:
        return _ESCAPES[char]
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def escape_controls(text, keep_newlines=False):
    """`text` with control characters written as escapes (`\\x1b`, `\\n`, `\\u202e`); `keep_newlines`
    keeps line breaks (for text that is made of lines, such as a traceback or a table)."""
    pattern = _CONTROLS_BUT_NEWLINE if keep_newlines else _CONTROLS
    return pattern.sub(_escape_char, str(text))


def clean(text, keep_newlines=False):
    """What may be shown of `text`: secrets masked, control characters escaped."""
    return escape_controls(redact(text), keep_newlines=keep_newlines)


def clean_record(record):
    """A copy of a log record holding only what may be shown: the formatted message with secrets masked and
    control characters escaped (one record is one line), the traceback and stack with secrets masked. The
    record itself is left as it is, for other handlers."""
    try:
        message = record.getMessage()
    except Exception:  # a broken format string: show its parts rather than lose the record
        message = f"{record.msg!r} % {record.args!r}"
    copy = logging.makeLogRecord(record.__dict__)
    copy.msg, copy.args = clean(message), None
    exc_text = record.exc_text
    if record.exc_info and not exc_text:
        exc_text = _FORMATTER.formatException(record.exc_info)
    if exc_text:
        copy.exc_text = clean(exc_text, keep_newlines=True)
    if record.stack_info:
        copy.stack_info = clean(record.stack_info, keep_newlines=True)
    return copy


_FORMATTER = logging.Formatter()


def install_redaction(handler):
    """Make `handler` write only redacted records (once; any formatter it has or gets later still applies).
    Returns the handler."""
    if getattr(handler, "_tidewall_redacting", False):
        return handler
    plain_format = handler.format

    def format(record):
        return plain_format(clean_record(record))

    handler.format = format
    handler._tidewall_redacting = True
    return handler
