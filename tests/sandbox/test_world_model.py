"""The simulated EC2 as a real one behaves: NAT gateways that take time and hold their Elastic IPs until
deleted, blackholed routes, describes that lag a create, idempotent creates, faults injected into the
tool's calls only; and the egress each private subnet has meanwhile."""

import pytest
from botocore.exceptions import ClientError

from fake_time import FakeTime
from tidewall.lib.aws_cred import AwsClientManager
from tidewall.sandbox import checks
from tidewall.sandbox.aws import ONPREM_CIDR, AwsSandbox
from tidewall.sandbox.chaos import THROTTLE
from tidewall.sandbox.clock import Durations, WorldClock
from tidewall.sandbox.controller import SimulatedController
from tidewall.sandbox.egress import Egress, EgressMonitor
from tidewall.sandbox.timeline import render_svg


@pytest.fixture(scope="module")
def timed():
    """A simulated AWS whose world clock moves only when a test moves it."""
    t = FakeTime()
    clock = WorldClock(1.0, monotonic=t, sleep=t.sleep)
    sb = AwsSandbox(clock=clock, durations=Durations(), private_natgw=True, secondary_eip=True)
    sb.start()
    sb.time = t
    yield sb
    sb.stop()


@pytest.fixture
def world(timed):
    return timed.seed(metrics=False)


@pytest.fixture
def ec2(timed):
    return timed.client("ec2", user_agent=None)


def natgw(ec2, nat_gw_id):
    return ec2.describe_nat_gateways(NatGatewayIds=[nat_gw_id])["NatGateways"][0]


def default_route(ec2, table_id):
    table = ec2.describe_route_tables(RouteTableIds=[table_id])["RouteTables"][0]
    return next(r for r in table["Routes"] if r.get("DestinationCidrBlock") == "0.0.0.0/0")


def address(ec2, public_ip):
    return ec2.describe_addresses(PublicIps=[public_ip])["Addresses"][0]


def spoke_instance(ec2, subnet_id):
    image = ec2.describe_images()["Images"][0]["ImageId"]
    return ec2.run_instances(ImageId=image, MinCount=1, MaxCount=1, SubnetId=subnet_id)["Instances"][0][
        "InstanceId"
    ]


class TestNatGatewayLife:
    def test_deletion_holds_the_eip_until_deleted_then_frees_it_and_blackholes_routes(
        self, timed, world, ec2
    ):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        assert natgw(ec2, zone.nat_gateway_id)["State"] == "deleting"
        assert address(ec2, zone.eip).get("AssociationId")
        assert default_route(ec2, zone.private_route_table_id)["State"] == "blackhole"
        instance = spoke_instance(ec2, zone.public_subnet_id)
        with pytest.raises(ClientError, match="Resource.AlreadyAssociated"):
            ec2.associate_address(
                AllocationId=zone.allocation_id, InstanceId=instance, AllowReassociation=True
            )
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)  # asking again changes nothing

        timed.time.now += 60
        gone = natgw(ec2, zone.nat_gateway_id)
        assert gone["State"] == "deleted" and gone["NatGatewayAddresses"][0]["PublicIp"] == zone.eip
        freed = address(ec2, zone.eip)
        assert freed["AllocationId"] == zone.allocation_id and not freed.get("AssociationId")
        eni = gone["NatGatewayAddresses"][0]["NetworkInterfaceId"]
        assert eni not in {
            n["NetworkInterfaceId"] for n in ec2.describe_network_interfaces()["NetworkInterfaces"]
        }
        ec2.associate_address(AllocationId=zone.allocation_id, InstanceId=instance)

    def test_a_create_is_pending_unseen_for_a_moment_and_idempotent(self, timed, world, ec2):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        timed.time.now += 60
        args = {"SubnetId": zone.public_subnet_id, "AllocationId": zone.allocation_id, "ClientToken": "t-1"}
        created = ec2.create_nat_gateway(**args, PrivateIpAddress="10.0.0.77")["NatGateway"]
        assert created["State"] == "pending" and created["NatGatewayAddresses"][0]["PrivateIp"] == "10.0.0.77"
        assert ec2.create_nat_gateway(**args)["NatGateway"]["NatGatewayId"] == created["NatGatewayId"]
        with pytest.raises(ClientError, match="NatGatewayNotFound"):
            natgw(ec2, created["NatGatewayId"])
        listed = ec2.describe_nat_gateways(Filters=[{"Name": "subnet-id", "Values": [zone.public_subnet_id]}])
        assert created["NatGatewayId"] not in {n["NatGatewayId"] for n in listed["NatGateways"]}
        timed.time.now += 10
        assert natgw(ec2, created["NatGatewayId"])["State"] == "pending"
        timed.time.now += 50
        assert natgw(ec2, created["NatGatewayId"])["State"] == "available"

    def test_an_eip_still_held_makes_the_new_natgw_fail(self, timed, world, ec2):
        zone, other = world.zones[0], world.zones[1]
        created = ec2.create_nat_gateway(SubnetId=other.public_subnet_id, AllocationId=zone.allocation_id)
        timed.time.now += 60
        failed = natgw(ec2, created["NatGateway"]["NatGatewayId"])
        assert (failed["State"], failed["FailureCode"]) == ("failed", "Resource.AlreadyAssociated")
        assert natgw(ec2, zone.nat_gateway_id)["NatGatewayAddresses"][0]["PublicIp"] == zone.eip


