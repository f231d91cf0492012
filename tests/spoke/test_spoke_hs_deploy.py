"""HS spoke deployment: primary, HA, the re-runnable driver and DeployHsSpokeGwCmd."""

import pytest
from spoke_support import ACCOUNT, REGION, VPC, actions, nat

from tidewall.core.Globals import Globals

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

NATS = [
    nat("10.0.1.0/24", "nat-1", "t3.small"),
    nat("10.0.2.0/24", "nat-2", "t3.medium"),
    nat("10.0.3.0/24", "nat-3", "t3.large"),
]


def listing_query(cid, name):
    return [
        ("action", "list_vpcs_summary"),
        ("CID", cid),
        ("account_name", ""),
        ("cgx_gw_only", "no"),
        ("gateway_name", name),
    ]


def record_of(gw):
    return {
        "gw_private_ip": gw.private_ip,
        "gw_name": gw.name,
        "gw_public_ip": gw.public_ip,
        "gw_subnet_id": gw.subnet_id,
        "gw_subnet_cidr": gw.subnet_cidr,
    }


def primary_form(cid, size="t3.small", subnet="10.0.1.0/24", name="p"):
    return [
        ("CID", cid),
        ("action", "create_multicloud_primary_gateway"),
        ("cloud_type", "1"),
        ("account_name", ACCOUNT),
        ("vpc_id", VPC),
        ("vpc_region", REGION),
        ("gw_name", name),
        ("gw_size", size),
        ("gw_subnet", subnet),
    ]


def ha_form(cid, size, subnet, primary="p"):
    return [
        ("CID", cid),
        ("action", "create_multicloud_ha_gateway"),
        ("cloud_type", "1"),
        ("primary_gw_name", primary),
        ("gw_size", size),
        ("gw_subnet", subnet),
        ("autogen_hagw_name", "yes"),
    ]


class TestDeployPrimaryHsSpoke:
    def test_creates_and_returns_the_new_gateways_record(
        self, spoke, controller, account, url, cid, log, handlers
    ):
        info = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        create, lookup = controller.requests
        assert (create.method, create.query, create.form) == ("POST", [], primary_form(cid))
        assert (lookup.method, lookup.query, lookup.form) == ("GET", listing_query(cid, "p"), [])
        assert list(info.items()) == list(record_of(controller.gateways["p"]).items())
        assert log.messages == [
            "- Deploy primary spoke p with t3.small in subnet 10.0.1.0/24",
            "  Returned: True  Result: Successfully created gateway p",
        ]
        assert [kind for kind, _ in handlers] == ["check"]

    def test_eip_before_tag(self, spoke, controller, account, url, cid):
        spoke.deployPrimaryHsSpoke(
            cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24", eip="203.0.113.7", tag="team:net"
        )
        assert controller.requests[0].form == primary_form(cid) + [
            ("eip", "203.0.113.7"),
            ("tag", "team:net"),
        ]
        assert controller.gateways["p"].public_ip == "203.0.113.7"

    def test_refused_creation_finds_a_gateway_left_by_an_earlier_run(self, spoke, controller, url, cid, log):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC, account_name=ACCOUNT)
        info = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        assert info == record_of(controller.gateways["p"])
        # A refusal carries a reason instead of results: that is what the outcome line shows.
        assert log.messages[1] == "  Returned: False  Result: Gateway p already exists"

    def test_refused_creation_without_a_gateway(self, spoke, controller, url, cid):
        # No such account: refused, and nothing to find afterwards.
        info = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        assert info == {"gw_name": None}
        assert actions(controller) == ["create_multicloud_primary_gateway", "list_vpcs_summary"]

    def test_refused_creation_with_an_empty_listing_is_not_found(
        self, spoke, controller, url, cid, monkeypatch
    ):
        class Empty:
            def json(self):
                return {"return": True, "results": []}

        monkeypatch.setattr(spoke, "list_gateway_info", lambda **kwargs: Empty())
        info = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        assert info == {"gw_name": None}

    def test_dry_run_returns_the_listed_gateway_or_the_name(self, spoke, controller, url, cid, log, dry_run):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        found = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        missing = spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "q", "t3.small", VPC, REGION, "10.0.2.0/24")
        assert found == record_of(controller.gateways["p"])
        assert missing == {"gw_name": "q"}
        assert actions(controller) == ["list_vpcs_summary", "list_vpcs_summary"]
        assert log.messages == [
            "- Deploy primary spoke p with t3.small in subnet 10.0.1.0/24",
            "- Deploy primary spoke q with t3.small in subnet 10.0.2.0/24",
        ]

    def test_lookup_goes_through_the_module_by_name(self, spoke, controller, account, url, cid, monkeypatch):
        calls = []
        real = spoke.list_gateway_info

        def recorder(*args, **kwargs):
            calls.append((args, list(kwargs.items())))
            return real(*args, **kwargs)

        monkeypatch.setattr(spoke, "list_gateway_info", recorder)
        spoke.deployPrimaryHsSpoke(cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24")
        assert calls == [
            (
                (),
                [
                    ("api_endpoint_url", url),
                    ("CID", cid),
                    ("vpc_access_account_name", ""),
                    ("cgx_gw_only", "no"),
                    ("gw_name", "p"),
                ],
            )
        ]


class TestDeployHaHsSpoke:
    @pytest.fixture
    def primary(self, controller):
        return controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)

    def test_creates_and_returns_the_new_ha_gateways_record(self, spoke, controller, primary, url, cid, log):
        info = spoke.deployHaHsSpoke(cid, url, "p", "t3.medium", "10.0.2.0/24")
        create, lookup = controller.requests
        assert create.form == ha_form(cid, "t3.medium", "10.0.2.0/24")
        assert lookup.query == listing_query(cid, "p-hagw")
        assert info == record_of(controller.gateways["p-hagw"])
        assert log.messages == [
            "- Deploy HS Spoke with t3.medium in subnet 10.0.2.0/24",
            "  Returned: True  Result: Successfully created HA gateway p-hagw",
        ]

    def test_all_optional_fields_in_order_with_autogen_kept(self, spoke, controller, primary, url, cid):
        info = spoke.deployHaHsSpoke(cid, url, "p", "t3.medium", "10.0.2.0/24", "203.0.113.9", "ha", "k:v")
        assert controller.requests[0].form == ha_form(cid, "t3.medium", "10.0.2.0/24") + [
            ("eip", "203.0.113.9"),
            ("tag", "k:v"),
            ("ha_gw_name", "ha"),
        ]
        assert info["gw_name"] == "ha"

    def test_refused_creation_finds_the_ha_gateway_through_its_primary(
        self, spoke, controller, primary, url, cid
    ):
        controller.add_gateway("p-old", subnet_cidr="10.0.2.0/24", primary="p")
        info = spoke.deployHaHsSpoke(cid, url, "p", "t3.medium", "10.0.2.0/24")
        assert controller.requests[1].query == listing_query(cid, "p")
        assert info == record_of(controller.gateways["p-old"])

    def test_refused_creation_without_a_gateway_in_the_subnet(self, spoke, controller, primary, url, cid):
        controller.fail_next("create_multicloud_ha_gateway", "no capacity")
        assert spoke.deployHaHsSpoke(cid, url, "p", "t3.medium", "10.0.2.0/24") == {"gw_name": None}

    @pytest.mark.parametrize("ha_gw_name", [None, "ha"])
    def test_dry_run_sends_nothing(self, spoke, controller, url, cid, log, dry_run, ha_gw_name):
        result = spoke.deployHaHsSpoke(cid, url, "p", "t3.medium", "10.0.2.0/24", ha_gw_name=ha_gw_name)
        assert result == {"gw_name": ha_gw_name}
        assert controller.requests == []
        assert log.messages == ["- Deploy HS Spoke with t3.medium in subnet 10.0.2.0/24"]


