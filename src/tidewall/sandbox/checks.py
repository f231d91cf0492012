"""The sandbox's checks: the VPC as AWS shows it and the controller's gateways, judged by the sandbox itself.

Everything here looks at the simulated cloud through the sandbox's own views (`VpcView`, the egress
monitor, the controller's records), never through the tool's functions, so that a mistake in the tool is
not repeated by the judge.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from tidewall.sandbox.vpcview import HOLDING_NATGW_STATES, VpcView


@dataclass
class Check:
    name: str
    passed: bool
    detail: str = ""


@dataclass
class Checks:
    items: list = field(default_factory=list)

    def add(self, name, passed, detail=""):
        check = Check(name, bool(passed), detail)
        self.items.append(check)
        return check

    @property
    def passed(self):
        return bool(self.items) and all(c.passed for c in self.items)

    def failed(self):
        return [c for c in self.items if not c.passed]

    def lines(self):
        """One line per check, "[ok  ]" or "[FAIL]" and its name (with the detail when it failed)."""
        return [
            f"  [{'ok  ' if c.passed else 'FAIL'}] {c.name}"
            + (f": {c.detail}" if c.detail and not c.passed else "")
            for c in self.items
        ]


# --------------------------------------------------------------------------------------------- the world


def _natgw_eip(ec2, nat_gw_id):
    """The primary public IP of a NAT gateway (IsPrimary; the only one when none is marked)."""
    if not nat_gw_id:
        return None
    found = ec2.describe_nat_gateways(NatGatewayIds=[nat_gw_id]).get("NatGateways", [])
    addresses = (found[0].get("NatGatewayAddresses") if found else None) or []
    primary = [a for a in addresses if a.get("IsPrimary")] or addresses
    return primary[0].get("PublicIp") if primary else None


class World:
    """The VPC as AWS shows it now, per public subnet, with the migration order of its NAT gateways."""

    def __init__(self, aws, vpc_id, order=None, seeded=None):
        self.rows = aws.describe_world(vpc_id, seeded=seeded)
        ec2 = aws.client("ec2", region=seeded.region if seeded is not None else None)
        for row in self.rows:
            row["nat_gateway_eip"] = _natgw_eip(ec2, row["nat_gateway"])
        self.order = order or {}

    def index_of(self, subnet_id):
        return self.order.get(subnet_id)


def migration_order():
    """subnet id -> index in the replacement order, from the command history of this process (if opened)."""
    from tidewall.commands.history import CommandHistory

    try:
        records = CommandHistory.get_discovered_natgws()
    except Exception:  # not opened yet
        return {}
    return {r.get("subnet_id"): i for i, r in enumerate(records)}


def _spoke_names(ctl, vpc_id):
    return {gw.name for gw in ctl.gateways.values() if gw.vpc_id == vpc_id}


def aws_fingerprint(aws, vpc_id, region=None):
    """What a refused run must leave as it was, read from AWS: each NAT gateway's state and addresses, each
    route of each route table with its target, and each Elastic IP's association."""
    ec2 = aws.client("ec2", region=region)
    vpc = [{"Name": "vpc-id", "Values": [vpc_id]}]
    natgws = sorted(
        (
            n["NatGatewayId"],
            n.get("State"),
            tuple(sorted(a.get("PublicIp") or "" for a in n.get("NatGatewayAddresses") or [])),
        )
        for n in ec2.describe_nat_gateways(Filters=vpc)["NatGateways"]
    )
    routes = sorted(
        (t["RouteTableId"], str(sorted((sorted(r.items()) for r in t.get("Routes", [])), key=str)))
        for t in ec2.describe_route_tables(Filters=vpc)["RouteTables"]
    )
    addresses = sorted(
        (a.get("PublicIp"), a.get("NetworkInterfaceId") or a.get("InstanceId") or "")
        for a in ec2.describe_addresses()["Addresses"]
    )
    return {"natgws": natgws, "routes": routes, "addresses": addresses}


def check_unchanged(checks, aws, ctl, vpc_id, before, label):
    """A refused run changed nothing: AWS as `before` (an aws_fingerprint), no gateway at the controller."""
    after = aws_fingerprint(aws, vpc_id)
    changed = [k for k in before if before[k] != after[k]]
    checks.add(f"{label}: AWS unchanged", not changed, f"changed: {', '.join(changed)}" if changed else "")
    spokes = sorted(_spoke_names(ctl, vpc_id))
    checks.add(f"{label}: no spoke gateway created", not spokes, ", ".join(spokes))


