"""Egress kept up through a migration: every route that loses its NAT gateway is parked on a live spoke
first, and settled on the spoke that replaces that NAT gateway once it serves.

Each NAT gateway of the recorded discovery is the *home* of the routes that pointed at it before the
migration (a route moved from NAT gateway 0 to NAT gateway 1 by the traffic move keeps NAT gateway 0 as its
home). The spoke that takes over a NAT gateway's Elastic IP is the home spoke of those routes: the primary
for NAT gateway 0, the HA spoke of zone k for NAT gateway k. What the keeper does, told by the step hooks
(`tidewall.commands.step_hooks`) and by the NAT gateway deletion itself:

- park: before a NAT gateway is deleted (after its undo is on record), its routes move to a serving spoke:
  their home spoke when it serves, else the primary. The undo keeps the routes as they were before; its
  `parked_on` names the network interface they were parked on;
- settle: a route on a spoke other than its home spoke moves home once the home spoke serves; a route whose
  target is dead (a deleted NAT gateway, a spoke that no longer serves) is parked again at once. Settling
  needs no record: it only moves towards the state the current step ends in;
- guard: before the primary is resized (or its resize undone) the routes on it move to the serving HA
  spoke with the most headroom; the next settle brings them back;
- evacuate: before a spoke is deleted by an undo (or stops serving when single-IP SNAT is undone), the
  routes on it move to another serving spoke, else to an available NAT gateway of this migration;
- unpark: a deletion recorded as intended but not made moves its parked routes back to the NAT gateway.

A spoke serves when its instance is running (not starting), the Elastic IP of its NAT gateway is on it,
its source/destination check is off and single-IP SNAT is on (the journal holds its enabling). Routes name
the spoke's network interface, which AWS accepts for any instance.

With `egress.keep: false` routes to 0.0.0.0/0 are left to the controller as before (they go without egress
from a NAT gateway's deletion until its spoke is up); the other routes are still carried onto their home
spoke once it serves, so that none is left as a blackhole.
"""

from __future__ import annotations

import logging
import time
from dataclasses import dataclass

from botocore.exceptions import BotoCoreError, ClientError

from tidewall.commands import journal_layout, step_hooks
from tidewall.core.ConfigAdaptor import EGRESS_DEFAULTS
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib import ec2_reads, waits

logger = logging.getLogger("tidewall.lib.egress")

DEFAULT_ROUTE = "0.0.0.0/0"
# Outside a run (the library used on its own, as the tests do) no grace is left unless one is set: a run
# always has one, from the configuration (`egress.grace`, 5 s by default).
DEFAULTS = {"keep": EGRESS_DEFAULTS["keep"], "grace": 0.0}

_NATGW_DELETE = journal_layout.STEPS["B1"].memento_class
_TRAFFIC_MOVE = journal_layout.STEPS["A2"].memento_class
_SNAT_ENABLE = journal_layout.STEPS["A6"].memento_class


def settings():
    """(keep, grace seconds) of the run (`Globals.egress`; the defaults when none is set)."""
    given = Globals.egress if isinstance(Globals.egress, dict) else {}
    keep = given.get("keep", DEFAULTS["keep"])
    grace = given.get("grace", DEFAULTS["grace"])
    return bool(keep), float(grace or 0.0)


# ---------------------------------------------------------------------------------------- the world


@dataclass(frozen=True)
class Spoke:
    index: int  # the NAT gateway it replaces (0: the primary)
    eip: str
    instance_id: str | None
    eni: str | None
    state: str | None
    source_dest_check: bool | None

    def problem(self, snat_on):
        """Why the spoke does not serve (None when it does)."""
        if not self.instance_id or not self.eni:
            return f"EIP {self.eip} is on no instance"
        if self.state != "running":
            return f"instance {self.instance_id} is {self.state or 'gone'}"
        if self.source_dest_check is not False:
            return f"instance {self.instance_id} has its source/destination check on"
        if not snat_on:
            return "single-IP SNAT is not on at the primary"
        return None


