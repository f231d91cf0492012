"""Classic spoke deployment: deployClassicSpoke and DeployClassicSpokeGwCmd (controller API v1)."""

import pytest
from spoke_support import ACCOUNT, REGION, VPC, actions, nat

from tidewall.core.Globals import Globals

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

NATS = [
    nat("10.0.1.0/24", "nat-1", "t3.small"),
    nat("10.0.2.0/24", "nat-2", "t3.medium"),
    nat("10.0.3.0/24", "nat-3"),
]


def create_form(cid, size, subnet="10.0.1.0/24"):
    return [
        ("CID", cid),
        ("action", "create_spoke_gw"),
        ("account_name", ACCOUNT),
        ("gw_name", "cls"),
        ("gw_size", size),
        ("public_subnet", subnet),
        ("vpc_id", VPC),
        ("region", REGION),
        ("cloud_type", "1"),
        ("reuse_eip", "off"),
    ]


class TestDeployClassicSpoke:
    def test_one_nat_gateway_creates_without_ha(self, spoke, controller, account, url, cid, log, handlers):
        assert spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", None, VPC, REGION, NATS[:1]) is None
        (request,) = controller.requests
        assert (request.method, request.path, request.query) == ("POST", "/v2/api", [])
        assert request.form == create_form(cid, "t3.small")
        assert log.all == [
            ("INFO", "- Deploy spoke gateway cls in 10.0.1.0/24"),
            ("INFO", "  Returned: True  Result: Successfully created spoke gateway cls"),
        ]
        assert [kind for kind, _ in handlers] == ["exit"]

    def test_ha_in_the_second_subnet_only(self, spoke, controller, account, url, cid, log, handlers):
        spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", None, VPC, REGION, NATS)
        create, enable = controller.requests
        assert create.form == create_form(cid, "t3.small")
        assert enable.form == [
            ("CID", cid),
            ("action", "enable_spoke_ha"),
            ("account_name", ACCOUNT),
            ("gw_name", "cls"),
            ("public_subnet", "10.0.2.0/24"),
        ]
        assert "10.0.3.0/24" not in str(controller.requests)
        assert log.messages == [
            "- Deploy spoke gateway cls in 10.0.1.0/24",
            "  Returned: True  Result: Successfully created spoke gateway cls",
            "- Enable HA on spoke gateway cls in 10.0.2.0/24",
            "  Returned: True  Result: HA gateway cls-hagw enabled for cls",
        ]
        assert [kind for kind, _ in handlers] == ["exit", "exit"]

    def test_given_size_is_sent_unchanged(self, spoke, controller, account, url, cid):
        spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", "c5.xlarge", VPC, REGION, NATS[:1])
        assert controller.requests[0].form == create_form(cid, "c5.xlarge")

    def test_dry_run_logs_both_steps_and_sends_nothing(self, spoke, controller, url, cid, log, dry_run):
        assert spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", None, VPC, REGION, NATS[:2]) is None
        assert controller.requests == []
        assert log.messages == [
            "- Deploy spoke gateway cls in 10.0.1.0/24",
            "- Enable HA on spoke gateway cls in 10.0.2.0/24",
        ]

    def test_failed_creation_ends_the_run_before_ha(self, spoke, controller, account, url, cid, log):
        controller.fail_next("create_spoke_gw", "quota exceeded")
        with pytest.raises(SystemExit):
            spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", None, VPC, REGION, NATS[:2])
        assert actions(controller) == ["create_spoke_gw"]
        assert log.messages == ["- Deploy spoke gateway cls in 10.0.1.0/24"]

    @pytest.mark.parametrize("size", [None, "t3.small"])
    def test_no_nat_gateway_is_an_index_error_before_any_request(self, spoke, controller, url, cid, size):
        with pytest.raises(IndexError):
            spoke.deployClassicSpoke(cid, url, ACCOUNT, "cls", size, VPC, REGION, [])
        assert controller.requests == []

    def test_descriptions_are_read_as_fields(self, spoke, controller, url, cid):
        with pytest.raises(AttributeError, match="subnet_cidr"):
            spoke.deployClassicSpoke(
                cid, url, ACCOUNT, "cls", None, VPC, REGION, [{"subnet_cidr": "10.0.1.0/24"}]
            )


class TestDeployClassicSpokeGwCmd:
    def test_execute_and_undo_on_api_v1_with_the_current_login(self, spoke, controller, account, log):
        cmd = spoke.DeployClassicSpokeGwCmd(ACCOUNT, "cls", None, VPC, REGION, NATS[:2])
        assert cmd.execute() is None
        Globals.CID = controller.issue_cid("admin")
        assert cmd.undo() is None
        assert [(r.method, r.path, r.action, r.fields["CID"]) for r in controller.requests] == [
            ("POST", "/v1/api", "create_spoke_gw", controller.requests[0].fields["CID"]),
            ("POST", "/v1/api", "enable_spoke_ha", controller.requests[0].fields["CID"]),
            ("POST", "/v1/api", "disable_spoke_ha", Globals.CID),
            ("POST", "/v1/api", "delete_container", Globals.CID),
        ]
        assert controller.requests[0].fields["CID"] != Globals.CID
        assert controller.gateways == {}
        assert log.operations == ["DeployClassicSpokeGwCmd", "DeployClassicSpokeGwCmd"]
        assert log.messages[-4:] == [
            "- Disable HA on spoke gateway cls",
            "  {'return': True, 'results': 'HA disabled on gateway cls'}",
            "- Delete existing spoke gateway cls",
            "  {'return': True, 'results': 'Gateway cls has been deleted'}",
        ]
