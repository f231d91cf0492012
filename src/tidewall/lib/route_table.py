"""Route tables of a VPC: backup, liveness of route targets, traffic moves between NAT
gateways and route snapshots, each move and snapshot with its undo."""

import datetime
import json
import logging
import os

from botocore.exceptions import ClientError

from tidewall.commands.memento import Memento
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib import ec2_reads
from tidewall.lib.commonlib import Common
from tidewall.lib.natgw import (
    describe_natgw,
    ec2_from_globals,
    get_natgw_by_subnet,
    instance_is_live,
    known_natgw,
    record_undo,
    replaceable,
    route_destination,
    routes_to_natgw,
    set_route_target,
)

logger = logging.getLogger("tidewall.lib.route_table")

BACKUP_FILE = "route_tables_backup.json"
BACKUP_TAG_KEY = "tidewall:natgw-backup"


class RouteTableError(TidewallError, RuntimeError):
    """Routes could not be moved or restored as required."""


def _error_code(err):
    return err.response.get("Error", {}).get("Code", "")


def atomic_write_json(path, data):
    """Write JSON to `path` at once (temp file, fsync, os.replace); a file of the backup folder is listed
    as pending until its write-through has stored it in S3."""
    from tidewall.commands import journal_trust
    from tidewall.lib import s3

    data = journal_trust.seal_record(data, journal_trust.context_of(os.path.dirname(os.path.abspath(path))))
    text = json.dumps(data, indent=2, sort_keys=True, default=str)
    s3.atomic_write_bytes(path, text.encode("utf-8"))


def _write_through(folder, name):
    """Upload one backup file when the S3 backup layer offers write-through."""
    try:
        from tidewall.lib import s3
    except ImportError:
        return
    write_through = getattr(s3, "write_through", None)
    if callable(write_through):
        write_through(folder, name)


def _routes(n):
    return "1 route" if n == 1 else f"{n} routes"


def _now():
    return datetime.datetime.now(datetime.UTC).isoformat()


# ---------------------------------------------------------------- liveness


def route_target_is_live(ec2_client, route):
    """Whether traffic sent along this route reaches a working target.

    NAT gateway: it is `available`. Instance: it is `running` or `pending`. Gateway: "local",
    or an internet gateway attached to a VPC. Network interface: it exists and, when attached
    to an instance, that instance is live. Any other target (peering, transit gateway, ...)
    is judged by the route's own state. The route's `State` is not trusted for the first kinds.
    """
    if route.get("NatGatewayId"):
        natgw = describe_natgw(ec2_client, route["NatGatewayId"])
        return natgw is not None and natgw.get("State") == "available"
    if route.get("InstanceId"):
        return instance_is_live(ec2_client, route["InstanceId"])
    gateway_id = route.get("GatewayId")
    if gateway_id:
        if gateway_id == "local":
            return True
        if gateway_id.startswith("igw-"):
            try:
                igws = ec2_client.describe_internet_gateways(InternetGatewayIds=[gateway_id])[
                    "InternetGateways"
                ]
            except ClientError as e:
                if _error_code(e).startswith("InvalidInternetGatewayID"):
                    return False
                raise
            return any(
                a.get("State") in ("available", "attached")
                for igw in igws
                for a in igw.get("Attachments", [])
            )
        return route.get("State") == "active"
    if route.get("NetworkInterfaceId"):
        try:
            enis = ec2_client.describe_network_interfaces(NetworkInterfaceIds=[route["NetworkInterfaceId"]])
        except ClientError as e:
            if _error_code(e).startswith("InvalidNetworkInterfaceID"):
                return False
            raise
        for eni in enis.get("NetworkInterfaces", []):
            instance_id = eni.get("Attachment", {}).get("InstanceId")
            return instance_is_live(ec2_client, instance_id) if instance_id else True
        return False
    return route.get("State") == "active"


# ---------------------------------------------------------------- backup


