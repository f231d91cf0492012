"""What the migration tests need around a real run: the VPC's egress as AWS and the controller show it,
the journal as stored locally and in S3, the step order of a clean run, and ways to stop a run part-way.
"""

import datetime
import json
import os
from dataclasses import dataclass

from tidewall.commands import journal_layout
from tidewall.commands.history import MementoHistory
from tidewall.core.Globals import Globals
from tidewall.lib import s3
from tidewall.lib.gateway_size import PERIOD_SECONDS
from tidewall.lib.natgw import NatGwCmd
from tidewall.lib.route_table import NatGwTrafficCmd, SnapshotRTCmd
from tidewall.lib.spoke import HsSpokeCmd, ResizeSpokeGatewayCmd, SnatCmd
from tidewall.lib.test import Test, TestCmd
from tidewall.sandbox.vpcview import GATEWAY_TAG, VpcView, default_route, tag_value

PASSWORD_ENV = "TIDEWALL_HANDOVER_TEST_PASSWORD"
CONTROLLER_USER = "admin"
CONTROLLER_PASSWORD = "handover-Pw-7c2e"
ACCOUNT = "handover-aws"
SPOKE = "egress-spoke"
BACKUP_PREFIX = "tidewall-backups"
SPOKE_TAG = "env,integration,team,netops"
SPOKE_TAG_PAIRS = {"env": "integration", "team": "netops"}

# Peak egress per zone (Mbit/s): zones 0 and 1 need t3.medium each, zone 2 t3.small, and the
# primary carries the first zones' traffic while it hands over (c5.large), so it is resized after.
ZONE_MBPS = (150.0, 150.0, 10.0)
SIZES = ("t3.medium", "t3.medium", "t3.small")
HANDOVER_SIZE = "c5.large"

# Controller actions that change nothing in the cloud or on the controller's gateways.
READ_ONLY_ACTIONS = {
    "login",
    "logout",
    "list_accounts",
    "list_vpcs_summary",
    "get_gateway_info",
    "list_primary_and_ha_spoke_gateways",
}

# ---------------------------------------------------------------------------------------- journal

SNAPSHOT, TRAFFIC, NATGW_DELETE, SPOKE_CREATE, SNAT, RESIZE, TEST = (
    journal_layout.STEPS[code].memento_name for code in ("A1", "A2", "A3", "A4", "A6", "R", "T")
)


def _declared(slots):
    return [(s.step.memento_name, s.opens_group) for s in slots]


def expected_journal(groups=3, test=False, resize=True):
    """(memento class, begin mark) of a clean run that replaced `groups` NAT gateways (hs_mode 2)."""
    records = [{"initial_size": "t3.small", "size": "t3.large" if resize else "t3.small"}]
    records += [{} for _ in range(1, groups)]
    return _declared(journal_layout.layout(records[:groups], test, 2, None))


FIRST_GROUP = expected_journal(groups=1, resize=False)
NEXT_GROUP = expected_journal(groups=2, resize=False)[len(FIRST_GROUP) :]


def journal_entries(text):
    """(short class name, begin mark) of each stored memento, oldest first; None for no journal."""
    if text is None:
        return None
    return [(e["class"].rsplit(".", 1)[1], e["begin"]) for e in json.loads(text)["entries"]]


# -------------------------------------------------------------------------------------- the world


@dataclass(frozen=True)
class Spoke:
    name: str
    public_ip: str | None
    instance_type: str
    instance_id: str


