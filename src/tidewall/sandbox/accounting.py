"""What a run costs in outside calls: AWS API calls and controller requests, counted and timed.

Everything is measured on the client side, in this process:

- AWS: every boto3/botocore client, whatever session made it (the default session, sessions
  created later, clients that existed before the meter started), goes through
  `BaseClient._make_api_call`; the meter wraps it while any meter is open.
- Controller: every `requests` call ends in `HTTPAdapter.send`; the meter wraps it and files
  the request under its form or query field `action`.

The sandbox's own traffic is not the tool's cost and is left out of the counts: calls made
inside `excluded()` (the simulated controller's cloud side marks its work so), and calls of
clients whose user agent carries `INTERNAL_USER_AGENT` (the sandbox's seeding and inspection
clients). They are only tallied as `excluded_aws_calls`.
"""

import threading
import time
from collections import defaultdict
from contextlib import contextmanager
from dataclasses import dataclass, field
from urllib.parse import parse_qsl, urlsplit

import botocore.client
import requests.adapters

# Marker in a botocore client's `user_agent_extra`: that client's calls are the sandbox's own.
INTERNAL_USER_AGENT = "tidewall-sandbox"
# The marker the simulated controller's cloud client carries (it contains INTERNAL_USER_AGENT).
CLOUD_USER_AGENT = "tidewall-sandbox-cloud"

NO_ACTION = "(no action)"

_lock = threading.RLock()
_meters = []  # open CostMeter objects, all of them record every call
_patched = {}  # name -> original function while installed
_local = threading.local()


@contextmanager
def excluded():
    """Calls made on this thread inside the block are the sandbox's own, not the tool's."""
    _local.depth = getattr(_local, "depth", 0) + 1
    try:
        yield
    finally:
        _local.depth -= 1


def _in_excluded_block():
    return getattr(_local, "depth", 0) > 0


def is_internal_client(client):
    """Whether a botocore client is marked as one of the sandbox's own."""
    config = getattr(getattr(client, "meta", None), "config", None)
    extra = getattr(config, "user_agent_extra", None) or ""
    return INTERNAL_USER_AGENT in extra


def _service_name(client):
    model = client.meta.service_model
    try:
        return model.service_id.hyphenize()
    except AttributeError:
        return model.service_name


def request_action(request):
    """The controller action of a prepared request: its `action` field (form body or query)."""
    fields = parse_qsl(urlsplit(request.url or "").query, keep_blank_values=True)
    body = request.body
    if isinstance(body, bytes):
        try:
            body = body.decode("utf-8")
        except UnicodeDecodeError:
            body = None
    content_type = (request.headers or {}).get("Content-Type", "")
    if isinstance(body, str) and (not content_type or "x-www-form-urlencoded" in content_type):
        fields += parse_qsl(body, keep_blank_values=True)
    action = None
    for key, value in fields:
        if key == "action":
            action = value  # the body's field wins over the query's, as a form handler reads it
    return action or NO_ACTION


def _record(kind, key, seconds):
    with _lock:
        for meter in list(_meters):
            meter._add(kind, key, seconds)


def _timed_make_api_call(original):
    def _make_api_call(self, operation_name, api_params):
        internal = _in_excluded_block() or is_internal_client(self)
        started = time.perf_counter()
        try:
            return original(self, operation_name, api_params)
        finally:
            elapsed = time.perf_counter() - started
            if internal:
                _record("excluded", None, elapsed)
            else:
                _record("aws", f"{_service_name(self)}:{operation_name}", elapsed)

    _make_api_call.__wrapped__ = original
    return _make_api_call


def _timed_send(original):
    def send(self, request, *args, **kwargs):
        if _in_excluded_block():
            return original(self, request, *args, **kwargs)
        action = request_action(request)
        started = time.perf_counter()
        try:
            return original(self, request, *args, **kwargs)
        finally:
            _record("controller", action, time.perf_counter() - started)

    send.__wrapped__ = original
    return send


def _install():
    if _patched:
        return
    _patched["aws"] = botocore.client.BaseClient._make_api_call
    _patched["http"] = requests.adapters.HTTPAdapter.send
    botocore.client.BaseClient._make_api_call = _timed_make_api_call(_patched["aws"])
    requests.adapters.HTTPAdapter.send = _timed_send(_patched["http"])


def _uninstall():
    if not _patched:
        return
    botocore.client.BaseClient._make_api_call = _patched.pop("aws")
    requests.adapters.HTTPAdapter.send = _patched.pop("http")


@dataclass
class CostReport:
    aws_calls: dict = field(default_factory=dict)  # "ec2:DescribeNatGateways" -> count
    aws_seconds: dict = field(default_factory=dict)  # same keys -> seconds spent waiting
    controller_requests: dict = field(default_factory=dict)  # action -> count
    controller_seconds: dict = field(default_factory=dict)  # action -> seconds spent waiting
    excluded_aws_calls: int = 0  # the sandbox's own calls, not counted above
    wall_seconds: float = 0.0

    @property
    def aws_total(self):
        return sum(self.aws_calls.values())

    @property
    def aws_wait(self):
        return sum(self.aws_seconds.values())

    @property
    def controller_total(self):
        return sum(self.controller_requests.values())

    @property
    def controller_wait(self):
        return sum(self.controller_seconds.values())

    @property
    def waiting_seconds(self):
        """Time spent waiting on AWS and on the controller."""
        return self.aws_wait + self.controller_wait

    def to_dict(self):
        return {
            "aws": {
                "calls": dict(sorted(self.aws_calls.items())),
                "seconds": {k: round(v, 6) for k, v in sorted(self.aws_seconds.items())},
                "total": self.aws_total,
                "wait_seconds": round(self.aws_wait, 6),
            },
            "controller": {
                "requests": dict(sorted(self.controller_requests.items())),
                "seconds": {k: round(v, 6) for k, v in sorted(self.controller_seconds.items())},
                "total": self.controller_total,
                "wait_seconds": round(self.controller_wait, 6),
            },
            "excluded_aws_calls": self.excluded_aws_calls,
            "waiting_seconds": round(self.waiting_seconds, 6),
            "wall_seconds": round(self.wall_seconds, 6),
        }


class CostMeter:
    """Counts outside calls made while the block runs.

    with CostMeter() as meter:
        run_the_migration()
    report = meter.report()
    """

    def __init__(self):
        self._counts = {"aws": defaultdict(int), "controller": defaultdict(int)}
        self._seconds = {"aws": defaultdict(float), "controller": defaultdict(float)}
        self._excluded = 0
        self._started = None
        self._ended = None

    def __enter__(self):
        with _lock:
            _install()
            _meters.append(self)
        self._started = time.perf_counter()
        self._ended = None
        return self

    def __exit__(self, *exc):
        self._ended = time.perf_counter()
        with _lock:
            if self in _meters:
                _meters.remove(self)
            if not _meters:
                _uninstall()
        return False

    def _add(self, kind, key, seconds):
        if kind == "excluded":
            self._excluded += 1
            return
        self._counts[kind][key] += 1
        self._seconds[kind][key] += seconds

    def report(self):
        """The counts so far (also while the block is still running)."""
        with _lock:
            if self._started is None:
                wall = 0.0
            else:
                wall = (self._ended or time.perf_counter()) - self._started
            return CostReport(
                aws_calls=dict(self._counts["aws"]),
                aws_seconds=dict(self._seconds["aws"]),
                controller_requests=dict(self._counts["controller"]),
                controller_seconds=dict(self._seconds["controller"]),
                excluded_aws_calls=self._excluded,
                wall_seconds=wall,
            )
