"""`tidewall plan`: what `execute` still has to do to a VPC, and where each private subnet's traffic
leaves the VPC while it does.

Read-only: no run lock, no write to the local backup folder or to S3, no controller change. The journal is
read from S3 into a scratch folder (as `status` does). Without a recorded discovery the NAT gateways are
discovered live, as a first run would (the same lookup, CloudWatch sizing included); with one, the
recorded records are used with each NAT gateway's id and addresses looked up again by subnet, as
`execute` does before its steps. The steps come from `tidewall.commands.journal_layout` and start at the
first journal slot not in effect (an unfinished rollback's slots are to be done again).

How each step changes the private route tables' default routes (0.0.0.0/0), as the tool and the
controller act on them:

- A1, A5 (snapshots), T (baseline test) and R (resize): no route changes.
- A2 points every route that targets NAT gateway 0 at NAT gateway 1. From then on zone a's private
  subnets leave through NAT gateway 1's Elastic IP, another zone's address, until a spoke of zone a
  serves them.
- A3 and B1 delete a NAT gateway: routes that still target it have no live target (AWS blackholes them)
  until the controller repoints them.
- The controller repoints orphaned private default routes when it creates a spoke (A4, B2) or switches
  SNAT on (A6): each private route table without a live default route goes to a serving spoke in its own
  zone, else to the serving primary, else to any serving spoke; with none serving it stays without
  target. A spoke serves once SNAT is on at the primary (A6); so the primary serves from A6 on, an HA
  spoke from its creation (SNAT being on by then). A table whose default route works is never touched:
  zone a therefore stays on NAT gateway 1 until B1 deletes it, and B2 of NAT gateway 1 gives zone a back
  its own Elastic IP (on the primary) and zone b its own (on the new HA spoke).
- A spoke's egress IP is the Elastic IP it takes over (the NAT gateway record's `eip`); a NAT gateway's
  is its own public IP.

A private route table is one that routes at least one subnet of the VPC (explicitly, or as the main table
of the subnets without an association) and whose default route does not go to an internet gateway.
"""

from __future__ import annotations

import copy
import logging
from dataclasses import dataclass, field

from tidewall.commands import journal_layout
from tidewall.core.ConfigAdaptor import normalise_spoke_tag
from tidewall.core.Globals import Globals

logger = logging.getLogger("tidewall.plan")

DEFAULT_ROUTE = "0.0.0.0/0"
LIVE_INSTANCE_STATES = ("pending", "running")

# What each step does to which resource, in plain words; filled with the step's resources.
_SNAPSHOT_FILE = "rt_snapshot_{}.json"


@dataclass
class Egress:
    """Where a private route table's default route sends traffic: a target and the IP it leaves with."""

    kind: str  # "nat_gateway", "spoke", "other"
    target: str  # NAT gateway id, spoke name, or another target's id
    egress_ip: str | None
    zone: str | None = None  # availability zone of the target, when known
    natgw: int | None = None  # index of the NAT gateway record the target belongs to (NAT gateway or spoke)
    secondary_ips: tuple = ()  # a NAT gateway's secondary Elastic IPs (egress_ip is its primary)

    def to_json(self, table_zones=()):
        return {
            "kind": self.kind,
            "target": self.target,
            "egress_ip": self.egress_ip,
            "secondary_egress_ips": list(self.secondary_ips),
            "own_zone": (self.zone in table_zones) if self.zone and table_zones else None,
        }


@dataclass
class RouteTable:
    route_table_id: str
    subnets: list
    zones: list
    now: Egress | None  # None: no live default route


@dataclass
class Plan:
    vpc_id: str
    source: str  # "journal" or "discovery"
    where: str
    settings: dict
    records: list  # NAT-gateway info records, ids as they are now
    zones: list  # availability zone of each record's subnet
    slots: list  # every slot of the migration (journal_layout.Slot)
    first_pending: int
    tables: list  # RouteTable
    states: list = field(default_factory=list)  # per pending slot: {rtb id: Egress|None} after it
    notes: list = field(default_factory=list)
    natgws_left_alone: list = field(default_factory=list)
    spoke_tag: str | None = None
    spoke_gw_name: str = ""
    spoke_gw_size: str | None = None
    keep_egress: bool = True  # egress.keep: routes parked on a serving spoke before each NAT gateway goes
    guards: dict = field(default_factory=dict)  # slot index -> [(rtb id, Egress)] while the primary resizes

    @property
    def pending(self):
        return self.slots[self.first_pending :]

    @property
    def complete(self):
        return not self.pending


