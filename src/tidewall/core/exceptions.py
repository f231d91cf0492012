"""The tool's own errors and its exit statuses.

Every error the tool raises on purpose derives from `TidewallError` and carries the exit status the command
line ends with when it reaches the top (`exit_code`, as click's `ClickException` does). The command line
maps them in one place; a new kind of failure is a new subclass, not a new `except` clause there.
"""

EXIT_OK = 0
EXIT_FAILED = 1  # ended with a rollback, a fatal precondition or an error
EXIT_USAGE = 2  # refused before anything changed: command line, configuration, journal or lock
EXIT_SKIPPED = 3  # `tidewall fleet`: nothing failed, but a VPC stayed locked by another run
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT
EXIT_TERMINATED = 143  # SIGTERM, as a shell reports it


class TidewallError(Exception):
    """Root of the tool's own errors. `exit_code` is the command line's exit status for it."""

    exit_code = EXIT_FAILED

    def __init__(self, message="", *args, exit_code=None):
        super().__init__(message, *args)
        self.message = message
        if exit_code is not None:
            self.exit_code = exit_code

    def __str__(self):
        return str(self.message)


class UsageError(TidewallError):
    """A problem with the command line, the configuration or the journal found before anything changed."""

    exit_code = EXIT_USAGE


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread like Ctrl-C's KeyboardInterrupt, so that cleanup still runs.

    Not a TidewallError: like Ctrl-C it is a request to stop, and code that catches errors must not
    swallow it.
    """

    exit_code = EXIT_TERMINATED


class CorvaneRollbackException(TidewallError):
    """Raised by a step to roll back the current group of steps."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return str(self.message)


class AccessError(UsageError):
    """AWS or the controller cannot be reached, or refuses the tool's access (credentials, permissions, the
    backup bucket), found before anything changed."""


# ------------------------------------------------------------------------------------- errors in plain words

# AWS error codes that mean the credentials, their permissions, the region or the bucket are wrong.
ACCESS_CODES = frozenset(
    {
        "AccessDenied",
        "AccessDeniedException",
        "AllAccessDisabled",
        "AuthFailure",
        "ExpiredToken",
        "ExpiredTokenException",
        "InvalidAccessKeyId",
        "InvalidClientTokenId",
        "InvalidToken",
        "MissingAuthenticationToken",
        "NoSuchBucket",
        "OptInRequired",
        "RequestExpired",
        "SignatureDoesNotMatch",
        "UnauthorizedOperation",
        "UnrecognizedClientException",
        "403",
    }
)

# What a failed connection's text says, in a few words (the HTTP libraries' own texts are for -v).
_NETWORK_REASONS = (
    ("refused", "the connection was refused"),
    ("name or service not known", "the host name does not resolve"),
    ("nodename nor servname", "the host name does not resolve"),
    ("failed to resolve", "the host name does not resolve"),
    ("temporary failure in name resolution", "the host name does not resolve"),
    ("no route to host", "there is no route to the host"),
    ("network is unreachable", "the network is unreachable"),
    ("certificate", "the TLS certificate was not accepted"),
    ("ssl", "the TLS handshake failed"),
    ("timed out", "it did not answer in time"),
    ("timeout", "it did not answer in time"),
    ("reset by peer", "the connection was reset"),
    ("remote end closed", "the connection was closed before an answer"),
    ("connection aborted", "the connection was closed before an answer"),
)


def network_reason(error):
    """Why a connection failed, in a few plain words (never the HTTP library's connection-pool text)."""
    text = str(error).lower()
    for needle, words in _NETWORK_REASONS:
        if needle in text:
            return words
    return "the connection failed"


def _host_of(text):
    import re

    found = re.search(r"host='([^']+)', port=(\d+)", text)
    if found:
        return f"{found.group(1)}:{found.group(2)}"
    found = re.search(r"https?://[^\s\"'/]+", text)
    return found.group(0) if found else None


def _is_http_library_error(error):
    module = type(error).__module__ or ""
    return module.startswith(("requests", "urllib3"))


def _aws_error(error):
    """(text, access problem) of a botocore error, or None for any other error."""
    try:
        from botocore import exceptions as aws
    except ImportError:  # pragma: no cover - botocore comes with the tool
        return None
    if isinstance(error, aws.ClientError):
        info = error.response.get("Error", {}) if isinstance(error.response, dict) else {}
        code = str(info.get("Code") or "")
        message = str(info.get("Message") or "").strip()
        text = f"AWS answered {error.operation_name} with {code or 'an error'}" + (
            f": {message}" if message else ""
        )
        if code in ACCESS_CODES:
            return text + " (check the AWS credentials, their permissions, the region and s3_bucket)", True
        return text, False
    if isinstance(error, aws.NoCredentialsError | aws.PartialCredentialsError):
        return (
            "no usable AWS credentials: set aws.profile (or aws.access_key_id and aws.secret_access_key) in "
            "the configuration, or AWS_PROFILE or AWS_ACCESS_KEY_ID in the environment",
            True,
        )
    if isinstance(error, aws.HTTPClientError | aws.ConnectionError):
        url = getattr(error, "kwargs", {}).get("endpoint_url") or _host_of(str(error)) or "AWS"
        return f"cannot reach {url}: {network_reason(error)} (check the region and the network)", True
    if isinstance(error, aws.BotoCoreError):
        return str(error), False
    return None


# Python's own errors that point at a fault in the tool rather than in its input or surroundings.
_INTERNAL = (AttributeError, IndexError, KeyError, NameError, TypeError, AssertionError, RecursionError)


def plain_error(error):
    """(text, access problem) of an error, in plain words: no class names, no HTTP library internals."""
    aws = _aws_error(error)
    if aws is not None:
        return aws
    if isinstance(error, AccessError):
        return str(error), True
    if isinstance(error, TidewallError):
        return str(error), False
    text = " ".join(str(error).split())
    if _is_http_library_error(error):
        host = _host_of(text)
        return f"cannot reach {host or 'the controller'}: {network_reason(error)}", True
    if isinstance(error, _INTERNAL):
        return f"internal error ({text or 'no detail'}); -v or the log file shows where", False
    if isinstance(error, OSError) and error.strerror:
        where = f" ({error.filename})" if error.filename else ""
        return f"{error.strerror}{where}", False
    return text or "unexpected error without a message; -v or the log file shows where", False