class Egress:
    """How one VPC leaves the internet now, as AWS runs it (never trusting moto's stale route state)."""

    def __init__(self, aws, vpc_id):
        ec2 = aws.client("ec2")
        view = VpcView(ec2, vpc_id)
        addresses = ec2.describe_addresses()["Addresses"]
        self.natgws = {}  # public subnet id -> (NAT gateway id, its EIP), available ones
        for natgw in view.natgws:
            if natgw.get("State") == "available":
                eip = (natgw.get("NatGatewayAddresses") or [{}])[0].get("PublicIp")
                self.natgws.setdefault(natgw["SubnetId"], []).append((natgw["NatGatewayId"], eip))
        self.spokes = {}  # subnet id -> [Spoke], live gateway instances
        for instance_id, instance in sorted(view.instances.items()):
            if not view.instance_is_live(instance_id) or tag_value(instance, GATEWAY_TAG) is None:
                continue
            eip = next((a.get("PublicIp") for a in addresses if a.get("InstanceId") == instance_id), None)
            spoke = Spoke(tag_value(instance, "Name"), eip, instance["InstanceType"], instance_id)
            self.spokes.setdefault(instance["SubnetId"], []).append(spoke)
        self.routes = {}  # private route table id -> ("nat", id) / ("instance", id) / ("dead", target)
        for table in view.private_tables():
            route = default_route(table)
            if route is None:
                target = ("none", None)
            elif not view.route_is_live(route):
                target = ("dead", route.get("NatGatewayId") or route.get("InstanceId"))
            elif route.get("NatGatewayId"):
                target = ("nat", route["NatGatewayId"])
            else:  # named by the instance, or by its network interface
                instance_id = route.get("InstanceId") or view.interface_instance(
                    route.get("NetworkInterfaceId")
                )
                target = ("instance", instance_id)
            self.routes[table["RouteTableId"]] = target

    def natgw(self, subnet_id):
        found = self.natgws.get(subnet_id, [])
        assert len(found) <= 1, f"more than one NAT gateway in {subnet_id}: {found}"
        return found[0] if found else None

    def spoke(self, subnet_id):
        found = self.spokes.get(subnet_id, [])
        assert len(found) <= 1, f"more than one spoke gateway instance in {subnet_id}: {found}"
        return found[0] if found else None

    def live_spoke_count(self):
        return sum(len(v) for v in self.spokes.values())

    def key(self):
        """Everything above as comparable data."""
        return (
            sorted(self.natgws.items()),
            sorted((k, sorted(v, key=lambda s: s.instance_id)) for k, v in self.spokes.items()),
            sorted(self.routes.items()),
        )


def controller_gateways(ctl, vpc_id):
    """name -> (subnet id, eip, size, primary name, snat) of the controller's gateways of the VPC."""
    return {
        g.name: (g.subnet_id, g.eip, g.size, g.primary, g.snat)
        for g in ctl.gateways.values()
        if g.vpc_id == vpc_id
    }


# ------------------------------------------------------------------------------------ the metrics


def seed_metrics(aws, seeded, mbps=ZONE_MBPS):
    """One hour of peak NAT gateway traffic per zone, an hour ago (enough for the sizing)."""
    cw = aws.client("cloudwatch")
    when = datetime.datetime.now(datetime.UTC) - datetime.timedelta(hours=1)
    when = when.replace(minute=0, second=0, microsecond=0)
    for zone, peak in zip(seeded.zones, mbps, strict=False):
        out_bytes = peak * 1_000_000 / 8 * PERIOD_SECONDS
        dims = [{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}]
        cw.put_metric_data(
            Namespace="AWS/NATGateway",
            MetricData=[
                {"MetricName": name, "Dimensions": dims, "Timestamp": when, "Value": value, "Unit": unit}
                for name, value, unit in (
                    ("BytesOutToDestination", out_bytes, "Bytes"),
                    ("BytesInFromSource", out_bytes * 0.98, "Bytes"),
                    ("ActiveConnectionCount", 500.0, "Count"),
                )
            ],
        )


# ----------------------------------------------------------------------------- a run in a process


def as_new_process():
    """What a new process of the tool starts from: default settings, no folder registered for
    write-through, no prepared acceptance test."""
    Globals.reset()
    s3.clear_registry()
    Test.prepared = None