# ------------------------------------------------------------------------------------------- reading


def _pages(ec2, operation, key, **kwargs):
    items = []
    for page in ec2.get_paginator(operation).paginate(**kwargs):
        items.extend(page.get(key, []))
    return items


def _tag(resource, key):
    for tag in resource.get("Tags") or []:
        if tag.get("Key") == key:
            return tag.get("Value")
    return None


def refresh_records(ec2, vpc_id, records):
    """Each record's NAT gateway id and addresses as they are now, looked up by subnet (as execute does)."""
    from tidewall.lib.natgw import get_natgw_by_subnet, ordered_addresses, secondary_addresses

    for record in records:
        found = get_natgw_by_subnet(ec2, record.get("subnet_id"), vpc_id)
        if found:
            address = (ordered_addresses(found[0]) or [{}])[0]
            record["nat_gw_id"] = found[0]["NatGatewayId"]
            record["private_ip"] = address.get("PrivateIp")
            record["eip"] = address.get("PublicIp")
        # The spoke takes over the primary EIP only: the secondary ones stop carrying traffic.
        record["secondary_eips"] = [a.get("PublicIp") for a in secondary_addresses(found[0])] if found else []
    return records


def discover_records(ec2, cw, vpc_id, hs_mode):
    """The NAT-gateway info records a first run would record (no backup, nothing written)."""
    from tidewall.lib.gateway_size import DetermineGwSizeCmd
    from tidewall.lib.natgw import discoverable_natgws

    natgws = discoverable_natgws(ec2, vpc_id)
    count = len(natgws) if hs_mode == 2 else min(Globals.HS_LIMIT, len(natgws))
    cmd = DetermineGwSizeCmd(ec2, cw, count, natgws)
    cmd.execute()
    return refresh_records(ec2, vpc_id, [dict(r) for r in cmd.getNatGwInfo()])


class _World:
    """The VPC's subnets, route tables, NAT gateways and the instances its routes point at, read once."""

    def __init__(self, ec2, vpc_id):
        vpc = [{"Name": "vpc-id", "Values": [vpc_id]}]
        self.subnets = {s["SubnetId"]: s for s in _pages(ec2, "describe_subnets", "Subnets", Filters=vpc)}
        self.tables = sorted(
            _pages(ec2, "describe_route_tables", "RouteTables", Filters=vpc), key=lambda t: t["RouteTableId"]
        )
        self.natgws = {
            n["NatGatewayId"]: n for n in _pages(ec2, "describe_nat_gateways", "NatGateways", Filters=vpc)
        }
        instance_ids = sorted(
            {
                r["InstanceId"]
                for t in self.tables
                for r in t.get("Routes", [])
                if r.get("InstanceId") and r.get("DestinationCidrBlock") == DEFAULT_ROUTE
            }
        )
        self.instances = {}
        if instance_ids:
            found = _pages(
                ec2,
                "describe_instances",
                "Reservations",
                Filters=[{"Name": "instance-id", "Values": instance_ids}],
            )
            self.instances = {i["InstanceId"]: i for r in found for i in r.get("Instances", [])}

    def zone(self, subnet_id):
        subnet = self.subnets.get(subnet_id)
        return subnet.get("AvailabilityZone") if subnet else None

    def table_subnets(self, table):
        explicit = [a["SubnetId"] for a in table.get("Associations", []) if a.get("SubnetId")]
        if any(a.get("Main") for a in table.get("Associations", [])):
            associated = {
                a["SubnetId"] for t in self.tables for a in t.get("Associations", []) if a.get("SubnetId")
            }
            explicit += [s for s in self.subnets if s not in associated]
        return sorted(explicit)

    def private_tables(self):
        found = []
        for table in self.tables:
            route = _default_route(table)
            if route is not None and (route.get("GatewayId") or "").startswith("igw-"):
                continue
            subnets = self.table_subnets(table)
            if subnets:
                found.append((table, subnets))
        return found


def _default_route(table):
    for route in table.get("Routes", []):
        if route.get("DestinationCidrBlock") == DEFAULT_ROUTE:
            return route
    return None