# ---------------------------------------------------------------------------------------- after a command


def check_migrated(checks, world, ctl, vpc_id, natgws=None, label="after execute"):
    """The migrated state: no NAT gateway, every EIP on a spoke in its subnet, every private default route on
    its own zone's spoke.

    `natgws` limits the replaced subnets (a partial run): the other subnets must still have their NAT
    gateway with its original EIP, and every private default route must be live.
    """
    spokes = _spoke_names(ctl, vpc_id)
    if natgws is not None and len(world.order) != len(world.rows):
        checks.add(
            f"{label}: the migration order of the NAT gateways is recorded", False, "no discovery found"
        )
        return
    replaced = [r for r in world.rows if natgws is None or world.index_of(r["subnet_id"]) in natgws]
    kept = [r for r in world.rows if r not in replaced]
    left = [r["nat_gateway"] for r in replaced if r["nat_gateway"]]
    what = "no NAT gateway left" if natgws is None else f"NAT gateways {sorted(natgws)} replaced"
    checks.add(f"{label}: {what}", not left, f"still there: {', '.join(left)}" if left else "")
    missing = [
        f"{r['original_eip']} ({r['subnet_id']})"
        for r in replaced
        if not r["spoke_gateway"]
        or r["spoke_gateway"]["public_ip"] != r["original_eip"]
        or r["spoke_gateway"]["name"] not in spokes
    ]
    checks.add(
        f"{label}: every replaced NAT gateway's EIP is on a spoke in its subnet",
        not missing,
        f"not on a spoke: {', '.join(missing)}" if missing else "",
    )
    if kept:
        lost = [
            r["subnet_id"] for r in kept if not r["nat_gateway"] or r["nat_gateway_eip"] != r["original_eip"]
        ]
        checks.add(
            f"{label}: the other NAT gateways are untouched",
            not lost,
            f"changed in: {', '.join(lost)}" if lost else "",
        )
        bad = [
            f"{table} -> {target}"
            for r in world.rows
            for table, target in zip(r["private_route_tables"], r["private_routes"], strict=False)
            # Mid-way, a zone may still (or already) leave through another zone's live NAT gateway.
            if not (target in spokes or target.startswith("nat-"))
        ]
        checks.add(f"{label}: every private default route is live", not bad, ", ".join(bad))
        return
    bad = []
    for r in world.rows:
        own = r["spoke_gateway"]["name"] if r["spoke_gateway"] else None
        for table, target in zip(r["private_route_tables"], r["private_routes"], strict=False):
            if own is None or target != own:
                bad.append(f"{table} ({r['az']}) -> {target}")
    checks.add(f"{label}: every private default route goes to its own zone's spoke", not bad, ", ".join(bad))


def check_reverted(checks, world, ctl, vpc_id, label="after revert"):
    """The VPC as before: every EIP on a NAT gateway in its subnet, each private default route on its own
    zone's NAT gateway, no spoke."""
    missing = [
        f"{r['original_eip']} ({r['subnet_id']})"
        for r in world.rows
        if not r["nat_gateway"] or r["nat_gateway_eip"] != r["original_eip"]
    ]
    checks.add(
        f"{label}: every original EIP is back on a NAT gateway in its subnet",
        not missing,
        f"missing: {', '.join(missing)}" if missing else "",
    )
    bad = [
        f"{table} ({r['az']}) -> {target}"
        for r in world.rows
        for table, target in zip(r["private_route_tables"], r["private_routes"], strict=False)
        if not r["nat_gateway"] or target != r["nat_gateway"]
    ]
    checks.add(
        f"{label}: every private default route goes to its own zone's NAT gateway", not bad, ", ".join(bad)
    )
    spokes = sorted(_spoke_names(ctl, vpc_id)) + [
        r["spoke_gateway"]["name"] for r in world.rows if r["spoke_gateway"]
    ]
    checks.add(f"{label}: no spoke gateway left", not spokes, ", ".join(sorted(set(spokes))))


# ------------------------------------------------------------------------------------------------ egress


def check_egress_ips(checks, monitor, seeded, label="egress"):
    """Every public IP any private subnet's traffic ever left through is one of the original EIPs."""
    original = {z.eip for z in seeded.zones}
    foreign = sorted(monitor.ips_used() - original)
    checks.add(
        f"{label}: every public IP used is one of the original Elastic IPs",
        not foreign,
        f"also used: {', '.join(foreign)}" if foreign else "",
    )


