"""Before a memento is restored: does it act only on this migration's resources?

The journal lives in a bucket that others may be able to write, so a memento is checked against AWS and
the controller, never against what the file itself says:

- its VPC is the configured VPC;
- every AWS id in its state (found by prefix: `subnet-`, `rtb-`, `nat-`, `i-`, `eni-`, `eipalloc-`, ...,
  whatever field holds it) is in that VPC as AWS describes it; an id AWS does not know is nothing a
  restore could act on, and passes;
- a route it would change is one the migration touched: its (route table, destination) pair went to a
  NAT gateway of the recorded discovery in the route-table backup taken before the first change, and the
  route (when it exists) now goes to this migration's own target: one of its spokes (instance or network
  interface), a NAT gateway in a subnet of the discovery (the original or its recreation), or a blackhole
  left by a NAT gateway of the discovery. A route that does not exist is created only where the backup
  shows it. A route that already has the target the memento gives it passes (restoring changes nothing);
  routes to private NAT gateways, transit gateways, peerings, endpoints, ... are never taken over;
- the records are checked against each other and against AWS: the snapshot a memento restores is the
  one on file, the discovery names NAT gateways AWS puts in those subnets of this VPC with those Elastic
  IPs, and a recreated NAT gateway gets only the Elastic IPs its NAT gateway held at discovery;
- a controller gateway it names is `spoke_gw_name` or one of its HA gateways, in this VPC and account, as
  the controller lists them (a name the controller does not know names nothing to act on).

`MementoHistory` runs the checks: on every memento before an `execute` or a `revert` starts (a finding
refuses the command before anything changes, exit status 2) and again on each memento a rollback is about
to restore (a finding there counts as a failed restore: logged, the memento stays).
"""

from __future__ import annotations

import logging
import re
from typing import NamedTuple

from botocore.exceptions import BotoCoreError, ClientError

from tidewall.commands import journal_trust, memento_fields
from tidewall.core.Globals import Globals
from tidewall.core.redact import escape_controls

logger = logging.getLogger("tidewall.commands.restore_checks")

_AWS_ID = re.compile(
    r"(vpc|subnet|rtb|nat|i|eni|eipalloc|eipassoc|igw|eigw|pcx|tgw|tgw-attach|vgw|cgw|vpce|sg|acl|lgw|cagw)"
    r"-[0-9a-f]{8,17}"
)
# Kind of id -> (describe call, list key, id key, ids parameter, error codes meaning "no such resource").
_DESCRIBE = {
    "subnet": (
        "describe_subnets",
        "Subnets",
        "SubnetId",
        "SubnetIds",
        ("InvalidSubnetID.NotFound", "InvalidSubnetID.Malformed"),
    ),
    "rtb": (
        "describe_route_tables",
        "RouteTables",
        "RouteTableId",
        "RouteTableIds",
        ("InvalidRouteTableID.NotFound", "InvalidRouteTableID.Malformed"),
    ),
    "nat": (
        "describe_nat_gateways",
        "NatGateways",
        "NatGatewayId",
        "NatGatewayIds",
        ("NatGatewayNotFound", "InvalidNatGatewayID.NotFound", "NatGatewayMalformed"),
    ),
    "i": (
        "describe_instances",
        "Reservations",
        "InstanceId",
        "InstanceIds",
        ("InvalidInstanceID.NotFound", "InvalidInstanceID.Malformed"),
    ),
    "eni": (
        "describe_network_interfaces",
        "NetworkInterfaces",
        "NetworkInterfaceId",
        "NetworkInterfaceIds",
        ("InvalidNetworkInterfaceID.NotFound", "InvalidNetworkInterfaceID.Malformed"),
    ),
}
_KIND_WORDS = {
    "subnet": "subnet",
    "rtb": "route table",
    "nat": "NAT gateway",
    "i": "instance",
    "eni": "network interface",
}
_ADDRESS_GONE = ("InvalidAllocationID.NotFound", "InvalidAllocationID.Malformed", "InvalidAddress.NotFound")
# Route fields that hold a target one of the migration's steps may have set.
_MOVABLE_TARGETS = ("NatGatewayId", "InstanceId", "NetworkInterfaceId")
_OTHER_TARGETS = (
    "GatewayId",
    "TransitGatewayId",
    "VpcPeeringConnectionId",
    "EgressOnlyInternetGatewayId",
    "CarrierGatewayId",
    "LocalGatewayId",
    "CoreNetworkArn",
)

