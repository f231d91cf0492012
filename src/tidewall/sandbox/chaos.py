"""Faults a real cloud produces, injected into the tool's calls, reproducibly from a seed.

`Chaos(seed)` decides, call by call, what the simulated AWS and controller do to the tool (never to the
sandbox's own calls):

- EC2 throttling bursts: a run of calls answered `RequestLimitExceeded` (HTTP 503);
- EC2 server errors: `InternalError` (500) or `Unavailable` (503) now and then;
- S3 `SlowDown` (503) bursts;
- a change made and then answered `InternalError`, as if the answer had been lost (the client's retry
  meets a world where the change is already made);
- NAT gateways that describes do not show for a while after their creation (eventual consistency);
- one controller request that times out (a proxy's HTTP 504 with no JSON), before or after the controller
  acted;
- the controller session expiring once mid-run (every CID handed out so far becomes invalid).

Each decision is drawn from a generator seeded with the seed, the call's service and operation and how many
such calls came before, so a seed gives the same faults at the same calls from one run to the next; after
any fault a service answers a few calls normally, so a burst never outlasts the client's retries.
"""

from __future__ import annotations

import random
import threading
from collections import Counter
from dataclasses import dataclass

# Per call of the tool, the chance that ...
EC2_THROTTLE_RATE = 0.05  # ... an EC2 throttling burst starts
EC2_ERROR_RATE = 0.03  # ... EC2 answers a server error
S3_SLOWDOWN_RATE = 0.05  # ... an S3 SlowDown burst starts
AFTER_CHANGE_RATE = 0.25  # ... an EC2 change is made and its answer lost
BURST = (2, 4)  # calls in a burst
COOLDOWN = 3  # calls answered normally after a fault
DESCRIBE_LAG = (10.0, 40.0)  # world seconds a new NAT gateway stays invisible to describes
SESSION_EXPIRY = (4, 14)  # the controller session expires before the tool's n-th request (logins not counted)
# Controller requests one of which times out: (action, occurrence).
TIMEOUT_TARGETS = (
    ("create_multicloud_primary_gateway", 1),
    ("create_multicloud_ha_gateway", 1),
    ("create_multicloud_ha_gateway", 2),
    ("enable_snat", 1),
    ("list_vpcs_summary", 2),
    ("delete_multicloud_gateway", 1),
    ("disable_snat", 1),
)
# EC2 calls that change something (the after-change fault applies to them).
EC2_CHANGES = frozenset(
    {
        "CreateNatGateway",
        "DeleteNatGateway",
        "ReplaceRoute",
        "CreateRoute",
        "DeleteRoute",
        "DisassociateAddress",
        "AssociateAddress",
        "CreateTags",
    }
)


@dataclass(frozen=True)
class Fault:
    """An answer in place of (or, with `after_change`, after) the real one."""

    kind: str  # "throttle", "error", "slowdown", "after-change", "timeout", "expire"
    status: int = 500
    code: str = ""
    message: str = ""
    after_change: bool = False


THROTTLE = Fault("throttle", 503, "RequestLimitExceeded", "Request limit exceeded.")
INTERNAL = Fault("error", 500, "InternalError", "An internal error has occurred")
UNAVAILABLE = Fault("error", 503, "Unavailable", "The service is unavailable. Please try again shortly.")
SLOWDOWN = Fault("slowdown", 503, "SlowDown", "Please reduce your request rate.")
LOST_ANSWER = Fault("after-change", 500, "InternalError", "An internal error has occurred", after_change=True)


class Chaos:
    def __init__(self, seed):
        self.seed = int(seed)
        rng = random.Random(f"tidewall-chaos:{self.seed}")
        self.describe_lag = round(rng.uniform(*DESCRIBE_LAG), 1)
        self.session_expiry_at = rng.randint(*SESSION_EXPIRY)
        self.timeout_target = TIMEOUT_TARGETS[rng.randrange(len(TIMEOUT_TARGETS))]
        self.timeout_after_acting = rng.random() < 0.5
        self._lock = threading.Lock()
        self._calls = Counter()  # (service, op) -> calls so far
        self._burst = Counter()  # service -> calls left in the current burst
        self._quiet = Counter()  # service -> calls left before the next fault may come
        self._controller_calls = Counter()  # action -> requests so far
        self._controller_total = 0
        self.injected = Counter()  # fault kind -> how many were injected

    def _draw(self, *key):
        return random.Random(f"{self.seed}:" + ":".join(map(str, key))).random()

    # ------------------------------------------------------------------------------------------- AWS

    def aws_fault(self, service, op):
        """The fault for this call of the tool, or None."""
        with self._lock:
            self._calls[(service, op)] += 1
            n = self._calls[(service, op)]
            fault = self._aws_fault(service, op, n)
            if fault is not None:
                self.injected[fault.kind] += 1
            return fault

    def _aws_fault(self, service, op, n):
        if self._burst[service] > 0:
            self._burst[service] -= 1
            if self._burst[service] == 0:
                self._quiet[service] = COOLDOWN
            return SLOWDOWN if service == "s3" else THROTTLE
        if self._quiet[service] > 0:
            self._quiet[service] -= 1
            return None
        draw = self._draw(service, op, n)
        if service == "ec2":
            if op in EC2_CHANGES and draw < AFTER_CHANGE_RATE:
                self._quiet[service] = COOLDOWN
                return LOST_ANSWER
            draw = self._draw(service, op, n, "b")
            if draw < EC2_THROTTLE_RATE:
                return self._start_burst(service, op, n, THROTTLE)
            if draw < EC2_THROTTLE_RATE + EC2_ERROR_RATE:
                self._quiet[service] = COOLDOWN
                return INTERNAL if self._draw(service, op, n, "c") < 0.5 else UNAVAILABLE
        elif service == "s3" and draw < S3_SLOWDOWN_RATE:
            return self._start_burst(service, op, n, SLOWDOWN)
        return None

    def _start_burst(self, service, op, n, fault):
        low, high = BURST
        length = low + int(self._draw(service, op, n, "len") * (high - low + 1))
        self._burst[service] = length - 1
        if length == 1:
            self._quiet[service] = COOLDOWN
        return fault

    # ------------------------------------------------------------------------------------ controller

    def controller_fault(self, action):
        """ "expire" (the session expires before this request), "timeout-before", "timeout-after" or None."""
        if action == "login":
            return None
        with self._lock:
            self._controller_total += 1
            if self._controller_total == self.session_expiry_at:
                self.injected["expire"] += 1
                return "expire"  # refused for its CID: the request sent again counts as this action's
            self._controller_calls[action] += 1
            if (action, self._controller_calls[action]) == self.timeout_target:
                self.injected["timeout"] += 1
                return "timeout-after" if self.timeout_after_acting else "timeout-before"
            return None

    def describe(self):
        """One line: the seed's plan."""
        action, nth = self.timeout_target
        when = "after" if self.timeout_after_acting else "before"
        return (
            f"chaos seed {self.seed}: EC2 throttling bursts and 5xx, S3 SlowDown, lost answers to EC2 changes, "
            f"new NAT gateways invisible for {self.describe_lag:.0f} s, the controller session expiring before "
            f"request {self.session_expiry_at}, {action} #{nth} timing out {when} the controller acts"
        )

    def summary(self):
        return dict(sorted(self.injected.items()))
