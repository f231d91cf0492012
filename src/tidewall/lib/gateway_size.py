"""Spoke gateway sizes chosen from the NAT gateways' recent CloudWatch traffic.

Peak throughput of a NAT gateway: for each of the last 14 days the largest 5-minute sum of
BytesOutToDestination and of BytesInFromSource, turned into Mbit/s; the peak is the largest
of these daily maxima over both metrics (the two count the same forwarded traffic on its
two legs, so they are not added). Peak connections: the largest 5-minute maximum of
ActiveConnectionCount.

Size table (the smallest row that holds both the peak throughput and the peak connections):

    size          up to Mbit/s   up to connections
    t3.small              50            10 000
    t3.medium            200            25 000
    c5.large             500            50 000
    c5.xlarge           1000           100 000
    c5n.xlarge          3000           200 000
    c5n.2xlarge         6000           400 000
    c5n.4xlarge        12000           800 000
    c5n.9xlarge      (above)            (above)
"""

import datetime
import logging

from tidewall.lib.commonlib import Common

logger = logging.getLogger("tidewall.lib.gateway_size")

# (size, max Mbit/s, max active connections); the last row takes everything above.
SIZE_TABLE = (
    ("t3.small", 50.0, 10_000),
    ("t3.medium", 200.0, 25_000),
    ("c5.large", 500.0, 50_000),
    ("c5.xlarge", 1000.0, 100_000),
    ("c5n.xlarge", 3000.0, 200_000),
    ("c5n.2xlarge", 6000.0, 400_000),
    ("c5n.4xlarge", 12000.0, 800_000),
    ("c5n.9xlarge", float("inf"), float("inf")),
)
SIZE_ORDER = [row[0] for row in SIZE_TABLE]

NAMESPACE = "AWS/NATGateway"
THROUGHPUT_METRICS = ("BytesOutToDestination", "BytesInFromSource")
CONNECTION_METRIC = "ActiveConnectionCount"
PERIOD_SECONDS = 300
LOOKBACK_DAYS = 14

INFO_KEYS = ("subnet_id", "subnet_cidr", "initial_size", "size", "nat_gw_id", "private_ip", "eip")


def size_for(mbps, connections=0):
    """The smallest size of the table that carries `mbps` Mbit/s and `connections` connections."""
    for size, max_mbps, max_connections in SIZE_TABLE:
        if mbps <= max_mbps and connections <= max_connections:
            return size
    return SIZE_TABLE[-1][0]


def larger_size(a, b):
    return a if SIZE_ORDER.index(a) >= SIZE_ORDER.index(b) else b


class DetermineGwSizeCmd:
    """Works out, per NAT gateway, the size of the spoke gateway that replaces it."""

    def __init__(self, ec2_client, cw_client, num_of_spoke, nat_gws):
        self.ec2_client = ec2_client
        self.cw_client = cw_client
        self.num_of_spoke = num_of_spoke
        self.nat_gws = list(nat_gws)
        self.peaks = None  # nat_gw_id -> {"mbps": float, "connections": float}
        self.natGwInfos = None

    def _query(self, nat_gw_id, start, end):
        """5-minute series of the three metrics: {metric name: [(timestamp, value), ...]}."""
        dims = [{"Name": "NatGatewayId", "Value": nat_gw_id}]
        queries = []
        names = list(THROUGHPUT_METRICS) + [CONNECTION_METRIC]
        for i, name in enumerate(names):
            stat = "Maximum" if name == CONNECTION_METRIC else "Sum"
            queries.append(
                {
                    "Id": f"m{i}",
                    "MetricStat": {
                        "Metric": {"Namespace": NAMESPACE, "MetricName": name, "Dimensions": dims},
                        "Period": PERIOD_SECONDS,
                        "Stat": stat,
                    },
                    "ReturnData": True,
                }
            )
        series = {name: [] for name in names}
        token = None
        while True:
            args = {"MetricDataQueries": queries, "StartTime": start, "EndTime": end}
            if token:
                args["NextToken"] = token
            reply = self.cw_client.get_metric_data(**args)
            for result in reply.get("MetricDataResults", []):
                name = names[int(result["Id"][1:])]
                series[name].extend(zip(result.get("Timestamps", []), result.get("Values", []), strict=False))
            token = reply.get("NextToken")
            if not token:
                return series

    @staticmethod
    def _daily_max(points):
        days = {}
        for timestamp, value in points:
            day = timestamp.astimezone(datetime.UTC).date()
            days[day] = max(days.get(day, 0.0), float(value))
        return days

    def _peak(self, nat_gw_id, start, end):
        series = self._query(nat_gw_id, start, end)
        peak_bytes = 0.0
        for name in THROUGHPUT_METRICS:
            for value in self._daily_max(series[name]).values():
                peak_bytes = max(peak_bytes, value)
        connections = max(self._daily_max(series[CONNECTION_METRIC]).values(), default=0.0)
        mbps = peak_bytes * 8 / PERIOD_SECONDS / 1_000_000
        return {"mbps": mbps, "connections": connections}

    def execute(self):
        """Read the metrics and choose the sizes; returns the NAT-gateway info records."""
        Common.logOperation("DetermineGwSizeCmd")
        end = datetime.datetime.now(datetime.UTC)
        start = end - datetime.timedelta(days=LOOKBACK_DAYS)
        self.peaks = {}
        for natgw in self.nat_gws:
            nat_gw_id = natgw["NatGatewayId"]
            self.peaks[nat_gw_id] = self._peak(nat_gw_id, start, end)
            logger.info(
                "  %s: peak %.1f Mbit/s, %d connections -> %s",
                nat_gw_id,
                self.peaks[nat_gw_id]["mbps"],
                self.peaks[nat_gw_id]["connections"],
                size_for(self.peaks[nat_gw_id]["mbps"], self.peaks[nat_gw_id]["connections"]),
            )
        self.natGwInfos = self._build_infos()
        return self.natGwInfos

    def _subnet_cidrs(self):
        ids = sorted({n["SubnetId"] for n in self.nat_gws})
        if not ids:
            return {}
        cidrs = {}
        for page in self.ec2_client.get_paginator("describe_subnets").paginate(SubnetIds=ids):
            for subnet in page.get("Subnets", []):
                cidrs[subnet["SubnetId"]] = subnet.get("CidrBlock")
        return cidrs

    def _build_infos(self):
        cidrs = self._subnet_cidrs()
        head = [self.peaks[n["NatGatewayId"]] for n in self.nat_gws[: max(self.num_of_spoke, 0)]]
        handover_size = size_for(sum(p["mbps"] for p in head), sum(p["connections"] for p in head))
        infos = []
        for natgw in self.nat_gws:
            peak = self.peaks[natgw["NatGatewayId"]]
            size = size_for(peak["mbps"], peak["connections"])
            addresses = natgw.get("NatGatewayAddresses") or [{}]
            infos.append(
                {
                    "subnet_id": natgw["SubnetId"],
                    "subnet_cidr": cidrs.get(natgw["SubnetId"]),
                    "initial_size": larger_size(handover_size, size),
                    "size": size,
                    "nat_gw_id": natgw["NatGatewayId"],
                    "private_ip": addresses[0].get("PrivateIp"),
                    "eip": addresses[0].get("PublicIp"),
                }
            )
        return infos

    def getNatGwInfo(self):
        """One NAT-gateway info record per NAT gateway, in the order they were given."""
        if self.natGwInfos is None:
            self.execute()
        return self.natGwInfos
