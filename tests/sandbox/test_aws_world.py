"""The simulated AWS: server lifecycle, the seeded VPC, and the world as real AWS would show it."""

import datetime
import os
import socket
import threading

import pytest
from sandbox_helpers import launch, make_gateway

from tidewall.sandbox.aws import AwsSandbox


class TestServer:
    def test_credentials_and_endpoint_only_while_running(self, monkeypatch):
        monkeypatch.setenv("AWS_ACCESS_KEY_ID", "AKIAREALUSERKEY")
        monkeypatch.setenv("AWS_PROFILE", "production")
        sb = AwsSandbox()
        sb.start()
        try:
            assert sb.endpoint_url.startswith("http://127.0.0.1:")
            assert os.environ["AWS_ACCESS_KEY_ID"] != "AKIAREALUSERKEY"
            assert "AWS_PROFILE" not in os.environ
            assert os.environ["AWS_ENDPOINT_URL"] == sb.endpoint_url
            assert sb.client("sts").get_caller_identity()["Account"] == sb.account_id
            assert sb.aws_config()["endpoint_url"] == sb.endpoint_url
        finally:
            sb.stop()
        assert os.environ["AWS_ACCESS_KEY_ID"] == "AKIAREALUSERKEY"
        assert os.environ["AWS_PROFILE"] == "production"
        assert "AWS_ENDPOINT_URL" not in os.environ
        sb.stop()  # a second stop is harmless

    def test_a_client_stalled_mid_body_holds_up_only_its_own_request(self, sandbox):
        s3 = sandbox.client("s3", user_agent=None)
        s3.create_bucket(Bucket="stalled-upload")
        host, _, port = sandbox.endpoint_url.rpartition("//")[2].partition(":")
        auth = "AWS4-HMAC-SHA256 Credential=AKIA/20260101/us-east-1/s3/aws4_request, SignedHeaders=host, Signature=x"
        with socket.create_connection((host, int(port))) as stalled:
            # A PutObject whose process stops (SIGSTOP, a slow network) after 3 of its 100 bytes.
            stalled.sendall(
                f"PUT /stalled-upload/k HTTP/1.1\r\nHost: {host}:{port}\r\nAuthorization: {auth}\r\n"
                "Content-Length: 100\r\n\r\nabc".encode()
            )
            answered = []
            other = threading.Thread(
                target=lambda: answered.append(s3.list_objects_v2(Bucket="stalled-upload"))
            )
            other.daemon = True
            other.start()
            other.join(30)
            assert answered and answered[0]["KeyCount"] == 0


class TestSeeding:
    def test_default_layout(self, sandbox, ec2):
        world = sandbox.seed()
        assert len(world.zones) == 3
        assert len({z.az for z in world.zones}) == 3
        for zone in world.zones:
            public = ec2.describe_route_tables(RouteTableIds=[zone.public_route_table_id])["RouteTables"][0]
            assert {"DestinationCidrBlock": "0.0.0.0/0", "GatewayId": world.igw_id}.items() <= next(
                r for r in public["Routes"] if r["DestinationCidrBlock"] == "0.0.0.0/0"
            ).items()
            assert zone.public_subnet_id in [a.get("SubnetId") for a in public["Associations"]]
            natgw = ec2.describe_nat_gateways(NatGatewayIds=[zone.nat_gateway_id])["NatGateways"][0]
            assert natgw["State"] == "available"
            assert natgw["SubnetId"] == zone.public_subnet_id
            assert natgw["NatGatewayAddresses"][0]["PublicIp"] == zone.eip
            assert natgw["NatGatewayAddresses"][0]["AllocationId"] == zone.allocation_id
            private = ec2.describe_route_tables(RouteTableIds=[zone.private_route_table_id])["RouteTables"][0]
            default = next(r for r in private["Routes"] if r["DestinationCidrBlock"] == "0.0.0.0/0")
            assert default["NatGatewayId"] == zone.nat_gateway_id
            assert [a.get("SubnetId") for a in private["Associations"]] == [zone.private_subnet_id]
        assert len({z.eip for z in world.zones}) == 3
        sandbox.client("s3").head_bucket(Bucket=world.bucket)

    def test_metrics_differ_per_zone(self, sandbox):
        world = sandbox.seed()
        cw = sandbox.client("cloudwatch")
        end = datetime.datetime.now(datetime.UTC)
        peaks = []
        for zone in world.zones:
            points = cw.get_metric_statistics(
                Namespace="AWS/NATGateway",
                MetricName="BytesOutToDestination",
                Dimensions=[{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}],
                StartTime=end - datetime.timedelta(days=4),
                EndTime=end,
                Period=86400,
                Statistics=["Maximum"],
            )["Datapoints"]
            assert len(points) >= 3  # several days of data
            peaks.append(max(p["Maximum"] for p in points))
        assert peaks[0] > peaks[1] > peaks[2]

    def test_zone_count_is_configurable_and_bounded(self, sandbox):
        assert len(sandbox.seed(nat_gateways=2, metrics=False).zones) == 2
        zones = sandbox.client("ec2").describe_availability_zones()["AvailabilityZones"]
        with pytest.raises(ValueError, match="availability zones"):
            sandbox.seed(nat_gateways=len(zones) + 1, metrics=False)


class TestDescribeWorld:
    def test_before_the_migration(self, sandbox, world):
        rows = sandbox.describe_world(world.vpc_id)
        assert [r["subnet_id"] for r in rows] == [z.public_subnet_id for z in world.zones]
        for row, zone in zip(rows, world.zones, strict=True):
            assert row["cidr"] == zone.public_cidr
            assert row["original_eip"] == zone.eip
            assert row["nat_gateway"] == zone.nat_gateway_id
            assert row["spoke_gateway"] is None
            assert row["private_routes"] == [zone.nat_gateway_id]

    def test_deleted_natgw_shows_blackhole_despite_stale_route_state(self, sandbox, world, ec2):
        zone = world.zones[1]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        # The simulated AWS still calls the route active; real AWS would not.
        route = next(
            r
            for r in ec2.describe_route_tables(RouteTableIds=[zone.private_route_table_id])["RouteTables"][0][
                "Routes"
            ]
            if r["DestinationCidrBlock"] == "0.0.0.0/0"
        )
        assert route["State"] == "active"
        row = sandbox.describe_world(world.vpc_id)[1]
        assert row["nat_gateway"] is None
        assert row["private_routes"] == ["blackhole"]
        assert row["original_eip"] == zone.eip

    def test_spoke_gateway_with_the_original_eip(self, sandbox, world, ec2, cloud):
        zone = world.zones[0]
        ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
        gw = launch(cloud, make_gateway(world, zone, "spoke", eip=zone.eip, snat=True))
        cloud.routing_changed(world.vpc_id, [gw])
        row = sandbox.describe_world(world.vpc_id)[0]
        assert row["spoke_gateway"] == {"name": "spoke", "public_ip": zone.eip, "instance_id": gw.instance_id}
        assert row["private_routes"] == ["spoke"]
        ec2.terminate_instances(InstanceIds=[gw.instance_id])
        row = sandbox.describe_world(world.vpc_id)[0]
        assert row["spoke_gateway"] is None
        assert row["private_routes"] == ["blackhole"]
