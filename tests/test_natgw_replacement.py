"""Which NAT gateways a migration replaces, which of their addresses it hands over and gives back, and the
undo it puts on record before each change (moto VPC, answering as AWS does: moto_as_aws)."""

import json

import pytest

import moto_as_aws
from aws_fixtures import build_vpc, default_route, mocked_aws, natgw_info
from tidewall.commands import history
from tidewall.commands.history import CommandHistory, MementoHistory
from tidewall.core.Globals import Globals
from tidewall.lib import ec2_reads, natgw
from tidewall.lib.gateway_size import DetermineGwSizeCmd
from tidewall.lib.natgw import (
    NatGwCmd,
    NatGwDeleteMemento,
    NatGwError,
    discoverable_natgws,
    get_existing_natgws,
    get_natgw_by_subnet,
    natgws_left_alone,
    ordered_addresses,
)
from tidewall.lib.route_table import NatGwTrafficCmd, NatGwTrafficMemento, SnapshotRTCmd


@pytest.fixture
def aws(monkeypatch):
    with mocked_aws(monkeypatch) as manager:
        yield manager


@pytest.fixture
def vpc(aws):
    return build_vpc(aws.ec2)


def ids(natgws):
    return [n["NatGatewayId"] for n in natgws]


def with_secondary_first(ec2, vpc, i):
    """Replace NAT gateway i by one with a secondary EIP whose addresses AWS lists secondary first.
    Returns (NAT gateway id, primary allocation, secondary allocation, primary private IP)."""
    ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[i])
    secondary = ec2.allocate_address(Domain="vpc")
    created = ec2.create_nat_gateway(
        SubnetId=vpc.public_subnets[i],
        AllocationId=vpc.allocation_ids[i],
        SecondaryAllocationIds=[secondary["AllocationId"]],
        SecondaryPrivateIpAddresses=[f"10.20.{i}.200"],
    )["NatGateway"]
    nat_id = created["NatGatewayId"]
    ec2.replace_route(RouteTableId=vpc.private_rtbs[i], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=nat_id)
    moto_as_aws.nat_gateway(nat_id).address_set.reverse()
    ec2_reads.forget()
    primary_ip = created["NatGatewayAddresses"][0]["PrivateIp"]
    return nat_id, vpc.allocation_ids[i], secondary, primary_ip


# ------------------------------------------------------------------------------ what is replaced


class TestOnlyPublicZonalNatGateways:
    def test_private_and_regional_ones_are_left_alone_everywhere(self, aws, vpc, tmp_path, caplog):
        ec2 = aws.ec2
        private = ec2.create_nat_gateway(SubnetId=vpc.public_subnets[1], ConnectivityType="private")
        private_id = private["NatGateway"]["NatGatewayId"]
        ec2.create_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="192.168.0.0/16", NatGatewayId=private_id
        )
        moto_as_aws.nat_gateway(vpc.natgw_ids[2]).subnet_id = None  # a regional NAT gateway
        ec2_reads.forget()

        with caplog.at_level("INFO", logger="tidewall.lib.natgw"):
            found = get_existing_natgws(ec2, None, vpc.vpc_id)
        assert ids(found) == vpc.natgw_ids[:2]
        assert ids(discoverable_natgws(ec2, vpc.vpc_id)) == vpc.natgw_ids[:2]
        alone = {n["NatGatewayId"]: reason for n, reason in natgws_left_alone(ec2, vpc.vpc_id)}
        assert set(alone) == {private_id, vpc.natgw_ids[2]}
        assert "private NAT gateway" in alone[private_id] and "regional" in alone[vpc.natgw_ids[2]]
        assert f"Leaving NAT gateway {private_id} alone" in caplog.text
        # The private NAT gateway shares a subnet with a public one: only the public one is found there.
        assert ids(get_natgw_by_subnet(ec2, vpc.public_subnets[1], vpc.vpc_id)) == [vpc.natgw_ids[1]]

        snapshot = SnapshotRTCmd(ec2, str(tmp_path), vpc.vpc_id, [], "bucket", tag="s1").execute()
        assert private_id not in {r["target_id"] for r in snapshot.routes}
        record = dict(natgw_info(vpc, 1), nat_gw_id=private_id)
        with pytest.raises(NatGwError, match="private NAT gateway.*refusing"):
            NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(record)
        assert ec2.describe_nat_gateways(NatGatewayIds=[private_id])["NatGateways"][0]["State"] == "available"

    def test_the_checks_before_a_first_run_count_the_same_set(self, aws, vpc):
        from tidewall.core.exceptions import UsageError
        from tidewall.runner import check_vpc_ready

        class Ca:
            vpc_id, region = vpc.vpc_id, "us-east-1"

        for nat_id in vpc.natgw_ids[1:]:
            aws.ec2.delete_nat_gateway(NatGatewayId=nat_id)
        aws.ec2.create_nat_gateway(SubnetId=vpc.public_subnets[1], ConnectivityType="private")
        with pytest.raises(UsageError, match="has 1 available NAT gateway;"):
            check_vpc_ready(Ca, aws)

    def test_twin_public_natgws_in_one_subnet_are_refused_naming_them(self, aws, vpc):
        from tidewall.core.exceptions import UsageError
        from tidewall.runner import check_vpc_ready

        class Ca:
            vpc_id, region = vpc.vpc_id, "us-east-1"

        ec2 = aws.ec2
        twin = ec2.create_nat_gateway(
            SubnetId=vpc.public_subnets[0], AllocationId=ec2.allocate_address(Domain="vpc")["AllocationId"]
        )["NatGateway"]["NatGatewayId"]
        ec2.create_nat_gateway(SubnetId=vpc.public_subnets[1], ConnectivityType="private")  # no twin
        ec2_reads.forget()
        with pytest.raises(UsageError, match="more than one public NAT gateway in one subnet") as refused:
            check_vpc_ready(Ca, aws)
        twins = ", ".join(sorted([vpc.natgw_ids[0], twin]))
        assert f"{twins} in {vpc.public_subnets[0]}." in str(refused.value)
        assert vpc.public_subnets[1] not in str(refused.value)

    @pytest.mark.parametrize(
        "description, regional",
        [
            ({"SubnetId": "subnet-1", "AvailabilityMode": "regional"}, True),
            ({"SubnetId": "subnet-1", "AvailabilityMode": "zonal"}, False),
            ({"SubnetId": "subnet-1"}, False),
            ({}, True),  # an older answer: no mode, and no subnet
        ],
    )
    def test_regional_by_availability_mode_else_by_the_missing_subnet(self, description, regional):
        assert natgw.replaceable(description) is not regional
        assert ("regional" in (natgw.left_alone_reason(description) or "")) is regional


