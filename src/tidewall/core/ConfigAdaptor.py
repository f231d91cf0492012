"""The tool's configuration: loaded from a YAML file or a mapping, checked, and read as attributes.

Every field is checked when the adaptor is built, so a typo or a wrong value stops the run before anything is
changed, with an error that names the field. Patterns must match a whole value, text may hold no control
characters, and an error never shows the value of an `aws.*` field nor the credentials of a URL.
"""

import copy
import difflib
import os
import re
from collections.abc import Mapping
from pathlib import Path

import yaml

from tidewall.core import redact
from tidewall.core.exceptions import EXIT_USAGE, TidewallError

DEFAULT_BACKUP_PREFIX = "tidewall-backups"
DEFAULT_BACKUP_ROOT = "~/.tidewall/backups"

# Matched against the whole value (fullmatch): "vpc-...\n" is not a VPC id.
_HOST_PORT = re.compile(r"(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:([0-9]{1,5}))?")
_ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_VPC_ID = re.compile(r"vpc-([0-9a-f]{8}|[0-9a-f]{17})")
_REGION = re.compile(r"[a-z]{2}(-[a-z]+)+-[0-9]+")
_BUCKET = re.compile(r"[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]")
_ACCOUNT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
_ACCOUNT_NUMBER = re.compile(r"[0-9]{12}")
_URL = re.compile(r"https?://[^\s/?#@]+(/[^\s]*)?")
# user:password@ at the start of a value or after the scheme of a URL
_USERINFO = re.compile(r"(?:(?<=://)|^)[^/\s@]*@")

AWS_KEYS = (
    "access_key_id",
    "secret_access_key",
    "session_token",
    "profile",
    "endpoint_url",
    "endpoint_urls",
    "retry_mode",
    "max_attempts",
)
# The services the tool calls: `aws.endpoint_urls` may give each its own endpoint.
AWS_SERVICES = ("ec2", "s3", "cloudwatch", "sts")
# botocore's retry modes; "adaptive" also slows the client down when AWS throttles it.
RETRY_MODES = ("standard", "adaptive")
DEFAULT_RETRY_MODE = "adaptive"
DEFAULT_MAX_ATTEMPTS = 10

# How the tool waits for AWS to finish a change (seconds). `time_scale` multiplies every one of them and is
# meant for simulated clouds whose clock runs faster; messages always show unscaled seconds.
WAIT_DEFAULTS = {
    "poll_interval": 5.0,  # first pause between two looks; grows by half after each look
    "max_poll_interval": 30.0,  # the longest pause
    "timeout": 900.0,  # a wait gives up after this long
    "not_found_grace": 60.0,  # how long "not found" right after a create counts as not visible yet
    "progress_every": 30.0,  # a wait longer than this logs progress at this interval
    "acceptance_test": 120.0,  # a failing acceptance test is looked at again for this long before it counts
    "time_scale": 1.0,
}

# How the tool waits for the controller (seconds, on the clock of `waits.time_scale` like the waits).
CONTROLLER_DEFAULTS = {
    "progress_every": 60.0,  # a request still unanswered logs a line at this interval
    "read_timeout": None,  # a request unanswered this long ends the run (resumable); None: no limit
}


class ConfigError(TidewallError, ValueError):
    """A configuration that cannot be used; `field` names the offending field (None for the whole file)."""

    exit_code = EXIT_USAGE

    def __init__(self, message, field=None):
        super().__init__(message)
        self.field = field


def _fail(field, problem):
    raise ConfigError(f"configuration field '{field}': {problem}", field)


def _secret_field(field):
    return field == "aws" or field.startswith("aws.")


def _shown(field, value):
    """How an error shows a value: never for `aws.*` fields; elsewhere as repr, without URL credentials."""
    if _secret_field(field):
        return f"a {type(value).__name__} (value not shown)"
    if isinstance(value, str):
        value = _USERINFO.sub("***@", value)
    return repr(value)


def _text(field, value):
    if not isinstance(value, str):
        shown = "" if _secret_field(field) else f" {_shown(field, value)}"
        _fail(field, f"expected text, got {type(value).__name__}{shown}")
    if redact.escape_controls(value) != value:
        _fail(field, f"must not hold control characters, got {_shown(field, value)}")
    return value


def _nonempty(field, value):
    if not _text(field, value).strip():
        _fail(field, "must not be empty")
    return value


def _matching(pattern, example):
    def check(field, value):
        if not pattern.fullmatch(_text(field, value)):
            _fail(field, f"expected {example}, got {_shown(field, value)}")
        return value

    return check


def _controller_ip(field, value):
    match = _HOST_PORT.fullmatch(_text(field, value))
    if not match or (match.group(4) and not 0 < int(match.group(4)) < 65536):
        _fail(
            field,
            f"expected a host or host:port such as '10.1.2.3' or '127.0.0.1:8443', got {_shown(field, value)}",
        )
    return value


