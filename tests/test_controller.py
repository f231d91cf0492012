import os
import subprocess
import sys

import pytest
import requests

from tidewall.core.Globals import Globals
from tidewall.sandbox.controller import CloudError, SimulatedController

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

SUMMARY_KEYS = {"gw_name", "public_subnet", "private_ip", "public_ip", "gw_subnet_id"}


def post(ctl, path="/v2/api", **fields):
    fields.setdefault("CID", Globals.CID)
    return requests.post(f"https://{ctl.address}{path}", data=fields, verify=False).json()


def primary(ctl, name="spoke-1", subnet="10.0.1.0/24", vpc="vpc-1", **extra):
    fields = {
        "action": "create_multicloud_primary_gateway", "cloud_type": 1, "account_name": "acc",
        "vpc_id": vpc, "vpc_region": "us-east-1", "gw_name": name, "gw_size": "t3.small", "gw_subnet": subnet,
    }  # fmt: skip
    return post(ctl, **fields | extra)


def ha(ctl, subnet, primary_name="spoke-1", **extra):
    fields = {
        "action": "create_multicloud_ha_gateway", "cloud_type": 1, "primary_gw_name": primary_name,
        "gw_size": "t3.small", "gw_subnet": subnet, "autogen_hagw_name": "yes",
    }  # fmt: skip
    return post(ctl, **fields | extra)


def summary(ctl, name=None, account=""):
    fields = {"action": "list_vpcs_summary", "CID": Globals.CID, "account_name": account, "cgx_gw_only": "no"}
    if name is not None:
        fields["gateway_name"] = name
    return requests.get(ctl.url, params=fields, verify=False).json()


@pytest.fixture
def hs(controller):
    """Account 'acc' with primary spoke-1 (10.0.1.0/24) and two HA gateways."""
    controller.add_account("acc")
    assert primary(controller)["return"]
    assert ha(controller, "10.0.2.0/24")["return"]
    assert ha(controller, "10.0.3.0/24", eip="203.0.113.7")["return"]
    controller.clear_requests()
    return controller


class TestTransport:
    def test_both_api_versions_and_recording_in_wire_order(self, controller):
        for path in ("/v1/api", "/v2/api"):
            reply = post(controller, path, action="list_accounts")
            assert reply == {"return": True, "results": {"account_list": []}}
        form = [("CID", Globals.CID), ("zeta", "1"), ("action", "list_accounts"), ("alpha", "")]
        requests.post(controller.url, data=form, verify=False)
        rec = controller.requests[-1]
        assert (rec.method, rec.path, rec.query) == ("POST", "/v2/api", [])
        assert rec.form == form
        assert requests.post(f"https://{controller.address}/api", data=form, verify=False).status_code == 404
        assert controller.requests[-1].path == "/api"

    def test_get_query_and_get_body_are_told_apart(self, hs):
        fields = {"CID": Globals.CID, "action": "get_gateway_info", "gateway_name": "spoke-1"}
        by_query = requests.get(hs.url, params=fields, verify=False).json()
        by_body = requests.get(hs.url, data=fields, verify=False).json()
        by_post = requests.post(hs.url, data=fields, verify=False).json()
        assert by_query == by_body == by_post
        assert by_query["results"]["gw_name"] == "spoke-1"
        q, b, p = hs.requests
        assert (q.method, q.form, q.query) == ("GET", [], list(fields.items()))
        assert (b.method, b.query, b.form) == ("GET", [], list(fields.items()))
        assert p.method == "POST"

    def test_login_password_is_not_kept_in_the_record(self, controller, controller_credentials):
        user, password = controller_credentials
        reply = post(controller, action="login", username=user, password=password)
        assert reply["return"] is True and reply["CID"] and reply["version"]
        assert password not in repr(controller.requests)
        assert post(controller, action="list_accounts", CID=reply["CID"])["return"] is True


