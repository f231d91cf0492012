"""Acceptance tests around the handover: a baseline check of the NAT gateways before any
change, and an egress check of each new spoke gateway.

Test settings (`input_test_config`): None, a mapping, or the path of a YAML file with
    expect_eip    bool, default true: the spoke's public IP must be an Elastic IP held by a
                  running instance in the spoke's subnet (false: a running instance in that
                  subnet with that public IP is enough)
    check_routes  bool, default true: every private route table's 0.0.0.0/0 route must have a
                  live target (private: its default route does not go to an internet gateway), and
                  every route that pointed at a NAT gateway now gone (as the route table backup of
                  the run shows them) must still be there with a live target
    vpc_id        str, default: the VPC of the spoke's subnet
Results (`output_test_config`): None, or the path of a JSON file; each check run appends one
result {"kind", "name", "passed", "checks": [{"name", "passed", "reason"}], "time"} to its
"results" list.

A failing test is looked at again, with the pauses of the run's waits, for `waits.acceptance_test` seconds
(a throttled call or a describe that lags must not roll back a healthy group); the log says what it waited
for. A test used outside a run (no run settings) looks once.
"""

import dataclasses
import datetime
import json
import logging
import os
from collections.abc import Mapping

import yaml

from tidewall.commands.history import MementoHistory
from tidewall.commands.memento import Memento
from tidewall.core.exceptions import TidewallError
from tidewall.core.Globals import Globals
from tidewall.lib.commonlib import Common
from tidewall.lib.natgw import (
    _describe_natgws,
    describe_address,
    describe_natgw,
    describe_vpc_route_tables,
    route_destination,
)
from tidewall.lib.route_table import BACKUP_FILE, atomic_write_json, route_target_is_live
from tidewall.lib.waits import WaitSettings, WaitTimeout, wait_until

logger = logging.getLogger("tidewall.lib.test")

DEFAULT_SETTINGS = {"expect_eip": True, "check_routes": True, "vpc_id": None}


class AcceptanceTestError(TidewallError, RuntimeError):
    """The test settings are unusable, or the baseline before the handover does not hold."""


def load_test_settings(input_test_config):
    """Test settings from None, a mapping or a YAML file path, with defaults filled in."""
    if input_test_config is None:
        raw = {}
    elif isinstance(input_test_config, Mapping):
        raw = dict(input_test_config)
    elif isinstance(input_test_config, str | os.PathLike):
        path = os.path.expanduser(os.fspath(input_test_config))
        if not os.path.isfile(path):
            raise AcceptanceTestError(f"test settings file {path} does not exist")
        with open(path, encoding="utf-8") as f:
            raw = yaml.safe_load(f) or {}
        if not isinstance(raw, Mapping):
            raise AcceptanceTestError(f"test settings file {path} does not hold a mapping")
        raw = dict(raw)
    else:
        raise AcceptanceTestError(f"unusable test settings of type {type(input_test_config).__name__}")
    unknown = sorted(set(raw) - set(DEFAULT_SETTINGS))
    if unknown:
        logger.warning("  Unknown test settings ignored: %s", ", ".join(map(str, unknown)))
    settings = dict(DEFAULT_SETTINGS)
    settings.update({k: v for k, v in raw.items() if k in DEFAULT_SETTINGS and v is not None})
    for key in ("expect_eip", "check_routes"):
        if not isinstance(settings[key], bool):
            raise AcceptanceTestError(f"test setting {key} must be true or false, not {settings[key]!r}")
    if settings["vpc_id"] is not None and not isinstance(settings["vpc_id"], str):
        raise AcceptanceTestError(f"test setting vpc_id must be text, not {settings['vpc_id']!r}")
    return settings


def _output_path(output_test_config):
    if output_test_config is None:
        return None
    if not isinstance(output_test_config, str | os.PathLike):
        raise AcceptanceTestError(f"unusable test output of type {type(output_test_config).__name__}")
    return os.path.expanduser(os.fspath(output_test_config))


def _record_result(path, result):
    """Append one result to the JSON results file (atomically); nothing in a dry run."""
    if path is None:
        return
    if Globals.dry_run:
        logger.info("  Dry run: test result not written to %s", path)
        return
    data = {"results": []}
    if os.path.exists(path):
        try:
            with open(path, encoding="utf-8") as f:
                loaded = json.load(f)
            if isinstance(loaded, dict) and isinstance(loaded.get("results"), list):
                data = loaded
        except (OSError, ValueError):
            logger.warning("  Test result file %s is unreadable, starting it afresh", path)
    data["results"].append(result)
    atomic_write_json(path, data)