class World:
    """What one look shows (through the run's EC2 read cache): the spokes holding the recorded EIPs and the
    VPC's route tables. A NAT gateway counts as dead when the journal records its deletion."""

    def __init__(self, ec2, vpc_id, infos, journal):
        self.ec2 = ec2
        self.vpc_id = vpc_id
        self.infos = infos
        self.snat_on = any(name == _SNAT_ENABLE for name, _b, _s in journal)
        self.deleted = {s.get("nat_gw_id") for name, _b, s in journal if name == _NATGW_DELETE}
        self.spokes = spokes(ec2, vpc_id, infos)
        self.tables = ec2_reads.vpc_route_tables(ec2, vpc_id)

    def serving(self, index):
        spoke = self.spokes.get(index)
        return spoke if spoke is not None and spoke.problem(self.snat_on) is None else None

    def spoke_of(self, route):
        for spoke in self.spokes.values():
            if route.get("NetworkInterfaceId") and route["NetworkInterfaceId"] == spoke.eni:
                return spoke
            if route.get("InstanceId") and route["InstanceId"] == spoke.instance_id:
                return spoke
        return None

    def natgw_live(self, nat_gw_id):
        return bool(nat_gw_id) and nat_gw_id not in self.deleted

    def routes(self):
        """(route table id, route) of every route of the VPC."""
        for table in self.tables:
            for route in table.get("Routes", []):
                yield table["RouteTableId"], route

    def haven(self, home, without=()):
        """Where a route of home `home` goes while it cannot be at home: its home spoke when it serves, else
        the primary, else the serving HA spoke with the most headroom; None when no spoke serves."""
        for index in (home, 0):
            if index not in without and self.serving(index) is not None:
                return self.serving(index)
        return self.roomiest(without=(0, *without))

    def roomiest(self, without=()):
        """The serving HA spoke with the most headroom: the largest size rating, then the lowest index."""
        from tidewall.lib.gateway_size import SIZE_ORDER

        candidates = [self.serving(i) for i in sorted(self.spokes) if i not in without]
        candidates = [s for s in candidates if s is not None]
        if not candidates:
            return None

        def rank(spoke):
            size = (self.infos[spoke.index] or {}).get("size")
            return (SIZE_ORDER.index(size) if size in SIZE_ORDER else -1, -spoke.index)

        return max(candidates, key=rank)


def spokes(ec2, vpc_id, infos):
    """index -> Spoke for each recorded EIP that sits on an instance of the VPC (one read, kept)."""
    eips = {info.get("eip"): i for i, info in enumerate(infos) if info.get("eip")}
    found = {}
    if not eips:
        return found
    for instance in ec2_reads.vpc_instances(ec2, vpc_id):
        state = instance.get("State", {}).get("Name")
        if state in ("shutting-down", "terminated"):
            continue
        for nic in instance.get("NetworkInterfaces", []):
            ips = [(nic.get("Association") or {}).get("PublicIp")]
            ips += [(p.get("Association") or {}).get("PublicIp") for p in nic.get("PrivateIpAddresses", [])]
            for ip in ips:
                if ip in eips and eips[ip] not in found:
                    found[eips[ip]] = Spoke(
                        index=eips[ip],
                        eip=ip,
                        instance_id=instance["InstanceId"],
                        eni=nic.get("NetworkInterfaceId"),
                        state=state,
                        source_dest_check=instance.get("SourceDestCheck"),
                    )
    return found


def _key(table_id, route):
    from tidewall.lib.natgw import route_destination

    key, destination = route_destination(route)
    return table_id, key, destination


def homes(infos, journal, intent=None):
    """(route table id, destination key, destination) -> index of the NAT gateway the route pointed at
    before the migration, from the journal's traffic move and NAT gateway deletions (and the deletion in
    progress)."""
    by_subnet = {info.get("subnet_id"): i for i, info in enumerate(infos)}
    found = {}
    entries = list(journal) + ([intent] if intent is not None else [])
    for name, _begin, state in entries:
        if name == _TRAFFIC_MOVE:
            index = by_subnet.get(state.get("source_subnet_id"))
        elif name == _NATGW_DELETE:
            index = by_subnet.get(state.get("subnet_id"))
        else:
            continue
        if index is None:
            continue
        for route in state.get("routes") or []:
            found.setdefault((route["route_table_id"], route["destination_key"], route["destination"]), index)
    return found


# ------------------------------------------------------------------------------------------- moves


def _point(ec2, vpc_id, table_id, key, destination, target):
    """Point one route at `target`; the run's kept route tables follow the change (no read again)."""
    from tidewall.lib.natgw import set_route_target

    kept = ec2_reads.kept_route_tables(ec2, vpc_id)
    if set_route_target(ec2, table_id, key, destination, target):
        ec2_reads.route_set(ec2, vpc_id, kept, table_id, key, destination, target)


def _move(ec2, vpc_id, table_id, key, destination, spoke, why):
    logger.info("  Egress: %s %s -> %s (EIP %s, %s)", table_id, destination, spoke.eni, spoke.eip, why)
    _point(ec2, vpc_id, table_id, key, destination, {"NetworkInterfaceId": spoke.eni})