class TestRefusals:
    @pytest.mark.parametrize(
        "fields, reason",
        [
            ({"action": "list_accounts", "CID": ""}, "CID is invalid or expired."),
            ({"action": "list_accounts", "CID": "not-a-cid"}, "CID is invalid or expired."),
            ({"action": "list_accounts", "expire": True}, "CID is invalid or expired."),
            ({"action": "make_coffee"}, "Valid action required: 'make_coffee' is not an action"),
            ({}, "Valid action required: '' is not an action"),
        ],
    )
    def test_session_and_action(self, controller, fields, reason):
        if fields.pop("expire", False):
            controller.expire_cids()
        assert post(controller, **fields) == {"return": False, "reason": reason}

    def test_fail_next_hits_one_request_of_that_action(self, hs):
        hs.fail_next("enable_snat", "boom")
        assert post(hs, action="list_accounts")["return"] is True
        assert post(hs, action="enable_snat", gateway_name="spoke-1") == {"return": False, "reason": "boom"}
        assert post(hs, action="enable_snat", gateway_name="spoke-1")["return"] is True

    @pytest.mark.parametrize(
        "make, reason",
        [
            (lambda c: primary(c, "other", account_name="nobody"), "Account nobody does not exist"),
            (lambda c: primary(c, "spoke-1", "10.0.9.0/24"), "already exists"),
            (lambda c: primary(c, "other", "10.0.2.0/24"), "already has gateway spoke-1-hagw"),
            (lambda c: primary(c, "other", "10.0.9.0/33"), "Invalid subnet CIDR"),
            (lambda c: primary(c, "other", "10.0.9.0/24", eip="203.0.113.7"), "already in use"),
            (lambda c: primary(c, "other", "10.0.9.0/24", gw_size=""), "gw_size is required"),
            (lambda c: ha(c, "10.0.9.0/24", primary_name="ghost"), "Gateway ghost does not exist"),
            (lambda c: ha(c, "10.0.9.0/24", primary_name="spoke-1-hagw"), "not a primary"),
            (lambda c: ha(c, "10.0.9.0/24", tag="novalue"), "Invalid tag"),
            (lambda c: post(c, action="delete_multicloud_gateway", gw_name="spoke-1"), "HA gateways"),
            (lambda c: post(c, action="change_gateway_size", gw_name="ghost", gw_size="t3.large"), "ghost"),
            (lambda c: post(c, action="enable_snat", gateway_name="ghost"), "ghost"),
        ],
    )
    def test_refused_requests_change_nothing(self, hs, make, reason):
        before = {n: vars(g).copy() for n, g in hs.gateways.items()}
        reply = make(hs)
        assert reply["return"] is False
        assert reason in reply["reason"]
        assert {n: vars(g) for n, g in hs.gateways.items()} == before
        assert list(hs.gateways) == ["spoke-1", "spoke-1-hagw", "spoke-1-hagw-2"]

    def test_same_subnet_in_another_vpc_is_fine(self, hs):
        assert primary(hs, "other", "10.0.1.0/24", vpc="vpc-2")["return"] is True
        assert hs.gateways["other"].subnet_id != hs.gateways["spoke-1"].subnet_id


class TestAccounts:
    def test_add_list_duplicate(self, controller):
        fields = {"action": "add_account", "account_name": "acc", "cloud_type": 1}
        assert post(controller, **fields, aws_account_number="123456789012")["return"] is True
        again = post(controller, **fields, aws_account_number="123456789012")
        assert again["return"] is False and "already exists" in again["reason"]
        assert post(controller, **fields | {"account_name": "b"}, aws_account_number="12")["return"] is False
        listed = post(controller, action="list_accounts")["results"]["account_list"]
        assert listed == [{"account_name": "acc", "cloud_type": 1, "aws_account_number": "123456789012"}]