def backupAllRtbs(ec2_client, backup_folder, vpc_id, tag_route_table, nat_gw_ids, version="v2"):
    """Save every route table of the VPC (full EC2 descriptions) to route_tables_backup.json.

    With `tag_route_table`, each route table that routes to one of `nat_gw_ids` is tagged
    `tidewall:natgw-backup` with those NAT gateway ids. Nothing is written or tagged in a dry run.
    Returns the path of the backup file.
    """
    Common.logOperation("backupAllRtbs")
    tables = ec2_reads.vpc_route_tables(ec2_client, vpc_id)
    path = os.path.join(backup_folder, BACKUP_FILE)
    logger.info("- Back up %d route tables of %s to %s", len(tables), vpc_id, path)
    if Globals.dry_run:
        logger.info("  Dry run: backup not written")
        return path
    atomic_write_json(path, {"version": version, "vpc_id": vpc_id, "taken_at": _now(), "RouteTables": tables})
    _write_through(backup_folder, BACKUP_FILE)
    if tag_route_table:
        wanted = set(nat_gw_ids or [])
        for table in tables:
            used = sorted(
                {r["NatGatewayId"] for r in table.get("Routes", []) if r.get("NatGatewayId") in wanted}
            )
            if used:
                ec2_client.create_tags(
                    Resources=[table["RouteTableId"]], Tags=[{"Key": BACKUP_TAG_KEY, "Value": ",".join(used)}]
                )
                logger.info("  Tagged %s (%s)", table["RouteTableId"], ",".join(used))
    return path


# ---------------------------------------------------------------- traffic move


def _available_natgw_id(ec2_client, subnet_id, vpc_id):
    found = get_natgw_by_subnet(ec2_client, subnet_id, vpc_id)
    return found[0]["NatGatewayId"] if found else None


def _point_routes_at_natgw(ec2_client, routes, nat_gw_id):
    """Point each recorded route at the NAT gateway (logged; nothing changed in a dry run)."""
    for route in routes:
        logger.info(
            "  %s %s %s -> %s",
            "Would route" if Globals.dry_run else "Route",
            route["route_table_id"],
            route["destination"],
            nat_gw_id,
        )
        if not Globals.dry_run:
            set_route_target(
                ec2_client,
                route["route_table_id"],
                route["destination_key"],
                route["destination"],
                {"NatGatewayId": nat_gw_id},
            )


class NatGwTrafficMemento(Memento):
    """Undo of a traffic move: the moved routes back to the NAT gateway now in the source subnet."""

    def __init__(
        self, vpc_id, tag, source_subnet_id, source_nat_gw_id, target_subnet_id, target_nat_gw_id, routes
    ):
        super().__init__()
        self.vpc_id = vpc_id
        self.tag = tag
        self.source_subnet_id = source_subnet_id
        self.source_nat_gw_id = source_nat_gw_id
        self.target_subnet_id = target_subnet_id
        self.target_nat_gw_id = target_nat_gw_id
        self.routes = list(routes)

    def resolve_intent(self):
        """Whether the move recorded as about to be made was made (some recorded route now targets the target
        NAT gateway). A move cut short is finished here, so that no route is left on the NAT gateway that
        the next step deletes; this memento's restore moves every recorded route back."""
        ec2_client = ec2_from_globals()
        current = _current_routes(ec2_client, self.vpc_id)
        moved, left = [], []
        for route in self.routes:
            now = current.get((route["route_table_id"], route["destination_key"], route["destination"]))
            (moved if now is not None and now.get("NatGatewayId") == self.target_nat_gw_id else left).append(
                route
            )
        if not moved:
            return False
        if left and not Globals.dry_run:
            logger.warning(
                "  Finishing the traffic move of %s cut short: %d route(s)", self.source_nat_gw_id, len(left)
            )
            _point_routes_at_natgw(ec2_client, left, self.target_nat_gw_id)
        return True

    def restore(self):
        Common.logOperation("NatGwTrafficMemento")
        logger.info(
            "- Move %s back from %s to the NAT gateway in %s",
            _routes(len(self.routes)),
            self.target_nat_gw_id,
            self.source_subnet_id,
        )
        if not self.routes:
            return
        ec2_client = ec2_from_globals()
        nat_gw_id = _available_natgw_id(ec2_client, self.source_subnet_id, self.vpc_id)
        if nat_gw_id is None and Globals.dry_run:
            # A dry revert did not really bring back the NAT gateway of the source subnet.
            logger.info(
                "  Dry run: would move the routes back to the NAT gateway restored in %s",
                self.source_subnet_id,
            )
            return
        if nat_gw_id is None:
            raise RouteTableError(
                f"no available NAT gateway in {self.source_subnet_id} to move the routes back to"
            )
        _point_routes_at_natgw(ec2_client, self.routes, nat_gw_id)