class TestSeedingOptions:
    def test_a_private_natgw_with_an_onprem_route_and_a_secondary_eip_listed_first(self, world, ec2):
        private = natgw(ec2, world.private_natgw_id)
        assert private["ConnectivityType"] == "private" and not private["NatGatewayAddresses"][0].get(
            "PublicIp"
        )
        table = ec2.describe_route_tables(RouteTableIds=[world.zones[2].private_route_table_id])[
            "RouteTables"
        ][0]
        assert {"DestinationCidrBlock": ONPREM_CIDR, "NatGatewayId": world.private_natgw_id}.items() <= next(
            r for r in table["Routes"] if r.get("DestinationCidrBlock") == ONPREM_CIDR
        ).items()
        addresses = natgw(ec2, world.zones[1].nat_gateway_id)["NatGatewayAddresses"]
        assert [(a["PublicIp"], a["IsPrimary"]) for a in addresses] == [
            (world.zones[1].secondary_eip, False),
            (world.zones[1].eip, True),
        ]

    def test_the_checks_see_a_touched_private_natgw_and_follow_the_secondary_eip(self, timed, world, ec2):
        found = checks.Checks()
        checks.check_private_natgw(found, timed, world, "now")
        zone = world.zones[1]
        assert found.passed
        assert checks.secondary_eip_fate(timed, world) == [
            f"{zone.secondary_eip} ({zone.az}): on NAT gateway {zone.nat_gateway_id}"
        ]
        ec2.replace_route(
            RouteTableId=zone.private_route_table_id,
            DestinationCidrBlock=ONPREM_CIDR,
            NatGatewayId=zone.nat_gateway_id,
        )
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        timed.time.now += 60
        checks.check_private_natgw(found, timed, world, "now")
        assert not found.items[-1].passed and zone.private_route_table_id in found.items[-1].detail
        assert checks.secondary_eip_fate(timed, world) == [
            f"{zone.secondary_eip} ({zone.az}): free (allocated, not associated)"
        ]


class TestFaultsOnlyHitTheTool:
    class Throttle:
        """Throttles the tool's next `n` calls."""

        def __init__(self, n):
            self.n = n
            self.describe_lag = 0.0

        def aws_fault(self, service, op):
            self.n -= 1
            return THROTTLE if self.n >= 0 else None

    def tool_client(self, timed, attempts):
        config = {
            "controller_ip": "127.0.0.1",
            "controller_user": "admin",
            "controller_password_env": "PW",
            "aws_account_name": "sandbox",
            "region": timed.region,
            "vpc_id": "vpc-0123456789abcdef0",
            "s3_bucket": "bucket",
            "spoke_gw_name": "spoke",
            "aws": dict(timed.aws_config(), max_attempts=attempts),
            "waits": {"time_scale": 0.001},
        }
        return AwsClientManager(config).getEc2Client()

    def test_the_tools_retries_come_through_a_burst_and_the_sandbox_is_never_hit(self, timed, world):
        timed.world.chaos = self.Throttle(3)
        try:
            assert timed.client("ec2").describe_vpcs(VpcIds=[world.vpc_id])["Vpcs"]  # the sandbox's own
            assert self.tool_client(timed, 5).describe_vpcs(VpcIds=[world.vpc_id])["Vpcs"]
            timed.world.chaos = self.Throttle(3)
            with pytest.raises(ClientError, match="RequestLimitExceeded"):
                self.tool_client(timed, 2).describe_vpcs(VpcIds=[world.vpc_id])
        finally:
            timed.world.chaos = None