def _egress_now(world, route, records, zones):
    """The Egress of a live default route as it is now, or None when it has no live target."""
    from tidewall.lib.natgw import egress_ips

    if route is None:
        return None
    nat_gw_id = route.get("NatGatewayId")
    if nat_gw_id:
        natgw = world.natgws.get(nat_gw_id)
        if natgw is None or natgw.get("State") != "available":
            return None
        ips = egress_ips(natgw) or [None]
        index = next((i for i, r in enumerate(records) if r.get("nat_gw_id") == nat_gw_id), None)
        return Egress(
            "nat_gateway", nat_gw_id, ips[0], world.zone(natgw.get("SubnetId")), index, tuple(ips[1:])
        )
    instance_id = route.get("InstanceId")
    if instance_id:
        instance = world.instances.get(instance_id)
        if instance is None or instance.get("State", {}).get("Name") not in LIVE_INSTANCE_STATES:
            return None
        public_ip = instance.get("PublicIpAddress")
        index = next((i for i, r in enumerate(records) if public_ip and r.get("eip") == public_ip), None)
        name = _tag(instance, "Name") or instance_id
        kind = "spoke" if index is not None else "other"
        return Egress(kind, name, public_ip, world.zone(instance.get("SubnetId")), index)
    for key in ("TransitGatewayId", "NetworkInterfaceId", "VpcPeeringConnectionId", "GatewayId"):
        if route.get(key):
            if route.get("State") == "blackhole":
                return None
            return Egress("other", route[key], None)
    return None


# ------------------------------------------------------------------------------------------- the model


class _Model:
    """The private route tables' default routes and the spokes, step by step."""

    def __init__(self, plan, spokes):
        self.plan = plan
        self.routes = {t.route_table_id: t.now for t in plan.tables}
        self.zones = {t.route_table_id: set(t.zones) for t in plan.tables}
        self.spokes = spokes  # index -> {"name", "primary", "zone", "eip"}
        self.snat = spokes.get(0, {}).get("snat", False)
        # The NAT gateway each table's route belongs to (the one of its zone, else the one it points at now):
        # the spoke that replaces it is where the table settles.
        self.home = {}
        for t in plan.tables:
            in_zone = [k for k, zone in enumerate(plan.zones) if zone in t.zones]
            self.home[t.route_table_id] = (
                in_zone[0] if in_zone else (t.now.natgw if t.now is not None else None)
            )

    def _spoke(self, index):
        s = self.spokes[index]
        return Egress("spoke", s["name"], s["eip"], s["zone"], index)

    def _serving(self, index):
        return self.snat and index in self.spokes

    def _spoke_name(self, index):
        if index == 0:
            return self.plan.spoke_gw_name
        return f"HA spoke of {self.plan.spoke_gw_name} in {self.plan.records[index].get('subnet_id')}"

    def apply(self, slot):
        records = self.plan.records
        code, i = slot.code, slot.natgw
        if code == "A2":
            source = records[0].get("nat_gw_id")
            target = records[1] if len(records) > 1 else {}
            for rtb, egress in self.routes.items():
                if egress is not None and egress.kind == "nat_gateway" and egress.target == source:
                    zone = self.plan.zones[1] if len(self.plan.zones) > 1 else None
                    self.routes[rtb] = Egress(
                        "nat_gateway",
                        target.get("nat_gw_id"),
                        target.get("eip"),
                        zone,
                        1,
                        tuple(target.get("secondary_eips") or ()),
                    )
        elif code in ("A3", "B1"):
            gone = records[i].get("nat_gw_id")
            for rtb, egress in self.routes.items():
                if egress is not None and egress.kind == "nat_gateway" and egress.target == gone:
                    # Parked on the primary (it serves from A6 on), or without egress until the next spoke.
                    self.routes[rtb] = self._spoke(0) if self.plan.keep_egress and self._serving(0) else None
        elif code == "R" and self.plan.keep_egress:
            # The primary stops while it is resized: its tables go to the serving HA spoke with the most
            # headroom meanwhile, and come back after.
            ha = [k for k in sorted(self.spokes) if k != 0 and self._serving(k)]
            if ha:
                best = max(ha, key=lambda k: (_size_rank(records[k].get("size")), -k))
                self.plan.guards[slot.index] = [
                    (rtb, self._spoke(best))
                    for rtb, egress in self.routes.items()
                    if egress is not None and egress.kind == "spoke" and egress.natgw == 0
                ]
        elif code in ("A4", "B2"):
            self.spokes[i] = {
                "name": self._spoke_name(i),
                "primary": code == "A4",
                "zone": self.plan.zones[i],
                "eip": records[i].get("eip"),
            }
            self._repoint()
            if self.plan.keep_egress and self._serving(i):
                # Settled: a table whose route belongs to this spoke's NAT gateway moves onto it.
                for rtb, egress in self.routes.items():
                    if (
                        egress is not None
                        and egress.kind == "spoke"
                        and egress.natgw != i
                        and self.home[rtb] == i
                    ):
                        self.routes[rtb] = self._spoke(i)
        elif code == "A6":
            self.snat = True
            self._repoint()

    def _repoint(self):
        if not self.snat or 0 not in self.spokes:
            return
        serving = [self.spokes[k] for k in sorted(self.spokes, key=lambda k: (k != 0, k))]
        primaries = [s for s in serving if s["primary"]]
        for rtb, egress in self.routes.items():
            if egress is not None:
                continue
            in_zone = [s for s in serving if s["zone"] in self.zones[rtb]]
            chosen = (in_zone or primaries or serving or [None])[0]
            if chosen is None:
                continue
            index = next(k for k, s in self.spokes.items() if s is chosen)
            self.routes[rtb] = Egress("spoke", chosen["name"], chosen["eip"], chosen["zone"], index)