class Migration:
    """One seeded VPC, its configuration, and the runs of the command on it."""

    def __init__(self, aws, ctl, seeded, backup_root, caplog):
        self.aws = aws
        self.ctl = ctl
        self.caplog = caplog
        self.seeded = seeded
        self.vpc_id = seeded.vpc_id
        self.config = {
            "controller_ip": ctl.address,
            "controller_user": CONTROLLER_USER,
            "controller_password_env": PASSWORD_ENV,
            "aws_account_name": ACCOUNT,
            "aws_account_number": str(aws.account_id),
            "region": seeded.region,
            "vpc_id": seeded.vpc_id,
            "s3_bucket": seeded.bucket,
            "backup_prefix": BACKUP_PREFIX,
            "backup_root": str(backup_root),
            "spoke_gw_name": SPOKE,
            "spoke_gw_tag": SPOKE_TAG,
            "hs_mode": 2,
            "enable_test": False,
            "aws": aws.aws_config(),
        }
        self.folder = os.path.join(str(backup_root), ACCOUNT, seeded.vpc_id)
        self.prefix = f"{BACKUP_PREFIX}/{ACCOUNT}/{seeded.vpc_id}"

    @property
    def zones(self):
        return self.seeded.zones

    def run(self, command="execute", *, cmdcnt=-1, dry_run=False, **overrides):
        """Manager.<command> as a fresh process would run it; the exit status (0 when it returned).
        Configuration `overrides` stay for the later runs, as a resumed run must use the same settings."""
        from tidewall.commands.natgw_eip_handover import Manager

        as_new_process()
        Globals.cmdcnt = cmdcnt
        Globals.dry_run = dry_run
        self.config.update(overrides)
        try:
            getattr(Manager, command)(dict(self.config))
        except SystemExit as e:
            return e.code
        finally:
            Globals.reset()
        return 0

    def messages(self, logger="tidewall"):
        """The log lines of this test so far (loggers under `logger`)."""
        return [
            r.getMessage() for r in self.caplog.records if r.name == logger or r.name.startswith(logger + ".")
        ]

    # ---- journal

    def local_text(self, name="memento_history.json"):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()

    def s3_text(self, name="memento_history.json"):
        s3c = self.aws.client("s3")
        try:
            return (
                s3c.get_object(Bucket=self.seeded.bucket, Key=f"{self.prefix}/{name}")["Body"].read().decode()
            )
        except s3c.exceptions.NoSuchKey:
            return None

    def put_s3_text(self, text, name="memento_history.json"):
        self.aws.client("s3").put_object(
            Bucket=self.seeded.bucket, Key=f"{self.prefix}/{name}", Body=text.encode()
        )

    def s3_keys(self):
        reply = self.aws.client("s3").list_objects_v2(Bucket=self.seeded.bucket, Prefix=self.prefix + "/")
        return sorted(o["Key"] for o in reply.get("Contents", []))

    def journal(self):
        """The memento journal as stored in S3, after checking that the local copy is the same."""
        local, remote = self.local_text(), self.s3_text()
        assert remote == local, "the S3 journal differs from the local one"
        return journal_entries(remote)

    def discovered(self):
        """The NAT-gateway records of the command history (S3 copy)."""
        doc = json.loads(self.s3_text("command_history.json"))
        return next(c["natgws"] for c in doc["commands"] if c["index"] == 0)

    # ---- the world

    def egress(self):
        return Egress(self.aws, self.vpc_id)

    def gateways(self):
        return controller_gateways(self.ctl, self.vpc_id)

    def observe(self):
        """Everything a run may change: egress, controller gateways, journal files in S3."""
        return (
            self.egress().key(),
            self.gateways(),
            {
                k: self.aws.client("s3").get_object(Bucket=self.seeded.bucket, Key=k)["Body"].read()
                for k in self.s3_keys()
            },
        )

    def changing_requests(self):
        return [r.action for r in self.ctl.requests if r.action not in READ_ONLY_ACTIONS]

    # ---- checks of the end states

    def assert_replaced(self, indexes, sizes=SIZES, resized=True, restored=(), gone=()):
        """NAT gateways `indexes` are replaced by spokes holding their EIPs, those in `restored` are back
        (a new NAT gateway with the same EIP), those in `gone` are deleted and not replaced; the others
        are untouched. Every private default route is live."""
        egress = self.egress()
        gateways = self.gateways()
        by_subnet = {v[0]: (name, v) for name, v in gateways.items()}
        assert len(gateways) == len(indexes), f"controller gateways {sorted(gateways)}"
        assert egress.live_spoke_count() == len(indexes), "a spoke gateway instance too many or too few"
        for i, zone in enumerate(self.zones):
            subnet = zone.public_subnet_id
            natgw = egress.natgw(subnet)
            if i not in indexes:
                assert subnet not in by_subnet and egress.spoke(subnet) is None, f"a spoke replaced {i}"
                if i in gone:
                    assert natgw is None, f"NAT gateway {i} is there"
                elif i in restored:
                    assert natgw is not None and natgw[1] == zone.eip, f"NAT gateway {i} is not back"
                else:
                    assert natgw == (zone.nat_gateway_id, zone.eip), f"NAT gateway {i} changed"
                continue
            assert natgw is None, f"NAT gateway {i} is still there"
            spoke = egress.spoke(subnet)
            assert spoke is not None and spoke.public_ip == zone.eip, (
                f"EIP {zone.eip} not on a spoke in {subnet}"
            )
            name, (_, eip, size, primary, snat) = by_subnet[subnet]
            assert spoke.name == name and eip == zone.eip
            if i == 0:
                assert (name, primary, snat) == (SPOKE, None, True)
                want = sizes[0] if resized else HANDOVER_SIZE
            else:
                assert primary == SPOKE
                want = sizes[i]
            assert size == want and spoke.instance_type == want, f"spoke {i} is {size}, not {want}"
        self.assert_routes_live(egress, gateways)

    def assert_routes_live(self, egress=None, gateways=None):
        """Every private default route reaches a live NAT gateway of this VPC or a live spoke of the controller."""
        egress = egress or self.egress()
        gateways = gateways if gateways is not None else self.gateways()
        spoke_ids = {s.instance_id for spokes in egress.spokes.values() for s in spokes}
        names = {s.instance_id: s.name for spokes in egress.spokes.values() for s in spokes}
        natgw_ids = {n[0] for found in egress.natgws.values() for n in found}
        assert len(egress.routes) == len(self.zones)
        for table, (kind, target) in egress.routes.items():
            ok = (kind == "nat" and target in natgw_ids) or (
                kind == "instance" and target in spoke_ids and names[target] in gateways
            )
            assert ok, f"{table} 0.0.0.0/0 -> {kind} {target}"

    def assert_reverted(self):
        """As before the migration: every EIP on an available NAT gateway in its subnet, private routes on
        NAT gateways, no spoke anywhere."""
        egress = self.egress()
        for zone in self.zones:
            natgw = egress.natgw(zone.public_subnet_id)
            assert natgw is not None and natgw[1] == zone.eip, f"{zone.eip} is not back on a NAT gateway"
        assert self.gateways() == {}
        assert egress.live_spoke_count() == 0
        assert {kind for kind, _ in egress.routes.values()} == {"nat"}
        self.assert_routes_live(egress, {})
        subnet_of = {n[0]: s for s, found in egress.natgws.items() for n in found}
        zone_of_table = {z.private_route_table_id: z.public_subnet_id for z in self.zones}
        for table, (_, target) in egress.routes.items():
            assert subnet_of[target] == zone_of_table[table], f"{table} leaves through another zone"