SNAPSHOT = "tidewall.lib.route_table.SnapshotRTMemento"
TRAFFIC = "tidewall.lib.route_table.NatGwTrafficMemento"
NATGW_DELETE = "tidewall.lib.natgw.NatGwDeleteMemento"


class ForeignResourceError(journal_trust.JournalTrustError):
    """A memento names a resource outside this migration; nothing was restored."""


class Finding(NamedTuple):
    slot: int | None  # None: the records the checks rely on
    class_name: str
    text: str

    def __str__(self):
        # Journal text in it is shown, never its control characters (a traceback is printed unfiltered).
        if self.slot is None:
            return escape_controls(f"the migration's records: {self.text}")
        return escape_controls(
            f"journal slot {self.slot} ({self.class_name.rsplit('.', 1)[-1]}): {self.text}"
        )


def for_folder(folder):
    """The checks for the histories kept in `folder`, or None when the folder is bound to no configuration."""
    context = journal_trust.context_of(folder)
    return Checks(context, folder) if context is not None else None


class _Unavailable(Exception):
    """What a check needs cannot be had (no client, an AWS or controller error)."""


class Checks:
    """The restore checks of one configuration. AWS's answer to "which VPC is this in" is kept for the
    life of the object (a resource never changes VPC); everything else is asked afresh by each `check`."""

    def __init__(self, context, folder):
        self.context = context
        self.folder = folder
        self._vpc_of = {}  # (kind, id) -> VPC id, or None when AWS does not know it
        self._listed = set()  # kinds whose VPC-wide listing is in _vpc_of

    def check(self, entries):
        """Findings for [(slot, class name, state)]; an empty list when every memento may be restored."""
        session = _Session(self)
        findings = []
        for slot, class_name, state in entries:
            for text in session.problems(class_name, state):
                findings.append(Finding(slot, class_name, text))
        if session._records is not None:
            findings += [Finding(None, "records", text) for text in session._records.problems]
        return findings

    # ---- AWS: which VPC a resource is in

    def ec2(self):
        manager = Globals.aws_client_manager
        if manager is None:
            raise _Unavailable("no AWS access in this run")
        return manager.getEc2Client()

    def vpc_of(self, kind, resource_id):
        """The VPC AWS puts the resource in, or None when AWS does not know it (or no longer)."""
        key = (kind, resource_id)
        if key in self._vpc_of:
            return self._vpc_of[key]
        if kind not in self._listed:
            self._list(kind)
            if key in self._vpc_of:
                return self._vpc_of[key]
        self._vpc_of[key] = self._describe_one(kind, resource_id)
        return self._vpc_of[key]

    def _items(self, kind, page):
        call, list_key, _id_key, _param, _gone = _DESCRIBE[kind]
        if kind == "i":
            return [i for r in page.get("Reservations", []) for i in r.get("Instances", [])]
        return page.get(list_key, [])

    def _list(self, kind):
        call, _list_key, id_key, _param, _gone = _DESCRIBE[kind]
        vpc_id = self.context.vpc_id
        try:
            pages = self.ec2().get_paginator(call).paginate(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}])
            for page in pages:
                for item in self._items(kind, page):
                    if item.get("VpcId") == vpc_id:
                        self._vpc_of[(kind, item[id_key])] = vpc_id
        except (ClientError, BotoCoreError) as e:
            raise _Unavailable(f"AWS did not list the {_KIND_WORDS[kind]}s of {vpc_id}: {e}") from None
        self._listed.add(kind)

    def _describe_one(self, kind, resource_id):
        call, _list_key, _id_key, param, gone = _DESCRIBE[kind]
        try:
            reply = getattr(self.ec2(), call)(**{param: [resource_id]})
        except ClientError as e:
            if e.response.get("Error", {}).get("Code") in gone:
                return None
            raise _Unavailable(f"AWS did not describe {resource_id}: {e}") from None
        except BotoCoreError as e:
            raise _Unavailable(f"AWS did not describe {resource_id}: {e}") from None
        for item in self._items(kind, reply):
            return item.get("VpcId")
        return None