class NatGwTrafficCmd:
    """Moves the VPC's routes from one NAT gateway to the NAT gateway of another subnet."""

    def __init__(self, ec2_client, natgw_id, subnet_id, vpc_id, backup_folder, tag="s1"):
        self.ec2_client = ec2_client
        self.natgw_id = natgw_id
        self.subnet_id = subnet_id
        self.vpc_id = vpc_id
        self.backup_folder = backup_folder
        self.tag = tag

    def moveTraffic(self, target_subnet_id):
        Common.logOperation("NatGwTrafficCmd")
        ec2_client = self.ec2_client
        logger.info(
            "- Move traffic of %s (%s) to the NAT gateway in %s",
            self.natgw_id,
            self.subnet_id,
            target_subnet_id,
        )
        target_id = _available_natgw_id(ec2_client, target_subnet_id, self.vpc_id)
        if target_id is None:
            raise RouteTableError(
                f"no available NAT gateway in {target_subnet_id} of {self.vpc_id} to move traffic to"
            )
        if target_id == self.natgw_id:
            raise RouteTableError(f"source and target NAT gateway are the same ({target_id})")
        routes = routes_to_natgw(ec2_client, self.vpc_id, self.natgw_id)
        memento = NatGwTrafficMemento(
            vpc_id=self.vpc_id,
            tag=self.tag,
            source_subnet_id=self.subnet_id,
            source_nat_gw_id=self.natgw_id,
            target_subnet_id=target_subnet_id,
            target_nat_gw_id=target_id,
            routes=routes,
        )
        if not routes:
            logger.warning("  No route targets %s: nothing to move (already moved?)", self.natgw_id)
            return memento
        # The way back is on record before the first route moves.
        record_undo(memento, self.backup_folder)
        _point_routes_at_natgw(ec2_client, routes, target_id)
        return memento


# ---------------------------------------------------------------- snapshots


def _route_target(route):
    """(kind, id) of the route targets a snapshot keeps, or (None, None)."""
    if route.get("NatGatewayId"):
        return "nat_gateway", route["NatGatewayId"]
    if route.get("InstanceId"):
        return "instance", route["InstanceId"]
    if route.get("NetworkInterfaceId"):
        return "network_interface", route["NetworkInterfaceId"]
    return None, None


def _current_routes(ec2_client, vpc_id):
    """(route table, destination key, destination) -> route, for every route of the VPC."""
    current = {}
    for table in ec2_reads.vpc_route_tables(ec2_client, vpc_id):
        for route in table.get("Routes", []):
            key, destination = route_destination(route)
            if key:
                current[(table["RouteTableId"], key, destination)] = route
    return current


def snapshot_routes(ec2_client, vpc_id):
    """Every route of the VPC that targets a NAT gateway a migration may replace, an instance or a network
    interface. Routes to NAT gateways it leaves alone (private, regional) are never snapshotted: nothing
    restores them."""
    subnets = {}
    entries = []
    for table in ec2_reads.vpc_route_tables(ec2_client, vpc_id):
        for route in table.get("Routes", []):
            key, destination = route_destination(route)
            kind, target_id = _route_target(route)
            if not key or not kind:
                continue
            entry = {
                "route_table_id": table["RouteTableId"],
                "destination_key": key,
                "destination": destination,
                "target_kind": kind,
                "target_id": target_id,
            }
            if kind == "nat_gateway":
                if target_id not in subnets:
                    natgw = known_natgw(ec2_client, target_id)
                    if natgw is not None and not replaceable(natgw):
                        subnets[target_id] = False
                    else:
                        subnets[target_id] = natgw.get("SubnetId") if natgw else None
                if subnets[target_id] is False:
                    continue
                entry["nat_subnet_id"] = subnets[target_id]
            entries.append(entry)
    return entries