def _account_number(field, value):
    if isinstance(value, int) and not isinstance(value, bool):
        value = str(value)
    if not isinstance(value, str) or not _ACCOUNT_NUMBER.fullmatch(value):
        _fail(field, f"expected a 12-digit AWS account id (quote it in YAML), got {_shown(field, value)}")
    return value


def _backup_prefix(field, value):
    prefix = _text(field, value).strip("/")
    if prefix and any(p in ("", ".", "..") for p in prefix.split("/")):
        _fail(
            field,
            f"expected an S3 key prefix without empty, '.' or '..' segments, got {_shown(field, value)}",
        )
    return prefix


def _backup_root(field, value):
    if isinstance(value, Path):
        value = str(value)
    return os.path.abspath(os.path.expanduser(_nonempty(field, value)))


def _bool(field, value):
    if not isinstance(value, bool):
        _fail(field, f"expected true or false, got {_shown(field, value)}")
    return value


def _hs_mode(field, value):
    if isinstance(value, bool) or not isinstance(value, int) or value not in (1, 2):
        _fail(field, f"expected 1 or 2, got {_shown(field, value)}")
    return value


def _any(field, value):
    return value


def _aws(field, value):
    if not isinstance(value, Mapping):
        _fail(field, f"expected a mapping with keys {', '.join(AWS_KEYS)}, got {_shown(field, value)}")
    _reject_unknown(value, AWS_KEYS, "aws.")
    out = {}
    for key in AWS_KEYS:
        item = value.get(key)
        if key == "retry_mode":
            item = DEFAULT_RETRY_MODE if item is None else item
            if item not in RETRY_MODES:
                _fail(
                    "aws.retry_mode", f"expected one of {', '.join(RETRY_MODES)}, got {_shown(field, item)}"
                )
        elif key == "max_attempts":
            item = DEFAULT_MAX_ATTEMPTS if item is None else item
            if isinstance(item, bool) or not isinstance(item, int) or not 1 <= item <= 50:
                _fail("aws.max_attempts", f"expected a whole number from 1 to 50, got {_shown(field, item)}")
        elif key == "endpoint_urls":
            item = _endpoint_urls(field, item)
        elif item is not None:
            _nonempty(f"aws.{key}", item)
        out[key] = item
    if (out["access_key_id"] is None) != (out["secret_access_key"] is None):
        missing = "secret_access_key" if out["secret_access_key"] is None else "access_key_id"
        _fail(f"aws.{missing}", "access_key_id and secret_access_key must be given together")
    if out["session_token"] is not None and out["access_key_id"] is None:
        _fail("aws.session_token", "needs aws.access_key_id and aws.secret_access_key")
    if out["profile"] is not None and out["access_key_id"] is not None:
        _fail("aws.profile", "give either a profile or explicit keys, not both")
    _endpoint("aws.endpoint_url", out["endpoint_url"])
    for key in ("secret_access_key", "session_token"):
        redact.add_secret(out[key])
    return out


def _endpoint(field, url):
    if url is not None and not _URL.fullmatch(_nonempty(field, url)):
        _fail(field, "expected an http:// or https:// URL without credentials (value not shown)")
    return url


def _endpoint_urls(field, value):
    """`aws.endpoint_urls`: service name -> endpoint URL, for the services the tool calls."""
    if value is None:
        return None
    if not isinstance(value, Mapping):
        _fail(
            "aws.endpoint_urls",
            f"expected a mapping such as {{s3: 'https://...'}}, got {_shown(field, value)}",
        )
    _reject_unknown(value, AWS_SERVICES, "aws.endpoint_urls.")
    return {
        name: _endpoint(f"aws.endpoint_urls.{name}", url) for name, url in value.items() if url is not None
    }


def _waits(field, value):
    if not isinstance(value, Mapping):
        _fail(field, f"expected a mapping with keys {', '.join(WAIT_DEFAULTS)}, got {_shown(field, value)}")
    _reject_unknown(value, list(WAIT_DEFAULTS), "waits.")
    out = dict(WAIT_DEFAULTS)
    for key, item in value.items():
        if item is None:
            continue
        if isinstance(item, bool) or not isinstance(item, int | float) or not 0 < item < float("inf"):
            _fail(f"waits.{key}", f"expected a positive number of seconds, got {_shown(field, item)}")
        out[key] = float(item)
    if out["max_poll_interval"] < out["poll_interval"]:
        _fail("waits.max_poll_interval", "must not be shorter than waits.poll_interval")
    return out


