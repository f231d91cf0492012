"""The simulated world's clock and how long its changes take.

The world runs on a clock scaled against the wall clock: with a time scale of 0.01 one world second lasts
10 ms, so a NAT gateway that takes 60 s to delete is gone after 0.6 s. Durations are world seconds, as a
real cloud takes them; every figure the sandbox reports (waits, outages) is in world seconds too.
"""

from __future__ import annotations

import dataclasses
import time
from dataclasses import dataclass

# Real seconds per world second for `tidewall sandbox`: the default migration (three NAT gateways) takes
# about half an hour of world time, which passes in some twenty seconds.
DEFAULT_TIME_SCALE = 0.01


@dataclass(frozen=True)
class Durations:
    """How long the world takes for each change (world seconds). 0 makes that change instant."""

    natgw_pending: float = 60.0  # CreateNatGateway: pending -> available
    natgw_deleting: float = 60.0  # DeleteNatGateway: deleting -> deleted (EIP held until then)
    describe_lag: float = 5.0  # a new NAT gateway is unknown to describes for this long
    gateway_create: float = 300.0  # controller: a spoke or HA gateway
    gateway_resize: float = 120.0  # controller: the instance is stopped most of that time
    snat_switch: float = 10.0  # controller: enabling or disabling single-IP SNAT
    gateway_delete: float = 120.0  # controller: a gateway's deletion
    controller_timeout: float = 60.0  # how long a request that times out waits for its HTTP 504

    @classmethod
    def instant(cls):
        return cls(**{f.name: 0.0 for f in dataclasses.fields(cls)})

    @classmethod
    def names(cls):
        return [f.name for f in dataclasses.fields(cls)]

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    @classmethod
    def parse(cls, items, base=None):
        """`base` (default: the real-cloud durations) changed by "name=seconds" items; ValueError if bad."""
        out = base if base is not None else cls()
        for item in items or ():
            name, sep, value = str(item).partition("=")
            name = name.strip().replace("-", "_")
            if not sep or name not in cls.names():
                raise ValueError(
                    f"expected NAME=SECONDS with NAME one of {', '.join(cls.names())}, got {item!r}"
                )
            try:
                seconds = float(value)
            except ValueError:
                raise ValueError(f"{name}: expected a number of seconds, got {value!r}") from None
            if not 0 <= seconds < float("inf"):
                raise ValueError(f"{name}: expected 0 or more seconds, got {value!r}")
            out = out.replace(**{name: seconds})
        return out

    def to_dict(self):
        return dataclasses.asdict(self)


class WorldClock:
    """World time: seconds since the clock started, the wall clock divided by the time scale."""

    def __init__(self, scale=DEFAULT_TIME_SCALE, *, monotonic=time.monotonic, sleep=time.sleep):
        scale = float(scale)
        if not 0 < scale < float("inf"):
            raise ValueError(f"the time scale must be a positive number, got {scale!r}")
        self.scale = scale
        self._monotonic = monotonic
        self._sleep = sleep
        self._started = monotonic()

    def now(self):
        return (self._monotonic() - self._started) / self.scale

    def sleep(self, world_seconds):
        """Let `world_seconds` of world time pass on this thread."""
        if world_seconds > 0:
            self._sleep(world_seconds * self.scale)
