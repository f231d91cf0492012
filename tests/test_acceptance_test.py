"""Baseline check before the handover and egress test of a new spoke, against a moto VPC."""

import json

import pytest

from aws_fixtures import build_vpc, launch_instance, mocked_aws, natgw_info
from tidewall.core.Globals import Globals
from tidewall.lib.natgw import NatGwCmd
from tidewall.lib.test import AcceptanceTestError, Test, TestCmd, TestMemento


@pytest.fixture
def aws(monkeypatch):
    Test.prepared = None
    with mocked_aws(monkeypatch) as manager:
        yield manager
    Test.prepared = None


@pytest.fixture
def vpc(aws):
    return build_vpc(aws.ec2)


@pytest.fixture
def handed_over(aws, vpc, tmp_path):
    """Zone 0 handed over: NAT gateway deleted, a spoke instance holds its EIP and carries the route."""
    ec2 = aws.ec2
    NatGwCmd(ec2, vpc.vpc_id, str(tmp_path)).delete(natgw_info(vpc, 0))
    spoke = launch_instance(ec2, vpc.public_subnets[0], vpc.allocation_ids[0])
    ec2.replace_route(RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", InstanceId=spoke)
    info = {
        "gw_name": "spoke-a",
        "gw_public_ip": vpc.eips[0],
        "gw_private_ip": "10.20.0.9",
        "gw_subnet_id": vpc.public_subnets[0],
        "gw_subnet_cidr": vpc.public_cidrs[0],
    }
    return spoke, info


def targets(vpc):
    return [
        {
            "nat_gw_id": vpc.natgw_ids[i],
            "gw_name": vpc.natgw_ids[i],
            "gw_public_ip": vpc.eips[i],
            "gw_private_ip": vpc.private_ips[i],
            "gw_subnet_id": vpc.public_subnets[i],
        }
        for i in range(len(vpc.natgw_ids))
    ]


def results(path):
    return json.loads(path.read_text())["results"]


class TestSpokeEgress:
    def test_pass_writes_result(self, aws, vpc, handed_over, tmp_path):
        out = tmp_path / "out" / "result.json"
        Test.generate_test_config(None, str(out), handed_over[1])
        assert Test.run_test() is True
        Test.generate_test_config({"vpc_id": vpc.vpc_id}, str(out), handed_over[1])
        assert Test.run_test() is True
        runs = results(out)
        assert len(runs) == 2 and all(r["passed"] for r in runs)
        assert [c["name"] for c in runs[0]["checks"]] == ["spoke_public_ip", "private_default_routes"]

    def test_route_to_deleted_natgw_fails(self, aws, vpc, handed_over, tmp_path):
        # moto still reports this route "active"; AWS would show a blackhole.
        aws.ec2.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=vpc.natgw_ids[0]
        )
        out = tmp_path / "r.json"
        Test.generate_test_config(None, out, handed_over[1])
        assert Test.run_test() is False
        [check] = [c for c in results(out)[0]["checks"] if not c["passed"]]
        assert check["name"] == "private_default_routes" and vpc.natgw_ids[0] in check["reason"]

    def test_a_failure_is_one_error_line_naming_the_check_and_the_resource(
        self, aws, vpc, handed_over, tmp_path, caplog
    ):
        aws.ec2.replace_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", NatGatewayId=vpc.natgw_ids[0]
        )
        Test.generate_test_config(None, None, handed_over[1])
        caplog.set_level("INFO", logger="tidewall.lib.test")
        assert Test.run_test() is False
        errors = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
        assert len(errors) == 1
        assert "check private_default_routes" in errors[0]
        assert vpc.private_rtbs[0] in errors[0] and vpc.natgw_ids[0] in errors[0]
        assert "check spoke_public_ip" not in errors[0]  # the check that passed is not named

    def test_routes_check_can_be_switched_off(self, aws, vpc, handed_over, tmp_path):
        aws.ec2.terminate_instances(InstanceIds=[handed_over[0]])
        settings = tmp_path / "settings.yaml"
        settings.write_text("check_routes: false\nexpect_eip: true\n")
        Test.generate_test_config(str(settings), None, handed_over[1])
        assert Test.run_test() is False  # the spoke instance is gone
        launch_instance(aws.ec2, vpc.public_subnets[0], vpc.allocation_ids[0])
        assert Test.run_test() is True  # dead route ignored

    @pytest.mark.parametrize(
        "problem", ["not_eip", "unassociated", "other_subnet", "unknown_subnet", "no_subnet"]
    )
    def test_spoke_ip_failures(self, aws, vpc, handed_over, problem):
        spoke, info = handed_over
        ec2 = aws.ec2
        if problem == "not_eip":
            info = dict(info, gw_public_ip="198.51.100.7")
        elif problem == "unassociated":
            ec2.disassociate_address(
                AssociationId=ec2.describe_addresses(PublicIps=[vpc.eips[0]])["Addresses"][0]["AssociationId"]
            )
        elif problem == "other_subnet":
            info = dict(info, gw_subnet_id=vpc.public_subnets[1])
        elif problem == "unknown_subnet":  # the routes check cannot even find the VPC
            info = dict(info, gw_subnet_id="subnet-0123456789abcdef0")
        else:
            info = {"gw_name": "spoke-a"}
        Test.generate_test_config(None, None, info)
        assert Test.run_test() is False

    def test_bad_settings_and_order(self, aws, handed_over, tmp_path):
        with pytest.raises(AcceptanceTestError, match="run_test called before"):
            Test.run_test()
        with pytest.raises(AcceptanceTestError, match="expect_eip"):
            Test.generate_test_config({"expect_eip": "maybe"}, None, handed_over[1])
        with pytest.raises(AcceptanceTestError, match="does not exist"):
            Test.generate_test_config(str(tmp_path / "missing.yaml"), None, handed_over[1])

    def test_dry_run_passes_and_writes_nothing(self, aws, tmp_path):
        Globals.dry_run = True
        out = tmp_path / "r.json"
        Test.generate_test_config(None, str(out), {"gw_name": "spoke-a"})
        assert Test.run_test() is True
        assert not out.exists()

    @pytest.mark.parametrize("lagging_looks, limit, passed", [(1, 60, True), (10**6, 1, False)])
    def test_a_failure_is_looked_at_again_for_the_configured_time(
        self, aws, vpc, handed_over, monkeypatch, caplog, lagging_looks, limit, passed
    ):
        from tidewall.lib import test as acceptance

        real, looks = acceptance.describe_address, []

        def lagging(client, public_ip):  # a describe that does not show the association yet
            looks.append(public_ip)
            return None if len(looks) <= lagging_looks else real(client, public_ip)

        monkeypatch.setattr(acceptance, "describe_address", lagging)
        waits = {"acceptance_test": limit, "poll_interval": 0.001, "max_poll_interval": 0.001}
        monkeypatch.setattr(Globals, "waits", waits)
        caplog.set_level("INFO", logger="tidewall.lib.test")
        Test.generate_test_config(None, None, handed_over[1])
        assert Test.run_test() is passed and len(looks) > 1
        said = "passed at look 2; waited for: check spoke_public_ip" if passed else "still failing after"
        assert said in caplog.text and f"looking again for up to {limit} s" in caplog.text

    def test_every_route_that_pointed_at_a_replaced_natgw_is_checked(self, aws, vpc, tmp_path, caplog):
        from aws_fixtures import launch_instance
        from tidewall.commands import history
        from tidewall.lib.route_table import backupAllRtbs

        ec2, partner = aws.ec2, "203.0.113.0/24"
        ec2.create_route(
            RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock=partner, NatGatewayId=vpc.natgw_ids[0]
        )
        folder = str(tmp_path / "backup")
        history.CommandHistory.init(folder, vpc.vpc_id, version="v2")
        history.MementoHistory.init(folder)
        try:
            backupAllRtbs(ec2, folder, vpc.vpc_id, False, vpc.natgw_ids)
            NatGwCmd(ec2, vpc.vpc_id, folder).delete(natgw_info(vpc, 0))
            spoke = launch_instance(ec2, vpc.public_subnets[0], vpc.allocation_ids[0])
            ec2.replace_route(
                RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock="0.0.0.0/0", InstanceId=spoke
            )
            info = {"gw_name": "spoke-a", "gw_public_ip": vpc.eips[0], "gw_subnet_id": vpc.public_subnets[0]}
            Test.generate_test_config(None, None, info)
            assert Test.run_test() is False  # the default route is live, the partner range is not
            assert f"{vpc.private_rtbs[0]} {partner} -> {vpc.natgw_ids[0]}: not live" in caplog.text
            ec2.replace_route(
                RouteTableId=vpc.private_rtbs[0], DestinationCidrBlock=partner, InstanceId=spoke
            )
            assert Test.run_test() is True
        finally:
            history.MementoHistory._folder = None


class TestBaseline:
    def test_pass_and_memento_roundtrip(self, aws, vpc, tmp_path):
        out = tmp_path / "r.json"
        memento = TestCmd(None, str(out), targets(vpc)).execute()
        assert isinstance(memento, TestMemento) and memento.passed
        assert results(out)[0]["kind"] == "baseline" and len(results(out)[0]["checks"]) == 3
        rebuilt = TestMemento.__new__(TestMemento)
        rebuilt.__dict__.update(json.loads(json.dumps(memento.toDict())))
        rebuilt.restore()

    @pytest.mark.parametrize("problem", ["deleted", "wrong_eip"])
    def test_failures_stop_before_any_change(self, aws, vpc, tmp_path, problem):
        wanted = targets(vpc)
        if problem == "deleted":
            aws.ec2.delete_nat_gateway(NatGatewayId=vpc.natgw_ids[1])
        else:
            wanted[1]["gw_public_ip"] = vpc.eips[2]
        out = tmp_path / "r.json"
        with pytest.raises(AcceptanceTestError, match=vpc.natgw_ids[1]):
            TestCmd(None, str(out), wanted).execute()
        assert results(out)[0]["passed"] is False
        Globals.dry_run = True
        assert TestCmd(None, None, wanted).execute().passed is False
