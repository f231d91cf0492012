"""A snapshot of one VPC's network as AWS really runs it.

The simulated AWS keeps stale state after a NAT gateway is deleted: the route stays "active"
and the Elastic IP stays associated with the gone gateway's interface. Real AWS blackholes
such routes and frees the address. Every liveness answer here is therefore worked out from
the NAT gateway's and the instance's own state, never from a route's `State`.
"""

DEFAULT_ROUTE = "0.0.0.0/0"
LIVE_NATGW_STATES = ("available",)
HOLDING_NATGW_STATES = ("pending", "available")  # a NAT gateway in these states holds its EIP
LIVE_INSTANCE_STATES = ("pending", "running")
GATEWAY_TAG = "tidewall:gateway"  # on the instances of spoke gateways
BLACKHOLE = "blackhole"
NO_ROUTE = "no route"


def _pages(ec2, operation, key, **kwargs):
    items = []
    for page in ec2.get_paginator(operation).paginate(**kwargs):
        items.extend(page.get(key, []))
    return items


def tag_value(resource, key):
    for tag in resource.get("Tags") or []:
        if tag.get("Key") == key:
            return tag.get("Value")
    return None


def default_route(table):
    for route in table.get("Routes", []):
        if route.get("DestinationCidrBlock") == DEFAULT_ROUTE:
            return route
    return None


class VpcView:
    """Subnets, route tables, internet gateways, NAT gateways and instances of one VPC."""

    def __init__(self, ec2, vpc_id):
        self.vpc_id = vpc_id
        vpc_filter = [{"Name": "vpc-id", "Values": [vpc_id]}]
        self.subnets = {
            s["SubnetId"]: s for s in _pages(ec2, "describe_subnets", "Subnets", Filters=vpc_filter)
        }
        self.route_tables = _pages(ec2, "describe_route_tables", "RouteTables", Filters=vpc_filter)
        igws = _pages(
            ec2,
            "describe_internet_gateways",
            "InternetGateways",
            Filters=[{"Name": "attachment.vpc-id", "Values": [vpc_id]}],
        )
        self.igw_ids = {
            igw["InternetGatewayId"]
            for igw in igws
            if any(
                a.get("VpcId") == vpc_id and a.get("State") in ("available", "attached")
                for a in igw.get("Attachments", [])
            )
        }
        self.natgws = _pages(ec2, "describe_nat_gateways", "NatGateways", Filters=vpc_filter)
        self.instances = {
            i["InstanceId"]: i
            for r in _pages(ec2, "describe_instances", "Reservations", Filters=vpc_filter)
            for i in r.get("Instances", [])
        }

    # ------------------------------------------------------------ state of things

    def natgw(self, nat_gw_id):
        for natgw in self.natgws:
            if natgw["NatGatewayId"] == nat_gw_id:
                return natgw
        return None

    def natgw_is_live(self, nat_gw_id):
        natgw = self.natgw(nat_gw_id)
        return natgw is not None and natgw.get("State") in LIVE_NATGW_STATES

    def instance_is_live(self, instance_id):
        instance = self.instances.get(instance_id)
        return instance is not None and instance.get("State", {}).get("Name") in LIVE_INSTANCE_STATES

    def interface_instance(self, eni_id):
        """The instance a network interface is attached to (None when it is attached to none of the VPC's)."""
        for instance_id, instance in self.instances.items():
            if any(n.get("NetworkInterfaceId") == eni_id for n in instance.get("NetworkInterfaces", [])):
                return instance_id
        return None

    def route_is_live(self, route):
        """Whether the route leads somewhere that forwards traffic (route `State` not trusted)."""
        if route is None:
            return False
        if route.get("NatGatewayId"):
            return self.natgw_is_live(route["NatGatewayId"])
        if route.get("InstanceId"):
            return self.instance_is_live(route["InstanceId"])
        if route.get("NetworkInterfaceId"):
            instance_id = self.interface_instance(route["NetworkInterfaceId"])
            return instance_id is not None and self.instance_is_live(instance_id)
        gateway_id = route.get("GatewayId")
        if gateway_id:
            if gateway_id == "local":
                return True
            if gateway_id.startswith("igw-"):
                return gateway_id in self.igw_ids
        return route.get("State") == "active"

    def target_label(self, route):
        """How the before/after table shows a route's target."""
        if route is None:
            return NO_ROUTE
        if not self.route_is_live(route):
            return BLACKHOLE
        if route.get("NatGatewayId"):
            return route["NatGatewayId"]
        instance_id = route.get("InstanceId") or (
            self.interface_instance(route["NetworkInterfaceId"]) if route.get("NetworkInterfaceId") else None
        )
        if instance_id:
            instance = self.instances[instance_id]
            return tag_value(instance, "Name") or instance_id
        for key in ("GatewayId", "NetworkInterfaceId", "TransitGatewayId", "VpcPeeringConnectionId"):
            if route.get(key):
                return route[key]
        return "active"

    # ------------------------------------------------------------ layout

    def main_table(self):
        for table in self.route_tables:
            if any(a.get("Main") for a in table.get("Associations", [])):
                return table
        return None

    def table_subnets(self, table):
        """Subnets whose traffic the table routes: explicit associations, and for the main
        table every subnet that has no explicit association."""
        explicit = [a["SubnetId"] for a in table.get("Associations", []) if a.get("SubnetId")]
        if any(a.get("Main") for a in table.get("Associations", [])):
            associated = {
                a["SubnetId"]
                for t in self.route_tables
                for a in t.get("Associations", [])
                if a.get("SubnetId")
            }
            explicit += [s for s in self.subnets if s not in associated]
        return explicit

    def subnet_table(self, subnet_id):
        for table in self.route_tables:
            if subnet_id in self.table_subnets(table):
                return table
        return None

    def is_public(self, table):
        route = default_route(table)
        return route is not None and (route.get("GatewayId") or "").startswith("igw-")

    def private_tables(self):
        """Route tables that route some subnet and do not send 0.0.0.0/0 to an internet gateway."""
        return [t for t in self.route_tables if not self.is_public(t) and self.table_subnets(t)]

    def public_subnets(self):
        found = []
        for subnet_id, subnet in self.subnets.items():
            table = self.subnet_table(subnet_id)
            if table is not None and self.is_public(table):
                found.append(subnet)
        return sorted(found, key=lambda s: (s["AvailabilityZone"], s["CidrBlock"]))

    def table_zones(self, table):
        return {self.subnets[s]["AvailabilityZone"] for s in self.table_subnets(table) if s in self.subnets}

    def subnet_zone(self, subnet_id):
        subnet = self.subnets.get(subnet_id)
        return subnet["AvailabilityZone"] if subnet else None


def egress_ips(natgw):
    """A NAT gateway's public IPs as AWS shows them, the primary (`IsPrimary`) first."""
    addresses = [a for a in (natgw or {}).get("NatGatewayAddresses") or [] if a.get("PublicIp")]
    addresses.sort(key=lambda a: a.get("IsPrimary") is not True)
    return [a["PublicIp"] for a in addresses]


def egress_text(ips):
    """The primary, then the secondary ones ("p, secondary s1, s2"); "-" for none."""
    ips = [ip for ip in ips or [] if ip]
    if not ips:
        return "-"
    return ips[0] + (f", secondary {', '.join(ips[1:])}" if len(ips) > 1 else "")