# ------------------------------------------------------------------------------- stopping a run


# The action methods of the migration's steps; each call of one is one outside step.
STEP_METHODS = (
    (TestCmd, "execute"),
    (SnapshotRTCmd, "execute"),
    (NatGwTrafficCmd, "moveTraffic"),
    (NatGwCmd, "delete"),
    (HsSpokeCmd, "create"),
    (SnatCmd, "enable"),
    (ResizeSpokeGatewayCmd, "execute"),
)


def crash_before_step(monkeypatch, k, error):
    """Let `k` steps run, then raise `error` when the next step starts (the process dies there)."""
    calls = {"n": 0}

    def wrap(original):
        def step(self, *args, **kwargs):
            calls["n"] += 1
            if calls["n"] == k + 1:
                raise error
            return original(self, *args, **kwargs)

        return step

    for cls, name in STEP_METHODS:
        monkeypatch.setattr(cls, name, wrap(getattr(cls, name)))
    return calls


def die_before_record(monkeypatch, n, error):
    """The `n`-th append (from 0) raises `error` before anything is journalled: the process died
    right after the step's action, before its memento was written."""
    original = MementoHistory.__dict__["append"].__func__
    calls = {"n": 0, "died_on": None}

    def append(cls, memento, MarkBegin=False):  # noqa: N803 - the history's own keyword
        calls["n"] += 1
        if calls["n"] == n + 1:
            calls["died_on"] = type(memento).__name__
            raise error
        return original(cls, memento, MarkBegin=MarkBegin)

    monkeypatch.setattr(MementoHistory, "append", classmethod(append))
    return calls


def fail_once(monkeypatch, cls, name, error):
    """`cls.name` raises `error` on its first call, then works."""
    original = getattr(cls, name)
    state = {"fired": False}

    def method(self, *args, **kwargs):
        if not state["fired"]:
            state["fired"] = True
            raise error
        return original(self, *args, **kwargs)

    monkeypatch.setattr(cls, name, method)
    return state


def tamper_with_new_digest(text, edit):
    """The journal text with `edit(doc)` applied and its digest made to match again."""
    import hashlib

    doc = json.loads(text)
    body = {k: v for k, v in doc.items() if k != "sha256"}
    edit(body)
    canonical = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    body["sha256"] = hashlib.sha256(canonical.encode("utf-8")).hexdigest()
    return json.dumps(body, indent=2)


def tamper_keeping_digest(text, edit):
    """The journal text with `edit(doc)` applied, its old digest left as it was."""
    doc = json.loads(text)
    edit(doc)
    return json.dumps(doc, indent=2)
