"""Spoke gateway sizes chosen from the NAT gateways' recent CloudWatch traffic.

Peak throughput of a NAT gateway: the largest 1-minute sum of each byte metric over the last 14 days
(CloudWatch keeps 1-minute data for 15 days), turned into Mbit/s. A 5-minute average would hide a gateway
that runs at full speed for one minute in every five. The outbound direction is counted by BytesOutToDestination and
BytesInFromSource, the return direction by BytesInFromDestination and BytesOutToSource (the two metrics of
a direction count the same forwarded traffic on its two legs, so they are not added); the peak is that of
the busier direction, as a gateway carries each direction on its own. Peak connections: the largest 1-minute
maximum of ActiveConnectionCount.

The metrics of every NAT gateway are read with as few GetMetricData calls as its limit of 500 queries a
call allows.

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

from tidewall.lib import ec2_reads
from tidewall.lib.commonlib import Common
from tidewall.lib.natgw import ordered_addresses

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
# The byte metrics of each direction (outbound, then the return traffic).
DIRECTIONS = (
    ("BytesOutToDestination", "BytesInFromSource"),
    ("BytesInFromDestination", "BytesOutToSource"),
)
THROUGHPUT_METRICS = tuple(name for direction in DIRECTIONS for name in direction)
CONNECTION_METRIC = "ActiveConnectionCount"
METRICS = THROUGHPUT_METRICS + (CONNECTION_METRIC,)
MAX_QUERIES = 500  # GetMetricData's limit of queries per call
PERIOD_SECONDS = 60
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

    def _queries(self, nat_gw_ids):
        """One query per NAT gateway and metric; its id names both ("n<gateway>_<metric>")."""
        queries = []
        for g, nat_gw_id in enumerate(nat_gw_ids):
            dims = [{"Name": "NatGatewayId", "Value": nat_gw_id}]
            for m, name in enumerate(METRICS):
                stat = "Maximum" if name == CONNECTION_METRIC else "Sum"
                queries.append(
                    {
                        "Id": f"n{g}_{m}",
                        "MetricStat": {
                            "Metric": {"Namespace": NAMESPACE, "MetricName": name, "Dimensions": dims},
                            "Period": PERIOD_SECONDS,
                            "Stat": stat,
                        },
                        "ReturnData": True,
                    }
                )
        return queries

    def _query(self, nat_gw_ids, start, end):
        """1-minute series of every metric of every NAT gateway: {id: {metric name: [(timestamp, value)]}}."""
        series = {nat_gw_id: {name: [] for name in METRICS} for nat_gw_id in nat_gw_ids}
        queries = self._queries(nat_gw_ids)
        for first in range(0, len(queries), MAX_QUERIES):
            batch = queries[first : first + MAX_QUERIES]
            token = None
            while True:
                args = {"MetricDataQueries": batch, "StartTime": start, "EndTime": end}
                if token:
                    args["NextToken"] = token
                reply = self.cw_client.get_metric_data(**args)
                for result in reply.get("MetricDataResults", []):
                    g, m = (int(x) for x in result["Id"][1:].split("_"))
                    points = zip(result.get("Timestamps", []), result.get("Values", []), strict=False)
                    series[nat_gw_ids[g]][METRICS[m]].extend(points)
                token = reply.get("NextToken")
                if not token:
                    break
        return series

    @staticmethod
    def _max(points):
        return max((float(value) for _timestamp, value in points), default=0.0)

    def _peak(self, series):
        """{"mbps", "connections"} of one NAT gateway's series: the busier direction's peak."""
        peak_bytes = max(self._max(series[name]) for direction in DIRECTIONS for name in direction)
        connections = self._max(series[CONNECTION_METRIC])
        mbps = peak_bytes * 8 / PERIOD_SECONDS / 1_000_000
        return {"mbps": mbps, "connections": connections}

    def execute(self):
        """Read the metrics and choose the sizes; returns the NAT-gateway info records."""
        Common.logOperation("DetermineGwSizeCmd")
        end = datetime.datetime.now(datetime.UTC)
        start = end - datetime.timedelta(days=LOOKBACK_DAYS)
        nat_gw_ids = list(dict.fromkeys(n["NatGatewayId"] for n in self.nat_gws))
        series = self._query(nat_gw_ids, start, end) if nat_gw_ids else {}
        self.peaks = {}
        for nat_gw_id in nat_gw_ids:
            self.peaks[nat_gw_id] = peak = self._peak(series[nat_gw_id])
            logger.info(
                "  %s: peak %.1f Mbit/s (busier direction), peak %d connections, %d s periods over %d days -> %s",
                nat_gw_id,
                peak["mbps"],
                peak["connections"],
                PERIOD_SECONDS,
                LOOKBACK_DAYS,
                size_for(peak["mbps"], peak["connections"]),
            )
        self.natGwInfos = self._build_infos()
        return self.natGwInfos

    def _subnet_cidrs(self):
        found = ec2_reads.subnets(self.ec2_client, [n["SubnetId"] for n in self.nat_gws])
        return {subnet_id: subnet.get("CidrBlock") for subnet_id, subnet in found.items()}

    def _build_infos(self):
        cidrs = self._subnet_cidrs()
        head = [self.peaks[n["NatGatewayId"]] for n in self.nat_gws[: max(self.num_of_spoke, 0)]]
        handover_size = size_for(sum(p["mbps"] for p in head), sum(p["connections"] for p in head))
        infos = []
        for natgw in self.nat_gws:
            peak = self.peaks[natgw["NatGatewayId"]]
            size = size_for(peak["mbps"], peak["connections"])
            addresses = ordered_addresses(natgw) or [{}]
            infos.append(
                {
                    "subnet_id": natgw["SubnetId"],
                    "subnet_cidr": cidrs.get(natgw["SubnetId"]),
                    "initial_size": larger_size(handover_size, size),
                    "size": size,
                    "nat_gw_id": natgw["NatGatewayId"],
                    "private_ip": addresses[0].get("PrivateIp"),
                    "eip": addresses[0].get("PublicIp"),
                    # The peaks the sizes come from, for plan and status to show.
                    "peak_mbps": round(peak["mbps"], 1),
                    "peak_connections": int(peak["connections"]),
                }
            )
        return infos

    def getNatGwInfo(self):
        """One NAT-gateway info record per NAT gateway, in the order they were given."""
        if self.natGwInfos is None:
            self.execute()
        return self.natGwInfos