class _Session:
    """One round of checks: the recorded discovery, the routes and the controller's gateways as they are now."""

    def __init__(self, checks):
        self.checks = checks
        self.context = checks.context
        self._records = None
        self._routes = None
        self._controller = None
        self._spoke_targets = None

    # ---- one memento

    def problems(self, class_name, state):
        found = []
        try:
            found += self._vpc_field(state)
            for where, text in memento_fields.scanned_texts(class_name, state):
                if _AWS_ID.fullmatch(text):
                    found += self._aws_id(where, text)
            semantic = _SEMANTICS.get(class_name)
            if semantic is not None:
                found += list(semantic(self, state))
            for where, name in memento_fields.gateway_names(class_name, state):
                found += self._gateway(where, name)
        except _Unavailable as e:
            found.append(f"cannot be checked: {e}")
        return found

    def _vpc_field(self, state):
        vpc_id = state.get("vpc_id")
        if "vpc_id" in state and vpc_id != self.context.vpc_id:
            return [f"vpc_id {vpc_id!r} is not the configured VPC {self.context.vpc_id}"]
        return []

    def _aws_id(self, where, resource_id):
        kind = resource_id.rsplit("-", 1)[0]
        vpc_id = self.context.vpc_id
        if kind == "vpc":
            return (
                [] if resource_id == vpc_id else [f"{where} {resource_id} is not the configured VPC {vpc_id}"]
            )
        if kind == "eipalloc":
            return self._allocation(where, resource_id)
        if kind not in _DESCRIBE:
            return [f"{where} {resource_id}: no step of this migration acts on a {kind}- resource"]
        actual = self.checks.vpc_of(kind, resource_id)
        if actual is None or actual == vpc_id:
            return []
        return [f"{where} {resource_id} is a {_KIND_WORDS[kind]} of {actual}, not of {vpc_id}"]

    def _allocation(self, where, allocation_id):
        try:
            addresses = (
                self.checks.ec2().describe_addresses(AllocationIds=[allocation_id]).get("Addresses", [])
            )
        except ClientError as e:
            if e.response.get("Error", {}).get("Code") in _ADDRESS_GONE:
                return []
            raise _Unavailable(f"AWS did not describe {allocation_id}: {e}") from None
        except BotoCoreError as e:
            raise _Unavailable(f"AWS did not describe {allocation_id}: {e}") from None
        for address in addresses:
            for key, kind in (("NetworkInterfaceId", "eni"), ("InstanceId", "i")):
                holder = address.get(key)
                if not holder:
                    continue
                actual = self.checks.vpc_of(kind, holder)
                if actual is not None and actual != self.context.vpc_id:
                    return [
                        f"{where} {allocation_id} is the Elastic IP of {holder} in {actual}, not in "
                        f"{self.context.vpc_id}"
                    ]
        return []

    # ---- what the migration recorded

    def discovery(self):
        """(subnet ids, Elastic IPs) of the NAT gateways of the recorded discovery."""
        records = self.records()
        return records.subnets, records.eips

    def records(self):
        if self._records is None:
            try:
                self._records = _Records(self)
            except journal_trust.JournalTrustError as e:
                raise _Unavailable(str(e)) from None
        return self._records

    def nat_subnet(self, where, subnet_id):
        if subnet_id is None or subnet_id in self.discovery()[0]:
            return []
        return [f"{where} {subnet_id} is not the subnet of a NAT gateway this migration replaces"]

    def recorded_eip(self, where, eip):
        if eip is None or eip in self.discovery()[1]:
            return []
        return [f"{where} {eip} is not the Elastic IP of a NAT gateway this migration replaces"]

    def secondary_eips(self, state):
        """A recreated NAT gateway gets only the Elastic IPs its NAT gateway held at discovery."""
        held = self.records().addresses_in(state.get("subnet_id"))
        extra = [ip for ip in state.get("secondary_eips") or [] if ip not in held]
        if extra:
            yield (
                f"secondary_eips {', '.join(map(str, extra))}: not Elastic IPs the NAT gateway of "
                f"{state.get('subnet_id')} held at discovery"
            )

    # ---- routes as they are now

    def routes(self):
        """(route table, destination key, destination) -> route, for the routes of the VPC now."""
        if self._routes is None:
            from tidewall.lib.natgw import describe_vpc_route_tables, route_destination

            try:
                tables = describe_vpc_route_tables(self.checks.ec2(), self.context.vpc_id)
            except (ClientError, BotoCoreError) as e:
                raise _Unavailable(
                    f"AWS did not list the route tables of {self.context.vpc_id}: {e}"
                ) from None
            self._routes = {}
            for table in tables:
                for route in table.get("Routes", []):
                    key, destination = route_destination(route)
                    if key:
                        self._routes[(table["RouteTableId"], key, destination)] = route
        return self._routes

    def route(self, where, entry, target_kind=None, target_id=None):
        """A route the memento would point at a NAT gateway (`target_kind` None or "nat_gateway") or at an
        instance or network interface. A route that already goes there passes; otherwise the pair must be
        one the migration touched, the route (when it exists) must go to this migration's own target, and
        an instance or interface target must be a spoke of this migration."""
        table = entry.get("route_table_id")
        pair = (table, entry.get("destination_key"), entry.get("destination"))
        label = f"{where}: route {entry.get('destination')} of {table}"
        current = self.routes().get(pair)
        field = {"instance": "InstanceId", "network_interface": "NetworkInterfaceId"}.get(target_kind)
        if current is not None and field and current.get(field) == target_id:
            return []  # already there: restoring changes nothing
        if current is not None and not field and self._goes_to_nat_of(current, entry.get("nat_subnet_id")):
            return []
        if current is not None and not any(current.get(k) for k in _MOVABLE_TARGETS):
            other = next((current[k] for k in _OTHER_TARGETS if current.get(k)), "no target")
            return [f"{label} goes to {other}, a route no step of this migration changes"]
        records = self.records()
        if pair not in records.touched:
            if current is None:
                return [
                    f"{label} does not exist and the route-table backup shows no such route to a NAT gateway "
                    "of this migration: it would be created"
                ]
            return [
                f"{label} is not a route this migration moved (the route-table backup shows it going to no NAT "
                "gateway this migration replaces)"
            ]
        if current is not None and not self._own_target(current):
            other = next(current[k] for k in _MOVABLE_TARGETS if current.get(k))
            return [
                f"{label} goes to {other}, which is not this migration's (no spoke, NAT gateway or blackhole of it)"
            ]
        if field is None:
            return []
        if not self._live_target(target_kind, target_id):
            return []  # the restore leaves a route to a target that is gone as it is
        instances, interfaces = self.spoke_targets()
        if target_id in (instances if target_kind == "instance" else interfaces):
            return []
        return [f"{label} would go to {target_id}, which is not a spoke gateway of this migration"]

    def _goes_to_nat_of(self, current, subnet_id):
        """The route goes to an available NAT gateway of `subnet_id` (a discovery subnet) already."""
        nat_id = current.get("NatGatewayId")
        if not nat_id or subnet_id not in self.discovery()[0]:
            return False
        natgw = self.records().natgw(nat_id)
        return natgw is not None and natgw.get("SubnetId") == subnet_id and natgw.get("State") == "available"

    def _own_target(self, current):
        """One of this migration's spokes (instance or interface), a NAT gateway in a subnet of the discovery,
        or a blackhole left by a NAT gateway of the discovery."""
        records = self.records()
        nat_id = current.get("NatGatewayId")
        if nat_id:
            if nat_id in records.nat_ids:
                return True
            natgw = records.natgw(nat_id)
            return (
                natgw is not None
                and natgw.get("VpcId") == self.context.vpc_id
                and natgw.get("SubnetId") in records.subnets
                and natgw.get("ConnectivityType", "public") == "public"
            )
        instances, interfaces = self.spoke_targets()
        if current.get("InstanceId"):
            return current["InstanceId"] in instances
        return current.get("NetworkInterfaceId") in interfaces

    def _live_target(self, kind, target_id):
        from tidewall.lib.route_table import route_target_is_live

        probe = {"InstanceId" if kind == "instance" else "NetworkInterfaceId": target_id}
        try:
            return route_target_is_live(self.checks.ec2(), probe)
        except (ClientError, BotoCoreError) as e:
            raise _Unavailable(f"AWS did not describe {target_id}: {e}") from None

    # ---- the controller

    def controller(self):
        if self._controller is None:
            self._controller = _Controller(self.context)
        return self._controller

    def _gateway(self, where, name):
        spoke = self.context.spoke_gw_name
        listed = self.controller().listing().get(name)
        if listed is None:
            return []  # the controller has no gateway of that name: a restore acts on nothing
        info = {**listed, **self.controller().info(name)}
        found = []
        vpc_id = info.get("vpc_id")
        if vpc_id != self.context.vpc_id:
            where_is = f"in {vpc_id}" if vpc_id else "in a VPC the controller does not name"
            found.append(f"{where} {name!r} is a controller gateway {where_is}, not in {self.context.vpc_id}")
        account = info.get("account_name")
        if account is not None and account != self.context.account:
            found.append(
                f"{where} {name!r} is a controller gateway of access account {account!r}, not "
                f"{self.context.account!r}"
            )
        if name != spoke and info.get("primary_gw_name") != spoke:
            found.append(f"{where} {name!r} is neither {spoke!r} nor one of its HA gateways")
        return found

    def spoke_targets(self):
        """(instance ids, network interface ids) of the spoke gateways of this migration, as AWS has them."""
        if self._spoke_targets is None:
            spoke, vpc_id = self.context.spoke_gw_name, self.context.vpc_id
            controller = self.controller()
            ours = [
                name
                for name, record in controller.listing().items()
                if name == spoke or record.get("primary_gw_name") == spoke
            ]
            instance_ids, private_ips = set(), set()
            for name in ours:
                info = {**controller.listing()[name], **controller.info(name)}
                if info.get("vpc_id") != vpc_id:
                    continue
                if info.get("instance_id"):
                    instance_ids.add(info["instance_id"])
                elif info.get("private_ip"):
                    private_ips.add(info["private_ip"])
            self._spoke_targets = self._instances_in_vpc(instance_ids, private_ips)
        return self._spoke_targets

    def _instances_in_vpc(self, instance_ids, private_ips):
        filters = [{"Name": "vpc-id", "Values": [self.context.vpc_id]}]
        instances, interfaces = set(), set()
        if not instance_ids and not private_ips:
            return instances, interfaces
        try:
            pages = self.checks.ec2().get_paginator("describe_instances").paginate(Filters=filters)
            for page in pages:
                for reservation in page.get("Reservations", []):
                    for instance in reservation.get("Instances", []):
                        if instance.get("VpcId") != self.context.vpc_id:
                            continue
                        if (
                            instance.get("InstanceId") in instance_ids
                            or instance.get("PrivateIpAddress") in private_ips
                        ):
                            instances.add(instance["InstanceId"])
                            interfaces.update(
                                n["NetworkInterfaceId"]
                                for n in instance.get("NetworkInterfaces", [])
                                if n.get("NetworkInterfaceId")
                            )
        except (ClientError, BotoCoreError) as e:
            raise _Unavailable(f"AWS did not list the instances of {self.context.vpc_id}: {e}") from None
        return instances, interfaces


