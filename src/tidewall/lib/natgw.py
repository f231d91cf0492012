"""AWS NAT gateways of a VPC: lookup, deletion that keeps the Elastic IP, and its undo."""

import dataclasses
import logging
import os

from botocore.exceptions import ClientError

from tidewall.commands.memento import Memento
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib import ec2_reads, egress
from tidewall.lib.commonlib import Common
from tidewall.lib.waits import NOT_VISIBLE, WaitSettings, WaitTimeout, wait_until

logger = logging.getLogger("tidewall.lib.natgw")

# What DescribeNatGateways answers for an id it does not know: one that never existed, one deleted long
# ago, or one created a moment ago (EC2 is eventually consistent).
NATGW_NOT_FOUND_CODES = ("NatGatewayNotFound", "InvalidNatGatewayID.NotFound", "NatGatewayMalformed")

# Route fields that name a route's destination, in the order they are looked at.
DESTINATION_KEYS = ("DestinationCidrBlock", "DestinationIpv6CidrBlock", "DestinationPrefixListId")


class NatGwError(TidewallError, RuntimeError):
    """A NAT gateway could not be deleted, found or recreated as required."""


def _error_code(err):
    return err.response.get("Error", {}).get("Code", "")


def ec2_from_globals():
    """EC2 client of the current run (mementos never keep clients of their own)."""
    manager = Globals.aws_client_manager
    if manager is None:
        raise NatGwError("no AWS client manager is set (Globals.aws_client_manager)")
    return manager.getEc2Client()


# ---------------------------------------------------------------- lookups


def _describe_natgws(ec2_client, filters):
    found = []
    for page in ec2_client.get_paginator("describe_nat_gateways").paginate(Filters=filters):
        found.extend(page.get("NatGateways", []))
    return found


def describe_natgw(ec2_client, nat_gw_id):
    """The EC2 description of one NAT gateway, or None when AWS does not know it (any more)."""
    if not nat_gw_id:
        return None
    try:
        found = ec2_client.describe_nat_gateways(NatGatewayIds=[nat_gw_id]).get("NatGateways", [])
    except ClientError as e:
        if _error_code(e) in NATGW_NOT_FOUND_CODES:
            return None
        raise
    return found[0] if found else None


def known_natgw(ec2_client, nat_gw_id):
    """The description of a NAT gateway as this run last read it, when nothing changed it since."""
    if not nat_gw_id:
        return None
    return ec2_reads.known_natgw(ec2_client, nat_gw_id, describe_natgw)


def is_regional(natgw):
    """Whether the NAT gateway is regional: EC2 says so in `AvailabilityMode`; answers that carry no mode
    tell it by the missing SubnetId (a zonal NAT gateway always sits in one)."""
    mode = natgw.get("AvailabilityMode")
    if mode:
        return str(mode).lower() == "regional" or not natgw.get("SubnetId")
    return not natgw.get("SubnetId")


def replaceable(natgw):
    """Whether a migration may replace this NAT gateway: a public NAT gateway in one subnet (zonal)."""
    return natgw.get("ConnectivityType", "public") == "public" and not is_regional(natgw)


def left_alone_reason(natgw):
    """Why a NAT gateway is not one to replace (None when it is one)."""
    if natgw.get("ConnectivityType", "public") != "public":
        return (
            f"a {natgw.get('ConnectivityType')} NAT gateway (no Elastic IP: it serves transit or on-premises "
            "paths, not internet egress)"
        )
    if is_regional(natgw):
        return "a regional NAT gateway (it sits in no single subnet, so no spoke can take its place)"
    return None


def ordered_addresses(natgw):
    """The NAT gateway's addresses with its primary first.

    The primary is the one AWS marks `IsPrimary`; when no address carries the mark, the first address with
    an Elastic IP that is not marked secondary (AWS documents no order, older answers carry no mark).
    """
    addresses = [a for a in natgw.get("NatGatewayAddresses") or [] if isinstance(a, dict)]
    if not addresses:
        return []
    primary = next((a for a in addresses if a.get("IsPrimary") is True), None)
    if primary is None:
        public = [a for a in addresses if a.get("AllocationId") or a.get("PublicIp")]
        unmarked = [a for a in public if a.get("IsPrimary") is not False]
        primary = (unmarked or public or addresses)[0]
    return [primary] + [a for a in addresses if a is not primary]