def failed_checks(checks):
    """Which checks failed and why, in one line ("check spoke_public_ip: ...; check ...")."""
    return "; ".join(f"check {c['name']}: {c['reason']}" for c in checks if not c["passed"])


def _check(name, passed, reason):
    logger.info("  Test %s: %s - %s", name, "PASS" if passed else "FAIL", reason)
    return {"name": name, "passed": bool(passed), "reason": reason}


def _result(kind, name, checks):
    return {
        "kind": kind,
        "name": name,
        "passed": all(c["passed"] for c in checks),
        "checks": checks,
        "time": datetime.datetime.now(datetime.UTC).isoformat(),
    }


def _ec2():
    if Globals.aws_client_manager is None:
        raise AcceptanceTestError("no AWS client manager is set (Globals.aws_client_manager)")
    return Globals.aws_client_manager.getEc2Client()


# ---------------------------------------------------------------- spoke egress test


def _check_spoke_ip(ec2_client, public_ip, subnet_id, expect_eip):
    if not public_ip or not subnet_id:
        return _check("spoke_public_ip", False, "spoke info lacks gw_public_ip or gw_subnet_id")
    if not expect_eip:
        reply = ec2_client.describe_instances(
            Filters=[
                {"Name": "subnet-id", "Values": [subnet_id]},
                {"Name": "instance-state-name", "Values": ["running"]},
            ]
        )
        for reservation in reply.get("Reservations", []):
            for instance in reservation.get("Instances", []):
                if instance.get("PublicIpAddress") == public_ip and instance.get("SubnetId") == subnet_id:
                    return _check("spoke_public_ip", True, f"{public_ip} is held by {instance['InstanceId']}")
        return _check("spoke_public_ip", False, f"no running instance in {subnet_id} has {public_ip}")
    address = describe_address(ec2_client, public_ip)
    if address is None:
        return _check("spoke_public_ip", False, f"{public_ip} is not an Elastic IP of this account")
    instance_id = address.get("InstanceId")
    if not instance_id:
        return _check("spoke_public_ip", False, f"Elastic IP {public_ip} is not associated with an instance")
    reply = ec2_client.describe_instances(Filters=[{"Name": "instance-id", "Values": [instance_id]}])
    found = [i for r in reply.get("Reservations", []) for i in r.get("Instances", [])]
    if not found:
        return _check("spoke_public_ip", False, f"instance {instance_id} holding {public_ip} does not exist")
    instance = found[0]
    state = instance.get("State", {}).get("Name")
    if state != "running":
        return _check("spoke_public_ip", False, f"instance {instance_id} holding {public_ip} is {state}")
    if instance.get("SubnetId") != subnet_id:
        return _check(
            "spoke_public_ip",
            False,
            f"instance {instance_id} holding {public_ip} is in {instance.get('SubnetId')}, not {subnet_id}",
        )
    return _check(
        "spoke_public_ip", True, f"Elastic IP {public_ip} is held by running {instance_id} in {subnet_id}"
    )


def _check_private_routes(ec2_client, vpc_id):
    checked = 0
    dead = []
    for table in describe_vpc_route_tables(ec2_client, vpc_id):
        default = next(
            (r for r in table.get("Routes", []) if r.get("DestinationCidrBlock") == "0.0.0.0/0"), None
        )
        if default is None or str(default.get("GatewayId", "")).startswith("igw-"):
            continue
        checked += 1
        if not route_target_is_live(ec2_client, default):
            target = next(
                (
                    default[k]
                    for k in ("NatGatewayId", "InstanceId", "NetworkInterfaceId", "GatewayId")
                    if default.get(k)
                ),
                "no target",
            )
            dead.append(f"{table['RouteTableId']} -> {target}")
    if dead:
        return _check("private_default_routes", False, "dead default routes: " + ", ".join(dead))
    return _check("private_default_routes", True, f"{checked} private default routes have live targets")


def _route_target_text(route):
    return next(
        (
            route[k]
            for k in ("NatGatewayId", "InstanceId", "NetworkInterfaceId", "TransitGatewayId", "GatewayId")
            if route.get(k)
        ),
        "no target",
    )