class SnapshotRTMemento(Memento):
    """Undo back to a route snapshot: each snapshotted route gets its snapshotted target again."""

    def __init__(self, vpc_id, tag, version, file_name, routes):
        super().__init__()
        self.vpc_id = vpc_id
        self.tag = tag
        self.version = version
        self.file_name = file_name
        self.routes = list(routes)

    def _wanted_target(self, ec2_client, entry):
        kind = entry["target_kind"]
        if kind == "nat_gateway":
            subnet_id = entry.get("nat_subnet_id")
            nat_gw_id = _available_natgw_id(ec2_client, subnet_id, self.vpc_id) if subnet_id else None
            return {"NatGatewayId": nat_gw_id} if nat_gw_id else None
        if kind == "instance":
            return (
                {"InstanceId": entry["target_id"]}
                if instance_is_live(ec2_client, entry["target_id"])
                else None
            )
        probe = {"NetworkInterfaceId": entry["target_id"]}
        return probe if route_target_is_live(ec2_client, probe) else None

    def restore(self):
        Common.logOperation("SnapshotRTMemento")
        logger.info(
            "- Put back route snapshot %s of %s (%s)", self.tag, self.vpc_id, _routes(len(self.routes))
        )
        if not self.routes:
            return
        ec2_client = ec2_from_globals()
        current = _current_routes(ec2_client, self.vpc_id)
        for entry in self.routes:
            wanted = self._wanted_target(ec2_client, entry)
            label = f"{entry['route_table_id']} {entry['destination']}"
            if wanted is None:
                logger.warning(
                    "  Route %s: target %s (%s) no longer exists, left as is",
                    label,
                    entry["target_id"],
                    entry["target_kind"],
                )
                continue
            route = current.get((entry["route_table_id"], entry["destination_key"], entry["destination"]))
            if route is not None and all(route.get(k) == v for k, v in wanted.items()):
                continue
            logger.info(
                "  %s %s -> %s",
                "Would route" if Globals.dry_run else "Route",
                label,
                next(iter(wanted.values())),
            )
            if not Globals.dry_run:
                set_route_target(
                    ec2_client,
                    entry["route_table_id"],
                    entry["destination_key"],
                    entry["destination"],
                    wanted,
                )


class SnapshotRTCmd:
    """Takes a snapshot of the VPC's NAT gateway, instance and interface routes under a tag."""

    def __init__(self, ec2_client, backup_folder, vpc_id, natGwInfos, s3_bucket, tag="s1", version="v2"):
        self.ec2_client = ec2_client
        self.backup_folder = backup_folder
        self.vpc_id = vpc_id
        self.natGwInfos = natGwInfos
        self.s3_bucket = s3_bucket
        self.tag = tag
        self.version = version

    def execute(self):
        Common.logOperation("SnapshotRTCmd")
        routes = snapshot_routes(self.ec2_client, self.vpc_id)
        file_name = f"rt_snapshot_{self.tag}.json"
        logger.info("- Snapshot %s of %s as %s", _routes(len(routes)), self.vpc_id, file_name)
        if Globals.dry_run:
            logger.info("  Dry run: snapshot not written")
        else:
            data = {
                "version": self.version,
                "tag": self.tag,
                "vpc_id": self.vpc_id,
                "s3_bucket": self.s3_bucket,
                "taken_at": _now(),
                "nat_gateways": [dict(x) for x in (self.natGwInfos or [])],
                "routes": routes,
            }
            atomic_write_json(os.path.join(self.backup_folder, file_name), data)
            _write_through(self.backup_folder, file_name)
        return SnapshotRTMemento(self.vpc_id, self.tag, self.version, file_name, routes)