class TestHsGateways:
    def test_summary_of_primary_lists_its_ha_gateways(self, hs):
        (rec,) = summary(hs, "spoke-1")["results"]
        assert SUMMARY_KEYS <= rec.keys()
        assert (rec["public_subnet"], rec["vpc_id"], rec["gw_size"]) == ("10.0.1.0/24", "vpc-1", "t3.small")
        has = rec["hagw_details_list"]
        assert [h["gw_name"] for h in has] == ["spoke-1-hagw", "spoke-1-hagw-2"]
        assert [h["public_subnet"] for h in has] == ["10.0.2.0/24", "10.0.3.0/24"]
        assert all(SUMMARY_KEYS <= h.keys() for h in has)
        assert has[1]["public_ip"] == "203.0.113.7"

    def test_summary_of_ha_gateway_is_its_own_record(self, hs):
        (rec,) = summary(hs, "spoke-1-hagw")["results"]
        assert rec["gw_name"] == "spoke-1-hagw"
        assert rec["public_subnet"] == "10.0.2.0/24"
        assert rec["private_ip"].startswith("10.0.2.")

    def test_summary_unknown_name_and_listing_all(self, hs):
        missing = summary(hs, "ghost")
        assert missing["return"] is False and "ghost" in missing["reason"]
        hs.add_account("other-acc")
        hs.add_gateway("x", vpc_id="vpc-9", subnet_cidr="10.9.0.0/24", account_name="other-acc")
        assert [r["gw_name"] for r in summary(hs)["results"]] == ["spoke-1", "x"]
        assert [r["gw_name"] for r in summary(hs, account="other-acc")["results"]] == ["x"]

    def test_ha_names_given_or_generated(self, hs):
        reply = ha(hs, "10.0.4.0/24", ha_gw_name="spoke-1-extra")
        assert reply["ha_gw_name"] == "spoke-1-extra"
        post(hs, action="delete_multicloud_gateway", gw_name="spoke-1-hagw")
        assert ha(hs, "10.0.5.0/24")["ha_gw_name"] == "spoke-1-hagw"
        assert ha(hs, "10.0.6.0/24")["ha_gw_name"] == "spoke-1-hagw-3"
        assert hs.gateways["spoke-1-extra"].primary == "spoke-1"

    def test_gateway_info_and_listing(self, hs):
        hs.add_gateway(
            "classic-1", vpc_id="vpc-1", subnet_cidr="10.0.8.0/24", account_name="acc", classic=True
        )
        info = post(hs, action="get_gateway_info", gateway_name="spoke-1-hagw-2")["results"]
        assert info["gw_subnet_cidr"] == "10.0.3.0/24"
        assert (info["vpc_size"], info["vpc_id"], info["public_ip"]) == ("t3.small", "vpc-1", "203.0.113.7")
        listed = post(hs, action="list_primary_and_ha_spoke_gateways")["results"]
        assert [r["name"] for r in listed] == ["spoke-1", "spoke-1-hagw", "spoke-1-hagw-2", "classic-1"]

    def test_resize_snat_and_delete(self, hs):
        assert post(hs, action="change_gateway_size", gw_name="spoke-1", gw_size="c5.large")["return"]
        assert (
            post(hs, action="get_gateway_info", gateway_name="spoke-1")["results"]["vpc_size"] == "c5.large"
        )
        assert post(hs, action="enable_snat", gateway_name="spoke-1")["return"]
        assert hs.gateways["spoke-1"].snat is True
        assert post(hs, action="disable_snat", gateway_name="spoke-1")["return"]
        assert hs.gateways["spoke-1"].snat is False
        for name in ("spoke-1-hagw-2", "spoke-1-hagw", "spoke-1"):
            assert post(hs, action="delete_multicloud_gateway", gw_name=name)["return"] is True
        assert hs.gateways == {}

    def test_tags_and_invented_addresses(self, controller):
        controller.add_account("acc")
        primary(controller, tag="env:prod,team:")
        gw = controller.gateways["spoke-1"]
        assert gw.tags == {"env": "prod", "team": ""}
        assert gw.public_ip.startswith("198.51.100.") and gw.private_ip.startswith("10.0.1.")
        subnet_id = gw.subnet_id
        post(controller, action="delete_multicloud_gateway", gw_name="spoke-1")
        primary(controller)
        assert controller.gateways["spoke-1"].subnet_id == subnet_id


class TestClassicGateways:
    def test_classic_life_cycle_on_v1(self, controller):
        controller.add_account("acc")
        create = {
            "action": "create_spoke_gw", "account_name": "acc", "gw_name": "cl", "gw_size": "t3.small",
            "public_subnet": "10.1.1.0/24", "vpc_id": "vpc-1", "region": "us-east-1", "cloud_type": 1,
            "reuse_eip": "off",
        }  # fmt: skip
        assert post(controller, "/v1/api", **create)["return"] is True
        enable = {"action": "enable_spoke_ha", "account_name": "acc", "gw_name": "cl"}
        assert post(controller, "/v1/api", **enable, public_subnet="10.1.2.0/24")["return"] is True
        assert controller.gateways["cl-hagw"].primary == "cl"
        assert post(controller, "/v1/api", **enable, public_subnet="10.1.3.0/24")["return"] is False
        delete = {"action": "delete_container", "cloud_type": 1, "gw_name": "cl"}
        assert "disable it first" in post(controller, "/v1/api", **delete)["reason"]
        hs_delete = post(controller, action="delete_multicloud_gateway", gw_name="cl")
        assert "delete_container" in hs_delete["reason"]
        assert post(controller, "/v1/api", action="disable_spoke_ha", gw_name="cl")["return"] is True
        assert post(controller, "/v1/api", action="disable_spoke_ha", gw_name="cl")["return"] is False
        assert post(controller, "/v1/api", **delete)["return"] is True
        assert controller.gateways == {}