def _size_rank(size):
    from tidewall.lib.gateway_size import SIZE_ORDER

    return SIZE_ORDER.index(size) if size in SIZE_ORDER else -1


# World seconds each step takes on a real cloud, as modelled (the sandbox's real-cloud world takes as long):
# a NAT gateway's deletion, a spoke's creation, a SNAT switch, the primary's resize.
MODELLED_SECONDS = {"A3": 60.0, "B1": 60.0, "A4": 300.0, "B2": 300.0, "A6": 10.0, "R": 120.0}


def expected_gaps(plan, seconds=None):
    """rtb id -> world seconds its private subnets go without egress over the pending steps, with the
    modelled durations (`seconds`: step code -> seconds): a step counts when the table has no egress
    before or after it, and the resize when the table stays on the primary through it (no guard)."""
    seconds = MODELLED_SECONDS if seconds is None else seconds
    before = {t.route_table_id: t.now for t in plan.tables}
    gaps = dict.fromkeys(before, 0.0)
    for slot, after in zip(plan.pending, plan.states, strict=False):
        for rtb in gaps:
            was, now = before.get(rtb), after.get(rtb)
            dark = was is None or now is None
            if slot.code == "R" and was is not None and was.kind == "spoke" and was.natgw == 0:
                dark = dark or not any(r == rtb for r, _e in plan.guards.get(slot.index, []))
            if dark:
                gaps[rtb] += seconds.get(slot.code, 0.0)
        before = after
    return gaps


def _spokes_in_effect(slots, done):
    """The spokes the journal's steps in effect have made: index -> record, and whether SNAT is on."""
    spokes = {}
    for slot in slots[:done]:
        if slot.code in ("A4", "B2"):
            spokes[slot.natgw] = {"primary": slot.code == "A4"}
        if slot.code == "A6" and 0 in spokes:
            spokes[0]["snat"] = True
    return spokes


# ------------------------------------------------------------------------------------------- building


