"""NAT gateway, route table and sizing commands against a moto VPC."""

import json
import logging

import pytest

from aws_fixtures import (
    build_vpc,
    default_route,
    launch_instance,
    mocked_aws,
    natgw_info,
    put_natgw_metrics,
)
from tidewall.core.Globals import Globals
from tidewall.lib import natgw as natgw_mod
from tidewall.lib import route_table as rt_mod
from tidewall.lib.gateway_size import INFO_KEYS, DetermineGwSizeCmd
from tidewall.lib.natgw import (
    NatGwCmd,
    NatGwDeleteMemento,
    NatGwError,
    eip_in_use,
    get_existing_natgws,
    get_natgw_by_subnet,
)
from tidewall.lib.route_table import (
    NatGwTrafficCmd,
    NatGwTrafficMemento,
    RouteTableError,
    SnapshotRTCmd,
    SnapshotRTMemento,
    backupAllRtbs,
    route_target_is_live,
)


@pytest.fixture
def aws(monkeypatch):
    with mocked_aws(monkeypatch) as manager:
        yield manager


@pytest.fixture
def vpc(aws):
    return build_vpc(aws.ec2)


def roundtrip(memento):
    """Persist and rebuild a memento the way the history does."""
    state = json.loads(json.dumps(memento.toDict()))
    rebuilt = type(memento).__new__(type(memento))
    rebuilt.__dict__.update(state)
    return rebuilt


def available_in(ec2, vpc, i):
    return [n["NatGatewayId"] for n in get_natgw_by_subnet(ec2, vpc.public_subnets[i], vpc.vpc_id)]


def delete_natgw(ec2, vpc, i, tmp_path):
    return NatGwCmd(ec2, vpc.vpc_id, str(tmp_path), version="v2").delete(natgw_info(vpc, i))


class TestLookups:
    def test_only_available_natgws_in_zone_order(self, aws, vpc):
        ec2 = aws.ec2
        assert [n["NatGatewayId"] for n in get_existing_natgws(ec2, None, vpc.vpc_id)] == vpc.natgw_ids
        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[1])
        assert [n["NatGatewayId"] for n in get_existing_natgws(ec2, None, vpc.vpc_id)] == [
            vpc.natgw_ids[0],
            vpc.natgw_ids[2],
        ]
        assert available_in(ec2, vpc, 1) == []
        assert available_in(ec2, vpc, 2) == [vpc.natgw_ids[2]]
        assert get_natgw_by_subnet(ec2, vpc.private_subnets[0], vpc.vpc_id) == []
        assert get_existing_natgws(ec2, None, "vpc-00000000") == []

    def test_eip_in_use_ignores_stale_associations(self, aws, vpc):
        ec2 = aws.ec2
        assert eip_in_use(ec2, vpc.eips[0])
        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[0])  # moto keeps the association
        assert not eip_in_use(ec2, vpc.eips[0])
        instance = launch_instance(ec2, vpc.public_subnets[0], vpc.allocation_ids[0])
        assert eip_in_use(ec2, vpc.eips[0])
        ec2.stop_instances(InstanceIds=[instance])
        assert not eip_in_use(ec2, vpc.eips[0])
        assert not eip_in_use(ec2, "198.51.100.7")


class TestRouteLiveness:
    def test_targets(self, aws, vpc):
        ec2 = aws.ec2
        assert route_target_is_live(ec2, default_route(ec2, vpc.private_rtbs[0]))
        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[0])
        stale = default_route(ec2, vpc.private_rtbs[0])
        assert stale["State"] == "active"  # moto's view; AWS would show a blackhole
        assert not route_target_is_live(ec2, stale)
        assert route_target_is_live(ec2, {"GatewayId": "local"})
        assert route_target_is_live(ec2, default_route(ec2, vpc.public_rtb))
        ec2.detach_internet_gateway(InternetGatewayId=vpc.igw_id, VpcId=vpc.vpc_id)
        assert not route_target_is_live(ec2, {"GatewayId": vpc.igw_id})
        instance = launch_instance(ec2, vpc.public_subnets[1])
        assert route_target_is_live(ec2, {"InstanceId": instance})
        ec2.terminate_instances(InstanceIds=[instance])
        assert not route_target_is_live(ec2, {"InstanceId": instance})
        assert not route_target_is_live(ec2, {"NetworkInterfaceId": "eni-0123456789abcdef0"})