class _Records:
    """What the migration recorded, checked against each other and against AWS: the discovery (as first
    recorded, with the Elastic IPs each NAT gateway held then), the route-table backup taken before the first
    change, and the route snapshots on file."""

    def __init__(self, session):
        from tidewall.commands.history import discovery_entry

        self.session = session
        self.context = session.context
        self.folder = session.checks.folder
        self.problems = []
        self._natgws = {}
        entry = discovery_entry(self.folder) or {}
        natgws = [r for r in entry.get("natgws") or [] if isinstance(r, dict)]
        held = entry.get("natgw_addresses") if isinstance(entry.get("natgw_addresses"), dict) else {}
        self.nat_ids = {r.get("nat_gw_id") for r in natgws if r.get("nat_gw_id")}
        self.subnets = {r.get("subnet_id") for r in natgws if r.get("subnet_id")}
        self.eips = {r.get("eip") for r in natgws if r.get("eip")}
        self._held = {}  # subnet id -> Elastic IPs its NAT gateway held at discovery
        for record in natgws:
            ips = held.get(record.get("nat_gw_id"))
            ips = [ip for ip in ips if isinstance(ip, str)] if isinstance(ips, list) else [record.get("eip")]
            self._held.setdefault(record.get("subnet_id"), set()).update(ips)
            self._against_aws(record, ips)
        self.touched = self._backup()

    def addresses_in(self, subnet_id):
        return self._held.get(subnet_id, set())

    def natgw(self, nat_id):
        """AWS's description of a NAT gateway (kept for this round), or None when AWS does not know it."""
        from tidewall.lib.natgw import describe_natgw

        if nat_id not in self._natgws:
            try:
                self._natgws[nat_id] = describe_natgw(self.session.checks.ec2(), nat_id)
            except (ClientError, BotoCoreError) as e:
                raise _Unavailable(f"AWS did not describe {nat_id}: {e}") from None
        return self._natgws[nat_id]

    def _against_aws(self, record, ips):
        """The discovery's record of a NAT gateway must be what AWS says of it (while AWS still knows it)."""
        nat_id = record.get("nat_gw_id")
        natgw = self.natgw(nat_id) if nat_id else None
        if natgw is None:
            return
        said = f"the recorded discovery puts {nat_id} in {record.get('subnet_id')}"
        if natgw.get("VpcId") != self.context.vpc_id:
            self.problems.append(
                f"{said}, but AWS has it in {natgw.get('VpcId')}, not in {self.context.vpc_id}"
            )
        elif natgw.get("SubnetId") != record.get("subnet_id"):
            self.problems.append(f"{said}, but AWS has it in {natgw.get('SubnetId')}")
        public = {a.get("PublicIp") for a in natgw.get("NatGatewayAddresses") or [] if a.get("PublicIp")}
        foreign = [ip for ip in ips if ip and public and ip not in public]
        if foreign:
            self.problems.append(
                f"the recorded discovery gives {nat_id} the Elastic IP(s) {', '.join(foreign)}, which AWS does "
                "not list for it"
            )

    def _read(self, name):
        """A record file of the backup folder, its signature checked; None when there is none."""
        import json
        import os

        path = os.path.join(self.folder, name)
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            self.problems.append(f"{name} cannot be read ({e})")
            return None
        if not isinstance(data, dict):
            self.problems.append(f"{name} is not a record of this migration")
            return None
        journal_trust.open_record(path, data, self.context)
        return data

    def _backup(self):
        """(route table, destination key, destination) pairs that went to a NAT gateway of the discovery
        when the backup was taken."""
        from tidewall.lib.natgw import route_destination
        from tidewall.lib.route_table import BACKUP_FILE

        data = self._read(BACKUP_FILE)
        if data is None:
            self.problems.append(
                f"there is no route-table backup ({BACKUP_FILE}): no route can be checked against it"
            )
            return set()
        if data.get("vpc_id") != self.context.vpc_id:
            self.problems.append(
                f"{BACKUP_FILE} is the backup of {data.get('vpc_id')!r}, not of {self.context.vpc_id}"
            )
            return set()
        touched = set()
        for table in data.get("RouteTables") or []:
            if not isinstance(table, dict) or table.get("VpcId", self.context.vpc_id) != self.context.vpc_id:
                continue
            for route in table.get("Routes") or []:
                if isinstance(route, dict) and route.get("NatGatewayId") in self.nat_ids:
                    key, destination = route_destination(route)
                    if key:
                        touched.add((table.get("RouteTableId"), key, destination))
        return touched

    def snapshot_on_file(self, state):
        """A snapshot memento restores the routes of its snapshot file, no others."""
        name = state.get("file_name")
        if not isinstance(name, str) or "/" in name or not name.startswith("rt_snapshot_"):
            yield f"file_name {name!r} is not a route snapshot of this migration"
            return
        data = self._read(name)
        if data is None:
            return  # an older run that kept no file: the routes are still checked one by one
        on_file = {
            (r.get("route_table_id"), r.get("destination_key"), r.get("destination"), r.get("target_id"))
            for r in data.get("routes") or []
            if isinstance(r, dict)
        }
        for i, route in enumerate(state.get("routes") or []):
            wanted = (
                route.get("route_table_id"),
                route.get("destination_key"),
                route.get("destination"),
                route.get("target_id"),
            )
            if wanted not in on_file:
                yield f"routes[{i}]: route {route.get('destination')} of {route.get('route_table_id')} is not in {name}"


