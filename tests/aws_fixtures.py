"""A moto VPC laid out like a production one, and helpers around it.

Per availability zone: a public subnet routed to the internet gateway, a NAT gateway with its
own Elastic IP in it, and a private subnet whose route table sends 0.0.0.0/0 to that zone's
NAT gateway.
"""

import contextlib
import datetime
from dataclasses import dataclass, field

import boto3
from moto import mock_aws

from tidewall.core.Globals import Globals
from tidewall.lib import ec2_reads, s3
from tidewall.lib.gateway_size import PERIOD_SECONDS

REGION = "us-east-1"
IMAGE_ID = "ami-0123456789abcdef0"  # moto accepts any image id; listing its images is slow


@dataclass
class VpcLayout:
    vpc_id: str
    igw_id: str
    public_rtb: str
    zones: list = field(default_factory=list)
    public_subnets: list = field(default_factory=list)
    public_cidrs: list = field(default_factory=list)
    private_subnets: list = field(default_factory=list)
    private_rtbs: list = field(default_factory=list)
    natgw_ids: list = field(default_factory=list)
    eips: list = field(default_factory=list)
    allocation_ids: list = field(default_factory=list)
    private_ips: list = field(default_factory=list)


class StaticClientManager:
    """Stands in for the run's AwsClientManager: fixed clients in one region."""

    def __init__(self, region=REGION):
        self.region = region
        self._clients = {}

    def _client(self, service):
        if service not in self._clients:
            self._clients[service] = boto3.client(service, region_name=self.region)
        return self._clients[service]

    ec2 = property(lambda self: self._client("ec2"))
    cw = property(lambda self: self._client("cloudwatch"))

    def getEc2Client(self):
        return self.ec2

    def getCwClient(self):
        return self.cw

    def getS3Client(self):
        return self._client("s3")


@contextlib.contextmanager
def mocked_aws(monkeypatch):
    """moto in place of AWS with the process-wide client manager on it; the run's caches forgotten after."""
    for key, value in {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing"}.items():
        monkeypatch.setenv(key, value)
    with mock_aws():
        Globals.reset()
        Globals.aws_client_manager = StaticClientManager()
        try:
            yield Globals.aws_client_manager
        finally:
            Globals.reset()
            ec2_reads.forget(subnets=True)
            s3.clear_registry()


def build_vpc(ec2, zones=3, region=REGION):
    vpc_id = ec2.create_vpc(CidrBlock="10.20.0.0/16")["Vpc"]["VpcId"]
    igw_id = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
    ec2.attach_internet_gateway(InternetGatewayId=igw_id, VpcId=vpc_id)
    public_rtb = ec2.create_route_table(VpcId=vpc_id)["RouteTable"]["RouteTableId"]
    ec2.create_route(RouteTableId=public_rtb, DestinationCidrBlock="0.0.0.0/0", GatewayId=igw_id)
    layout = VpcLayout(vpc_id=vpc_id, igw_id=igw_id, public_rtb=public_rtb)
    for i in range(zones):
        zone = f"{region}{'abcdef'[i]}"
        cidr = f"10.20.{i}.0/24"
        public = ec2.create_subnet(VpcId=vpc_id, CidrBlock=cidr, AvailabilityZone=zone)["Subnet"]["SubnetId"]
        ec2.associate_route_table(RouteTableId=public_rtb, SubnetId=public)
        private = ec2.create_subnet(VpcId=vpc_id, CidrBlock=f"10.20.{100 + i}.0/24", AvailabilityZone=zone)
        private = private["Subnet"]["SubnetId"]
        eip = ec2.allocate_address(Domain="vpc")
        natgw = ec2.create_nat_gateway(
            SubnetId=public,
            AllocationId=eip["AllocationId"],
            TagSpecifications=[
                {"ResourceType": "natgateway", "Tags": [{"Key": "Name", "Value": f"nat-{zone}"}]}
            ],
        )["NatGateway"]
        rtb = ec2.create_route_table(VpcId=vpc_id)["RouteTable"]["RouteTableId"]
        ec2.create_route(
            RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=natgw["NatGatewayId"]
        )
        ec2.associate_route_table(RouteTableId=rtb, SubnetId=private)
        layout.zones.append(zone)
        layout.public_subnets.append(public)
        layout.public_cidrs.append(cidr)
        layout.private_subnets.append(private)
        layout.private_rtbs.append(rtb)
        layout.natgw_ids.append(natgw["NatGatewayId"])
        layout.eips.append(eip["PublicIp"])
        layout.allocation_ids.append(eip["AllocationId"])
        layout.private_ips.append(natgw["NatGatewayAddresses"][0]["PrivateIp"])
    return layout


def natgw_info(layout, i):
    """The NAT-gateway info record of zone i."""
    return {
        "subnet_id": layout.public_subnets[i],
        "subnet_cidr": layout.public_cidrs[i],
        "initial_size": "t3.small",
        "size": "t3.small",
        "nat_gw_id": layout.natgw_ids[i],
        "private_ip": layout.private_ips[i],
        "eip": layout.eips[i],
    }


def default_route(ec2, rtb):
    table = ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
    return next(r for r in table["Routes"] if r.get("DestinationCidrBlock") == "0.0.0.0/0")


def launch_instance(ec2, subnet_id, allocation_id=None):
    """A running instance in the subnet, optionally holding an Elastic IP (a spoke gateway)."""
    instance = ec2.run_instances(
        ImageId=IMAGE_ID, MinCount=1, MaxCount=1, SubnetId=subnet_id, InstanceType="t3.small"
    )
    instance_id = instance["Instances"][0]["InstanceId"]
    if allocation_id:
        ec2.associate_address(AllocationId=allocation_id, InstanceId=instance_id, AllowReassociation=True)
    return instance_id


def put_natgw_metrics(cw, nat_gw_id, mbps_by_days_ago, connections=100):
    """One datapoint of the sizing's period per entry: {days ago: Mbit/s} for both byte metrics."""
    now = datetime.datetime.now(datetime.UTC)
    data = []
    for days_ago, mbps in mbps_by_days_ago.items():
        when = now - datetime.timedelta(days=days_ago, minutes=7)
        value = mbps * 1_000_000 / 8 * PERIOD_SECONDS
        for name in ("BytesOutToDestination", "BytesInFromSource"):
            data.append(_datum(name, nat_gw_id, when, value, "Bytes"))
        data.append(_datum("ActiveConnectionCount", nat_gw_id, when, connections, "Count"))
    cw.put_metric_data(Namespace="AWS/NATGateway", MetricData=data)


def _datum(name, nat_gw_id, when, value, unit):
    return {
        "MetricName": name,
        "Dimensions": [{"Name": "NatGatewayId", "Value": nat_gw_id}],
        "Timestamp": when,
        "Value": value,
        "Unit": unit,
    }
