"""The simulated controller's cloud hook acting on the simulated AWS."""

import pytest
from sandbox_helpers import default_target, launch, make_gateway

from tidewall.sandbox.controller import CloudError


def _address(ec2, public_ip):
    return ec2.describe_addresses(PublicIps=[public_ip])["Addresses"][0]


class TestElasticIps:
    def test_refused_while_natgw_holds_it_then_moved(self, world, ec2, cloud):
        zone = world.zones[0]
        gw = make_gateway(world, zone, "spoke", eip=zone.eip)
        with pytest.raises(CloudError, match="in use"):
            cloud.launch(gw)
        # Nothing was left running by the refusal.
        running = ec2.describe_instances(Filters=[{"Name": "tag:tidewall:gateway", "Values": ["spoke"]}])
        assert all(
            i["State"]["Name"] == "terminated" for r in running["Reservations"] for i in r["Instances"]
        )

        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        out = cloud.launch(gw)
        assert out["public_ip"] == zone.eip
        address = _address(ec2, zone.eip)
        assert address["InstanceId"] == out["instance_id"]
        assert address["AllocationId"] == zone.allocation_id
        instance = ec2.describe_instances(InstanceIds=[out["instance_id"]])["Reservations"][0]["Instances"][0]
        assert instance["SubnetId"] == zone.public_subnet_id
        assert {"Key": "Name", "Value": "spoke"} in instance["Tags"]
        assert out["private_ip"] == instance["PrivateIpAddress"]

    def test_refused_while_a_running_gateway_holds_it(self, world, ec2, cloud):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        launch(cloud, make_gateway(world, zone, "first", eip=zone.eip))
        with pytest.raises(CloudError, match="in use"):
            cloud.launch(make_gateway(world, world.zones[1], "second", eip=zone.eip))

    def test_unknown_eip_and_unknown_subnet_are_refused(self, world, cloud):
        with pytest.raises(CloudError):
            cloud.launch(make_gateway(world, world.zones[0], "spoke", eip="203.0.113.77"))
        with pytest.raises(CloudError):
            cloud.subnet_id_for(world.vpc_id, "10.9.9.0/24")

    def test_terminate_frees_a_given_eip_and_releases_only_its_own(self, world, ec2, cloud):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        given = launch(cloud, make_gateway(world, zone, "given", eip=zone.eip))
        own = launch(cloud, make_gateway(world, world.zones[1], "own"))
        assert own.public_ip not in {z.eip for z in world.zones}

        cloud.terminate(given)
        cloud.terminate(own)

        address = _address(ec2, zone.eip)  # still allocated: it belongs to the user
        assert not address.get("InstanceId") and not address.get("AssociationId")
        remaining = {a["PublicIp"] for a in ec2.describe_addresses()["Addresses"]}
        assert own.public_ip not in remaining
        for gw in (given, own):
            state = ec2.describe_instances(InstanceIds=[gw.instance_id])["Reservations"][0]["Instances"][0]
            assert state["State"]["Name"] == "terminated"
        # The freed address can be handed to the next gateway.
        assert cloud.launch(make_gateway(world, zone, "again", eip=zone.eip))["public_ip"] == zone.eip

    def test_resize_changes_the_instance_type_and_keeps_the_eip(self, world, ec2, cloud):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        gw = launch(cloud, make_gateway(world, zone, "spoke", eip=zone.eip))
        cloud.resize(gw, "c5.large")
        instance = ec2.describe_instances(InstanceIds=[gw.instance_id])["Reservations"][0]["Instances"][0]
        assert instance["InstanceType"] == "c5.large"
        assert instance["State"]["Name"] == "running"
        assert _address(ec2, zone.eip)["InstanceId"] == gw.instance_id


class TestRouting:
    @pytest.fixture
    def spokes(self, world, ec2, cloud):
        """Primary in zone a, HA in zone b (both with their zone's EIP); NAT gateways of a and b deleted."""
        a, b, _ = world.zones
        for zone in (a, b):
            ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        primary = launch(cloud, make_gateway(world, a, "spoke", eip=a.eip, snat=True))
        ha = launch(cloud, make_gateway(world, b, "spoke-hagw", primary="spoke", eip=b.eip))
        return primary, ha

    def test_orphaned_routes_go_to_the_zone_spoke_live_ones_stay(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        a, b, c = world.zones
        cloud.routing_changed(world.vpc_id, [primary, ha])
        assert default_target(ec2, a.private_route_table_id) == primary.instance_id
        assert default_target(ec2, b.private_route_table_id) == ha.instance_id
        assert default_target(ec2, c.private_route_table_id) == c.nat_gateway_id

    def test_without_snat_on_the_primary_nothing_moves(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        primary.snat = False
        cloud.routing_changed(world.vpc_id, [primary, ha])
        assert default_target(ec2, world.zones[0].private_route_table_id) == world.zones[0].nat_gateway_id
        assert default_target(ec2, world.zones[1].private_route_table_id) == world.zones[1].nat_gateway_id

    def test_zone_without_a_spoke_goes_to_the_primary(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        c = world.zones[2]
        ec2.delete_nat_gateway(NatGatewayId=c.nat_gateway_id)
        cloud.routing_changed(world.vpc_id, [primary, ha])
        assert default_target(ec2, c.private_route_table_id) == primary.instance_id

    def test_a_route_to_a_live_spoke_is_not_rebalanced(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        b = world.zones[1]
        ec2.replace_route(
            RouteTableId=b.private_route_table_id,
            DestinationCidrBlock="0.0.0.0/0",
            InstanceId=primary.instance_id,
        )
        cloud.routing_changed(world.vpc_id, [primary, ha])
        assert default_target(ec2, b.private_route_table_id) == primary.instance_id

    def test_deleting_a_spoke_moves_its_routes_to_another_live_one(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        b = world.zones[1]
        cloud.routing_changed(world.vpc_id, [primary, ha])
        # The controller calls the hook without the departing gateway, before terminating it.
        cloud.routing_changed(world.vpc_id, [primary])
        cloud.terminate(ha)
        assert default_target(ec2, b.private_route_table_id) == primary.instance_id

    def test_deleting_the_last_spoke_leaves_the_route_for_the_natgw_restore(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        a = world.zones[0]
        cloud.routing_changed(world.vpc_id, [primary, ha])
        cloud.routing_changed(world.vpc_id, [primary])
        cloud.terminate(ha)
        cloud.routing_changed(world.vpc_id, [])
        cloud.terminate(primary)
        assert default_target(ec2, a.private_route_table_id) == primary.instance_id  # blackholed, left alone

    def test_missing_default_route_is_created(self, world, ec2, cloud, spokes):
        primary, ha = spokes
        c = world.zones[2]
        ec2.delete_route(RouteTableId=c.private_route_table_id, DestinationCidrBlock="0.0.0.0/0")
        cloud.routing_changed(world.vpc_id, [primary, ha])
        assert default_target(ec2, c.private_route_table_id) == primary.instance_id
        # The public route tables keep their internet gateway.
        assert default_target(ec2, c.public_route_table_id) == world.igw_id