def build_plan(ca, clients=None, *, stop_before=None):
    """The Plan of `ca`'s VPC: journal from S3 (scratch copy), NAT gateways and routes from EC2."""
    from tidewall import runner
    from tidewall.lib.aws_cred import AwsClientManager
    from tidewall.logs import demoted
    from tidewall.status import report_from_view

    clients = clients if clients is not None else AwsClientManager(ca)
    ec2 = clients.getEc2Client()
    runner.check_vpc_exists(ca, clients)  # a wrong VPC id or region is no empty plan
    with demoted("tidewall.lib.s3", "tidewall.commands.history"):
        view = runner.read_journal(ca, clients.getS3Client())
    report = report_from_view(ca, view)
    settings = dict(report.settings)
    notes = []
    if view.discovered:
        source = "journal"
        records = refresh_records(ec2, ca.vpc_id, copy.deepcopy(view.natgws))
        slots = list(report.steps)
        done = report.done
        if report.intent is not None:
            notes.append(
                "a change was in progress when the last run stopped; the next execute first checks whether it "
                "was made (shown here as still to do)"
            )
        if report.undoing:
            notes.append(
                f"an unfinished {report.progress['kind']} is undone first: journal slots "
                f"{report.undoing.start}-{report.undoing.stop - 1} are done again"
            )
        if report.settings_diffs:
            notes.append("execute is refused: " + "; ".join(report.settings_diffs))
        if report.mismatches:
            notes.append("the journal does not line up with the steps; revert instead of resuming")
    else:
        source = "discovery"
        runner.check_no_twin_natgws(ec2, ca.vpc_id)
        with demoted("tidewall.lib.gateway_size"):
            records = discover_records(ec2, clients.getCwClient(), ca.vpc_id, settings["hs_mode"])
        slots = journal_layout.layout(
            records, bool(settings["enable_test"]), settings["hs_mode"], ca.spoke_gw_size
        )
        done = 0
    if len(records) < runner.MIN_NAT_GATEWAYS:
        notes.append(
            f"{len(records)} NAT gateway(s): at least {runner.MIN_NAT_GATEWAYS} are needed to migrate"
        )
    if stop_before is not None and stop_before >= 0:
        cut = journal_layout.layout(
            records, bool(settings["enable_test"]), settings["hs_mode"], ca.spoke_gw_size, stop_before
        )
        slots = slots[: max(len(cut), done)]
        if stop_before >= len(records):
            notes.append(
                f"--stop-before {stop_before} is beyond the last NAT gateway ({len(records) - 1}): nothing is held back"
            )

    world = _World(ec2, ca.vpc_id)
    zones = [world.zone(r.get("subnet_id")) for r in records]
    tables = []
    for table, subnets in world.private_tables():
        egress = _egress_now(world, _default_route(table), records, zones)
        table_zones = sorted({z for z in (world.zone(s) for s in subnets) if z})
        tables.append(RouteTable(table["RouteTableId"], subnets, table_zones, egress))
    tables.sort(key=lambda t: (t.zones[:1], t.route_table_id))
    try:
        tag = normalise_spoke_tag(ca.spoke_gw_tag)
    except ValueError:
        tag = None
    plan = Plan(
        vpc_id=ca.vpc_id,
        source=source,
        where=view.where,
        settings=settings,
        records=records,
        zones=zones,
        slots=slots,
        first_pending=min(done, len(slots)),
        tables=tables,
        notes=notes,
        natgws_left_alone=runner.natgws_left_alone(ec2, ca.vpc_id),
        spoke_tag=tag,
        spoke_gw_name=ca.spoke_gw_name,
        spoke_gw_size=ca.spoke_gw_size,
        keep_egress=bool((ca.egress or {}).get("keep", True)),
    )
    return simulate(plan)


def simulate(plan):
    """Fill `plan.states`: the private route tables' egress after each pending step, from their egress now
    and the spokes the steps in effect have made."""
    records, zones = plan.records, plan.zones
    spokes = _spokes_in_effect(plan.slots, plan.first_pending)
    for index, spoke in spokes.items():
        spoke.update(zone=zones[index] if index < len(zones) else None, eip=records[index].get("eip"))
        spoke["name"] = plan.spoke_gw_name if index == 0 else f"HA spoke of {plan.spoke_gw_name}"
    model = _Model(plan, spokes)
    plan.states = []
    for slot in plan.pending:
        model.apply(slot)
        plan.states.append(dict(model.routes))
    return plan


# ------------------------------------------------------------------------------------------- describing


def step_resources(plan, slot):
    """What the step acts on, as plain values."""
    records, i = plan.records, slot.natgw
    record = records[i] if i is not None and i < len(records) else {}
    code = slot.code
    if code == "T":
        return {"nat_gateways": [r.get("nat_gw_id") for r in records]}
    if code in ("A1", "A5"):
        tag = "s1" if code == "A1" else "s2"
        return {"snapshot": tag, "file": _SNAPSHOT_FILE.format(tag)}
    if code == "A2":
        target = records[1] if len(records) > 1 else {}
        return {
            "nat_gateway": record.get("nat_gw_id"),
            "to_nat_gateway": target.get("nat_gw_id"),
            "to_subnet_id": target.get("subnet_id"),
            "to_eip": target.get("eip"),
        }
    if code in ("A3", "B1"):
        return {
            "nat_gateway": record.get("nat_gw_id"),
            "subnet_id": record.get("subnet_id"),
            "eip": record.get("eip"),
        }
    if code in ("A4", "B2"):
        size = plan.spoke_gw_size or (record.get("initial_size") if code == "A4" else record.get("size"))
        return {
            "spoke": plan.spoke_gw_name if code == "A4" else None,
            "role": "primary" if code == "A4" else "ha",
            "size": size,
            "subnet_id": record.get("subnet_id"),
            "subnet_cidr": record.get("subnet_cidr"),
            "eip": record.get("eip"),
            "tag": plan.spoke_tag,
        }
    if code == "A6":
        return {"spoke": plan.spoke_gw_name, "snat": "single-IP"}
    if code == "R":
        first = records[0] if records else {}
        return {
            "spoke": plan.spoke_gw_name,
            "from_size": first.get("initial_size"),
            "to_size": first.get("size"),
        }
    return {}


