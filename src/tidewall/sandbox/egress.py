"""Egress continuity: whether each private subnet reaches the internet, and through which public IP.

The sandbox's own judgement, from the simulated cloud's state itself (moto's backend objects and the
simulated controller's gateways), never from the tool's code or from a route's `State`: a subnet has
egress when its route table's `0.0.0.0/0` route leads to an `available` public NAT gateway, or (named by
its instance or by one of its network interfaces) to a gateway instance that runs (one still starting
forwards nothing), has its source/destination check off and that the controller has set up to forward
traffic (SNAT on at its primary); the traffic then leaves through that NAT gateway's primary Elastic IP
or that instance's Elastic IP. Each change of the route's target resets the flows open through it (AWS
drops them), so the record also counts the changes of target.

`EgressMonitor.evaluate(t)` is called at every change of the world, with the world time the change took
effect (the AWS front calls it after each change and at each NAT gateway transition, the controller after
each of its changes), and keeps, per private subnet, the times its egress changed. `stats(start, end)`
sums up a stretch of that record: seconds without egress, the longest gap, the public IPs used in order.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

DEFAULT_ROUTE = "0.0.0.0/0"
SERVING_INSTANCE_STATES = ("running",)


@dataclass(frozen=True)
class Egress:
    live: bool
    ip: str | None  # the public IP traffic leaves through (None without egress)
    target: str  # what the default route points at: a NAT gateway id, an instance id, "no route", ...


@dataclass
class SubnetEgress:
    subnet_id: str
    zone: str
    route_table_id: str | None
    outage_s: float = 0.0
    longest_gap_s: float = 0.0
    egress_ips: list = field(default_factory=list)
    flow_resets: int = 0  # changes of the default route's target (each one drops the open flows)

    def to_dict(self):
        return {
            "route_table_id": self.route_table_id,
            "subnet_id": self.subnet_id,
            "zone": self.zone,
            "outage_s": round(self.outage_s, 1),
            "longest_gap_s": round(self.longest_gap_s, 1),
            "egress_ips": list(self.egress_ips),
            "flow_resets": self.flow_resets,
        }


def _backend(account_id, region):
    from moto.ec2.models import ec2_backends

    return ec2_backends[account_id][region]


class EgressMonitor:
    """Per private subnet of one VPC: (world time, Egress) at every change, oldest first."""

    def __init__(self, account_id, region, vpc_id, serves=None):
        self.account_id = account_id
        self.region = region
        self.vpc_id = vpc_id
        # instance id -> True/False: whether the controller forwards egress through it; absent: not the
        # controller's, judged by its state alone.
        self.serves = serves or (lambda instance_id: None)
        self.timeline = {}  # subnet id -> [(t, Egress)]
        self.zones = {}  # subnet id -> availability zone
        self.tables = {}  # subnet id -> route table id (the last one seen)
        self._lock = threading.Lock()

    # ------------------------------------------------------------------------------- judgement

    def current(self):
        """subnet id -> (route table id, Egress) of every private subnet of the VPC, as things are now."""
        backend = _backend(self.account_id, self.region)
        subnets = [
            s
            for by_zone in list(backend.subnets.values())
            for s in list(by_zone.values())
            if s.vpc_id == self.vpc_id
        ]
        tables = [t for t in list(backend.route_tables.values()) if t.vpc_id == self.vpc_id]
        main = next((t for t in tables if t.main_association_id is not None), None)
        explicit = {subnet_id: t for t in tables for subnet_id in list(t._associations.values())}
        igws = {g.id for g in list(backend.internet_gateways.values()) if getattr(g, "vpc", None) is not None}
        out = {}
        for subnet in subnets:
            table = explicit.get(subnet.id, main)
            route = _default_route(table)
            if route is not None and route.gateway is not None and route.gateway.id in igws:
                continue  # a public subnet
            self.zones[subnet.id] = subnet.availability_zone
            out[subnet.id] = (table.id if table else None, self._judge(backend, route))
        return out

    def _judge(self, backend, route):
        if route is None:
            return Egress(False, None, "no route")
        nat = route.nat_gateway
        if nat is not None:
            live = nat.state == "available" and getattr(nat, "connectivity_type", "public") != "private"
            return Egress(live, _natgw_ip(nat) if live else None, nat.id)
        instance = route.instance
        interface = getattr(route, "interface", None)
        if instance is None and interface is not None:
            instance = getattr(interface, "instance", None)
            if instance is None:
                return Egress(False, None, interface.id)
        if instance is not None:
            live = (
                instance.state in SERVING_INSTANCE_STATES
                and str(getattr(instance, "source_dest_check", "true")).lower() == "false"
                and self.serves(instance.id) is not False
            )
            return Egress(live, _instance_ip(backend, instance) if live else None, instance.id)
        return Egress(False, None, route.gateway.id if route.gateway is not None else "other")

    # ------------------------------------------------------------------------------------ record

    def evaluate(self, t):
        """Record every subnet whose egress differs from its last record, as of world time `t`."""
        now = self.current()
        with self._lock:
            for subnet_id, (table_id, egress) in now.items():
                self.tables[subnet_id] = table_id
                line = self.timeline.setdefault(subnet_id, [])
                if not line or line[-1][1] != egress:
                    line.append((t, egress))

    def stats(self, start=None, end=None):
        """SubnetEgress per private subnet over [start, end] (world seconds; default: all of the record)."""
        with self._lock:
            out = []
            for subnet_id in sorted(self.timeline, key=lambda s: (self.zones.get(s, ""), s)):
                line = self.timeline[subnet_id]
                out.append(self._stats_of(subnet_id, line, start, end))
            return out

    def _stats_of(self, subnet_id, line, start, end):
        first = line[0][0] if line else 0.0
        start = first if start is None else start
        end = (line[-1][0] if line else first) if end is None else end
        result = SubnetEgress(subnet_id, self.zones.get(subnet_id, ""), self.tables.get(subnet_id))
        gap = 0.0
        for i, (t, egress) in enumerate(line):
            until = line[i + 1][0] if i + 1 < len(line) else end
            if i > 0 and start <= t <= end and line[i - 1][1].target != egress.target:
                result.flow_resets += 1
            lo, hi = max(t, start), min(until, end)
            if hi <= lo:
                continue
            span = hi - lo
            if egress.live:
                gap = 0.0
                if egress.ip and (not result.egress_ips or result.egress_ips[-1] != egress.ip):
                    result.egress_ips.append(egress.ip)
            else:
                result.outage_s += span
                gap += span
                result.longest_gap_s = max(result.longest_gap_s, gap)
        return result

    def ips_used(self):
        """Every public IP any private subnet's traffic left through, over the whole record."""
        with self._lock:
            return {
                egress.ip
                for line in self.timeline.values()
                for _t, egress in line
                if egress.live and egress.ip
            }


def _default_route(table):
    if table is None:
        return None
    for route in list(table._routes.values()):
        if route.destination_cidr_block == DEFAULT_ROUTE:
            return route
    return None


def _natgw_ip(nat):
    addresses = list(nat.address_set)
    primary = next((a for a in addresses if a.get("isPrimary")), addresses[0] if addresses else {})
    return primary.get("publicIp")


def _instance_ip(backend, instance):
    for address in list(backend.addresses):
        if address.instance is not None and address.instance.id == instance.id:
            return address.public_ip
        if address.eni is not None and any(nic.id == address.eni.id for nic in instance.nics.values()):
            return address.public_ip
    return instance.public_ip