# ------------------------------------------------------------------------------- which addresses


class TestPrimaryAddress:
    @pytest.mark.parametrize(
        "addresses, primary",
        [
            ([{"PublicIp": "s", "IsPrimary": False}, {"PublicIp": "p", "IsPrimary": True}], "p"),
            ([{"PublicIp": "a"}, {"PublicIp": "b"}], "a"),  # no marks: AWS's first
            ([{"PrivateIp": "10.0.0.1"}, {"PublicIp": "b", "AllocationId": "x"}], "b"),  # first with an EIP
            ([{"PublicIp": "s", "IsPrimary": False}, {"PublicIp": "u"}], "u"),  # not the one marked secondary
        ],
    )
    def test_primary_is_the_marked_one_else_the_first_public(self, addresses, primary):
        ordered = ordered_addresses({"NatGatewayAddresses": addresses})
        assert ordered[0].get("PublicIp") == primary and len(ordered) == len(addresses)

    def test_secondary_listed_first_is_not_handed_over_and_comes_back(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        nat_id, primary_alloc, secondary, primary_ip = with_secondary_first(ec2, vpc, 1)
        listed = ec2.describe_nat_gateways(NatGatewayIds=[nat_id])["NatGateways"][0]["NatGatewayAddresses"]
        assert listed[0]["AllocationId"] == secondary["AllocationId"]  # as AWS may list them

        # Lookups (and so the records the migration keeps) name the primary.
        [found] = get_natgw_by_subnet(ec2, vpc.public_subnets[1], vpc.vpc_id)
        assert found["NatGatewayAddresses"][0]["PublicIp"] == vpc.eips[1]
        cmd = DetermineGwSizeCmd(ec2, aws.cw, 3, get_existing_natgws(ec2, None, vpc.vpc_id))
        record = cmd.getNatGwInfo()[1]
        assert (record["eip"], record["private_ip"]) == (vpc.eips[1], primary_ip)

        memento = NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(record)
        assert (memento.eip, memento.allocation_id, memento.private_ip) == (
            vpc.eips[1],
            primary_alloc,
            primary_ip,
        )
        assert memento.secondary_eips == [secondary["PublicIp"]]
        assert memento.secondary_allocation_ids == [secondary["AllocationId"]]
        assert memento.secondary_private_ips == ["10.20.1.200"]

        rebuilt = NatGwDeleteMemento.__new__(NatGwDeleteMemento)
        rebuilt.__dict__.update(json.loads(json.dumps(memento.toDict())))
        rebuilt.restore()
        [back] = get_natgw_by_subnet(ec2, vpc.public_subnets[1], vpc.vpc_id)
        addresses = back["NatGatewayAddresses"]
        assert [(a["AllocationId"], a["PrivateIp"], a["IsPrimary"]) for a in addresses] == [
            (primary_alloc, primary_ip, True),
            (secondary["AllocationId"], "10.20.1.200", False),
        ]
        assert default_route(ec2, vpc.private_rtbs[1])["NatGatewayId"] == back["NatGatewayId"]

    def test_a_memento_of_an_older_journal_restores_without_secondary_fields(self, aws, vpc, tmp_path):
        memento = NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 0))
        state = memento.toDict()
        for key in ("secondary_eips", "secondary_allocation_ids", "secondary_private_ips"):
            del state[key]
        old = NatGwDeleteMemento.__new__(NatGwDeleteMemento)
        old.__dict__.update(json.loads(json.dumps(state)))
        old.restore()
        [back] = get_natgw_by_subnet(aws.ec2, vpc.public_subnets[0], vpc.vpc_id)
        assert back["NatGatewayAddresses"][0]["PublicIp"] == vpc.eips[0]