# ------------------------------------------------------------------------------- what is not migrated


def check_private_natgw(checks, aws, seeded, label):
    """The private NAT gateway is as seeded: the same one, available, and every route to it in place."""
    if not seeded.private_natgw_id:
        return
    ec2 = aws.client("ec2", region=seeded.region)
    natgw_id = seeded.private_natgw_id
    found = ec2.describe_nat_gateways(NatGatewayIds=[natgw_id])["NatGateways"]
    state = found[0].get("State") if found else "unknown"
    tables = ec2.describe_route_tables(RouteTableIds=[z.private_route_table_id for z in seeded.zones])
    moved = [
        t["RouteTableId"]
        for t in tables["RouteTables"]
        if not any(
            r.get("DestinationCidrBlock") == seeded.onprem_cidr and r.get("NatGatewayId") == natgw_id
            for r in t.get("Routes", [])
        )
    ]
    problems = ([f"{natgw_id} is {state}"] if state != "available" else []) + [
        f"{t} no longer routes {seeded.onprem_cidr} to it" for t in moved
    ]
    checks.add(f"{label}: the private NAT gateway is untouched", not problems, "; ".join(problems))


def check_specific_routes(checks, aws, seeded, label, migrated):
    """Each seeded route other than 0.0.0.0/0 goes where its NAT gateway's Elastic IP went: after execute to
    the running spoke instance (named by it or by its network interface) that holds that EIP, after revert to
    an available NAT gateway in that NAT gateway's subnet."""
    if not seeded.specific_routes:
        return
    ec2 = aws.client("ec2", region=seeded.region)
    view = VpcView(ec2, seeded.vpc_id)
    tables = {t["RouteTableId"]: t for t in view.route_tables}
    bad = []
    for table_id, cidr, index in seeded.specific_routes:
        zone = seeded.zones[index]
        route = next(
            (r for r in tables.get(table_id, {}).get("Routes", []) if r.get("DestinationCidrBlock") == cidr),
            None,
        )
        if migrated:
            instance_id = (route or {}).get("InstanceId") or view.interface_instance(
                (route or {}).get("NetworkInterfaceId")
            )
            instance = view.instances.get(instance_id) or {}
            ips = {
                (n.get("Association") or {}).get("PublicIp") for n in instance.get("NetworkInterfaces", [])
            }
            ok = view.instance_is_live(instance_id) and zone.eip in ips
        else:
            natgw = view.natgw((route or {}).get("NatGatewayId")) or {}
            ok = natgw.get("State") == "available" and natgw.get("SubnetId") == zone.public_subnet_id
        if not ok:
            bad.append(f"{table_id} {cidr} -> {view.target_label(route)}")
    where = "the spoke holding its NAT gateway's EIP" if migrated else "its NAT gateway, recreated"
    checks.add(f"{label}: every other route to a NAT gateway goes to {where}", not bad, ", ".join(bad))


def secondary_eip_fate(aws, seeded):
    """Where each seeded secondary EIP is now, one text per zone that has one."""
    ec2 = aws.client("ec2", region=seeded.region)
    out = []
    for zone in seeded.zones:
        if not zone.secondary_eip:
            continue
        address = ec2.describe_addresses(PublicIps=[zone.secondary_eip])["Addresses"]
        if not address:
            out.append(f"{zone.secondary_eip} ({zone.az}): released")
            continue
        holder = "free (allocated, not associated)"
        eni = address[0].get("NetworkInterfaceId")
        instance = address[0].get("InstanceId")
        if instance:
            holder = f"on instance {instance}"
        elif eni:
            natgws = ec2.describe_nat_gateways(
                Filters=[{"Name": "state", "Values": [*HOLDING_NATGW_STATES, "deleting"]}]
            )["NatGateways"]
            owner = next(
                (
                    n["NatGatewayId"]
                    for n in natgws
                    if any(
                        a.get("PublicIp") == zone.secondary_eip for a in n.get("NatGatewayAddresses") or []
                    )
                ),
                None,
            )
            holder = f"on NAT gateway {owner}" if owner else f"on interface {eni}"
        out.append(f"{zone.secondary_eip} ({zone.az}): {holder}")
    return out