def describe_step(plan, slot):
    """One line: what the step does to which resource."""
    r = step_resources(plan, slot)
    code = slot.code
    if code == "T":
        return (
            f"check that NAT gateways {', '.join(map(str, r['nat_gateways']))} are available with their EIPs"
        )
    if code in ("A1", "A5"):
        return f"snapshot the VPC's NAT gateway routes as {r['snapshot']} ({r['file']})"
    if code == "A2":
        return (
            f"point the routes of {r['nat_gateway']} at NAT gateway 1 {r['to_nat_gateway']} "
            f"(EIP {r['to_eip']})"
        )
    if code in ("A3", "B1"):
        return f"delete NAT gateway {r['nat_gateway']} in {r['subnet_id']}, keeping EIP {r['eip']}"
    if code == "A4":
        return (
            f"create the primary spoke {r['spoke']}, size {r['size']}, in {r['subnet_id']} ({r['subnet_cidr']}) "
            f"with EIP {r['eip']}" + (f", tags {r['tag']}" if r["tag"] else "")
        )
    if code == "B2":
        return (
            f"create an HA spoke of {plan.spoke_gw_name} (named by the controller), size {r['size']}, in "
            f"{r['subnet_id']} ({r['subnet_cidr']}) with EIP {r['eip']}"
            + (f", tags {r['tag']}" if r["tag"] else "")
        )
    if code == "A6":
        return f"switch on single-IP SNAT on {r['spoke']}"
    if code == "R":
        return f"resize {r['spoke']} from {r['from_size']} to {r['to_size']}"
    return slot.label


def _egress_text(egress, zones):
    from tidewall.lib.natgw import egress_text

    if egress is None:
        return "NO TARGET (no egress)"
    ip = egress_text([egress.egress_ip, *egress.secondary_ips]) if egress.egress_ip else "unknown IP"
    other = " - another zone's EIP" if egress.zone and zones and egress.zone not in zones else ""
    return f"{egress.target} ({ip}{other})"


def _groups(plan):
    """[(group number, natgw, [(slot, state)])] of the pending slots, in order; number None: no group."""
    spans = journal_layout.groups(plan.slots)
    out = []
    for slot, state in zip(plan.pending, plan.states, strict=True):
        number = next((n for n, (a, b) in enumerate(spans) if a <= slot.index <= b), None)
        if not out or out[-1][0] != number:
            out.append((number, slot.natgw, []))
        out[-1][2].append((slot, state))
    return out


def _gaps(plan):
    """Each stretch of pending steps during which a private route table has no live default route."""
    gaps = []
    open_gaps = {}
    before = {t.route_table_id: t.now for t in plan.tables}
    for t in plan.tables:
        if t.now is None:
            open_gaps[t.route_table_id] = {"route_table_id": t.route_table_id, "from": "now", "until": None}
    for slot, state in zip(plan.pending, plan.states, strict=True):
        where = {"slot": slot.index, "code": slot.code, "natgw": slot.natgw}
        for rtb, egress in state.items():
            if egress is None and before.get(rtb) is not None:
                open_gaps[rtb] = {"route_table_id": rtb, "from": where, "until": None}
            elif egress is not None and rtb in open_gaps:
                gap = open_gaps.pop(rtb)
                gap["until"] = where
                gaps.append(gap)
        before = state
    gaps.extend(open_gaps.values())
    return gaps


def _slot_json(slot):
    return {"slot": slot.index, "code": slot.code, "natgw": slot.natgw, "label": slot.label}


