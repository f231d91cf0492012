"""What this process has read from EC2 and nothing has changed since: NAT gateways, route tables, subnets.

A migration reads the same things several times in a row: the VPC's NAT gateways once per recorded NAT
gateway, the route tables for a snapshot right after their backup, the subnets for the zone order and again
for their CIDRs, the VPC's instances (the spokes) before and after each route move of the egress keeper. An answer is kept per client and handed out again until something may have changed it:

- a changing call made with a client whose answers are kept (any EC2 operation that is not a Describe,
  Get, List or Search) drops what it may change: a NAT gateway operation that NAT gateway (a creation every
  list of NAT gateways), a route or route-table operation the route tables, tags what they were put on,
  any other operation everything but the subnets;
- a command of another system (a controller command: it changes routes, instances and Elastic IPs through
  its own credentials) drops the route tables and the instances when it starts: every command announces itself through
  `Common.logOperation`, and only the host commands below, whose every change goes through a client
  watched here, keep them. NAT gateways are changed by this tool only;
- answers in motion are never kept: a NAT gateway that is pending or deleting is read again each time, the
  instances while one of them is pending, stopping or shutting down;
- subnets are kept for the whole process (their ids, CIDRs and zones do not change).

Waits and checks that must see the present (`describe_natgw`, the acceptance test) do not read from here.
"""

import copy
import logging
import weakref

logger = logging.getLogger("tidewall.lib.ec2_reads")

# Host commands (and their undos) that change AWS only through the clients watched here.
OWN_COMMANDS = frozenset(
    {
        "backupAllRtbs",
        "DetermineGwSizeCmd",
        "NatGwCmd",
        "NatGwDeleteMemento",
        "NatGwTrafficCmd",
        "NatGwTrafficMemento",
        "SnapshotRTCmd",
        "SnapshotRTMemento",
        "TestCmd",
        "TestMemento",
    }
)

# A NAT gateway in one of these states is kept; any other state moves on by itself.
SETTLED_NATGW_STATES = ("available", "deleted", "failed")
SETTLED_INSTANCE_STATES = ("running", "stopped", "terminated")

_READ_PREFIXES = ("Describe", "Get", "List", "Search")
_HANDLER_ID = "tidewall-ec2-reads"


class _Reads:
    def __init__(self):
        self.subnets = {}  # subnet id -> description
        self.route_tables = {}  # vpc id -> [route table descriptions]
        self.natgw_lists = {}  # vpc id -> [NAT gateway descriptions, every state]
        self.natgws = {}  # NAT gateway id -> description
        self.instances = {}  # vpc id -> [instance descriptions]

    def forget_natgw(self, nat_gw_id):
        self.natgws.pop(nat_gw_id, None)
        for vpc_id, natgws in list(self.natgw_lists.items()):
            if any(n.get("NatGatewayId") == nat_gw_id for n in natgws):
                del self.natgw_lists[vpc_id]

    def forget_all_but_subnets(self):
        self.route_tables.clear()
        self.natgw_lists.clear()
        self.natgws.clear()
        self.instances.clear()


_by_client = weakref.WeakKeyDictionary()


def _reads(client):
    reads = _by_client.get(client)
    if reads is None:
        reads = _by_client[client] = _Reads()
        events = getattr(getattr(client, "meta", None), "events", None)
        if events is not None:
            events.register("before-parameter-build.ec2", _before_call, unique_id=_HANDLER_ID)
    return reads


def _each():
    return list(_by_client.values())


def forget(*, subnets=False):
    """Drop every kept answer (the subnets too when `subnets`)."""
    for reads in _each():
        reads.forget_all_but_subnets()
        if subnets:
            reads.subnets.clear()


def _before_call(params=None, model=None, **_kwargs):
    """botocore hook: a changing call drops what it may change, before it is sent (a call that fails after
    AWS made the change must not leave the old answer behind)."""
    name = getattr(model, "name", "") or ""
    if name.startswith(_READ_PREFIXES):
        return
    changed(name, params or {})


def changed(operation, params):
    """Drop what the EC2 `operation` called with `params` may have changed."""
    everything = _each()
    if "NatGateway" in operation:
        nat_gw_id = params.get("NatGatewayId")
        for reads in everything:
            if nat_gw_id and not operation.startswith("Create"):
                reads.forget_natgw(nat_gw_id)
            else:
                reads.natgw_lists.clear()
                if nat_gw_id:
                    reads.forget_natgw(nat_gw_id)
        return
    if "Route" in operation:
        for reads in everything:
            reads.route_tables.clear()
        return
    if operation == "ModifyInstanceAttribute" or "Instance" in operation or "Address" in operation:
        for reads in everything:
            reads.instances.clear()
        return
    if operation in ("CreateTags", "DeleteTags"):
        resources = [r for r in params.get("Resources") or [] if isinstance(r, str)]
        for reads in everything:
            if any(r.startswith("rtb-") for r in resources):
                reads.route_tables.clear()
            for resource in resources:
                if resource.startswith("nat-"):
                    reads.forget_natgw(resource)
        return
    for reads in everything:
        reads.forget_all_but_subnets()