class TestNatGwDelete:
    def test_delete_waits_keeps_eip_and_is_repeatable(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        memento = delete_natgw(ec2, vpc, 0, tmp_path)
        state = ec2.describe_nat_gateways(NatGatewayIds=[vpc.natgw_ids[0]])["NatGateways"][0]["State"]
        assert state == "deleted"
        address = ec2.describe_addresses(PublicIps=[vpc.eips[0]])["Addresses"][0]
        assert address["AllocationId"] == vpc.allocation_ids[0]
        assert not address.get("AssociationId")  # free for the spoke, as AWS leaves it
        assert memento.routes == [
            {
                "route_table_id": vpc.private_rtbs[0],
                "destination_key": "DestinationCidrBlock",
                "destination": "0.0.0.0/0",
            }
        ]
        again = delete_natgw(ec2, vpc, 0, tmp_path)
        assert again.routes == memento.routes and again.eip == vpc.eips[0]
        record = dict(natgw_info(vpc, 0), nat_gw_id="nat-0123456789abcdef0")
        assert NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(record).routes == []

    def test_refuses_natgw_outside_the_record(self, aws, vpc, tmp_path):
        record = dict(natgw_info(vpc, 0), subnet_id=vpc.public_subnets[1])
        with pytest.raises(NatGwError, match="refusing"):
            NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path)).delete(record)
        assert available_in(aws.ec2, vpc, 0) == [vpc.natgw_ids[0]]

    def test_wait_is_bounded(self):
        class Stuck:
            def describe_nat_gateways(self, **kwargs):
                return {"NatGateways": [{"NatGatewayId": "nat-1", "State": "deleting"}]}

        with pytest.raises(NatGwError, match="timed out"):
            natgw_mod._wait_natgw(Stuck(), "nat-1", ("deleted",), timeout=0)

    def test_restore_recreates_in_subnet_with_same_eip(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        memento = roundtrip(delete_natgw(ec2, vpc, 1, tmp_path))
        memento.restore()
        [new_id] = available_in(ec2, vpc, 1)
        assert new_id != vpc.natgw_ids[1]
        new = ec2.describe_nat_gateways(NatGatewayIds=[new_id])["NatGateways"][0]
        assert new["NatGatewayAddresses"][0]["PublicIp"] == vpc.eips[1]
        assert {"Key": "Name", "Value": f"nat-{vpc.zones[1]}"} in new["Tags"]
        assert default_route(ec2, vpc.private_rtbs[1])["NatGatewayId"] == new_id
        memento.restore()
        assert available_in(ec2, vpc, 1) == [new_id]

    def test_restore_after_spoke_released_the_eip(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        memento = roundtrip(delete_natgw(ec2, vpc, 0, tmp_path))
        spoke = launch_instance(ec2, vpc.public_subnets[0], vpc.allocation_ids[0])
        with pytest.raises(NatGwError, match="still in use"):
            memento.restore()
        assert available_in(ec2, vpc, 0) == []
        ec2.terminate_instances(InstanceIds=[spoke])
        memento.restore()
        assert len(available_in(ec2, vpc, 0)) == 1


class TestTrafficMove:
    def test_move_and_restore_after_natgw_recreated(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        cmd = NatGwTrafficCmd(
            ec2, vpc.natgw_ids[0], vpc.public_subnets[0], vpc.vpc_id, str(tmp_path), tag="s1"
        )
        moved = roundtrip(cmd.moveTraffic(vpc.public_subnets[1]))
        assert default_route(ec2, vpc.private_rtbs[0])["NatGatewayId"] == vpc.natgw_ids[1]
        deleted = roundtrip(delete_natgw(ec2, vpc, 0, tmp_path))
        assert deleted.routes == []
        deleted.restore()
        [new_id] = available_in(ec2, vpc, 0)
        moved.restore()
        assert default_route(ec2, vpc.private_rtbs[0])["NatGatewayId"] == new_id
        assert default_route(ec2, vpc.private_rtbs[1])["NatGatewayId"] == vpc.natgw_ids[1]

    def test_repeat_moves_nothing(self, aws, vpc, tmp_path, caplog):
        ec2 = aws.ec2
        cmd = NatGwTrafficCmd(ec2, vpc.natgw_ids[0], vpc.public_subnets[0], vpc.vpc_id, str(tmp_path))
        cmd.moveTraffic(vpc.public_subnets[1])
        with caplog.at_level(logging.WARNING, logger="tidewall.lib.route_table"):
            again = roundtrip(cmd.moveTraffic(vpc.public_subnets[1]))
        assert again.routes == [] and "nothing to move" in caplog.text
        again.restore()
        assert default_route(ec2, vpc.private_rtbs[0])["NatGatewayId"] == vpc.natgw_ids[1]

    def test_errors(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        cmd = NatGwTrafficCmd(ec2, vpc.natgw_ids[0], vpc.public_subnets[0], vpc.vpc_id, str(tmp_path))
        with pytest.raises(RouteTableError, match="no available NAT gateway"):
            cmd.moveTraffic(vpc.private_subnets[1])
        moved = cmd.moveTraffic(vpc.public_subnets[1])
        ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[0])
        with pytest.raises(RouteTableError, match="move the routes back"):
            moved.restore()


class TestSnapshot:
    def test_snapshot_and_restore_by_subnet(self, aws, vpc, tmp_path, monkeypatch):
        ec2 = aws.ec2
        uploads = []
        monkeypatch.setattr(
            "tidewall.lib.s3.write_through", lambda folder, name: uploads.append((folder, name))
        )
        memento = SnapshotRTCmd(
            ec2, str(tmp_path), vpc.vpc_id, [natgw_info(vpc, 0)], "bucket", tag="s1"
        ).execute()
        saved = json.loads((tmp_path / "rt_snapshot_s1.json").read_text())
        assert saved["routes"] == memento.routes and uploads == [(str(tmp_path), "rt_snapshot_s1.json")]
        assert {(r["route_table_id"], r["target_id"], r["nat_subnet_id"]) for r in memento.routes} == set(
            zip(vpc.private_rtbs, vpc.natgw_ids, vpc.public_subnets, strict=True)
        )
        memento = roundtrip(memento)
        NatGwTrafficCmd(ec2, vpc.natgw_ids[0], vpc.public_subnets[0], vpc.vpc_id, str(tmp_path)).moveTraffic(
            vpc.public_subnets[1]
        )
        delete_natgw(ec2, vpc, 0, tmp_path)
        new_id = ec2.create_nat_gateway(SubnetId=vpc.public_subnets[0], AllocationId=vpc.allocation_ids[0])
        new_id = new_id["NatGateway"]["NatGatewayId"]
        spoke = launch_instance(ec2, vpc.public_subnets[2])
        ec2.replace_route(
            RouteTableId=vpc.private_rtbs[2], DestinationCidrBlock="0.0.0.0/0", InstanceId=spoke
        )
        memento.restore()
        assert [default_route(ec2, rtb)["NatGatewayId"] for rtb in vpc.private_rtbs] == [
            new_id,
            vpc.natgw_ids[1],
            vpc.natgw_ids[2],
        ]

    def test_vanished_target_is_skipped(self, aws, vpc, tmp_path, caplog):
        ec2 = aws.ec2
        spoke = launch_instance(ec2, vpc.public_subnets[0])
        ec2.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", InstanceId=spoke
        )
        memento = roundtrip(SnapshotRTCmd(ec2, str(tmp_path), vpc.vpc_id, [], "bucket", tag="s2").execute())
        ec2.terminate_instances(InstanceIds=[spoke])
        ec2.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=vpc.natgw_ids[1]
        )
        with caplog.at_level(logging.WARNING, logger="tidewall.lib.route_table"):
            memento.restore()
        assert "no longer exists" in caplog.text
        assert default_route(ec2, vpc.private_rtbs[0])["NatGatewayId"] == vpc.natgw_ids[1]


class TestBackup:
    @pytest.mark.parametrize("tag", [True, False])
    def test_backup_and_tags(self, aws, vpc, tmp_path, tag):
        ec2 = aws.ec2
        backupAllRtbs(ec2, str(tmp_path), vpc.vpc_id, tag, vpc.natgw_ids[:2], version="v2")
        saved = json.loads((tmp_path / "route_tables_backup.json").read_text())
        ids = {t["RouteTableId"] for t in saved["RouteTables"]}
        assert {vpc.public_rtb, *vpc.private_rtbs} <= ids and saved["vpc_id"] == vpc.vpc_id
        tagged = {
            t["RouteTableId"]: {x["Key"]: x["Value"] for x in t["Tags"]}.get(rt_mod.BACKUP_TAG_KEY)
            for t in ec2.describe_route_tables(RouteTableIds=vpc.private_rtbs)["RouteTables"]
        }
        expected = dict.fromkeys(vpc.private_rtbs)
        if tag:
            expected.update({vpc.private_rtbs[0]: vpc.natgw_ids[0], vpc.private_rtbs[1]: vpc.natgw_ids[1]})
        assert tagged == expected


class TestSizes:
    def test_no_metrics_gives_smallest(self, aws, vpc):
        nat_gws = get_existing_natgws(aws.ec2, None, vpc.vpc_id)
        cmd = DetermineGwSizeCmd(aws.ec2, aws.cw, 3, nat_gws)
        cmd.execute()
        infos = cmd.getNatGwInfo()
        # The record's own keys first, in order; the peaks the sizes were chosen from after them.
        assert [tuple(i)[: len(INFO_KEYS)] for i in infos] == [INFO_KEYS] * 3
        assert {k: infos[1][k] for k in INFO_KEYS} == dict(natgw_info(vpc, 1))
        assert (infos[1]["peak_mbps"], infos[1]["peak_connections"]) == (0, 0)

    def test_sizes_from_peaks(self, aws, vpc):
        put_natgw_metrics(aws.cw, vpc.natgw_ids[0], {1: 10, 2: 40, 20: 5000})  # 20 days ago: out of range
        put_natgw_metrics(aws.cw, vpc.natgw_ids[1], {3: 150})
        put_natgw_metrics(aws.cw, vpc.natgw_ids[2], {1: 700}, connections=60_000)
        nat_gws = get_existing_natgws(aws.ec2, None, vpc.vpc_id)
        cmd = DetermineGwSizeCmd(aws.ec2, aws.cw, 2, nat_gws)
        cmd.execute()
        infos = cmd.getNatGwInfo()
        assert [(i["size"], i["initial_size"]) for i in infos] == [
            ("t3.small", "t3.medium"),  # primary carries 40 + 150 Mbit/s during the handover
            ("t3.medium", "t3.medium"),
            ("c5.xlarge", "c5.xlarge"),  # never below its own size; 60k connections outgrow c5.large
        ]


class TestDryRun:
    def test_nothing_changes(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        Globals.dry_run = True
        before = ec2.describe_route_tables()["RouteTables"]
        deleted = delete_natgw(ec2, vpc, 0, tmp_path)
        moved = NatGwTrafficCmd(
            ec2, vpc.natgw_ids[1], vpc.public_subnets[1], vpc.vpc_id, str(tmp_path)
        ).moveTraffic(vpc.public_subnets[2])
        snap = SnapshotRTCmd(ec2, str(tmp_path), vpc.vpc_id, [], "bucket").execute()
        backupAllRtbs(ec2, str(tmp_path), vpc.vpc_id, True, vpc.natgw_ids)
        assert len(moved.routes) == 1 and len(snap.routes) == 3 and len(deleted.routes) == 1
        assert available_in(ec2, vpc, 0) == [vpc.natgw_ids[0]]
        assert ec2.describe_route_tables()["RouteTables"] == before
        assert list(tmp_path.iterdir()) == []
        Globals.dry_run = False
        real = delete_natgw(ec2, vpc, 2, tmp_path)
        Globals.dry_run = True
        real.restore()
        assert available_in(ec2, vpc, 2) == []

    def test_mementos_are_plain_data(self, aws, vpc, tmp_path):
        for memento in (
            delete_natgw(aws.ec2, vpc, 0, tmp_path),
            SnapshotRTCmd(aws.ec2, str(tmp_path), vpc.vpc_id, [], "b").execute(),
            NatGwTrafficCmd(
                aws.ec2, vpc.natgw_ids[1], vpc.public_subnets[1], vpc.vpc_id, str(tmp_path)
            ).moveTraffic(vpc.public_subnets[2]),
        ):
            assert isinstance(memento, (NatGwDeleteMemento, SnapshotRTMemento, NatGwTrafficMemento))
            assert json.loads(json.dumps(memento.toDict())) == memento.toDict()