def plan_to_json(plan):
    zones_of = {t.route_table_id: t.zones for t in plan.tables}

    def egress_map(state, only_changed_from=None):
        out = {}
        for rtb, egress in state.items():
            if only_changed_from is not None and only_changed_from.get(rtb) == egress:
                continue
            out[rtb] = egress.to_json(zones_of[rtb]) if egress is not None else None
        return out

    natgws = []
    for i, record in enumerate(plan.records):
        natgws.append(
            {
                "index": i,
                "nat_gw_id": record.get("nat_gw_id"),
                "subnet_id": record.get("subnet_id"),
                "subnet_cidr": record.get("subnet_cidr"),
                "zone": plan.zones[i],
                "eip": record.get("eip"),
                "secondary_eips": record.get("secondary_eips") or [],
                "size": record.get("size"),
                "initial_size": record.get("initial_size"),
                "peak_mbps": record.get("peak_mbps"),
                "peak_connections": record.get("peak_connections"),
                "replaced": journal_layout.replaced(i, plan.settings["hs_mode"]),
                "steps": [
                    {"slot": s.index, "code": s.code, "label": s.label} for s in plan.pending if s.natgw == i
                ],
            }
        )
    groups = []
    previous = {t.route_table_id: t.now for t in plan.tables}
    for number, natgw, items in _groups(plan):
        steps = []
        for slot, state in items:
            steps.append(
                {
                    "slot": slot.index,
                    "code": slot.code,
                    "natgw": slot.natgw,
                    "label": slot.label,
                    "does": describe_step(plan, slot),
                    "resources": step_resources(plan, slot),
                    "egress_changes": egress_map(state, previous),
                }
            )
            previous = state
        groups.append(
            {
                "group": number,
                "natgw": natgw,
                "steps": steps,
                "egress_after": egress_map(items[-1][1]),
            }
        )
    return {
        "command": "plan",
        "vpc_id": plan.vpc_id,
        "source": plan.source,
        "journal": plan.where,
        "settings": {"enable_test": bool(plan.settings["enable_test"]), "hs_mode": plan.settings["hs_mode"]},
        "complete": plan.complete,
        "steps_total": len(plan.slots),
        "steps_in_effect": plan.first_pending,
        "steps_done": [_slot_json(s) for s in plan.slots[: plan.first_pending]],
        "steps_pending": [_slot_json(s) for s in plan.pending],
        "natgws": natgws,
        "route_tables": [
            {
                "route_table_id": t.route_table_id,
                "subnets": t.subnets,
                "zones": t.zones,
                "now": t.now.to_json(t.zones) if t.now is not None else None,
            }
            for t in plan.tables
        ],
        "groups": groups,
        "gaps": _gaps(plan),
        "egress_keep": plan.keep_egress,
        "expected_gap_s": {rtb: round(s, 1) for rtb, s in expected_gaps(plan).items()},
        "guards": {
            str(index): [{"route_table_id": rtb, "to": egress.target} for rtb, egress in moves]
            for index, moves in plan.guards.items()
        },
        "natgws_left_alone": plan.natgws_left_alone,
        "notes": plan.notes,
    }