class Keeper:
    """The egress keeper of this process (one per process; registered with the step hooks)."""

    def __init__(self):
        self._parked = None  # whether routes may sit away from home (None: not known yet)
        self._folder = None  # the backup folder `_parked` was found for

    @property
    def parked(self):
        from tidewall.commands.history import MementoHistory

        return self._parked if self._folder == MementoHistory.opened_in() else None

    @parked.setter
    def parked(self, value):
        from tidewall.commands.history import MementoHistory

        self._parked, self._folder = value, MementoHistory.opened_in()

    # ---- context of the run

    @staticmethod
    def _context():
        """(ec2 client, vpc id, NAT-gateway records, journal entries) of the open migration, or None."""
        from tidewall.commands.history import CommandHistory, MementoHistory

        if Globals.dry_run or Globals.aws_client_manager is None or MementoHistory.opened_in() is None:
            return None
        infos = CommandHistory._natgws if CommandHistory._folder is not None else None
        vpc_id = CommandHistory._vpc_id
        if not infos or not vpc_id:
            return None
        journal = MementoHistory.entries()
        return Globals.aws_client_manager.getEc2Client(), vpc_id, list(infos), journal

    # ---- the step hooks

    def step(self, event, slot, memento):
        if event == "before" and slot is not None and slot.code == "R":
            self._safely(self.guard_primary)
        elif event == "appended" and slot is not None and slot.step.egress == "settle":
            self._safely(self.settle, force=True)
        elif event == "appended":
            self._safely(self.settle)
        elif event == "popped" and slot is not None:
            self._safely(self.settle)
            if slot.code == "R":
                self._safely(self.guard_primary)
            elif slot.code in ("A4", "B2"):
                self._safely(self.evacuate, (slot.natgw,))
            elif slot.code == "A6":
                self._safely(self.evacuate, None)
        elif event == "upload":
            self._safely(self.settle)

    def _safely(self, action, *args, **kwargs):
        """Run an egress action; a failure of AWS is logged and left to the next seam (routes stay where
        they are, which is where the last move left them)."""
        try:
            action(*args, **kwargs)
        except (ClientError, BotoCoreError, TidewallError) as e:
            logger.warning("  Egress: %s not finished (%s); the next step tries again", action.__name__, e)
            self.parked = None

    # ---- settle and re-park

    def settle(self, force=False):
        """Every route of this migration on a spoke other than its home spoke goes home once that serves;
        a route with a dead target is parked again at once."""
        if self.parked is False and not force:
            return
        context = self._context()
        if context is None:
            return
        ec2, vpc_id, infos, journal = context
        keep, _grace = settings()
        home_of = {k: home for k, home in homes(infos, journal).items() if keep or k[2] != DEFAULT_ROUTE}
        if not home_of:
            return
        world = World(ec2, vpc_id, infos, journal)
        away = False
        for table_id, route in list(world.routes()):
            key = _key(table_id, route)
            home = home_of.get(key)
            if home is None:
                continue
            target, why = self._settled_target(world, route, home)
            if target is not None:
                _move(ec2, vpc_id, table_id, key[1], key[2], target, why)
                route = {"NetworkInterfaceId": target.eni}
            spoke = world.spoke_of(route)
            if spoke is not None and spoke.index != home:
                away = True
        self.parked = away

    @staticmethod
    def _settled_target(world, route, home):
        """(spoke, reason) a route of home `home` should move to now, or (None, None) to leave it."""
        if route.get("NatGatewayId"):
            if world.natgw_live(route["NatGatewayId"]):
                return None, None
            return world.haven(home), "its NAT gateway is gone"
        spoke = world.spoke_of(route)
        if spoke is None:
            if (
                route.get("InstanceId")
                or route.get("NetworkInterfaceId")
                or route.get("State") == "blackhole"
            ):
                return world.haven(home), "its target is gone"
            return None, None  # a target no step of the migration sets (left alone)
        if world.serving(spoke.index) is None:
            return world.haven(home, without=(spoke.index,)), f"spoke {spoke.index} does not serve"
        if spoke.index != home and world.serving(home) is not None:
            return world.serving(home), "its home spoke serves"
        return None, None

    # ---- park, unpark

    def park_plan(self, memento):
        """Before a NAT gateway deletion is put on record: the spoke its routes will be parked on (its
        network interface is noted in the memento's `parked_on`), or None (nothing to park, keeping is
        off, or no spoke serves: one warning, and the routes go without egress until the next spoke)."""
        keep, _grace = settings()
        context = self._context()
        if context is None or not memento.routes:
            return None
        ec2, vpc_id, infos, journal = context
        routes = [r for r in memento.routes if keep or r["destination"] != DEFAULT_ROUTE]
        if not routes:
            return None
        by_subnet = {info.get("subnet_id"): i for i, info in enumerate(infos)}
        home = by_subnet.get(memento.subnet_id, 0)
        world = World(ec2, vpc_id, infos, journal)
        target = world.haven(home)
        if target is None:
            problems = [f"spoke {s.index}: {s.problem(world.snat_on)}" for s in world.spokes.values()]
            logger.warning(
                "  Egress: no serving spoke to park the routes of %s on (%s); they go without egress until "
                "the next spoke serves",
                memento.nat_gw_id,
                "; ".join(problems) or "no spoke yet",
            )
            return None
        return target

    def park(self, ec2, memento, target):
        """Move the deleted NAT gateway's routes onto `target`, then leave AWS the grace to spread it."""
        keep, grace = settings()
        moved = 0
        for route in memento.routes:
            if not keep and route["destination"] == DEFAULT_ROUTE:
                continue
            why = f"parked while {memento.nat_gw_id} goes"
            table_id, key, destination = (
                route["route_table_id"],
                route["destination_key"],
                route["destination"],
            )
            _move(ec2, memento.vpc_id, table_id, key, destination, target, why)
            moved += 1
        if moved:
            self.parked = True
            if grace > 0:
                time.sleep(grace * waits.WaitSettings.of().time_scale)  # on the cloud's clock, as the waits

    def unpark(self, memento):
        """A recorded deletion that was not made: the routes parked for it go back to the NAT gateway."""
        eni = getattr(memento, "parked_on", None)
        if not eni or Globals.dry_run or Globals.aws_client_manager is None:
            return
        ec2 = Globals.aws_client_manager.getEc2Client()
        tables = {t["RouteTableId"]: t for t in ec2_reads.vpc_route_tables(ec2, memento.vpc_id)}
        for route in memento.routes:
            table = tables.get(route["route_table_id"], {})
            now = next(
                (
                    r
                    for r in table.get("Routes", [])
                    if r.get(route["destination_key"]) == route["destination"]
                ),
                None,
            )
            if now is None or now.get("NetworkInterfaceId") != eni:
                continue
            table_id, key, destination = (
                route["route_table_id"],
                route["destination_key"],
                route["destination"],
            )
            logger.info("  Egress: %s %s back to %s", table_id, destination, memento.nat_gw_id)
            _point(ec2, memento.vpc_id, table_id, key, destination, {"NatGatewayId": memento.nat_gw_id})
        self.parked = None

    # ---- guard and evacuate

    def guard_primary(self):
        """Before the primary is resized: the routes on it move to the serving HA spoke with the most
        headroom."""
        keep, _grace = settings()
        if not keep:
            return
        self._move_off((0,), lambda world: world.roomiest(without=(0,)), "the primary is resized")

    def evacuate(self, indexes):
        """Before spokes go (`indexes`; None: every spoke): the routes on them move to another serving
        spoke, else to an available NAT gateway of this migration."""

        def refuge(world):
            gone = tuple(world.spokes) if indexes is None else indexes
            spoke = world.haven(0, without=gone)
            return spoke if spoke is not None else _live_natgw(world)

        self._move_off(indexes, refuge, "its spoke goes")

    def _move_off(self, indexes, refuge, why):
        context = self._context()
        if context is None:
            return
        ec2, vpc_id, infos, journal = context
        keep, _grace = settings()
        if not keep and all(k[2] == DEFAULT_ROUTE for k in homes(infos, journal)):
            return
        world = World(ec2, vpc_id, infos, journal)
        target = None
        for table_id, route in list(world.routes()):
            spoke = world.spoke_of(route)
            if spoke is None or (indexes is not None and spoke.index not in indexes):
                continue
            key = _key(table_id, route)
            if key[1] is None or (not keep and key[2] == DEFAULT_ROUTE):
                continue
            target = target or refuge(world)
            if target is None:
                logger.warning("  Egress: no live target for %s %s while %s", table_id, key[2], why)
                continue
            if isinstance(target, Spoke):
                if target.index == spoke.index:
                    continue
                _move(ec2, vpc_id, table_id, key[1], key[2], target, why)
            else:
                logger.info("  Egress: %s %s -> %s (%s)", table_id, key[2], target, why)
                _point(ec2, vpc_id, table_id, key[1], key[2], {"NatGatewayId": target})
            self.parked = True


def _live_natgw(world):
    """An available NAT gateway in the subnet of one of this migration's NAT gateways (a recreated one)."""
    subnets = {info.get("subnet_id") for info in world.infos}
    for natgw in ec2_reads.vpc_natgws(world.ec2, world.vpc_id):
        if natgw.get("State") == "available" and natgw.get("SubnetId") in subnets:
            return natgw["NatGatewayId"]
    return None


KEEPER = step_hooks.register(Keeper())