class TestDeployHsSpoke:
    def deploy(self, spoke, url, cid, nats=NATS, count=3, size=None, name="p"):
        return spoke.deployHsSpoke(cid, url, ACCOUNT, name, size, VPC, REGION, nats, count)

    def test_first_run_creates_one_gateway_per_subnet(
        self, spoke, controller, account, url, cid, log, handlers
    ):
        assert self.deploy(spoke, url, cid) is None
        creations = [r for r in controller.requests if r.action.startswith("create")]
        assert [r.form for r in creations] == [
            primary_form(cid),
            ha_form(cid, "t3.medium", "10.0.2.0/24"),
            ha_form(cid, "t3.large", "10.0.3.0/24"),
        ]
        assert controller.requests[0].form == [("CID", cid), ("action", "list_primary_and_ha_spoke_gateways")]
        assert log.messages == [
            "- Deploy HS Spoke",
            "  deploy spoke gateway p in 10.0.1.0/24 for nat-1",
            "- Deploy primary spoke p with t3.small in subnet 10.0.1.0/24",
            "  Returned: True  Result: Successfully created gateway p",
            "  deploy spoke gateway in 10.0.2.0/24 for nat-2",
            "- Deploy HS Spoke with t3.medium in subnet 10.0.2.0/24",
            "  Returned: True  Result: Successfully created HA gateway p-hagw",
            "  deploy spoke gateway in 10.0.3.0/24 for nat-3",
            "- Deploy HS Spoke with t3.large in subnet 10.0.3.0/24",
            "  Returned: True  Result: Successfully created HA gateway p-hagw-2",
        ]
        assert handlers[0][0] == "exit"

    def test_second_run_creates_nothing(self, spoke, controller, account, url, cid, log):
        self.deploy(spoke, url, cid)
        controller.clear_requests()
        log_start = len(log.messages)
        self.deploy(spoke, url, cid)
        assert actions(controller) == ["list_primary_and_ha_spoke_gateways"] + ["get_gateway_info"] * 3
        assert log.messages[log_start:] == [
            "- Deploy HS Spoke",
            "  Found existing spoke gateways ['p', 'p-hagw', 'p-hagw-2']",
            "  subnet 10.0.1.0/24 already has a spoke gw p",
            "  subnet 10.0.2.0/24 already has a spoke gw p-hagw",
            "  subnet 10.0.3.0/24 already has a spoke gw p-hagw-2",
        ]

    def test_rerun_after_a_failed_ha_request_retries_only_that_subnet(
        self, spoke, controller, account, url, cid
    ):
        controller.fail_next("create_multicloud_ha_gateway", "no capacity")
        self.deploy(spoke, url, cid)
        assert sorted(gw.subnet_cidr for gw in controller.gateways.values()) == ["10.0.1.0/24", "10.0.3.0/24"]
        controller.clear_requests()
        self.deploy(spoke, url, cid)
        creations = [r.form for r in controller.requests if r.action.startswith("create")]
        assert creations == [ha_form(cid, "t3.medium", "10.0.2.0/24")]

    def test_foreign_gateway_with_the_name_prefix_serves_its_subnet(
        self, spoke, controller, account, url, cid, log
    ):
        controller.add_gateway("p-foreign", subnet_cidr="10.0.2.0/24", vpc_id=VPC, account_name=ACCOUNT)
        controller.add_gateway("other", subnet_cidr="10.0.3.0/24", vpc_id="vpc-other")
        self.deploy(spoke, url, cid)
        assert "  subnet 10.0.2.0/24 already has a spoke gw p-foreign" in log.messages
        assert [r.fields["gw_subnet"] for r in controller.requests if r.action.startswith("create")] == [
            "10.0.1.0/24",
            "10.0.3.0/24",
        ]

    def test_given_size_is_used_for_every_gateway(self, spoke, controller, account, url, cid):
        self.deploy(spoke, url, cid, size="c5.large")
        sizes = [r.fields["gw_size"] for r in controller.requests if r.action.startswith("create")]
        assert sizes == ["c5.large"] * 3

    def test_one_spoke_means_no_ha_request(self, spoke, controller, account, url, cid):
        self.deploy(spoke, url, cid, count=1)
        assert [r.action for r in controller.requests if r.action.startswith("create")] == [
            "create_multicloud_primary_gateway"
        ]

    def test_too_few_descriptions_leave_the_earlier_gateways(self, spoke, controller, account, url, cid):
        with pytest.raises(IndexError):
            self.deploy(spoke, url, cid, nats=NATS[:2], count=3)
        assert list(controller.gateways) == ["p", "p-hagw"]

    @pytest.mark.parametrize("count", [None, "3"])
    def test_count_must_be_an_integer(self, spoke, controller, account, url, cid, count):
        with pytest.raises(TypeError):
            self.deploy(spoke, url, cid, count=count)

    def test_dry_run_reads_and_logs_but_creates_nothing(self, spoke, controller, url, cid, log, dry_run):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        self.deploy(spoke, url, cid)
        assert actions(controller) == ["list_primary_and_ha_spoke_gateways", "get_gateway_info"]
        assert log.messages == [
            "- Deploy HS Spoke",
            "  Found existing spoke gateways ['p']",
            "  subnet 10.0.1.0/24 already has a spoke gw p",
            "  deploy spoke gateway in 10.0.2.0/24 for nat-2",
            "- Deploy HS Spoke with t3.medium in subnet 10.0.2.0/24",
            "  deploy spoke gateway in 10.0.3.0/24 for nat-3",
            "- Deploy HS Spoke with t3.large in subnet 10.0.3.0/24",
        ]

    def test_calls_go_through_the_module(self, spoke, controller, monkeypatch, url, cid):
        calls = []
        for name in ("getSubnetWithSpokeGw", "deployPrimaryHsSpoke", "deployHaHsSpoke"):
            monkeypatch.setattr(
                spoke, name, lambda *args, _name=name, **kwargs: calls.append((_name, args, kwargs)) or []
            )
        self.deploy(spoke, url, cid)
        assert calls == [
            ("getSubnetWithSpokeGw", (cid, url, []), {}),
            (
                "deployPrimaryHsSpoke",
                (cid, url, ACCOUNT, "p", "t3.small", VPC, REGION, "10.0.1.0/24"),
                {"eip": None},
            ),
            ("deployHaHsSpoke", (cid, url, "p", "t3.medium", "10.0.2.0/24"), {"eip": None}),
            ("deployHaHsSpoke", (cid, url, "p", "t3.large", "10.0.3.0/24"), {"eip": None}),
        ]


class TestDeployHsSpokeGwCmd:
    def test_execute_then_undo_with_the_current_login(self, spoke, controller, account, log):
        cmd = spoke.DeployHsSpokeGwCmd(ACCOUNT, "p", None, VPC, REGION, NATS[:2], 2)
        assert cmd.execute() is None
        assert sorted(controller.gateways) == ["p", "p-hagw"]
        Globals.CID = controller.issue_cid("admin")
        assert cmd.undo() is None
        assert controller.gateways == {}
        assert {r.path for r in controller.requests} == {"/v2/api"}
        assert controller.requests[-1].fields["CID"] == Globals.CID
        assert log.operations == ["DeployHsSpokeGwCmd", "DeployHsSpokeGwCmd"]
        assert cmd.save_backup() is None