class TestGivingTheAddressesBack:
    def test_waits_for_aws_to_release_the_eip_and_never_disassociates_it(
        self, aws, vpc, tmp_path, monkeypatch
    ):
        ec2 = aws.ec2
        memento = NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 0))
        eni = memento.network_interface_ids[0]
        held = {"polls": 2}
        real = natgw._describe_addresses

        def still_held(client, ips):  # AWS still shows the deleted NAT gateway's association twice
            found = real(client, ips)
            if held["polls"]:
                held["polls"] -= 1
                found[vpc.eips[0]] = dict(
                    found[vpc.eips[0]], AssociationId="eipassoc-1", NetworkInterfaceId=eni
                )
            return found

        calls = []
        ec2.meta.events.register("before-call.ec2.*", lambda model, **_: calls.append(model.name))
        monkeypatch.setattr(natgw, "_describe_addresses", still_held)
        monkeypatch.setattr(Globals, "waits", {"poll_interval": 0.001, "max_poll_interval": 0.001})
        memento.restore()
        assert held["polls"] == 0 and "DisassociateAddress" not in calls and "CreateNatGateway" in calls

    def test_the_deletion_ends_once_aws_has_let_go_of_the_eips(self, aws, vpc, tmp_path, monkeypatch):
        held = {"polls": 2}
        real = natgw._describe_addresses
        eni = natgw._natgw_enis(
            aws.ec2.describe_nat_gateways(NatGatewayIds=[vpc.natgw_ids[0]])["NatGateways"][0]
        )

        def released_late(client, ips):  # `deleted`, but the address still on its interface twice
            found = real(client, ips)
            if held["polls"]:
                held["polls"] -= 1
                found[vpc.eips[0]] = dict(
                    found[vpc.eips[0]], AssociationId="eipassoc-1", NetworkInterfaceId=eni[0]
                )
            return found

        monkeypatch.setattr(natgw, "_describe_addresses", released_late)
        monkeypatch.setattr(Globals, "waits", {"poll_interval": 0.001, "max_poll_interval": 0.001})
        NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 0))
        assert held["polls"] == 0

    def test_an_association_ec2_drops_meanwhile_counts_as_done(self, aws, vpc, tmp_path, monkeypatch):
        from botocore.exceptions import ClientError

        from aws_fixtures import launch_instance

        ec2 = aws.ec2
        memento = NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 2))
        spoke = launch_instance(ec2, vpc.public_subnets[2], vpc.allocation_ids[2])
        ec2.terminate_instances(InstanceIds=[spoke])
        real = ec2.disassociate_address

        def raced(AssociationId):  # noqa: N803 - EC2 drops it (the spoke terminated) just before
            real(AssociationId=AssociationId)
            raise ClientError({"Error": {"Code": "InvalidAssociationID.NotFound"}}, "DisassociateAddress")

        monkeypatch.setattr(ec2, "disassociate_address", raced)
        monkeypatch.setattr(Globals, "waits", {"poll_interval": 0.001, "max_poll_interval": 0.001})
        memento.restore()
        [back] = get_natgw_by_subnet(ec2, vpc.public_subnets[2], vpc.vpc_id)
        assert back["NatGatewayAddresses"][0]["PublicIp"] == vpc.eips[2]

    def test_an_eip_held_by_a_live_instance_is_not_taken(self, aws, vpc, tmp_path):
        from aws_fixtures import launch_instance

        memento = NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 2))
        launch_instance(aws.ec2, vpc.public_subnets[2], vpc.allocation_ids[2])
        with pytest.raises(NatGwError, match=f"EIP {vpc.eips[2]} is still in use by instance"):
            memento.restore()