class RecordingCloud:
    def __init__(self):
        self.calls = []
        self.refuse = {}

    def _maybe_refuse(self, what):
        if what in self.refuse:
            raise CloudError(self.refuse[what])

    def subnet_id_for(self, vpc_id, subnet_cidr):
        self._maybe_refuse("subnet")
        return f"subnet-{subnet_cidr.split('.')[2]}"

    def launch(self, gw):
        self.calls.append(("launch", gw.name, gw.eip))
        self._maybe_refuse("launch")
        return {"instance_id": f"i-{gw.name}", "private_ip": "10.0.0.5", "public_ip": gw.eip or "192.0.2.1"}

    def terminate(self, gw):
        self.calls.append(("terminate", gw.name))
        self._maybe_refuse("terminate")

    def resize(self, gw, size):
        self.calls.append(("resize", gw.name, size))
        self._maybe_refuse("resize")

    def routing_changed(self, vpc_id, gateways):
        self.calls.append(("routing", vpc_id, sorted((g.name, g.snat) for g in gateways)))
        self._maybe_refuse("routing")


class TestCloudHook:
    @pytest.fixture
    def cloud(self, controller):
        controller.add_account("acc")
        controller.cloud = RecordingCloud()
        return controller.cloud

    def test_hooks_called_on_changes(self, controller, cloud):
        assert primary(controller, eip="203.0.113.9")["return"] is True
        gw = controller.gateways["spoke-1"]
        assert (gw.instance_id, gw.subnet_id, gw.public_ip) == ("i-spoke-1", "subnet-1", "203.0.113.9")
        post(controller, action="enable_snat", gateway_name="spoke-1")
        post(controller, action="change_gateway_size", gw_name="spoke-1", gw_size="t3.large")
        post(controller, action="delete_multicloud_gateway", gw_name="spoke-1")
        assert cloud.calls == [
            ("launch", "spoke-1", "203.0.113.9"),
            ("routing", "vpc-1", [("spoke-1", False)]),
            ("routing", "vpc-1", [("spoke-1", True)]),
            ("resize", "spoke-1", "t3.large"),
            ("routing", "vpc-1", []),
            ("terminate", "spoke-1"),
        ]

    @pytest.mark.parametrize("step", ["subnet", "launch", "routing"])
    def test_refused_creation_keeps_nothing(self, controller, cloud, step):
        cloud.refuse[step] = "EIP is still associated"
        reply = primary(controller, eip="203.0.113.9")
        assert reply == {"return": False, "reason": "EIP is still associated"}
        assert controller.gateways == {}
        if step == "routing":
            assert cloud.calls[-1] == ("terminate", "spoke-1")

    @pytest.mark.parametrize(
        "step, fields",
        [
            ("terminate", {"action": "delete_multicloud_gateway", "gw_name": "spoke-1"}),
            ("routing", {"action": "delete_multicloud_gateway", "gw_name": "spoke-1"}),
            ("routing", {"action": "enable_snat", "gateway_name": "spoke-1"}),
            ("resize", {"action": "change_gateway_size", "gw_name": "spoke-1", "gw_size": "t3.large"}),
        ],
    )
    def test_refused_change_keeps_the_gateway_as_it_was(self, controller, cloud, step, fields):
        primary(controller)
        cloud.refuse[step] = "no"
        assert post(controller, **fields) == {"return": False, "reason": "no"}
        gw = controller.gateways["spoke-1"]
        assert (gw.snat, gw.size) == (False, "t3.small")


def test_runs_as_a_process():
    env = dict(os.environ, CTL_PW="pw-1", PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen(
        [sys.executable, "-m", "tidewall.sandbox.controller", "--port", "0", "--password-env", "CTL_PW"],
        stdout=subprocess.PIPE,
        env=env,
        text=True,
    )
    try:
        address = proc.stdout.readline().strip()
        assert address.startswith("127.0.0.1:")
        login = {"action": "login", "username": "admin", "password": "pw-1"}
        assert requests.post(f"https://{address}/v2/api", data=login, verify=False).json()["return"] is True
    finally:
        proc.terminate()
        assert proc.wait(timeout=30) == 0


def test_seeding_refusal_raises():
    ctl = SimulatedController(users={})
    ctl.add_gateway("a", vpc_id="vpc-1", subnet_cidr="10.0.0.0/24")
    with pytest.raises(ValueError, match="already has gateway a"):
        ctl.add_gateway("b", vpc_id="vpc-1", subnet_cidr="10.0.0.0/24")
    with pytest.raises(ValueError, match="does not exist"):
        ctl.add_gateway("c", primary="ghost", subnet_cidr="10.0.1.0/24")
