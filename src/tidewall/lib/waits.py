"""Waiting for AWS to finish a change.

Every wait of the tool goes through `wait_until`: the first look is immediate, then the pauses start at
`waits.poll_interval` and grow by half after each look up to `waits.max_poll_interval`; a throttled or
briefly unavailable AWS makes the pause longer instead of ending the wait; right after a create, "not found"
is taken as "not visible yet" for `waits.not_found_grace` (AWS is eventually consistent); the wait gives up
after `waits.timeout` with one line saying what it waited for; and a wait that lasts longer than
`waits.progress_every` says so at that interval: what it waits for, for how long, and the limit.

A wait that knows when its change usually ends (`expected`, seconds from the wait's start) also looks
`NEAR_PITCH` seconds before, at and after that moment, so that a change ending there is seen within
`NEAR_PITCH` seconds instead of at the next of the growing pauses (up to `waits.max_poll_interval` late).
These are at most three looks more than the growing pauses alone make, which go on as they would. How
long a kind of change took is remembered for the run (`Expected`), so the next one looks at that moment.

The settings are seconds of the cloud's clock. `waits.time_scale` multiplies every pause and limit (for a
simulated cloud whose clock runs faster); messages show the unscaled seconds.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, fields

from botocore.exceptions import ClientError

from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.lib.waits")

BACKOFF = 1.5  # each pause is this much longer than the one before
# Error codes that say "not now": the pause grows and the wait goes on.
THROTTLING_CODES = frozenset(
    {
        "RequestLimitExceeded",
        "Throttling",
        "ThrottlingException",
        "RequestThrottled",
        "RequestThrottledException",
        "TooManyRequestsException",
        "SlowDown",
        "EC2ThrottledException",
    }
)
TRANSIENT_CODES = frozenset({"InternalError", "InternalFailure", "ServiceUnavailable", "Unavailable"})


class WaitTimeout(TidewallError, RuntimeError):
    """A wait reached its limit; the message names what it waited for."""


@dataclass(frozen=True)
class WaitSettings:
    poll_interval: float = 5.0
    max_poll_interval: float = 30.0
    timeout: float = 900.0
    not_found_grace: float = 60.0
    progress_every: float = 30.0
    acceptance_test: float = 120.0
    time_scale: float = 1.0

    @classmethod
    def of(cls, waits=None):
        """Settings from a configuration's `waits` mapping; the run's (`Globals.waits`) when none is given."""
        if waits is None:
            waits = Globals.waits
        if isinstance(waits, WaitSettings):
            return waits
        if not isinstance(waits, Mapping):
            return cls()
        known = {f.name for f in fields(cls)}
        return cls(**{k: float(v) for k, v in waits.items() if k in known and v is not None})


def error_code(err):
    return err.response.get("Error", {}).get("Code", "") if isinstance(err, ClientError) else ""


def is_retryable(err):
    """Whether an AWS error means "try again later" (throttling, a 5xx)."""
    if not isinstance(err, ClientError):
        return False
    if error_code(err) in THROTTLING_CODES | TRANSIENT_CODES:
        return True
    return err.response.get("ResponseMetadata", {}).get("HTTPStatusCode", 0) >= 500


class NotVisible:
    """What a look returns when AWS does not know the resource (yet, or any more)."""

    def __repr__(self):
        return "NOT_VISIBLE"


NOT_VISIBLE = NotVisible()


# Looks near a change's expected end: this many seconds before it, at it and after it.
NEAR_PITCH = 2.5


def _near_looks(expected):
    return () if expected is None else (expected - NEAR_PITCH, expected, expected + NEAR_PITCH)


class Expected:
    """How long each kind of change takes (seconds of the cloud's clock): a default, then what this
    process last saw such a change take."""

    DEFAULTS = {"natgw deleted": 60.0, "natgw available": 60.0}
    _seen = {}
    _lock = threading.Lock()

    @classmethod
    def of(cls, kind):
        with cls._lock:
            return cls._seen.get(kind, cls.DEFAULTS.get(kind))

    @classmethod
    def saw(cls, kind, seconds):
        with cls._lock:
            cls._seen[kind] = seconds

    @classmethod
    def forget(cls):
        with cls._lock:
            cls._seen.clear()


def _seconds(value):
    return f"{value:.0f} s"


def wait_until(
    what,
    look,
    *,
    after_create=False,
    settings=None,
    log=None,
    sleep=None,
    clock=None,
    expected=None,
    kind=None,
):
    """Repeat `look()` until it says the wait is over; returns its value.

    `look()` returns `(True, value)` to end the wait, `(False, state)` to go on (`state` is a short text
    shown in progress lines), or `(NOT_VISIBLE, state)` when AWS does not know the resource: within
    `not_found_grace` of a create (`after_create`) that is waited out, otherwise it ends the wait with
    `NOT_VISIBLE` as the value. Throttling and 5xx errors raised by `look()` are waited out with a longer
    pause; other errors propagate. Raises WaitTimeout after `timeout`.
    """
    s = WaitSettings.of(settings)
    log = log or logger
    scale = s.time_scale
    sleep = sleep or time.sleep
    clock = clock or time.monotonic
    if expected is None and kind is not None:
        expected = Expected.of(kind)
    near = list(_near_looks(expected))
    started = clock()
    pause = s.poll_interval
    base_at = 0.0  # when the growing pauses alone would look next (seconds since the start, unscaled)
    next_progress = s.progress_every
    state = "not looked at yet"
    while True:
        elapsed = (clock() - started) / scale
        throttled = False
        try:
            done, value = look()
        except ClientError as err:
            if not is_retryable(err):
                raise
            state = f"AWS answered {error_code(err) or 'an error'}"
            pause = min(max(pause, s.poll_interval) * 2, s.max_poll_interval)
            throttled = True
        else:
            if done is True:
                if kind is not None:
                    Expected.saw(kind, elapsed)  # it ended at most this long after the start
                return value
            if done is NOT_VISIBLE:
                if not after_create or elapsed >= s.not_found_grace:
                    return NOT_VISIBLE
                state = "not visible yet"
            else:
                state = str(value)
        elapsed = (clock() - started) / scale
        if elapsed >= s.timeout:
            raise WaitTimeout(f"timed out after {_seconds(s.timeout)} waiting for {what} ({state})")
        if elapsed >= next_progress:
            log.info(
                "  Still waiting for %s: %s of at most %s%s (%s)",
                what,
                _seconds(elapsed),
                _seconds(s.timeout),
                # On a scaled clock (the sandbox) the figures are not the seconds that passed here.
                "" if scale == 1.0 else f" of the cloud's clock (waits.time_scale {scale:g})",
                state,
            )
            while next_progress <= elapsed:
                next_progress += s.progress_every
        if throttled or elapsed >= base_at:
            base_at = elapsed + pause
            pause = min(pause * BACKOFF, s.max_poll_interval)
        while near and near[0] <= elapsed:
            near.pop(0)
        at = base_at if throttled or not near else min(base_at, near[0])
        sleep(max(min(at, s.timeout) - elapsed, 0.0) * scale)
