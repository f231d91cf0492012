"""AWS NAT gateways of a VPC: lookup, deletion that keeps the Elastic IP, and its undo."""

import dataclasses
import logging

from botocore.exceptions import ClientError

from tidewall.commands.memento import Memento
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
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


def natgws_in_subnet(ec2_client, subnet_id, vpc_id, states):
    """NAT gateways of the VPC in that subnet whose state is one of `states`, sorted by id."""
    filters = [{"Name": "vpc-id", "Values": [vpc_id]}, {"Name": "subnet-id", "Values": [subnet_id]}]
    found = [n for n in _describe_natgws(ec2_client, filters) if n.get("State") in states]
    # Filtered again on our side: the subnet filter is not honoured by every endpoint.
    found = [n for n in found if n.get("SubnetId") == subnet_id and n.get("VpcId") == vpc_id]
    return sorted(found, key=lambda n: n["NatGatewayId"])


def get_existing_natgws(ec2_client, subnet_id, vpc_id):
    """The VPC's available NAT gateways (only those in `subnet_id` unless it is None).

    Sorted by the availability zone of their subnet, then by id, so that repeated
    discoveries list them in the same order.
    """
    filters = [{"Name": "vpc-id", "Values": [vpc_id]}, {"Name": "state", "Values": ["available"]}]
    if subnet_id is not None:
        filters.append({"Name": "subnet-id", "Values": [subnet_id]})
    natgws = [
        n
        for n in _describe_natgws(ec2_client, filters)
        if n.get("State") == "available"
        and n.get("VpcId") == vpc_id
        and (subnet_id is None or n.get("SubnetId") == subnet_id)
    ]
    if not natgws:
        return []
    zones = {}
    subnet_ids = sorted({n["SubnetId"] for n in natgws})
    for page in ec2_client.get_paginator("describe_subnets").paginate(SubnetIds=subnet_ids):
        for subnet in page.get("Subnets", []):
            zones[subnet["SubnetId"]] = subnet.get("AvailabilityZone", "")
    return sorted(natgws, key=lambda n: (zones.get(n["SubnetId"], ""), n["NatGatewayId"]))


def get_natgw_by_subnet(ec2_client, subnet_id, vpc_id):
    """List of the available NAT gateways in that subnet of that VPC (usually 0 or 1)."""
    return get_existing_natgws(ec2_client, subnet_id, vpc_id)