def primary_first(natgw):
    """A copy of the description whose `NatGatewayAddresses` starts with the primary address."""
    copy = dict(natgw)
    if "NatGatewayAddresses" in natgw:
        copy["NatGatewayAddresses"] = ordered_addresses(natgw)
    return copy


def egress_ips(natgw):
    """The NAT gateway's public IPs, its primary first (empty for one without an Elastic IP)."""
    return [a["PublicIp"] for a in ordered_addresses(natgw or {}) if a.get("PublicIp")]


def egress_text(ips):
    """How a NAT gateway's egress addresses are shown: the primary, then any secondary ones
    ("p, secondary s1, s2")."""
    ips = [ip for ip in ips or [] if ip]
    if not ips:
        return "-"
    return ips[0] + (f", secondary {', '.join(ips[1:])}" if len(ips) > 1 else "")


def secondary_addresses(natgw):
    """The NAT gateway's secondary Elastic IPs: the addresses after the primary that have an allocation."""
    return [a for a in ordered_addresses(natgw)[1:] if a.get("AllocationId") or a.get("PublicIp")]


def natgws_in_subnet(ec2_client, subnet_id, vpc_id, states):
    """Replaceable NAT gateways of the VPC in that subnet whose state is one of `states`, sorted by id."""
    found = [
        n
        for n in ec2_reads.vpc_natgws(ec2_client, vpc_id)
        if n.get("State") in states and n.get("SubnetId") == subnet_id and replaceable(n)
    ]
    return sorted(found, key=lambda n: n["NatGatewayId"])


def _replaceable_natgws(ec2_client, subnet_id, vpc_id):
    """Available public zonal NAT gateways of the VPC, primary address first: those of one subnet by id, or
    all of them by the zone of their subnet, then id."""
    natgws = sorted(
        (
            n
            for n in ec2_reads.vpc_natgws(ec2_client, vpc_id)
            if n.get("State") == "available" and replaceable(n)
        ),
        key=lambda n: n["NatGatewayId"],
    )
    if subnet_id is not None:
        natgws = [n for n in natgws if n.get("SubnetId") == subnet_id]
    elif natgws:
        found = ec2_reads.subnets(ec2_client, [n["SubnetId"] for n in natgws])
        natgws.sort(key=lambda n: found.get(n["SubnetId"], {}).get("AvailabilityZone", ""))
    return [primary_first(n) for n in natgws]


def get_existing_natgws(ec2_client, subnet_id, vpc_id):
    """The VPC's available public, zonal NAT gateways (only those in `subnet_id` unless it is None).

    Sorted by the availability zone of their subnet, then by id, so that repeated discoveries list them in
    the same order; each description lists its primary address first. Asked for the whole VPC, it logs the
    NAT gateways it leaves alone (private and regional ones).
    """
    if subnet_id is None:
        for natgw, reason in natgws_left_alone(ec2_client, vpc_id):
            logger.info("  Leaving NAT gateway %s alone: %s", natgw.get("NatGatewayId"), reason)
    return _replaceable_natgws(ec2_client, subnet_id, vpc_id)


def get_natgw_by_subnet(ec2_client, subnet_id, vpc_id):
    """List of the available public NAT gateways in that subnet of that VPC (usually 0 or 1), each with its
    primary address first.

    Served from one describe of the VPC's NAT gateways while nothing has changed them, so a refresh of every
    recorded NAT gateway costs one call.
    """
    return _replaceable_natgws(ec2_client, subnet_id, vpc_id)


def natgws_left_alone(ec2_client, vpc_id):
    """(description, reason) of each pending or available NAT gateway of the VPC that a migration leaves
    alone (private or regional), by id. Routes that point at them are never changed."""
    found = []
    for natgw in ec2_reads.vpc_natgws(ec2_client, vpc_id):
        if natgw.get("State") not in ("pending", "available"):
            continue
        reason = left_alone_reason(natgw)
        if reason is not None:
            found.append((natgw, reason))
    return sorted(found, key=lambda pair: pair[0].get("NatGatewayId", ""))