class _Controller:
    """The controller's gateways, asked with form bodies (the CID never goes into a URL)."""

    def __init__(self, context):
        self.context = context
        self._listing = None
        self._info = {}

    def _ask(self, form):
        import requests

        from tidewall.lib.corvane_backend import _send_corvane_api

        if not Globals.CID or not Globals.controller_ip:
            raise _Unavailable("no controller session in this run")
        url = "https://" + str(Globals.controller_ip) + "/v2/api"
        try:
            reply = _send_corvane_api(
                api_endpoint_url=url,
                request_method="POST",
                payload={"CID": Globals.CID, **form},
                keyword_for_log="restore-check---",
                indent="  ",
            ).json()
        except (requests.RequestException, ValueError) as e:
            raise _Unavailable(f"the controller did not answer {form['action']}: {e}") from None
        if not isinstance(reply, dict) or reply.get("return") is not True:
            reason = reply.get("reason") if isinstance(reply, dict) else reply
            raise _Unavailable(f"the controller refused {form['action']}: {reason}")
        return reply.get("results")

    def listing(self):
        """name -> record of every gateway the controller lists."""
        if self._listing is None:
            results = self._ask({"action": "list_primary_and_ha_spoke_gateways"})
            self._listing = {
                r["name"]: r
                for r in (results or [])
                if isinstance(r, dict) and isinstance(r.get("name"), str)
            }
        return self._listing

    def info(self, name):
        if name not in self._info:
            results = self._ask({"action": "get_gateway_info", "gateway_name": name})
            self._info[name] = results if isinstance(results, dict) else {}
        return self._info[name]