class TestEgress:
    def test_a_gap_spans_target_changes_and_a_window_cuts_the_record(self):
        monitor = EgressMonitor("123456789012", "us-east-1", "vpc-1")
        monitor.timeline["subnet-1"] = [
            (0, Egress(True, "A", "nat-1")),
            (10, Egress(False, None, "nat-1")),
            (15, Egress(False, None, "no route")),
            (30, Egress(True, "B", "i-1")),
            (40, Egress(True, "A", "nat-2")),
        ]
        (whole,) = monitor.stats(5, 50)
        assert (whole.outage_s, whole.longest_gap_s, whole.egress_ips) == (20, 20, ["A", "B", "A"])
        assert whole.flow_resets == 3  # nat-1 -> no route -> i-1 -> nat-2
        svg = render_svg(monitor, {"execute": (0, 40)})
        assert svg.count("<rect") == 5 + 3 and svg.count('fill="#e15759"') == 3  # 2 dark stretches, legend
        (inside,) = monitor.stats(12, 20)
        assert (inside.outage_s, inside.longest_gap_s, inside.egress_ips, inside.flow_resets) == (8, 8, [], 1)
        assert monitor.ips_used() == {"A", "B"}

    def test_outage_and_egress_ips_per_private_subnet(self, timed, world, ec2):
        monitor = EgressMonitor(timed.account_id, timed.region, world.vpc_id)
        timed.world.monitor = monitor
        try:
            start = timed.time.now
            timed.world.changed()
            a, b = world.zones[0], world.zones[1]
            timed.time.now += 10
            ec2.replace_route(
                RouteTableId=a.private_route_table_id,
                DestinationCidrBlock="0.0.0.0/0",
                NatGatewayId=b.nat_gateway_id,
            )
            timed.time.now += 30
            ec2.delete_nat_gateway(NatGatewayId=b.nat_gateway_id)  # zones a and b lose egress
            timed.time.now += 100
            ec2.describe_vpcs()  # the NAT gateway's deletion is done at +60; nothing changes egress
            stats = {s.zone: s for s in monitor.stats(start, timed.time.now)}
        finally:
            timed.world.monitor = None
        assert (stats[a.az].outage_s, stats[a.az].egress_ips) == (100, [a.eip, b.eip])
        assert (stats[b.az].outage_s, stats[b.az].longest_gap_s, stats[b.az].egress_ips) == (
            100,
            100,
            [b.eip],
        )
        assert stats[world.zones[2].az].outage_s == 0
        assert monitor.ips_used() == {a.eip, b.eip, world.zones[2].eip}

    @pytest.mark.parametrize("named_by", ["InstanceId", "NetworkInterfaceId"])
    def test_a_spoke_resize_stops_its_instance_and_its_zone_loses_egress(self, timed, world, ec2, named_by):
        ctl = SimulatedController(
            users={"admin": "pw"}, cloud=timed.cloud(), clock=timed.clock, durations=Durations()
        )
        monitor = EgressMonitor(timed.account_id, timed.region, world.vpc_id, serves=ctl.backend.serves)
        timed.world.monitor = monitor
        ctl.backend.on_change = timed.world.changed
        try:
            zone = world.zones[0]
            ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
            timed.time.now += 60
            gw = ctl.add_gateway(
                "spoke", vpc_id=world.vpc_id, subnet_cidr=zone.public_cidr, eip=zone.eip, snat=True
            )
            if named_by == "NetworkInterfaceId":  # a route to the spoke's interface leads to the spoke
                (reservation,) = ec2.describe_instances(InstanceIds=[gw.instance_id])["Reservations"]
                eni = reservation["Instances"][0]["NetworkInterfaces"][0]["NetworkInterfaceId"]
                ec2.replace_route(
                    RouteTableId=zone.private_route_table_id,
                    DestinationCidrBlock="0.0.0.0/0",
                    NetworkInterfaceId=eni,
                )
            start = timed.time.now
            reply = ctl.handle(
                {
                    "action": "change_gateway_size",
                    "gw_name": "spoke",
                    "gw_size": "c5.large",
                    "CID": ctl.issue_cid("admin"),
                }
            )
            stats = {s.zone: s for s in monitor.stats(start, timed.time.now + 10)}
        finally:
            timed.world.monitor = None
        assert reply["return"] is True, reply
        assert timed.time.now - start == 120, reply
        assert (stats[zone.az].outage_s, stats[zone.az].egress_ips) == (120, [zone.eip])