def _backed_up_tables(vpc_id):
    """The route tables as the run backed them up before its first change, or None without a backup."""
    folder = MementoHistory.opened_in()
    path = os.path.join(folder, BACKUP_FILE) if folder else None
    if path is None or not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            backup = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(backup, dict) or backup.get("vpc_id") not in (None, vpc_id):
        return None
    tables = backup.get("RouteTables")
    return tables if isinstance(tables, list) else None


def _check_replaced_routes(ec2_client, vpc_id):
    """Every route (any destination) that pointed at a NAT gateway that is gone now is still there and
    reaches a live target. None when the run has no route table backup to tell those routes."""
    backed_up = _backed_up_tables(vpc_id)
    if backed_up is None:
        return None
    live = {
        n["NatGatewayId"]
        for n in _describe_natgws(ec2_client, [{"Name": "vpc-id", "Values": [vpc_id]}])
        if n.get("State") in ("pending", "available")
    }
    now = {t["RouteTableId"]: t for t in describe_vpc_route_tables(ec2_client, vpc_id)}
    checked, dead = 0, []
    for table in backed_up:
        current = now.get(table.get("RouteTableId"))
        if current is None:
            continue  # the route table itself is gone: nothing is routed by it
        for route in table.get("Routes") or []:
            key, destination = route_destination(route)
            if not key or not route.get("NatGatewayId") or route["NatGatewayId"] in live:
                continue
            if route.get("State") == "blackhole":
                continue  # dead before the run: not one the migration broke
            checked += 1
            found = next((r for r in current.get("Routes", []) if r.get(key) == destination), None)
            if found is None:
                dead.append(f"{table['RouteTableId']} {destination} (was {route['NatGatewayId']}): missing")
            elif not route_target_is_live(ec2_client, found):
                dead.append(f"{table['RouteTableId']} {destination} -> {_route_target_text(found)}: not live")
    if dead:
        return _check("replaced_natgw_routes", False, "routes of replaced NAT gateways: " + ", ".join(dead))
    return _check(
        "replaced_natgw_routes",
        True,
        f"{checked} routes that pointed at replaced NAT gateways have live targets",
    )


def _spoke_checks(ec2_client, settings, spoke):
    """The checks of one look at a spoke's egress."""
    checks = []
    try:
        checks.append(
            _check_spoke_ip(
                ec2_client, spoke.get("gw_public_ip"), spoke.get("gw_subnet_id"), settings["expect_eip"]
            )
        )
        if settings["check_routes"]:
            vpc_id = settings["vpc_id"]
            if vpc_id is None and spoke.get("gw_subnet_id"):
                subnets = ec2_client.describe_subnets(SubnetIds=[spoke["gw_subnet_id"]])["Subnets"]
                vpc_id = subnets[0]["VpcId"] if subnets else None
            if vpc_id is None:
                checks.append(_check("private_default_routes", False, "the VPC of the spoke is unknown"))
            else:
                checks.append(_check_private_routes(ec2_client, vpc_id))
                replaced = _check_replaced_routes(ec2_client, vpc_id)
                if replaced is not None:
                    checks.append(replaced)
    except Exception as e:  # a check that cannot run has not shown that egress works
        logger.exception("  Acceptance test could not run")
        checks.append(_check("test_run", False, f"check could not run: {type(e).__name__}: {e}"))
    return checks