def _controller(field, value):
    if not isinstance(value, Mapping):
        _fail(
            field,
            f"expected a mapping with keys {', '.join(CONTROLLER_DEFAULTS)}, got {_shown(field, value)}",
        )
    _reject_unknown(value, list(CONTROLLER_DEFAULTS), "controller.")
    out = dict(CONTROLLER_DEFAULTS)
    for key, item in value.items():
        if item is None:
            continue
        if isinstance(item, bool) or not isinstance(item, int | float) or not 0 < item < float("inf"):
            _fail(f"controller.{key}", f"expected a positive number of seconds, got {_shown(field, item)}")
        out[key] = float(item)
    return out


# How the migration keeps egress up (`egress:`): `keep` parks each route on a serving spoke before its NAT
# gateway is deleted and settles it on the new spoke after; `grace` is how long the NAT gateway stays after
# its routes were parked (seconds; AWS spreads a route change within a few).
EGRESS_DEFAULTS = {"keep": True, "grace": 5.0}


def _egress(field, value):
    if not isinstance(value, Mapping):
        _fail(field, f"expected a mapping with keys {', '.join(EGRESS_DEFAULTS)}, got {_shown(field, value)}")
    _reject_unknown(value, list(EGRESS_DEFAULTS), "egress.")
    out = dict(EGRESS_DEFAULTS)
    keep = value.get("keep")
    if keep is not None:
        out["keep"] = _bool("egress.keep", keep)
    grace = value.get("grace")
    if grace is not None:
        if isinstance(grace, bool) or not isinstance(grace, int | float) or not 0 <= grace <= 600:
            _fail("egress.grace", f"expected a number of seconds from 0 to 600, got {_shown(field, grace)}")
        out["grace"] = float(grace)
    return out


# name -> (required, default, check); the check returns the value to keep.
_FIELDS = {
    "controller_ip": (True, None, _controller_ip),
    "controller_user": (True, None, _nonempty),
    "controller_password_env": (True, None, _matching(_ENV_NAME, "an environment variable name")),
    "aws_account_name": (
        True,
        None,
        _matching(
            _ACCOUNT_NAME, "a name of letters, digits, '.', '_' or '-' starting with a letter or digit"
        ),
    ),
    "aws_account_number": (False, None, _account_number),
    "region": (True, None, _matching(_REGION, "an AWS region such as 'us-east-1'")),
    "vpc_id": (True, None, _matching(_VPC_ID, "a VPC id such as 'vpc-0123456789abcdef0'")),
    "s3_bucket": (
        True,
        None,
        _matching(_BUCKET, "an S3 bucket name (3-63 lowercase letters, digits, '.', '-')"),
    ),
    "backup_prefix": (False, DEFAULT_BACKUP_PREFIX, _backup_prefix),
    "backup_root": (False, DEFAULT_BACKUP_ROOT, _backup_root),
    "spoke_gw_name": (True, None, _nonempty),
    "spoke_gw_size": (False, None, _nonempty),
    "spoke_gw_tag": (False, None, _text),
    "hs_mode": (False, 2, _hs_mode),
    "tag_route_table": (False, False, _bool),
    "enable_test": (False, False, _bool),
    "input_test_config": (False, None, _any),
    "output_test_config": (False, None, _any),
    "aws": (False, None, _aws),
    "waits": (False, {}, _waits),
    "controller": (False, {}, _controller),
    "egress": (False, {}, _egress),
    "journal_key_env": (False, None, _matching(_ENV_NAME, "an environment variable name")),
}


def _reject_unknown(mapping, known, prefix=""):
    unknown = [k for k in mapping if k not in known]
    if not unknown:
        return
    hints = []
    for key in unknown:
        close = difflib.get_close_matches(str(key), known, n=1)
        hints.append(f"'{prefix}{key}'" + (f" (did you mean '{prefix}{close[0]}'?)" if close else ""))
    raise ConfigError(f"unknown configuration field(s): {', '.join(hints)}", f"{prefix}{unknown[0]}")


# A configuration (or fleet) file is a few kilobytes; anything far larger is refused before it is parsed.
MAX_YAML_BYTES = 1024 * 1024