# ---- what each class restores


def _natgw_delete(session, state):
    # The restore recreates a NAT gateway in `subnet_id` with the Elastic IP `eip` and points `routes` at it.
    yield from session.nat_subnet("subnet_id", state.get("subnet_id"))
    yield from session.recorded_eip("eip", state.get("eip"))
    yield from session.secondary_eips(state)
    for i, route in enumerate(state.get("routes") or []):
        yield from session.route(f"routes[{i}]", route)


def _traffic(session, state):
    # The restore points `routes` back at the NAT gateway now in `source_subnet_id`.
    yield from session.nat_subnet("source_subnet_id", state.get("source_subnet_id"))
    for i, route in enumerate(state.get("routes") or []):
        yield from session.route(f"routes[{i}]", route)


def _snapshot(session, state):
    # The restore points each route at the NAT gateway now in `nat_subnet_id`, or at its instance or
    # interface target.
    yield from session.records().snapshot_on_file(state)
    for i, route in enumerate(state.get("routes") or []):
        where = f"routes[{i}]"
        kind = route.get("target_kind")
        if kind == "nat_gateway":
            yield from session.nat_subnet(f"{where}.nat_subnet_id", route.get("nat_subnet_id"))
            yield from session.route(where, route, "nat_gateway")
        elif kind in ("instance", "network_interface"):
            yield from session.route(where, route, kind, route.get("target_id"))
        else:
            yield f"{where}: target kind {kind!r} is not one a route snapshot restores"


_SEMANTICS = {NATGW_DELETE: _natgw_delete, TRAFFIC: _traffic, SNAPSHOT: _snapshot}