def render_plan(plan):
    out = []
    origin = (
        f"from the journal in {plan.where}"
        if plan.source == "journal"
        else "from live discovery (no migration recorded yet)"
    )
    out.append(f"Plan for {plan.vpc_id}, {origin}")
    s = plan.settings
    out.append(
        f"  Settings: enable_test {'true' if s['enable_test'] else 'false'}, hs_mode {s['hs_mode']}; "
        f"{len(plan.records)} NAT gateway(s); {len(plan.tables)} private route table(s); "
        f"{plan.first_pending} of {len(plan.slots)} steps done"
    )
    # The log's "- Deploy HS Spoke" lines name the controller's own word for the gateway kind.
    out.append(
        "  Spokes: HS spoke gateways (the controller's multicloud kind): the primary in NAT gateway 0's subnet, "
        "an HA gateway in each further one; hs_mode 1 replaces NAT gateways 0 and 1 only"
    )
    for i, record in enumerate(plan.records):
        left = "" if journal_layout.replaced(i, s["hs_mode"]) else " (not replaced: hs_mode 1)"
        out.append(
            f"  NAT gateway {i}: {record.get('nat_gw_id')} in {record.get('subnet_id')} ({plan.zones[i]}), "
            f"EIP {record.get('eip')}{left}"
        )
        if record.get("peak_mbps") is not None:
            out.append(
                f"    size {record.get('size')} from the peaks of the last 14 days (1-minute periods): "
                f"{record['peak_mbps']:.1f} Mbit/s (busier direction), {record.get('peak_connections')} "
                "connections"
            )
        if record.get("secondary_eips"):
            out.append(
                f"    secondary EIPs {', '.join(record['secondary_eips'])}: the spoke takes over the primary "
                "EIP only; these stop carrying traffic when the NAT gateway is deleted (revert brings them back)"
            )
    for item in plan.natgws_left_alone:
        out.append(
            f"  Left alone: {item.get('nat_gw_id')}" + (f" ({item['reason']})" if item.get("reason") else "")
        )
    out.append("  Private route tables now:")
    if not plan.tables:
        out.append("    none")
    for t in plan.tables:
        out.append(
            f"    {t.route_table_id} ({', '.join(t.zones) or 'no zone'}): 0.0.0.0/0 -> {_egress_text(t.now, t.zones)}"
        )
    for note in plan.notes:
        out.append(f"  NOTE: {note}")
    if plan.complete:
        out.append("Nothing left to do: migration already complete")
        return "\n".join(out)
    zones_of = {t.route_table_id: t.zones for t in plan.tables}
    previous = {t.route_table_id: t.now for t in plan.tables}
    for number, natgw, items in _groups(plan):
        if number is None:
            out.append("Before the first group (no rollback group):")
        else:
            what = f"NAT gateway {natgw}" if natgw is not None else "the run"
            out.append(f"Group {number} ({what}; a failure rolls back this group only):")
        for slot, state in items:
            out.append(f"  {slot.code:<2} {describe_step(plan, slot)}")
            for rtb, egress in plan.guards.get(slot.index, []):
                out.append(f"       {rtb} -> {_egress_text(egress, zones_of[rtb])} while it runs, then back")
            for rtb, egress in state.items():
                if previous.get(rtb) != egress:
                    out.append(f"       {rtb} -> {_egress_text(egress, zones_of[rtb])}")
            previous = state
        out.append("  Egress after the group:")
        for rtb, egress in items[-1][1].items():
            out.append(
                f"    {rtb} ({', '.join(zones_of[rtb]) or 'no zone'}) -> {_egress_text(egress, zones_of[rtb])}"
            )
    gaps = _gaps(plan)
    if gaps:
        out.append("Without egress:")
        for gap in gaps:
            start = "now" if gap["from"] == "now" else f"after {gap['from']['code']} of {_natgw(gap['from'])}"
            end = (
                f"until {gap['until']['code']} of {_natgw(gap['until'])}"
                if gap["until"]
                else "to the end of the plan"
            )
            out.append(f"  {gap['route_table_id']}: from {start} {end}")
    else:
        out.append("Without egress: no private route table at any step")
    keep = "true (routes parked on a serving spoke first)" if plan.keep_egress else "false"
    out.append(f"Expected gap (world seconds with the modelled durations; egress.keep {keep}):")
    for rtb, seconds in expected_gaps(plan).items():
        out.append(f"  {rtb} ({', '.join(zones_of[rtb]) or 'no zone'}): {seconds:.0f} s")
    return "\n".join(out)


def _natgw(where):
    return "the run" if where["natgw"] is None else f"NAT gateway {where['natgw']}"


def egress_now(ec2, vpc_id, records):
    """One line per private route table: where its default route sends traffic now, and through which
    zone's EIP (`rtb-1 (us-east-1a): 0.0.0.0/0 -> nat-2 (NAT gateway 1 in us-east-1b, EIP 1.2.3.4)`)."""
    world = _World(ec2, vpc_id)
    zones = [world.zone(r.get("subnet_id")) for r in records]
    lines = []
    for table, subnets in world.private_tables():
        table_zones = sorted({z for z in (world.zone(s) for s in subnets) if z})
        egress = _egress_now(world, _default_route(table), records, zones)
        where = ", ".join(table_zones) or "no zone"
        if egress is None:
            lines.append(f"{table['RouteTableId']} ({where}): 0.0.0.0/0 -> no live target (no egress)")
            continue
        index = "" if egress.natgw is None else f" {egress.natgw}"
        what = {
            "nat_gateway": f"NAT gateway{index}",
            "spoke": f"the spoke that replaced NAT gateway{index}",
        }.get(egress.kind, "another target")
        zone = f" in {egress.zone}" if egress.zone else ""
        other = (
            ": another zone's EIP" if egress.zone and table_zones and egress.zone not in table_zones else ""
        )
        lines.append(
            f"{table['RouteTableId']} ({where}): 0.0.0.0/0 -> {egress.target} ({what}{zone}, EIP "
            f"{egress.egress_ip or 'unknown'}{other})"
        )
    return lines
