"""The kill-anywhere harness (tidewall.sandbox.faults), and a fixed sample of kill points of a plain
execute: SIGKILL before and after outside calls, the stale lock reported and removed, the run resumed,
and the cloud and the journal equal to a clean run's."""

import boto3
import pytest
import requests
from moto import mock_aws

from tidewall.sandbox import faults
from tidewall.sandbox.egress import EgressMonitor
from tidewall.sandbox.faults import AFTER, BEFORE, FaultWorld, KillPoint, kill_anywhere, points_at


class TestHooks:
    def test_every_outside_call_is_logged_with_its_service_and_operation(self, tmp_path, monkeypatch):
        log = tmp_path / "calls.log"
        for key in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
            monkeypatch.setenv(key, "testing")
        faults.install(str(log))
        try:
            with mock_aws():
                s3 = boto3.client("s3", region_name="us-east-1")
                s3.create_bucket(Bucket="calls-bucket")
                s3.list_objects_v2(Bucket="calls-bucket")
            with pytest.raises(requests.RequestException):
                requests.post("http://127.0.0.1:9/v2/api", data={"action": "login", "CID": "x"}, timeout=1)
            with pytest.raises(RuntimeError, match="installed already"):
                faults.install(str(log))
        finally:
            faults.uninstall()
        calls = faults.read_calls(log)
        assert [(c.n, c.kind, c.service, c.op) for c in calls] == [
            (1, "aws", "s3", "CreateBucket"),
            (2, "aws", "s3", "ListObjectsV2"),
            (3, "controller", "POST", "login"),
        ]

    def test_a_line_torn_by_the_kill_is_left_out(self, tmp_path):
        log = tmp_path / "calls.log"
        log.write_text('{"kind": "aws", "n": 1, "op": "PutObject", "pid": 7, "service": "s3"}\n{"kind": "aw')
        assert [str(c) for c in faults.read_calls(log)] == ["#1 s3 PutObject"]
        assert faults.read_calls(tmp_path / "missing.log") == []

    @pytest.mark.parametrize("text", ["17", "during:3", "after:0", "after:x", "before:-1"])
    def test_kill_points_are_checked(self, text):
        with pytest.raises(ValueError):
            KillPoint.parse(text)
        assert KillPoint.parse("after:17") == KillPoint(AFTER, 17)

    def test_points_at_named_calls(self):
        calls = [faults.Call(n, "aws", "ec2", op, 1) for n, op in enumerate(["A", "B", "A"], start=1)]
        assert points_at(calls, "before:A#2", "after:B") == [KillPoint(BEFORE, 3), KillPoint(AFTER, 2)]
        with pytest.raises(ValueError, match="0 C call"):
            points_at(calls, "after:C")


# The points that find faults sit between an outside change and its record in the journal, and around the
# lock: right after the lock is taken, after a NAT gateway's deletion, after a spoke's creation and after
# the resize.
SAMPLE = (
    "after:PutObject#1",
    "after:DeleteNatGateway#1",
    "after:ReplaceRoute#3",  # NAT gateway 1's routes parked on the primary, the deletion not sent yet
    "after:DeleteNatGateway#2",
    "after:create_multicloud_primary_gateway",
    "after:create_multicloud_ha_gateway#2",
    "after:change_gateway_size",
)


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_execute_killed_anywhere_converges_to_the_clean_run(tmp_path):
    monitors = []

    def watch_egress(world):
        monitor = EgressMonitor(
            world.aws.account_id, world.aws.region, world.seeded.vpc_id, serves=world.ctl.backend.serves
        )
        world.aws.world.monitor = monitor
        world.aws.world.changed()
        monitors.append(monitor)

    with FaultWorld(nat_gateways=3, workdir=str(tmp_path)) as world:
        clean = kill_anywhere(world, "execute", points=[], prepare=watch_egress)
        assert clean.calls > 50 and clean.clean_state.lock is None
        migrated = clean.clean_state
        assert {z.eip_holder[0] for z in migrated.zones} == {"spoke"}
        assert migrated.local == migrated.s3 and len(migrated.s3.mementos) == 11

        sweep = kill_anywhere(
            world,
            "execute",
            points_at(clean.clean.calls, *SAMPLE),
            prepare=watch_egress,
            clean=(clean.clean, migrated),
        )
    assert all(case.reached for case in sweep.cases), sweep.report()
    # Each killed run left its lock; it named the killed process and `tidewall unlock` removed it.
    assert all(case.runs[1].command.startswith("unlock --lock-id") for case in sweep.cases), sweep.report()
    assert sweep.failures() == [], sweep.report()
    # The egress figure: no private subnet was without egress at any moment of a killed and resumed run.
    dark = [
        case.point
        for case, monitor in zip(sweep.cases, monitors[1:], strict=True)
        if any(not egress.live for line in monitor.timeline.values() for _t, egress in line)
    ]
    assert dark == [], sweep.report()


def poisoned_journal(world):
    """The journal a first run left before the checks existed: a discovery of one NAT gateway, no step."""
    from tidewall.commands.history import CommandHistory
    from tidewall.core.ConfigAdaptor import ConfigAdaptor
    from tidewall.lib import s3
    from tidewall.lib.s3 import S3BackupCmdV2

    descriptor = ConfigAdaptor(world.config_path).backup_descriptor
    zone = world.seeded.zones[0]
    record = {
        "subnet_id": zone.public_subnet_id,
        "subnet_cidr": zone.public_cidr,
        "initial_size": "t3.small",
        "size": "t3.small",
        "nat_gw_id": zone.nat_gateway_id,
        "private_ip": "10.0.0.10",
        "eip": zone.eip,
    }
    CommandHistory.init(descriptor.getAbsolutePath(), world.seeded.vpc_id, version="v2")
    CommandHistory.log_discover_natgw_cmd([record])
    with open(f"{descriptor.getAbsolutePath()}/route_tables_backup.json", "w") as f:
        f.write("{}")
    S3BackupCmdV2(world.aws.client("s3"), descriptor).upload()
    s3.clear_registry()


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_reset_killed_anywhere_converges(tmp_path):
    with FaultWorld(nat_gateways=1, workdir=str(tmp_path)) as world:
        clean = kill_anywhere(world, "reset", points=[], prepare=poisoned_journal)
        assert clean.clean_state.s3.discovered is None and clean.clean_state.local.discovered is None
        points = points_at(clean.clean.calls, "after:DeleteObject#1", "before:DeleteObject#2")
        sweep = kill_anywhere(
            world, "reset", points, prepare=poisoned_journal, clean=(clean.clean, clean.clean_state)
        )
        # A reset cut short leaves a journal that execute still refuses, pointing to reset.
        world.reset()
        poisoned_journal(world)
        killed = world.run("reset", kill=points[0])
        assert (
            killed.killed
            and world.run("unlock", "--lock-id", world.lock_holder().lock_id, "--yes").status == 0
        )
        refused = world.run("execute")
    assert sweep.failures() == [] and all(c.reached for c in sweep.cases), sweep.report()
    assert refused.status == 2 and "tidewall reset --config" in refused.stderr, refused.stderr