class Test:
    """Egress test of one new spoke gateway (class-level: one prepared test at a time)."""

    __test__ = False  # not a pytest test class

    prepared = None

    @classmethod
    def generate_test_config(cls, input_test_config, output_test_config, spoke_info):
        """Prepare the test of the spoke described by `spoke_info`."""
        cls.prepared = {
            "settings": load_test_settings(input_test_config),
            "output": _output_path(output_test_config),
            "spoke": dict(spoke_info or {}),
        }
        return cls.prepared

    @classmethod
    def run_test(cls):
        """Run the prepared test; false when it fails (always true in a dry run)."""
        if cls.prepared is None:
            raise AcceptanceTestError("run_test called before generate_test_config")
        settings, spoke = cls.prepared["settings"], cls.prepared["spoke"]
        name = spoke.get("gw_name", "")
        logger.info("- Acceptance test of spoke %s", name)
        # Until the verdict is a pass, the journal takes the group under test as one to roll back.
        MementoHistory.record_test_start()
        ec2_client = _ec2()
        checks = cls._look(ec2_client, settings, spoke, name)
        result = _result("spoke", name, checks)
        _record_result(cls.prepared["output"], result)
        if Globals.dry_run:
            logger.info("  Dry run: acceptance test result not enforced")
            MementoHistory.record_test_passed()
            return True
        if result["passed"]:
            MementoHistory.record_test_passed()
        else:
            logger.error("Acceptance test of spoke %s failed: %s", name, failed_checks(checks))
        return result["passed"]

    @staticmethod
    def _look(ec2_client, settings, spoke, name):
        """The checks of the last look: looked at again while they fail, for the run's
        `waits.acceptance_test` seconds (once in a dry run, or outside a run)."""
        looks = []

        def look():
            looks.append(_spoke_checks(ec2_client, settings, spoke))
            failed = failed_checks(looks[-1])
            if failed and len(looks) == 1 and not once:
                logger.info(
                    "  Acceptance test of spoke %s not passed yet, looking again for up to %.0f s: %s",
                    name,
                    waits.acceptance_test,
                    failed,
                )
            return not failed, failed

        once = Globals.dry_run or Globals.waits is None

        waits = WaitSettings.of()
        waits = dataclasses.replace(waits, timeout=waits.acceptance_test)
        if once:
            look()
            return looks[-1]
        what = f"the acceptance test of spoke {name} to pass"
        try:
            wait_until(what, look, settings=waits, log=logger)
        except WaitTimeout:
            logger.info(
                "  Acceptance test of spoke %s still failing after %d looks over %.0f s",
                name,
                len(looks),
                waits.acceptance_test,
            )
            return looks[-1]
        if len(looks) > 1:
            logger.info(
                "  Acceptance test of spoke %s passed at look %d; waited for: %s",
                name,
                len(looks),
                failed_checks(looks[0]),
            )
        return looks[-1]


# ---------------------------------------------------------------- baseline before the handover


class TestMemento(Memento):
    """Record of the baseline check; it changed nothing, so there is nothing to undo."""

    __test__ = False

    def __init__(self, passed, checks, output):
        super().__init__()
        self.passed = passed
        self.checks = checks
        self.output = output

    def restore(self):
        Common.logOperation("TestMemento")
        logger.info("- Baseline test: nothing to undo")


class TestCmd:
    """Baseline check: every target NAT gateway is available and holds its Elastic IP."""

    __test__ = False

    def __init__(self, input_test_config, output_test_config, targets):
        self.input_test_config = input_test_config
        self.output_test_config = output_test_config
        self.targets = list(targets or [])

    def _check_target(self, ec2_client, target):
        nat_gw_id = target.get("nat_gw_id")
        natgw = describe_natgw(ec2_client, nat_gw_id)
        if natgw is None or natgw.get("State") != "available":
            state = natgw.get("State") if natgw else "missing"
            return _check(f"natgw {nat_gw_id}", False, f"NAT gateway is {state}")
        if target.get("gw_subnet_id") and natgw.get("SubnetId") != target["gw_subnet_id"]:
            return _check(
                f"natgw {nat_gw_id}",
                False,
                f"NAT gateway is in {natgw.get('SubnetId')}, not {target['gw_subnet_id']}",
            )
        ips = [a.get("PublicIp") for a in natgw.get("NatGatewayAddresses", [])]
        if target.get("gw_public_ip") not in ips:
            return _check(
                f"natgw {nat_gw_id}", False, f"NAT gateway holds {ips}, not {target.get('gw_public_ip')}"
            )
        return _check(f"natgw {nat_gw_id}", True, f"available with Elastic IP {target.get('gw_public_ip')}")

    def execute(self):
        """Check the baseline and return its memento; a failed baseline stops the run."""
        Common.logOperation("TestCmd")
        load_test_settings(self.input_test_config)  # unusable settings fail here, before any change
        output = _output_path(self.output_test_config)
        logger.info("- Baseline test of %d NAT gateways", len(self.targets))
        ec2_client = _ec2()
        checks = [self._check_target(ec2_client, t) for t in self.targets]
        if not checks:
            checks.append(_check("natgw targets", False, "no NAT gateway to check"))
        result = _result("baseline", "natgw", checks)
        _record_result(output, result)
        if not result["passed"] and not Globals.dry_run:
            raise AcceptanceTestError(f"baseline test failed: {failed_checks(checks)}")
        return TestMemento(result["passed"], checks, output)
