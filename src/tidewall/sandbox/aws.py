"""A simulated AWS account on this machine, with a VPC laid out like a production one.

`AwsSandbox` runs moto's server on 127.0.0.1 (a free port), points this process at it with
dummy credentials while it runs, seeds a VPC whose private subnets leave through one NAT
gateway per availability zone, and describes that VPC the way real AWS would show it.

moto serves every region at the same endpoint: `regions` names the ones the sandbox models and seeds in
(the first is its home region, where a seed goes unless told otherwise, and where the backup bucket is).

With `durations` (a `Durations`), EC2 behaves as the real one does (`tidewall.sandbox.awsworld`):
NAT gateways take time to create and delete, hold their Elastic IPs until deleted, blackhole their
routes, and are not visible at once; without (the default) it is moto as it is, where everything is
instant. Either way every request passes the world's front, which can inject a `Chaos` and tell an
egress monitor about changes.
"""

import datetime
import logging
import math
import os
import random
import threading
import urllib.request
import uuid
from dataclasses import asdict, dataclass, field

import boto3
from botocore.config import Config
from moto.core.models import DEFAULT_ACCOUNT_ID
from moto.server import ThreadedMotoServer

from tidewall.sandbox.accounting import INTERNAL_USER_AGENT
from tidewall.sandbox.awsworld import AwsWorld, WorldMiddleware
from tidewall.sandbox.clock import WorldClock
from tidewall.sandbox.vpcview import (
    GATEWAY_TAG,
    HOLDING_NATGW_STATES,
    VpcView,
    default_route,
    egress_ips,
    tag_value,
)

logger = logging.getLogger("tidewall.sandbox.aws")

DUMMY_ACCESS_KEY = "AKIATIDEWALLSANDBOX0"
DUMMY_SECRET_KEY = "tidewall-sandbox-secret-not-a-real-key"

VPC_CIDR = "10.0.0.0/16"
# What the seeded private NAT gateway serves: a route to an on-premises network in every private table.
ONPREM_CIDR = "172.16.0.0/12"
# Whether `tidewall sandbox` (and --serve) seeds, unless told otherwise, a private NAT gateway that the
# migration must leave alone, and a secondary Elastic IP listed before NAT gateway 1's primary one. Off
# while the tool takes every available NAT gateway for one to replace and hands over the first address
# listed; on once it keeps to public NAT gateways and hands over the primary address.
SEED_PRIVATE_NATGW = True
SEED_SECONDARY_EIP = True
# VPC shapes that AWS allows and a migration must handle, seeded on demand (`shapes` of AwsSandbox):
#   twin_natgw  a second public NAT gateway in the first zone's public subnet, serving a private subnet of
#               its own: the migration must refuse the VPC before any change
#   late_eip    EC2 lets go of a deleted NAT gateway's Elastic IPs LATE_EIP_SECONDS after it shows it
#               `deleted` (until then a spoke cannot take them over)
SHAPES = ("twin_natgw", "late_eip")
LATE_EIP_SECONDS = 20.0
TWIN_PRIVATE_CIDR = "10.0.200.0/24"

# Routes other than 0.0.0.0/0 to a NAT gateway (the --specific-routes seeding): a partner network routed
# from the first zone through the second zone's NAT gateway, and a wider range through each zone's own.
PARTNER_CIDR = "203.0.113.0/24"
WIDE_CIDR = "100.64.0.0/16"
BACKUP_BUCKET_PREFIX = "tidewall-sandbox-backups"

# NAT gateway metrics over METRIC_DAYS days: one sample every METRIC_INTERVAL seconds, each
# the traffic of one METRIC_PERIOD (1-minute) window, as the tool reads them. Sparse on purpose: moto answers a metric
# query in time proportional to periods x stored datapoints. Peak Mbit/s and peak active
# connections per zone, in zone order (cycled for more zones): the zones carry clearly
# different volumes, so the replacing spoke gateways come out in different sizes.
METRIC_NAMESPACE = "AWS/NATGateway"
METRIC_DAYS = 3
METRIC_INTERVAL = 3600
METRIC_PERIOD = 60
ZONE_PEAK_MBPS = (320.0, 120.0, 25.0, 60.0, 700.0, 10.0)
ZONE_PEAK_CONNECTIONS = (9000, 4000, 1200, 2500, 30000, 600)