# ----------------------------------------------------------------------------- undo on record first


@pytest.fixture
def journal(aws, tmp_path):
    """A memento history open on a backup folder of its own (not written through: no S3 here)."""
    folder = str(tmp_path / "backup")
    CommandHistory.init(folder, "vpc-x", version="v2")
    MementoHistory.init(folder)
    yield folder
    history.MementoHistory._folder = None


def intent_at(operation, ec2):
    """The journal's intent as it stood when `operation` was sent."""
    seen = []

    def look(model, **_):
        if model.name == operation:
            seen.append(MementoHistory.intent())

    ec2.meta.events.register(f"before-call.ec2.{operation}", look)
    return seen


class TestUndoOnRecordBeforeTheChange:
    def test_deletion_is_on_record_before_delete_nat_gateway(self, aws, vpc, journal):
        seen = intent_at("DeleteNatGateway", aws.ec2)
        memento = NatGwCmd(aws.ec2, vpc.vpc_id, journal).delete(natgw_info(vpc, 1))
        [(name, state)] = seen
        assert name == "tidewall.lib.natgw.NatGwDeleteMemento" and state == memento.toDict()
        assert state["eip"] == vpc.eips[1] and state["routes"][0]["route_table_id"] == vpc.private_rtbs[1]
        with open(f"{journal}/memento_history.json") as f:
            assert json.load(f)["intent"]["state"]["nat_gw_id"] == vpc.natgw_ids[1]

    def test_traffic_move_is_on_record_before_the_first_route_moves(self, aws, vpc, journal):
        seen = intent_at("ReplaceRoute", aws.ec2)
        cmd = NatGwTrafficCmd(aws.ec2, vpc.natgw_ids[0], vpc.public_subnets[0], vpc.vpc_id, journal)
        memento = cmd.moveTraffic(vpc.public_subnets[1])
        assert [s[1] for s in seen] == [memento.toDict()]

    def test_nothing_is_recorded_in_a_dry_run_or_without_an_open_journal(self, aws, vpc, journal, tmp_path):
        Globals.dry_run = True
        NatGwCmd(aws.ec2, vpc.vpc_id, journal).delete(natgw_info(vpc, 0))
        assert MementoHistory.intent() is None
        Globals.dry_run = False
        NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path / "elsewhere")).delete(natgw_info(vpc, 0))
        assert MementoHistory.intent() is None

    def test_resolve_intent_of_a_deletion(self, aws, vpc, tmp_path, monkeypatch):
        memento = NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 0))
        assert memento.resolve_intent() is True  # deleted
        not_sent = NatGwCmd(aws.ec2, vpc.vpc_id, str(tmp_path))._memento(natgw_info(vpc, 1), None)
        assert not_sent.resolve_intent() is False  # still available: the deletion was never sent

        states = iter(["deleting", "deleting", "deleted"])

        class Deleting:
            def describe_nat_gateways(self, **kwargs):
                return {"NatGateways": [{"NatGatewayId": vpc.natgw_ids[2], "State": next(states)}]}

        class Manager:
            def getEc2Client(self):
                return Deleting()

        monkeypatch.setattr(Globals, "waits", {"poll_interval": 0.001, "max_poll_interval": 0.001})
        Globals.aws_client_manager = Manager()
        deleting = NatGwDeleteMemento(vpc.vpc_id, "s", "c", vpc.natgw_ids[2], None, None, None, [], [], [])
        assert deleting.resolve_intent() is True
        assert next(states, "waited until deleted") == "waited until deleted"

    def test_resolve_intent_of_a_traffic_move_finishes_one_cut_short(self, aws, vpc, tmp_path):
        ec2 = aws.ec2
        target = vpc.natgw_ids[1]
        routes = [
            {"route_table_id": t, "destination_key": "DestinationCidrBlock", "destination": "0.0.0.0/0"}
            for t in (vpc.private_rtbs[0], vpc.private_rtbs[2])
        ]
        memento = NatGwTrafficMemento(
            vpc.vpc_id, "s1", vpc.public_subnets[0], vpc.natgw_ids[0], vpc.public_subnets[1], target, routes
        )
        assert memento.resolve_intent() is False  # nothing moved yet
        ec2.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=target
        )
        assert memento.resolve_intent() is True
        assert default_route(ec2, vpc.private_rtbs[2])["NatGatewayId"] == target  # the rest moved too