def twin_natgws(ec2_client, vpc_id):
    """{subnet id: [NAT gateway ids]} of each subnet of the VPC with more than one pending or available
    public, zonal NAT gateway.

    A migration places one spoke per subnet and finds a subnet's NAT gateway by its subnet, so it cannot
    tell two such NAT gateways apart: the second one would stay live, carrying traffic.
    """
    by_subnet = {}
    for natgw in ec2_reads.vpc_natgws(ec2_client, vpc_id):
        if natgw.get("State") in ("pending", "available") and replaceable(natgw):
            by_subnet.setdefault(natgw["SubnetId"], []).append(natgw["NatGatewayId"])
    return {subnet: sorted(ids) for subnet, ids in sorted(by_subnet.items()) if len(ids) > 1}


def twin_natgws_refusal(twins):
    """The one text that refuses a migration of a VPC with twin NAT gateways (None when there are none)."""
    if not twins:
        return None
    where = "; ".join(f"{', '.join(ids)} in {subnet}" for subnet, ids in twins.items())
    return (
        f"more than one public NAT gateway in one subnet: {where}. One spoke takes the place of one NAT "
        "gateway per subnet; delete or move the extra NAT gateway(s), then run again"
    )


def discoverable_natgws(ec2_client, vpc_id):
    """The NAT gateways of the VPC that a discovery keeps (the ones a migration replaces), in its order.

    The one answer to "which NAT gateways would be replaced": the checks before a first run ask it too.
    """
    return _replaceable_natgws(ec2_client, None, vpc_id)


def describe_vpc(ec2_client, vpc_id):
    """The EC2 description of a VPC, or None when the client's region has no VPC of that id."""
    try:
        found = ec2_client.describe_vpcs(VpcIds=[vpc_id]).get("Vpcs", [])
    except ClientError as e:
        if _error_code(e) in ("InvalidVpcID.NotFound", "InvalidVpcID.Malformed"):
            return None
        raise
    return found[0] if found else None


def _instance_state(ec2_client, instance_id):
    """State name of an instance, or None when it does not exist."""
    try:
        reservations = ec2_client.describe_instances(InstanceIds=[instance_id]).get("Reservations", [])
    except ClientError as e:
        if _error_code(e) in ("InvalidInstanceID.NotFound", "InvalidInstanceID.Malformed"):
            return None
        raise
    for reservation in reservations:
        for instance in reservation.get("Instances", []):
            return instance.get("State", {}).get("Name")
    return None


def instance_is_live(ec2_client, instance_id):
    return bool(instance_id) and _instance_state(ec2_client, instance_id) in ("pending", "running")


def describe_address(ec2_client, public_ip):
    """The Elastic IP description of a public IP, or None when it is not an allocated EIP."""
    if not public_ip:
        return None
    try:
        addresses = ec2_client.describe_addresses(PublicIps=[public_ip]).get("Addresses", [])
    except ClientError as e:
        if _error_code(e) in ("InvalidAddress.NotFound", "InvalidParameterValue"):
            return None
        raise
    return addresses[0] if addresses else None


def eip_in_use(ec2_client, public_ip):
    """True when the EIP serves live traffic: held by a running/pending instance or by a
    pending/available NAT gateway.

    An association left behind by a deleted NAT gateway or a stopped instance does not count.
    """
    address = describe_address(ec2_client, public_ip)
    if address is not None and instance_is_live(ec2_client, address.get("InstanceId")):
        return True
    natgws = _describe_natgws(ec2_client, [{"Name": "state", "Values": ["pending", "available"]}])
    for natgw in natgws:
        if natgw.get("State") not in ("pending", "available"):
            continue
        if any(a.get("PublicIp") == public_ip for a in natgw.get("NatGatewayAddresses", [])):
            return True
    return False


# ---------------------------------------------------------------- routes


def route_destination(route):
    """(field name, value) of a route's destination, or (None, None)."""
    for key in DESTINATION_KEYS:
        if route.get(key):
            return key, route[key]
    return None, None