# Process environment while a sandbox runs: dummy credentials, no profile or token of the
# user's, and the endpoint of the simulated AWS for any client that is given none.
_ENV_KEYS = (
    "AWS_ACCESS_KEY_ID",
    "AWS_SECRET_ACCESS_KEY",
    "AWS_SESSION_TOKEN",
    "AWS_SECURITY_TOKEN",
    "AWS_PROFILE",
    "AWS_DEFAULT_PROFILE",
    "AWS_ENDPOINT_URL",
    "AWS_SHARED_CREDENTIALS_FILE",
    "AWS_CONFIG_FILE",
)

_running_lock = threading.Lock()
_running = []  # started sandboxes of this process


class _QuietMotoServer(ThreadedMotoServer):
    """moto's threaded server without a log line per request, behind the world's front."""

    def __init__(self, *args, world=None, worlds=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._world = world
        self._worlds = worlds

    def _server_entry(self):
        from moto.moto_server.werkzeug_app import (
            DomainDispatcherApplication,
            MotoRequestHandler,
            create_backend_app,
        )
        from werkzeug.serving import make_server

        class _Handler(MotoRequestHandler):
            def log_request(self, code="-", size="-"):
                pass

        app = DomainDispatcherApplication(create_backend_app)
        if self._world is not None:
            app = WorldMiddleware(app, self._world, self._worlds)
        self._server = make_server(self._ip_address, self._port, app, True, request_handler=_Handler)
        self._server_ready_event.set()
        self._server.serve_forever()


@dataclass
class SeededZone:
    az: str
    public_subnet_id: str
    public_cidr: str
    private_subnet_id: str
    private_cidr: str
    public_route_table_id: str
    private_route_table_id: str
    nat_gateway_id: str
    eip: str  # public IP of the NAT gateway's (primary) Elastic IP
    allocation_id: str
    peak_mbps: float = 0.0
    peak_connections: int = 0
    secondary_eip: str | None = None  # a secondary Elastic IP of the NAT gateway (seeding option)
    secondary_allocation_id: str | None = None


@dataclass
class SeededVpc:
    vpc_id: str
    cidr: str
    igw_id: str
    bucket: str
    region: str
    zones: list = field(default_factory=list)  # SeededZone, in availability-zone order
    private_natgw_id: str | None = None  # a private NAT gateway (no EIP) for ONPREM_CIDR, to be left alone
    onprem_cidr: str | None = None
    twin_natgw_id: str | None = None  # a second public NAT gateway in zone 0's public subnet (shape)
    twin_route_table_id: str | None = None  # the private route table it serves
    # (route table id, destination, index of the zone whose NAT gateway it was seeded to) of each route
    # other than 0.0.0.0/0 that was seeded to a NAT gateway
    specific_routes: list = field(default_factory=list)

    @property
    def nat_gateway_ids(self):
        return [z.nat_gateway_id for z in self.zones]

    def zone(self, az):
        for zone in self.zones:
            if zone.az == az:
                return zone
        raise KeyError(az)

    def to_dict(self):
        return asdict(self)


class AwsSandbox:
    """moto on 127.0.0.1 playing one AWS account in one region (or in each of `regions`).

    sandbox = AwsSandbox(nat_gateways=3).start()
    seeded = sandbox.seed()
    ...
    sandbox.stop()
    """

    def __init__(
        self,
        nat_gateways=3,
        region="us-east-1",
        *,
        clock=None,
        durations=None,
        private_natgw=False,
        secondary_eip=False,
        regions=None,
        shapes=(),
        specific_routes=False,
    ):
        if int(nat_gateways) < 0:
            raise ValueError("nat_gateways must not be negative")
        self.nat_gateways = int(nat_gateways)
        self.region = region
        self.regions = (region, *[r for r in regions or () if r != region])
        self.clock = clock or WorldClock(1.0)
        self.durations = durations  # None: moto as it is
        self.private_natgw = bool(private_natgw)
        self.secondary_eip = bool(secondary_eip)
        unknown = sorted(set(shapes) - set(SHAPES))
        if unknown:
            raise ValueError(f"unknown VPC shape(s) {', '.join(unknown)}; known: {', '.join(SHAPES)}")
        self.shapes = frozenset(shapes)
        self.specific_routes = bool(specific_routes)
        self.world = None  # the home region's
        self.worlds = {}  # region -> AwsWorld
        self.seeded = None
        self._server = None
        self._port = None
        self._saved_env = None
        self._clients = {}

    # ------------------------------------------------------------ server

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def running(self):
        return self._server is not None

    @property
    def endpoint_url(self):
        if self._port is None:
            raise RuntimeError("the AWS sandbox is not running")
        return f"http://127.0.0.1:{self._port}"

    @property
    def account_id(self):
        return os.environ.get("MOTO_ACCOUNT_ID", DEFAULT_ACCOUNT_ID)

    @property
    def credentials(self):
        return {"access_key_id": DUMMY_ACCESS_KEY, "secret_access_key": DUMMY_SECRET_KEY}

    def aws_config(self):
        """The `aws:` section of a tool configuration that talks to this sandbox."""
        return dict(self.credentials, endpoint_url=self.endpoint_url)

    def start(self):
        if self._server is not None:
            return self
        self.worlds = {r: AwsWorld(self.account_id, r, self.clock, self.durations) for r in self.regions}
        self.world = self.worlds[self.region]
        if self.durations is not None:
            for world in self.worlds.values():
                world.register()
        with _running_lock:
            alone = not _running
            server = _QuietMotoServer(
                ip_address="127.0.0.1", port=0, verbose=False, world=self.world, worlds=self.worlds
            )
            server.start()
            self._server = server
            self._port = server.get_host_and_port()[1]
            _running.append(self)
        if alone:
            # moto keeps its accounts per process: a sandbox started on its own begins empty.
            self._post("/moto-api/reset")
        self._saved_env = {key: os.environ.get(key) for key in _ENV_KEYS}
        for key in _ENV_KEYS:
            os.environ.pop(key, None)
        os.environ.update(
            {
                "AWS_ACCESS_KEY_ID": DUMMY_ACCESS_KEY,
                "AWS_SECRET_ACCESS_KEY": DUMMY_SECRET_KEY,
                "AWS_ENDPOINT_URL": self.endpoint_url,
                "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
                "AWS_CONFIG_FILE": os.devnull,
            }
        )
        logger.info("AWS sandbox listening on %s (%s)", self.endpoint_url, self.region)
        return self

    def stop(self):
        if self._server is None:
            return
        try:
            self._server.stop()
        finally:
            for world in self.worlds.values():
                world.unregister()
            with _running_lock:
                if self in _running:
                    _running.remove(self)
            self._server = None
            self._port = None
            self._clients = {}
            if self._saved_env is not None:
                for key, value in self._saved_env.items():
                    if value is None:
                        os.environ.pop(key, None)
                    else:
                        os.environ[key] = value
                self._saved_env = None

    def _post(self, path):
        request = urllib.request.Request(self.endpoint_url + path, data=b"", method="POST")
        with urllib.request.urlopen(request, timeout=30) as reply:
            reply.read()

    def client(self, service, user_agent=INTERNAL_USER_AGENT, region=None):
        """A boto3 client of the sandbox (one per service, user agent and region, kept while it runs; the
        home region unless `region` is given). By default it is marked as the sandbox's own, so its calls
        stay out of cost counts; pass `user_agent=None` for a client counted like the tool's."""
        region = region or self.region
        key = (service, user_agent) if region == self.region else (service, user_agent, region)
        if key not in self._clients:
            self._clients[key] = self._new_client(service, user_agent, region)
        return self._clients[key]

    def _new_client(self, service, user_agent, region=None):
        config = Config(
            user_agent_extra=user_agent,
            s3={"addressing_style": "path"},
            retries={"max_attempts": 2, "mode": "standard"},
        )
        session = boto3.session.Session(
            aws_access_key_id=DUMMY_ACCESS_KEY,
            aws_secret_access_key=DUMMY_SECRET_KEY,
            region_name=region or self.region,
        )
        return session.client(service, endpoint_url=self.endpoint_url, config=config)

    def cloud(self):
        """The cloud hook for a simulated controller, acting on this sandbox's EC2 (in each of its regions,
        when it has several)."""
        from tidewall.sandbox.accounting import CLOUD_USER_AGENT
        from tidewall.sandbox.cloud import AwsCloud, RegionalCloud

        if len(self.regions) > 1:
            return RegionalCloud(
                {r: self.client("ec2", user_agent=CLOUD_USER_AGENT, region=r) for r in self.regions}
            )
        return AwsCloud(self.client("ec2", user_agent=CLOUD_USER_AGENT))

    def changed(self):
        """Something that may decide egress changed, in any region (the controller's news)."""
        for world in self.worlds.values():
            world.changed()

    # ------------------------------------------------------------ seeding

    def seed(self, nat_gateways=None, metrics=True, region=None, bucket=None):
        """Build the VPC (in the home region, or in `region`), its NAT gateways, the backup bucket (a new
        one, unless `bucket` names one to share) and (unless `metrics` is false) the NAT gateway metrics.
        Seeding takes no world time."""
        region = region or self.region
        with self.worlds[region].instant():
            return self._seed(nat_gateways, metrics, region, bucket)

    def _seed(self, nat_gateways, metrics, region, bucket):
        count = self.nat_gateways if nat_gateways is None else int(nat_gateways)
        ec2 = self.client("ec2", region=region)
        zones = [
            z["ZoneName"]
            for z in ec2.describe_availability_zones(Filters=[{"Name": "state", "Values": ["available"]}])[
                "AvailabilityZones"
            ]
        ]
        zones.sort()
        if count > len(zones):
            raise ValueError(
                f"{count} NAT gateways asked for, but {region} has {len(zones)} availability zones"
            )

        vpc_id = ec2.create_vpc(
            CidrBlock=VPC_CIDR,
            TagSpecifications=[
                {"ResourceType": "vpc", "Tags": [{"Key": "Name", "Value": "tidewall-sandbox"}]}
            ],
        )["Vpc"]["VpcId"]
        igw_id = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
        ec2.attach_internet_gateway(InternetGatewayId=igw_id, VpcId=vpc_id)
        ec2.create_tags(Resources=[igw_id], Tags=[{"Key": "Name", "Value": "tidewall-sandbox-igw"}])

        seeded = SeededVpc(vpc_id=vpc_id, cidr=VPC_CIDR, igw_id=igw_id, bucket="", region=region)
        for i, az in enumerate(zones[:count]):
            seeded.zones.append(self._seed_zone(ec2, vpc_id, igw_id, i, az))
        if self.secondary_eip and seeded.zones:
            self._seed_secondary_eip(ec2, seeded.zones[1 if len(seeded.zones) > 1 else 0], region)
        if self.private_natgw and seeded.zones:
            self._seed_private_natgw(ec2, seeded)
        if "twin_natgw" in self.shapes and seeded.zones:
            self._seed_twin_natgw(ec2, seeded)
        if "late_eip" in self.shapes:
            self.worlds[region].eip_release_lag = LATE_EIP_SECONDS
        if self.specific_routes and seeded.zones:
            self._seed_specific_routes(ec2, seeded)

        if bucket is not None:
            seeded.bucket = bucket
            if metrics:
                self._seed_metrics(seeded)
            self.seeded = seeded
            logger.info(
                "AWS sandbox: seeded %s in %s with %d NAT gateways", vpc_id, region, len(seeded.zones)
            )
            return seeded
        seeded.bucket = f"{BACKUP_BUCKET_PREFIX}-{uuid.uuid4().hex[:12]}"
        s3 = self.client("s3")
        if self.region == "us-east-1":
            s3.create_bucket(Bucket=seeded.bucket)
        else:
            s3.create_bucket(
                Bucket=seeded.bucket, CreateBucketConfiguration={"LocationConstraint": self.region}
            )
        if metrics:
            self._seed_metrics(seeded)
        self.seeded = seeded
        logger.info("AWS sandbox: seeded %s with %d NAT gateways", vpc_id, len(seeded.zones))
        return seeded

    @staticmethod
    def _name_tags(kind, name):
        return [{"ResourceType": kind, "Tags": [{"Key": "Name", "Value": name}]}]

    def _seed_zone(self, ec2, vpc_id, igw_id, i, az):
        public_cidr = f"10.0.{i}.0/24"
        private_cidr = f"10.0.{100 + i}.0/24"
        public_subnet = ec2.create_subnet(
            VpcId=vpc_id,
            CidrBlock=public_cidr,
            AvailabilityZone=az,
            TagSpecifications=self._name_tags("subnet", f"public-{az}"),
        )["Subnet"]["SubnetId"]
        private_subnet = ec2.create_subnet(
            VpcId=vpc_id,
            CidrBlock=private_cidr,
            AvailabilityZone=az,
            TagSpecifications=self._name_tags("subnet", f"private-{az}"),
        )["Subnet"]["SubnetId"]

        public_rtb = ec2.create_route_table(
            VpcId=vpc_id, TagSpecifications=self._name_tags("route-table", f"public-{az}")
        )["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=public_rtb, DestinationCidrBlock="0.0.0.0/0", GatewayId=igw_id)
        ec2.associate_route_table(RouteTableId=public_rtb, SubnetId=public_subnet)

        eip = ec2.allocate_address(
            Domain="vpc", TagSpecifications=self._name_tags("elastic-ip", f"natgw-{az}")
        )
        natgw_id = ec2.create_nat_gateway(
            SubnetId=public_subnet,
            AllocationId=eip["AllocationId"],
            TagSpecifications=self._name_tags("natgateway", f"natgw-{az}"),
        )["NatGateway"]["NatGatewayId"]
        ec2.get_waiter("nat_gateway_available").wait(
            NatGatewayIds=[natgw_id], WaiterConfig={"Delay": 1, "MaxAttempts": 60}
        )

        private_rtb = ec2.create_route_table(
            VpcId=vpc_id, TagSpecifications=self._name_tags("route-table", f"private-{az}")
        )["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=private_rtb, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=natgw_id)
        ec2.associate_route_table(RouteTableId=private_rtb, SubnetId=private_subnet)

        return SeededZone(
            az=az,
            public_subnet_id=public_subnet,
            public_cidr=public_cidr,
            private_subnet_id=private_subnet,
            private_cidr=private_cidr,
            public_route_table_id=public_rtb,
            private_route_table_id=private_rtb,
            nat_gateway_id=natgw_id,
            eip=eip["PublicIp"],
            allocation_id=eip["AllocationId"],
            peak_mbps=ZONE_PEAK_MBPS[i % len(ZONE_PEAK_MBPS)],
            peak_connections=ZONE_PEAK_CONNECTIONS[i % len(ZONE_PEAK_CONNECTIONS)],
        )

    def _seed_secondary_eip(self, ec2, zone, region):
        """A second Elastic IP on the zone's NAT gateway, listed before the primary one (EC2 documents no
        order: only `IsPrimary` tells them apart)."""
        from tidewall.sandbox.awsworld import add_secondary_address

        eip = ec2.allocate_address(
            Domain="vpc", TagSpecifications=self._name_tags("elastic-ip", f"natgw-{zone.az}-secondary")
        )
        add_secondary_address(self.account_id, region, zone.nat_gateway_id, eip["AllocationId"], first=True)
        zone.secondary_eip = eip["PublicIp"]
        zone.secondary_allocation_id = eip["AllocationId"]

    def _seed_specific_routes(self, ec2, seeded):
        """Routes other than 0.0.0.0/0 to the NAT gateways: WIDE_CIDR in each zone's private table to its own
        zone's, PARTNER_CIDR in the first zone's to the second zone's (across zones)."""
        zones = seeded.zones
        wanted = [(z.private_route_table_id, WIDE_CIDR, i) for i, z in enumerate(zones)]
        wanted.append((zones[0].private_route_table_id, PARTNER_CIDR, 1 if len(zones) > 1 else 0))
        for table_id, cidr, index in wanted:
            ec2.create_route(
                RouteTableId=table_id, DestinationCidrBlock=cidr, NatGatewayId=zones[index].nat_gateway_id
            )
        seeded.specific_routes = wanted

    def _seed_private_natgw(self, ec2, seeded):
        """A private NAT gateway (no Elastic IP) in the first zone's private subnet, and a route to an
        on-premises network through it in every private route table: transit traffic the migration must
        leave alone."""
        zone = seeded.zones[0]
        natgw_id = ec2.create_nat_gateway(
            SubnetId=zone.private_subnet_id,
            ConnectivityType="private",
            TagSpecifications=self._name_tags("natgateway", f"natgw-private-{zone.az}"),
        )["NatGateway"]["NatGatewayId"]
        ec2.get_waiter("nat_gateway_available").wait(
            NatGatewayIds=[natgw_id], WaiterConfig={"Delay": 1, "MaxAttempts": 60}
        )
        for z in seeded.zones:
            ec2.create_route(
                RouteTableId=z.private_route_table_id, DestinationCidrBlock=ONPREM_CIDR, NatGatewayId=natgw_id
            )
        seeded.private_natgw_id = natgw_id
        seeded.onprem_cidr = ONPREM_CIDR

    def _seed_twin_natgw(self, ec2, seeded):
        """A second public NAT gateway beside zone 0's, in the same public subnet, with its own Elastic IP,
        and a private subnet of zone 0 whose default route goes through it."""
        zone = seeded.zones[0]
        eip = ec2.allocate_address(
            Domain="vpc", TagSpecifications=self._name_tags("elastic-ip", f"natgw-{zone.az}-twin")
        )
        natgw_id = ec2.create_nat_gateway(
            SubnetId=zone.public_subnet_id,
            AllocationId=eip["AllocationId"],
            TagSpecifications=self._name_tags("natgateway", f"natgw-{zone.az}-twin"),
        )["NatGateway"]["NatGatewayId"]
        ec2.get_waiter("nat_gateway_available").wait(
            NatGatewayIds=[natgw_id], WaiterConfig={"Delay": 1, "MaxAttempts": 60}
        )
        subnet = ec2.create_subnet(
            VpcId=seeded.vpc_id,
            CidrBlock=TWIN_PRIVATE_CIDR,
            AvailabilityZone=zone.az,
            TagSpecifications=self._name_tags("subnet", f"private-{zone.az}-twin"),
        )["Subnet"]["SubnetId"]
        rtb = ec2.create_route_table(
            VpcId=seeded.vpc_id, TagSpecifications=self._name_tags("route-table", f"private-{zone.az}-twin")
        )["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=natgw_id)
        ec2.associate_route_table(RouteTableId=rtb, SubnetId=subnet)
        seeded.twin_natgw_id = natgw_id
        seeded.twin_route_table_id = rtb

    def _seed_metrics(self, seeded):
        """NAT gateway datapoints with a daily cycle; each zone peaks at its own level."""
        cw = self.client("cloudwatch", region=seeded.region)
        end = datetime.datetime.now(datetime.UTC).replace(second=0, microsecond=0)
        end -= datetime.timedelta(minutes=end.minute % 5)
        steps = METRIC_DAYS * 86400 // METRIC_INTERVAL
        for index, zone in enumerate(seeded.zones):
            rng = random.Random(f"{zone.az}-{index}")
            peak_bytes = zone.peak_mbps * 1_000_000 / 8 * METRIC_PERIOD
            data = []
            for step in range(steps):
                when = end - datetime.timedelta(seconds=METRIC_INTERVAL * (step + 1))
                # Busy in the afternoon, quiet at night, never above the zone's peak.
                hour = when.hour + when.minute / 60
                load = 0.55 + 0.35 * math.sin((hour - 9) / 24 * 2 * math.pi) + rng.uniform(-0.05, 0.05)
                load = min(max(load, 0.05), 0.95)
                if step == steps // 3:
                    load = 1.0  # the peak, once
                out_bytes = peak_bytes * load
                dims = [{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}]
                values = {
                    "BytesOutToDestination": (out_bytes, "Bytes"),
                    "BytesInFromSource": (out_bytes * 0.98, "Bytes"),
                    "BytesInFromDestination": (out_bytes * 6.0, "Bytes"),
                    "ActiveConnectionCount": (round(zone.peak_connections * load), "Count"),
                }
                for name, (value, unit) in values.items():
                    data.append(
                        {
                            "MetricName": name,
                            "Dimensions": dims,
                            "Timestamp": when,
                            "Value": float(value),
                            "Unit": unit,
                        }
                    )
            for start in range(0, len(data), 1000):
                cw.put_metric_data(Namespace=METRIC_NAMESPACE, MetricData=data[start : start + 1000])

    # ------------------------------------------------------------ inspection

    def describe_world(self, vpc_id=None, seeded=None):
        """Per public subnet (zone order): what egress looks like now, as real AWS would show it.

        Each entry: az, subnet_id, cidr, original_eip (the primary Elastic IP of the subnet's first NAT
        gateway), secondary_eips (those of its NAT gateway now), nat_gateway (id of the pending/available NAT gateway there now, or None),
        spoke_gateway ({"name", "public_ip", "instance_id"} of a live spoke gateway instance in
        the subnet, or None), private_routes (one label per private route table of the zone:
        NAT gateway id, gateway instance Name, "blackhole" for a route whose target is not live,
        "no route") and private_route_tables (their ids, same order).
        """
        if vpc_id is None:
            if self.seeded is None:
                raise ValueError("no VPC given and none seeded")
            vpc_id = self.seeded.vpc_id
        if seeded is None and self.seeded is not None and self.seeded.vpc_id == vpc_id:
            seeded = self.seeded
        ec2 = self.client("ec2", region=seeded.region if seeded is not None else None)
        view = VpcView(ec2, vpc_id)
        addresses = ec2.describe_addresses()["Addresses"]
        seeded_eips = {}
        if seeded is not None and seeded.vpc_id == vpc_id:
            seeded_eips = {z.public_subnet_id: z.eip for z in seeded.zones}

        private_by_zone = {}
        for table in sorted(view.private_tables(), key=lambda t: t["RouteTableId"]):
            for az in sorted(view.table_zones(table)):
                private_by_zone.setdefault(az, []).append(table)

        world = []
        for subnet in view.public_subnets():
            subnet_id = subnet["SubnetId"]
            natgws = sorted(
                (n for n in view.natgws if n.get("SubnetId") == subnet_id),
                key=lambda n: (str(n.get("CreateTime", "")), n["NatGatewayId"]),
            )
            original_eip = seeded_eips.get(subnet_id)
            if original_eip is None and natgws:
                original_eip = (egress_ips(natgws[0]) or [None])[0]
            holding = [n for n in natgws if n.get("State") in HOLDING_NATGW_STATES]
            current = [n["NatGatewayId"] for n in holding]
            tables = private_by_zone.get(subnet["AvailabilityZone"], [])
            world.append(
                {
                    "az": subnet["AvailabilityZone"],
                    "subnet_id": subnet_id,
                    "cidr": subnet["CidrBlock"],
                    "original_eip": original_eip,
                    "secondary_eips": egress_ips(holding[0])[1:] if holding else [],
                    "nat_gateway": current[0] if current else None,
                    "spoke_gateway": self._spoke_in(view, addresses, subnet_id),
                    "private_routes": [view.target_label(default_route(t)) for t in tables],
                    "private_route_tables": [t["RouteTableId"] for t in tables],
                }
            )
        return world

    @staticmethod
    def _spoke_in(view, addresses, subnet_id):
        for instance_id, instance in sorted(view.instances.items()):
            if instance.get("SubnetId") != subnet_id or not view.instance_is_live(instance_id):
                continue
            if tag_value(instance, GATEWAY_TAG) is None:
                continue
            public_ip = next(
                (a.get("PublicIp") for a in addresses if a.get("InstanceId") == instance_id),
                instance.get("PublicIpAddress"),
            )
            return {
                "name": tag_value(instance, "Name") or instance_id,
                "public_ip": public_ip,
                "instance_id": instance_id,
            }
        return None