def command_started(name):
    """`Common.logOperation` listener: a command that is not one of the host's own may change routes."""
    if name in OWN_COMMANDS:
        return
    for reads in _each():
        reads.route_tables.clear()
        reads.instances.clear()


# ---------------------------------------------------------------- reads


def _pages(ec2_client, operation, key, **kwargs):
    found = []
    for page in ec2_client.get_paginator(operation).paginate(**kwargs):
        found.extend(page.get(key, []))
    return found


def vpc_natgws(ec2_client, vpc_id):
    """Every NAT gateway of the VPC (each state), as EC2 describes it; one describe while nothing changed."""
    reads = _reads(ec2_client)
    kept = reads.natgw_lists.get(vpc_id)
    if kept is not None:
        return list(kept)
    found = _pages(
        ec2_client, "describe_nat_gateways", "NatGateways", Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]
    )
    # Filtered again on our side: not every endpoint honours the filter.
    found = [n for n in found if n.get("VpcId", vpc_id) == vpc_id]
    settled = all(n.get("State") in SETTLED_NATGW_STATES for n in found)
    if settled:
        reads.natgw_lists[vpc_id] = list(found)
    for natgw in found:
        if natgw.get("State") in SETTLED_NATGW_STATES:
            reads.natgws[natgw["NatGatewayId"]] = natgw
        else:
            reads.natgws.pop(natgw.get("NatGatewayId"), None)
    return found


def known_natgw(ec2_client, nat_gw_id, describe):
    """The description of a NAT gateway as last read, if it has not changed since; else `describe(...)`'s."""
    reads = _reads(ec2_client)
    kept = reads.natgws.get(nat_gw_id)
    if kept is not None:
        return kept
    natgw = describe(ec2_client, nat_gw_id)
    if natgw is not None and natgw.get("State") in SETTLED_NATGW_STATES:
        reads.natgws[nat_gw_id] = natgw
    return natgw


def vpc_route_tables(ec2_client, vpc_id):
    """The VPC's route tables sorted by id; one describe while nothing changed them."""
    reads = _reads(ec2_client)
    kept = reads.route_tables.get(vpc_id)
    if kept is not None:
        return list(kept)
    tables = _pages(
        ec2_client, "describe_route_tables", "RouteTables", Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]
    )
    tables = sorted((t for t in tables if t.get("VpcId", vpc_id) == vpc_id), key=lambda t: t["RouteTableId"])
    reads.route_tables[vpc_id] = list(tables)
    return tables


def kept_route_tables(ec2_client, vpc_id):
    """The VPC's route tables as kept now (None when they are not kept); a copy."""
    kept = _reads(ec2_client).route_tables.get(vpc_id)
    return None if kept is None else copy.deepcopy(kept)


def route_set(ec2_client, vpc_id, kept, table_id, destination_key, destination, target):
    """After this process pointed one route at `target` (and nothing else changed since `kept` was taken
    with `kept_route_tables`): keep the route tables with that change, instead of reading them again."""
    if kept is None:
        return
    for table in kept:
        if table.get("RouteTableId") != table_id:
            continue
        routes = table.setdefault("Routes", [])
        route = next((r for r in routes if r.get(destination_key) == destination), None)
        if route is None:
            route = {destination_key: destination, "Origin": "CreateRoute"}
            routes.append(route)
        for key in [k for k in route if k.endswith("Id") and k != "DestinationPrefixListId"]:
            del route[key]
        route.update(target)
        route["State"] = "active"
    _reads(ec2_client).route_tables[vpc_id] = kept


def vpc_instances(ec2_client, vpc_id):
    """The VPC's instances (every state, with their network interfaces and addresses); one describe while
    nothing changed them."""
    reads = _reads(ec2_client)
    kept = reads.instances.get(vpc_id)
    if kept is not None:
        return list(kept)
    found = [
        i
        for r in _pages(
            ec2_client, "describe_instances", "Reservations", Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]
        )
        for i in r.get("Instances", [])
        if i.get("VpcId", vpc_id) == vpc_id
    ]
    if all(i.get("State", {}).get("Name") in SETTLED_INSTANCE_STATES for i in found):
        reads.instances[vpc_id] = list(found)
    return found


def subnets(ec2_client, subnet_ids):
    """subnet id -> description for `subnet_ids`; each subnet is described once per process."""
    reads = _reads(ec2_client)
    wanted = sorted({s for s in subnet_ids if s})
    missing = [s for s in wanted if s not in reads.subnets]
    if missing:
        for subnet in _pages(ec2_client, "describe_subnets", "Subnets", SubnetIds=missing):
            reads.subnets[subnet["SubnetId"]] = subnet
    return {s: reads.subnets[s] for s in wanted if s in reads.subnets}


def _listen():
    from tidewall.lib import commonlib

    commonlib.on_operation(command_started)


_listen()
