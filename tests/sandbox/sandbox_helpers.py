"""Helpers of the sandbox tests."""

from tidewall.sandbox.controller import Gateway


def make_gateway(world, zone, name, primary=None, eip=None, snat=False):
    return Gateway(
        name=name,
        primary=primary,
        vpc_id=world.vpc_id,
        account_name="sandbox",
        region=world.region,
        subnet_cidr=zone.public_cidr,
        subnet_id=zone.public_subnet_id,
        eip=eip,
        snat=snat,
    )


def launch(cloud, gw):
    """Launch through the hook the way the controller does, filling the record."""
    out = cloud.launch(gw)
    gw.instance_id = out["instance_id"]
    gw.private_ip = out["private_ip"]
    gw.public_ip = out["public_ip"]
    return gw


def default_target(ec2, table_id):
    table = ec2.describe_route_tables(RouteTableIds=[table_id])["RouteTables"][0]
    for route in table["Routes"]:
        if route.get("DestinationCidrBlock") == "0.0.0.0/0":
            return route.get("NatGatewayId") or route.get("InstanceId") or route.get("GatewayId")
    return None