def read_yaml(path, what="configuration file", error=ConfigError):
    """The YAML document in `path`; `error` names `what` could not be read, and where, never its text."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read(MAX_YAML_BYTES + 1)
            if len(text.encode("utf-8")) > MAX_YAML_BYTES:
                raise error(f"{what} {path} is larger than {MAX_YAML_BYTES // 1024} KiB; refusing to read it")
            return yaml.safe_load(text)
    except RecursionError:
        raise error(f"{what} {path} is nested too deeply to be a {what}") from None
    except FileNotFoundError:
        raise error(f"{what} not found: {path}") from None
    except yaml.YAMLError as e:
        # The problem and where it is, never the text around it (it may be a secret).
        mark = getattr(e, "problem_mark", None)
        where = f" at line {mark.line + 1}, column {mark.column + 1}" if mark is not None else ""
        problem = getattr(e, "problem", None) or type(e).__name__
        raise error(f"{what} {path} is not valid YAML: {problem}{where}") from None
    except IsADirectoryError:
        raise error(f"{what} {path} is a folder, not a file") from None
    except (OSError, UnicodeDecodeError) as e:
        raise error(f"{what} {path} cannot be read: {e}") from None


def _load_yaml(path):
    data = read_yaml(path)
    if data is None:
        raise ConfigError(f"the configuration file is empty: {path}")
    if not isinstance(data, Mapping):
        raise ConfigError(
            f"configuration file {path} must hold a mapping of fields, got {type(data).__name__}"
        )
    return data


def normalise_spoke_tag(value):
    """The spoke tag as the migration sends it (`key:value,key:value`), or None.

    Text with ':' is used as it is; text without lists keys and values alternately (`key,value,...`,
    leading commas ignored). ValueError for an odd number of items.
    """
    if not value:
        return None
    if ":" in value:
        return value
    items = value.lstrip(",").split(",")
    if len(items) % 2:
        raise ValueError(f"spoke_gw_tag: {value} mismatched")
    return ",".join(f"{items[i]}:{items[i + 1]}" for i in range(0, len(items), 2)).lstrip(",")


class BackupDescriptor:
    """Where the run's backup folder lives: locally and as a key prefix in an S3 bucket.

    `context` (a journal_trust.JournalContext, or None) says whose journal the folder holds; handing out
    the folder binds it to that context, so the histories opened there check their files against it. A
    descriptor of a scratch copy of the same journal passes the real descriptor's context on.
    """

    def __init__(self, local_path, bucket, prefix, context=None):
        self.local_path = local_path
        self.bucket = bucket
        self.prefix = prefix
        self.context = context

    def getAbsolutePath(self):
        """The local backup folder (created when missing), bound to this descriptor's journal context."""
        from tidewall.commands import journal_trust

        os.makedirs(self.local_path, mode=0o700, exist_ok=True)
        journal_trust.bind(self.local_path, self.context)
        return self.local_path

    def __repr__(self):
        return f"BackupDescriptor({self.local_path!r}, s3://{self.bucket}/{self.prefix})"


class ConfigAdaptor:
    """Checked configuration. `ConfigAdaptor(ca)` with an adaptor returns that same adaptor."""

    def __new__(cls, config):
        if isinstance(config, ConfigAdaptor):
            return config
        return super().__new__(cls)

    def __init__(self, config):
        if config is self:
            return
        self.source = None
        if isinstance(config, str | Path):
            self.source = str(config)
            config = _load_yaml(config)
        elif not isinstance(config, Mapping):
            raise ConfigError(
                f"configuration must be a YAML file path or a mapping, got {type(config).__name__}"
            )
        bad_keys = [k for k in config if not isinstance(k, str)]
        if bad_keys:
            raise ConfigError(f"configuration field names must be text, got {bad_keys[0]!r}")
        if "controller_password" in config:
            raise ConfigError(
                "configuration field 'controller_password': the password must not be written in the "
                "configuration; put it in an environment variable and name that variable in "
                "'controller_password_env'",
                "controller_password",
            )
        _reject_unknown(config, list(_FIELDS))
        self.raw = copy.deepcopy(dict(config))

        values = {}
        for name, (required, default, check) in _FIELDS.items():
            value = config.get(name)
            if value is None:
                if required:
                    raise ConfigError(f"configuration field '{name}' is required but missing", name)
                value = check(name, default) if default is not None else None
            else:
                value = check(name, value)
            values[name] = value
        self._values = values
        for name, value in values.items():
            setattr(self, name, value)

        prefix = "/".join(p for p in (self.backup_prefix, self.aws_account_name, self.vpc_id) if p)
        local = os.path.join(self.backup_root, self.aws_account_name, self.vpc_id)
        self.backup_descriptor = BackupDescriptor(
            local, self.s3_bucket, prefix, context=self.journal_context(local, prefix)
        )

    def journal_context(self, local, prefix):
        from tidewall.commands.journal_trust import JournalContext, seen_path_for

        return JournalContext(
            account=self.aws_account_name,
            vpc_id=self.vpc_id,
            region=self.region,
            bucket=self.s3_bucket,
            prefix=prefix,
            key_env=self.journal_key_env,
            seen_path=seen_path_for(local),
            spoke_gw_name=self.spoke_gw_name,
        )

    def as_dict(self, redact=False):
        """Every field with defaults applied; `redact` hides the AWS secret key and session token."""
        out = copy.deepcopy(self._values)
        if redact and out["aws"]:
            for key in ("secret_access_key", "session_token"):
                if out["aws"][key] is not None:
                    out["aws"][key] = "***"
        return out

    def __repr__(self):
        return f"ConfigAdaptor(vpc_id={self.vpc_id!r}, region={self.region!r}, source={self.source!r})"