def discoverable_natgws(ec2_client, vpc_id):
    """The NAT gateways of the VPC that a discovery keeps (the ones a migration replaces), in its order.

    The one answer to "which NAT gateways would be replaced": the checks before a first run ask it too.
    """
    return get_existing_natgws(ec2_client, None, vpc_id)


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
    tables = []
    paginator = ec2_client.get_paginator("describe_route_tables")
    for page in paginator.paginate(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        tables.extend(t for t in page.get("RouteTables", []) if t.get("VpcId", vpc_id) == vpc_id)
    return sorted(tables, key=lambda t: t["RouteTableId"])


def routes_to_natgw(ec2_client, vpc_id, nat_gw_id):
    """Routes of the VPC whose target is that NAT gateway, as plain records."""
    found = []
    for table in describe_vpc_route_tables(ec2_client, vpc_id):
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


def _wait_natgw(ec2_client, nat_gw_id, wanted, timeout=None, after_create=False):
    """Poll until the NAT gateway reaches one of the `wanted` states; return its description.

    The pauses, the limit and the progress lines come from the run's `waits` settings (`timeout` overrides
    the limit). Right after a create (`after_create`) a NAT gateway that EC2 does not show yet is waited
    for during the not-found grace; otherwise one that EC2 no longer knows counts as deleted.
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
            f"NAT gateway {nat_gw_id} to become {goal}", look, after_create=after_create, settings=settings
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


def _free_stale_association(ec2_client, public_ip, stale_enis):
    """Drop an EIP association that outlived its holder.

    AWS frees a NAT gateway's EIP when the NAT gateway is deleted and an instance's when it is
    terminated; an association still pointing at such a holder is released here so the EIP can
    be used again. Live holders are never touched.
    """
    address = describe_address(ec2_client, public_ip)
    if address is None or not address.get("AssociationId"):
        return
    instance_id = address.get("InstanceId")
    stale = address.get("NetworkInterfaceId") in stale_enis and not instance_id
    if instance_id and _instance_state(ec2_client, instance_id) in (None, "shutting-down", "terminated"):
        stale = True
    if stale and not eip_in_use(ec2_client, public_ip):
        ec2_client.disassociate_address(AssociationId=address["AssociationId"])


def _natgw_enis(natgw):
    return [
        a["NetworkInterfaceId"] for a in natgw.get("NatGatewayAddresses", []) if a.get("NetworkInterfaceId")
    ]


# ---------------------------------------------------------------- command and memento


class NatGwDeleteMemento(Memento):
    """Undo of a NAT gateway deletion: a NAT gateway in the same subnet with the same EIP,
    and the routes that pointed at the old one pointed at it."""

    def __init__(
        self, vpc_id, subnet_id, subnet_cidr, nat_gw_id, private_ip, eip, allocation_id, enis, routes, tags
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

    def restore(self):
        Common.logOperation("NatGwDeleteMemento")
        ec2_client = ec2_from_globals()
        logger.info("- Restore NAT gateway in %s with EIP %s", self.subnet_id, self.eip)
        natgw = self._find_or_create(ec2_client)
        if natgw is None:
            return
        new_id = natgw["NatGatewayId"]
        for route in self.routes:
            logger.info("  Route %s %s -> %s", route["route_table_id"], route["destination"], new_id)
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
        address = describe_address(ec2_client, self.eip)
        if address is None:
            raise NatGwError(
                f"EIP {self.eip} is no longer allocated; cannot recreate the NAT gateway of {self.subnet_id}"
            )
        if Globals.dry_run:
            logger.info(
                "  Dry run: would create a NAT gateway in %s with %s", self.subnet_id, address["AllocationId"]
            )
            return None
        _free_stale_association(ec2_client, self.eip, set(self.network_interface_ids))
        if eip_in_use(ec2_client, self.eip):
            raise NatGwError(
                f"EIP {self.eip} is still in use; cannot recreate the NAT gateway of {self.subnet_id}"
            )
        args = {"SubnetId": self.subnet_id, "AllocationId": address["AllocationId"]}
        tags = [t for t in self.tags if not t.get("Key", "").startswith("aws:")]
        if tags:
            args["TagSpecifications"] = [{"ResourceType": "natgateway", "Tags": tags}]
        created = ec2_client.create_nat_gateway(**args)["NatGateway"]
        logger.info("  Created NAT gateway %s, waiting until it is available", created["NatGatewayId"])
        return _wait_natgw(ec2_client, created["NatGatewayId"], ("available",), after_create=True)


class NatGwCmd:
    """Deletes a NAT gateway of a VPC, keeping its Elastic IP allocated for the spoke gateway."""

    def __init__(self, ec2_client, vpc_id, backup_folder, version="v2"):
        self.ec2_client = ec2_client
        self.vpc_id = vpc_id
        self.backup_folder = backup_folder
        self.version = version

    def delete(self, natgw_info):
        """Delete the NAT gateway of the record and wait until it is gone; return the undo memento.

        A NAT gateway that is already deleted (or unknown) is not an error, so the step can be
        repeated after an interruption.
        """
        Common.logOperation("NatGwCmd")
        ec2_client = self.ec2_client
        nat_gw_id = natgw_info["nat_gw_id"]
        subnet_id = natgw_info["subnet_id"]
        logger.info("- Delete NAT gateway %s in %s", nat_gw_id, subnet_id)
        natgw = describe_natgw(ec2_client, nat_gw_id)
        if natgw is not None and (natgw.get("VpcId") != self.vpc_id or natgw.get("SubnetId") != subnet_id):
            raise NatGwError(
                f"NAT gateway {nat_gw_id} is in {natgw.get('VpcId')}/{natgw.get('SubnetId')}, "
                f"not in {self.vpc_id}/{subnet_id}; refusing to delete it"
            )
        addresses = natgw.get("NatGatewayAddresses", []) if natgw else []
        eip = (addresses[0].get("PublicIp") if addresses else None) or natgw_info.get("eip")
        private_ip = (addresses[0].get("PrivateIp") if addresses else None) or natgw_info.get("private_ip")
        allocation_id = addresses[0].get("AllocationId") if addresses else None
        if not allocation_id:
            address = describe_address(ec2_client, eip)
            allocation_id = address.get("AllocationId") if address else None
        memento = NatGwDeleteMemento(
            vpc_id=self.vpc_id,
            subnet_id=subnet_id,
            subnet_cidr=natgw_info.get("subnet_cidr"),
            nat_gw_id=nat_gw_id,
            private_ip=private_ip,
            eip=eip,
            allocation_id=allocation_id,
            enis=_natgw_enis(natgw) if natgw else [],
            routes=routes_to_natgw(ec2_client, self.vpc_id, nat_gw_id),
            tags=natgw.get("Tags", []) if natgw else [],
        )
        state = natgw.get("State") if natgw else "deleted"
        if state in ("deleted", "failed"):
            logger.info("  NAT gateway %s is already gone (%s)", nat_gw_id, state)
        elif Globals.dry_run:
            logger.info("  Dry run: would delete NAT gateway %s", nat_gw_id)
            return memento
        else:
            if state != "deleting":
                ec2_client.delete_nat_gateway(NatGatewayId=nat_gw_id)
            _wait_natgw(ec2_client, nat_gw_id, ("deleted", "failed"))
            logger.info("  NAT gateway %s deleted, EIP %s kept", nat_gw_id, eip)
        if not Globals.dry_run and eip:
            _free_stale_association(ec2_client, eip, set(memento.network_interface_ids))
        return memento