def describe_vpc_route_tables(ec2_client, vpc_id):
    """The VPC's route tables as they are now (sorted by id)."""
    tables = []
    paginator = ec2_client.get_paginator("describe_route_tables")
    for page in paginator.paginate(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        tables.extend(t for t in page.get("RouteTables", []) if t.get("VpcId", vpc_id) == vpc_id)
    return sorted(tables, key=lambda t: t["RouteTableId"])


def routes_to_natgw(ec2_client, vpc_id, nat_gw_id):
    """Routes of the VPC whose target is that NAT gateway, as plain records."""
    found = []
    for table in ec2_reads.vpc_route_tables(ec2_client, vpc_id):
        for route in table.get("Routes", []):
            key, destination = route_destination(route)
            if key and route.get("NatGatewayId") == nat_gw_id:
                found.append(
                    {
                        "route_table_id": table["RouteTableId"],
                        "destination_key": key,
                        "destination": destination,
                    }
                )
    return found


def set_route_target(ec2_client, route_table_id, destination_key, destination, target):
    """Point a route at `target` (e.g. {"NatGatewayId": id}); create the route when it is missing.

    Returns False (with a warning) when the route table no longer exists.
    """
    args = {"RouteTableId": route_table_id, destination_key: destination, **target}
    try:
        ec2_client.replace_route(**args)
        return True
    except ClientError as e:
        code = _error_code(e)
        message = e.response.get("Error", {}).get("Message", "").lower()
        if code == "InvalidRouteTableID.NotFound":
            logger.warning("  Route table %s no longer exists, route %s not set", route_table_id, destination)
            return False
        if code != "InvalidRoute.NotFound" and not (
            code == "InvalidParameterValue" and "no route" in message
        ):
            raise
    ec2_client.create_route(**args)
    return True


# ---------------------------------------------------------------- waiting and EIP handling


def _wait_natgw(ec2_client, nat_gw_id, wanted, timeout=None, after_create=False, just_changed=False):
    """Poll until the NAT gateway reaches one of the `wanted` states; return its description.

    The pauses, the limit and the progress lines come from the run's `waits` settings (`timeout` overrides
    the limit). Right after a create (`after_create`) a NAT gateway that EC2 does not show yet is waited
    for during the not-found grace; otherwise one that EC2 no longer knows counts as deleted. A wait that
    starts right as the change is asked for (`just_changed`) looks often near the moment such a change
    usually ends, and remembers how long this one took.
    """
    settings = WaitSettings.of()
    if timeout is not None:
        settings = dataclasses.replace(settings, timeout=float(timeout))
    goal = " or ".join(wanted)

    def look():
        natgw = describe_natgw(ec2_client, nat_gw_id)
        if natgw is None:
            return NOT_VISIBLE, "not found"
        state = natgw.get("State")
        if state in wanted:
            return True, natgw
        if state == "failed":
            raise NatGwError(
                f"NAT gateway {nat_gw_id} failed: {natgw.get('FailureCode', '')} {natgw.get('FailureMessage', '')}"
            )
        if state == "deleted":
            raise NatGwError(f"NAT gateway {nat_gw_id} was deleted while waiting for it to become {goal}")
        return False, f"state {state}"

    try:
        natgw = wait_until(
            f"NAT gateway {nat_gw_id} to become {goal}",
            look,
            after_create=after_create,
            settings=settings,
            kind=f"natgw {wanted[0]}" if just_changed else None,
        )
    except WaitTimeout as e:
        raise NatGwError(str(e)) from None
    if natgw is NOT_VISIBLE:
        if "deleted" in wanted:
            return {"NatGatewayId": nat_gw_id, "State": "deleted"}
        grace = f" within {settings.not_found_grace:.0f} s of its creation" if after_create else ""
        raise NatGwError(
            f"NAT gateway {nat_gw_id} is not known to EC2{grace} while waiting for it to become {goal}"
        )
    return natgw


def _instance_is_gone(ec2_client, instance_id):
    return _instance_state(ec2_client, instance_id) in (None, "shutting-down", "terminated")


def _natgw_enis(natgw):
    return [
        a["NetworkInterfaceId"] for a in natgw.get("NatGatewayAddresses", []) if a.get("NetworkInterfaceId")
    ]


def _describe_addresses(ec2_client, public_ips):
    """public IP -> Elastic IP description, for those of `public_ips` that are allocated (one call)."""
    ips = [ip for ip in dict.fromkeys(public_ips) if ip]
    if not ips:
        return {}
    reply = ec2_client.describe_addresses(Filters=[{"Name": "public-ip", "Values": ips}])
    return {a["PublicIp"]: a for a in reply.get("Addresses", []) if a.get("PublicIp") in ips}


def _disassociate(ec2_client, association_id):
    """DisassociateAddress; an association that is already gone (EC2 dropped it meanwhile, as it does when
    the instance holding it terminates) counts as done."""
    try:
        ec2_client.disassociate_address(AssociationId=association_id)
    except ClientError as e:
        if _error_code(e) not in ("InvalidAssociationID.NotFound", "InvalidAssociationID.Malformed"):
            raise
        logger.info("  Association %s is already gone", association_id)


def wait_addresses_let_go(ec2_client, public_ips, enis, nat_gw_id):
    """Wait until no Elastic IP of `public_ips` is associated with a network interface of `enis` (those of
    the deleted NAT gateway `nat_gw_id`).

    EC2 lets go of a NAT gateway's addresses when it deletes it, and sometimes a little later than the
    NAT gateway shows `deleted`; the spoke that takes an address over can only have it once it is free.
    Nothing is waited for in a dry run or when the interfaces are not known.
    """
    enis = {e for e in enis or () if e}
    ips = [ip for ip in public_ips or () if ip]
    if Globals.dry_run or not enis or not ips:
        return

    def look():
        held = [
            ip
            for ip, address in _describe_addresses(ec2_client, ips).items()
            if address.get("AssociationId") and address.get("NetworkInterfaceId") in enis
        ]
        if held:
            return False, f"{', '.join(held)} still associated"
        return True, None

    try:
        wait_until(f"AWS to let go of the Elastic IPs of deleted NAT gateway {nat_gw_id}", look)
    except WaitTimeout as e:
        raise NatGwError(str(e)) from None


def _wait_addresses_free(ec2_client, public_ips, released_by):
    """Wait until AWS shows every Elastic IP of `public_ips` free to be given to a new NAT gateway; return
    their descriptions (public IP -> description; an IP that is not allocated is missing).

    An address still associated with a network interface of `released_by` (the NAT gateway whose deletion
    is undone) is waited for: AWS lets go of it when that NAT gateway is deleted; it is never disassociated
    here. An association left to an instance that is terminated is dropped (AWS drops it itself at the
    termination). Any other holder raises NatGwError: the address is in use.
    """

    def look():
        addresses = _describe_addresses(ec2_client, public_ips)
        waiting = []
        for ip, address in addresses.items():
            if not address.get("AssociationId"):
                continue
            instance_id = address.get("InstanceId")
            if instance_id:
                if not _instance_is_gone(ec2_client, instance_id):
                    raise NatGwError(f"EIP {ip} is still in use by instance {instance_id}")
                _disassociate(ec2_client, address["AssociationId"])
                address = dict(address, AssociationId=None, InstanceId=None, NetworkInterfaceId=None)
                addresses[ip] = address
            elif address.get("NetworkInterfaceId") in released_by:
                waiting.append(ip)
            else:
                raise NatGwError(
                    f"EIP {ip} is still in use by network interface {address.get('NetworkInterfaceId')}"
                )
        if waiting:
            return False, f"{', '.join(waiting)} still held"
        return True, addresses

    try:
        return wait_until("AWS to release the deleted NAT gateway's Elastic IPs", look)
    except WaitTimeout as e:
        raise NatGwError(str(e)) from None


def record_undo(memento, backup_folder):
    """Put the undo of a change on record before the change is made (written through to S3).

    Nothing is recorded in a dry run, or when no memento history is open on `backup_folder` (a command used
    on its own).
    """
    if Globals.dry_run:
        return False
    from tidewall.commands.history import MementoHistory

    folder = MementoHistory.opened_in()
    if folder is None or os.path.realpath(folder) != os.path.realpath(backup_folder):
        return False
    MementoHistory.record_intent(memento)
    return True


# ---------------------------------------------------------------- command and memento


class NatGwDeleteMemento(Memento):
    """Undo of a NAT gateway deletion: a NAT gateway in the same subnet with the same primary EIP, the same
    secondary EIPs and the same private IPs (where AWS allows it), and the routes that pointed at the old
    one pointed at it.

    `routes` are the routes as they were before the deletion (before the egress keeper parked them);
    `parked_on`, set only when they were parked, names the network interface they were parked on.
    """

    def __init__(
        self,
        vpc_id,
        subnet_id,
        subnet_cidr,
        nat_gw_id,
        private_ip,
        eip,
        allocation_id,
        enis,
        routes,
        tags,
        secondary_eips=(),
        secondary_allocation_ids=(),
        secondary_private_ips=(),
    ):
        super().__init__()
        self.vpc_id = vpc_id
        self.subnet_id = subnet_id
        self.subnet_cidr = subnet_cidr
        self.nat_gw_id = nat_gw_id
        self.private_ip = private_ip
        self.eip = eip
        self.allocation_id = allocation_id
        self.network_interface_ids = list(enis)
        self.routes = list(routes)
        self.tags = list(tags)
        self.secondary_eips = list(secondary_eips)
        self.secondary_allocation_ids = list(secondary_allocation_ids)
        self.secondary_private_ips = list(secondary_private_ips)

    def _secondaries(self):
        """(public IPs, allocation ids, private IPs) of the secondary addresses (none in older records)."""
        return (
            list(getattr(self, "secondary_eips", None) or []),
            list(getattr(self, "secondary_allocation_ids", None) or []),
            list(getattr(self, "secondary_private_ips", None) or []),
        )

    def resolve_intent(self):
        """Whether the deletion recorded as about to be made was made.

        A NAT gateway that is still being deleted counts as deleted; this waits until AWS has deleted it, so
        that its Elastic IPs are free for the spoke that takes over next (not in a dry run).
        """
        ec2_client = ec2_from_globals()
        natgw = describe_natgw(ec2_client, self.nat_gw_id)
        state = natgw.get("State") if natgw else "deleted"
        if state in ("pending", "available"):
            egress.KEEPER.unpark(self)
            return False
        if state == "deleting" and not Globals.dry_run:
            logger.info("  NAT gateway %s is being deleted, waiting until it is gone", self.nat_gw_id)
            _wait_natgw(ec2_client, self.nat_gw_id, ("deleted", "failed"))
        wait_addresses_let_go(
            ec2_client, [self.eip, *self._secondaries()[0]], self.network_interface_ids, self.nat_gw_id
        )
        return True

    def restore(self):
        Common.logOperation("NatGwDeleteMemento")
        ec2_client = ec2_from_globals()
        logger.info(
            "- Recreate the NAT gateway of %s in %s with EIP %s", self.nat_gw_id, self.subnet_id, self.eip
        )
        natgw = self._find_or_create(ec2_client)
        if natgw is None:
            return
        new_id = natgw["NatGatewayId"]
        for route in self.routes:
            logger.info(
                "  %s %s %s -> %s",
                "Would route" if Globals.dry_run else "Route",
                route["route_table_id"],
                route["destination"],
                new_id,
            )
            if not Globals.dry_run:
                set_route_target(
                    ec2_client,
                    route["route_table_id"],
                    route["destination_key"],
                    route["destination"],
                    {"NatGatewayId": new_id},
                )

    def _find_or_create(self, ec2_client):
        available = natgws_in_subnet(ec2_client, self.subnet_id, self.vpc_id, ("available",))
        if available:
            logger.info(
                "  NAT gateway %s already available in %s", available[0]["NatGatewayId"], self.subnet_id
            )
            return available[0]
        pending = natgws_in_subnet(ec2_client, self.subnet_id, self.vpc_id, ("pending",))
        if pending:
            logger.info("  Waiting for pending NAT gateway %s", pending[0]["NatGatewayId"])
            return _wait_natgw(ec2_client, pending[0]["NatGatewayId"], ("available",))
        secondary_eips, secondary_allocations, secondary_private_ips = self._secondaries()
        if Globals.dry_run:
            address = describe_address(ec2_client, self.eip)
            if address is None:
                raise NatGwError(
                    f"EIP {self.eip} is no longer allocated; cannot recreate the NAT gateway of {self.subnet_id}"
                )
            logger.info(
                "  Dry run: would create a NAT gateway in %s with %s",
                self.subnet_id,
                ", ".join([address["AllocationId"], *secondary_allocations]),
            )
            return None
        # The EIPs are free once AWS has let the deleted NAT gateway go of them (it may still be deleting).
        addresses = _wait_addresses_free(
            ec2_client, [self.eip, *secondary_eips], set(self.network_interface_ids)
        )
        if self.eip not in addresses:
            raise NatGwError(
                f"EIP {self.eip} is no longer allocated; cannot recreate the NAT gateway of {self.subnet_id}"
            )
        args = {"SubnetId": self.subnet_id, "AllocationId": addresses[self.eip]["AllocationId"]}
        secondaries = [addresses[ip]["AllocationId"] for ip in secondary_eips if ip in addresses]
        gone = [ip for ip in secondary_eips if ip not in addresses]
        if gone:
            logger.warning("  Secondary EIP(s) %s no longer allocated: not given back", ", ".join(gone))
        if secondaries:
            args["SecondaryAllocationIds"] = secondaries
        private = {}
        if self.private_ip:
            private["PrivateIpAddress"] = self.private_ip
        kept_private = [
            p for ip, p in zip(secondary_eips, secondary_private_ips, strict=False) if ip in addresses and p
        ]
        if secondaries and len(kept_private) == len(secondaries):
            private["SecondaryPrivateIpAddresses"] = kept_private
        tags = [t for t in self.tags if not t.get("Key", "").startswith("aws:")]
        if tags:
            args["TagSpecifications"] = [{"ResourceType": "natgateway", "Tags": tags}]
        created = self._create(ec2_client, args, private)
        logger.info("  Created NAT gateway %s, waiting until it is available", created["NatGatewayId"])
        natgw = _wait_natgw(
            ec2_client, created["NatGatewayId"], ("available",), after_create=True, just_changed=True
        )
        self._check_addresses(natgw, args, private)
        return natgw

    @staticmethod
    def _create(ec2_client, args, private):
        """CreateNatGateway with the recorded private IPs; without them when AWS refuses them (still held
        by the old NAT gateway's interface, or not allowed for this NAT gateway)."""
        try:
            return ec2_client.create_nat_gateway(**args, **private)["NatGateway"]
        except ClientError as e:
            code = _error_code(e)
            if not private or not (code.startswith("Invalid") or "IpAddress" in code):
                raise
            logger.warning(
                "  AWS refused the recorded private IP(s) %s (%s): creating with new ones",
                ", ".join(
                    [private.get("PrivateIpAddress") or "", *private.get("SecondaryPrivateIpAddresses", [])]
                ),
                code,
            )
        return ec2_client.create_nat_gateway(**args)["NatGateway"]

    def _check_addresses(self, natgw, args, private):
        """Say which recorded addresses the recreated NAT gateway did not get back."""
        have = {a.get("AllocationId") for a in natgw.get("NatGatewayAddresses") or []}
        missing = [a for a in args.get("SecondaryAllocationIds", []) if a not in have]
        if missing:
            logger.warning("  NAT gateway %s did not get secondary EIP(s) %s", natgw["NatGatewayId"], missing)
        primary = ordered_addresses(natgw)[:1]
        if private.get("PrivateIpAddress") and primary and primary[0].get("PrivateIp") != self.private_ip:
            logger.warning(
                "  NAT gateway %s has private IP %s, not %s as before",
                natgw["NatGatewayId"],
                primary[0].get("PrivateIp"),
                self.private_ip,
            )


class NatGwCmd:
    """Deletes a NAT gateway of a VPC, keeping its Elastic IPs allocated for the spoke gateway."""

    def __init__(self, ec2_client, vpc_id, backup_folder, version="v2"):
        self.ec2_client = ec2_client
        self.vpc_id = vpc_id
        self.backup_folder = backup_folder
        self.version = version

    def delete(self, natgw_info):
        """Delete the NAT gateway of the record and wait until AWS has deleted it; return the undo memento.

        The undo is on record in the memento history before DeleteNatGateway is sent, so a failure or a kill
        at any point of the deletion leaves a journal that a resumed run and a revert can use. A NAT gateway
        that is already deleted (or unknown) is not an error, so the step can be repeated after an
        interruption.
        """
        Common.logOperation("NatGwCmd")
        ec2_client = self.ec2_client
        nat_gw_id = natgw_info["nat_gw_id"]
        subnet_id = natgw_info["subnet_id"]
        logger.info("- Delete NAT gateway %s in %s", nat_gw_id, subnet_id)
        natgw = known_natgw(ec2_client, nat_gw_id)
        if natgw is not None and (natgw.get("VpcId") != self.vpc_id or natgw.get("SubnetId") != subnet_id):
            raise NatGwError(
                f"NAT gateway {nat_gw_id} is in {natgw.get('VpcId')}/{natgw.get('SubnetId')}, "
                f"not in {self.vpc_id}/{subnet_id}; refusing to delete it"
            )
        if natgw is not None and not replaceable(natgw):
            raise NatGwError(f"NAT gateway {nat_gw_id} is {left_alone_reason(natgw)}; refusing to delete it")
        memento = self._memento(natgw_info, natgw)
        state = natgw.get("State") if natgw else "deleted"
        if state in ("deleted", "failed"):
            logger.info("  NAT gateway %s is already gone (%s)", nat_gw_id, state)
            return memento
        if Globals.dry_run:
            logger.info("  Dry run: would delete NAT gateway %s", nat_gw_id)
            return memento
        haven = egress.KEEPER.park_plan(memento) if state != "deleting" else None
        if haven is not None:
            memento.parked_on = haven.eni
        record_undo(memento, self.backup_folder)
        if haven is not None:
            egress.KEEPER.park(ec2_client, memento, haven)
        if state != "deleting":
            ec2_client.delete_nat_gateway(NatGatewayId=nat_gw_id)
        _wait_natgw(ec2_client, nat_gw_id, ("deleted", "failed"), just_changed=state != "deleting")
        wait_addresses_let_go(
            ec2_client, [memento.eip, *memento.secondary_eips], memento.network_interface_ids, nat_gw_id
        )
        kept = ", ".join([memento.eip or "-", *memento.secondary_eips])
        logger.info("  NAT gateway %s deleted, EIP %s kept", nat_gw_id, kept)
        return memento

    def _memento(self, natgw_info, natgw):
        addresses = ordered_addresses(natgw) if natgw else []
        primary = addresses[0] if addresses else {}
        eip = primary.get("PublicIp") or natgw_info.get("eip")
        private_ip = primary.get("PrivateIp") or natgw_info.get("private_ip")
        allocation_id = primary.get("AllocationId")
        if not allocation_id:
            address = describe_address(self.ec2_client, eip)
            allocation_id = address.get("AllocationId") if address else None
        secondaries = secondary_addresses(natgw) if natgw else []
        return NatGwDeleteMemento(
            vpc_id=self.vpc_id,
            subnet_id=natgw_info["subnet_id"],
            subnet_cidr=natgw_info.get("subnet_cidr"),
            nat_gw_id=natgw_info["nat_gw_id"],
            private_ip=private_ip,
            eip=eip,
            allocation_id=allocation_id,
            enis=_natgw_enis(natgw) if natgw else [],
            routes=routes_to_natgw(self.ec2_client, self.vpc_id, natgw_info["nat_gw_id"]),
            tags=natgw.get("Tags", []) if natgw else [],
            secondary_eips=[a.get("PublicIp") for a in secondaries],
            secondary_allocation_ids=[a.get("AllocationId") for a in secondaries],
            secondary_private_ips=[a.get("PrivateIp") for a in secondaries],
        )
