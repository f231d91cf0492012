"""Spoke resize and single-IP SNAT: operations, commands and mementos."""

import pytest
import requests
from spoke_support import VPC, actions

from tidewall.core.Globals import Globals

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


@pytest.fixture
def gateway(controller):
    return controller.add_gateway("gw-1", subnet_cidr="10.0.1.0/24", vpc_id=VPC, size="t3.small")


class TestChangeSpokeSize:
    def test_query_then_resize(self, spoke, controller, gateway, url, cid, log, handlers):
        assert spoke.changeSpokeSize(cid, url, "gw-1", "t3.large") is None
        query, resize = controller.requests
        assert (query.method, query.form) == ("GET", [])
        assert query.query == [("CID", cid), ("action", "get_gateway_info"), ("gateway_name", "gw-1")]
        assert (resize.method, resize.query) == ("POST", [])
        assert resize.form == [
            ("CID", cid),
            ("action", "change_gateway_size"),
            ("gw_name", "gw-1"),
            ("gw_size", "t3.large"),
        ]
        assert gateway.size == "t3.large"
        assert log.messages == [
            "- Set spoke gateway gw-1 to t3.large",
            "  Returned: True  Result: Gateway gw-1 resized to t3.large",
        ]
        assert [kind for kind, _ in handlers] == ["check", "check"]

    def test_same_size_sends_no_resize(self, spoke, controller, gateway, url, cid, log):
        spoke.changeSpokeSize(cid, url, "gw-1", "t3.small")
        assert actions(controller) == ["get_gateway_info"]
        assert log.messages == [
            "- Set spoke gateway gw-1 to t3.small",
            "  no need to resize,  gw-1 instance size is already set to t3.small",
        ]

    def test_failed_query_stops_before_the_resize(self, spoke, controller, url, cid, log):
        spoke.changeSpokeSize(cid, url, "missing", "t3.large")
        assert actions(controller) == ["get_gateway_info"]
        assert log.messages == ["- Set spoke gateway missing to t3.large"]

    def test_failed_resize_is_still_logged(self, spoke, controller, gateway, url, cid, log):
        controller.fail_next("change_gateway_size", "instance busy")
        spoke.changeSpokeSize(cid, url, "gw-1", "t3.large")
        assert log.messages[-1] == "  Returned: False  Result: instance busy"

    def test_dry_run_sends_only_the_query_and_does_not_read_it(self, spoke, canned, log):
        transport = canned("not json at all")
        Globals.dry_run = True
        spoke.changeSpokeSize("cid", "https://ctl/v2/api", "gw-1", "t3.large")
        ((method, url, kwargs),) = transport.calls
        assert (method, url) == ("GET", "https://ctl/v2/api")
        assert kwargs == {
            "params": {"CID": "cid", "action": "get_gateway_info", "gateway_name": "gw-1"},
            "verify": False,
        }
        assert log.messages == ["- Set spoke gateway gw-1 to t3.large"]


class TestResizeCommand:
    def test_execute_returns_a_memento_that_resizes_back(self, spoke, controller, gateway, log):
        memento = spoke.ResizeSpokeGatewayCmd("gw-1", "t3.small", "t3.large").execute()
        assert type(memento) is spoke.ResizeSpokeGatewayMemento
        assert memento.toDict() == {
            "spoke_gw_name": "gw-1",
            "from_gw_size": "t3.small",
            "to_gw_size": "t3.large",
        }
        assert gateway.size == "t3.large"
        Globals.CID = controller.issue_cid("admin")
        assert memento.restore() is None
        assert gateway.size == "t3.small"
        assert controller.requests[-1].fields["CID"] == Globals.CID
        assert memento.toDict()["to_gw_size"] == "t3.large"
        assert log.operations == ["ResizeSpokeGatewayCmd", "ResizeSpokeGatewayCmd"]

    def test_memento_even_when_nothing_was_resized(self, spoke, controller, gateway):
        memento = spoke.ResizeSpokeGatewayCmd("gw-1", "t3.micro", "t3.small").execute()
        assert actions(controller) == ["get_gateway_info"]
        assert (memento.from_gw_size, memento.to_gw_size) == ("t3.micro", "t3.small")

    def test_restore_builds_the_swapped_command(self, spoke, monkeypatch):
        made = []

        class Recorder:
            def __init__(self, *args):
                made.append(args)

            def execute(self):
                made.append("execute")

        monkeypatch.setattr(spoke, "ResizeSpokeGatewayCmd", Recorder)
        spoke.ResizeSpokeGatewayMemento("g", "A", "B").restore()
        assert made == [("g", "B", "A"), "execute"]

    def test_dry_run_still_returns_a_memento(self, spoke, controller, gateway, dry_run):
        memento = spoke.ResizeSpokeGatewayCmd("gw-1", "t3.small", "t3.large").execute()
        assert memento.to_gw_size == "t3.large"
        assert actions(controller) == ["get_gateway_info"]


class TestSnatOperations:
    def test_enable_and_disable_send_the_same_fields(
        self, spoke, controller, gateway, url, cid, log, handlers
    ):
        assert spoke.enableSNAT("gw-1", url, cid) is None
        assert gateway.snat
        assert spoke.disable_snat(cid, url, "gw-1") is None
        assert not gateway.snat
        enable, disable = controller.requests
        assert enable.form == [("CID", cid), ("action", "enable_snat"), ("gateway_name", "gw-1")]
        assert disable.form == [("CID", cid), ("action", "disable_snat"), ("gateway_name", "gw-1")]
        assert {(r.method, r.path) for r in controller.requests} == {("POST", "/v2/api")}
        assert log.messages == [
            "- Enable Single IP SNAT on spoke gateway gw-1",
            "  Returned: True  Result: Single IP SNAT enabled on gateway gw-1",
            "- Disable SNAT on spoke gateway gw-1",
            "  {'return': True, 'results': 'SNAT disabled on gateway gw-1'}",
        ]
        assert [kind for kind, _ in handlers] == ["check", "check"]

    def test_refusals(self, spoke, controller, url, cid, log):
        spoke.enableSNAT("missing", url, cid)
        spoke.disable_snat(cid, url, "missing")
        assert log.messages == [
            "- Enable Single IP SNAT on spoke gateway missing",
            "  Returned: False  Result: Gateway missing does not exist",
            "- Disable SNAT on spoke gateway missing",
        ]

    def test_dry_run_logs_headlines_only(self, spoke, controller, gateway, url, cid, log, dry_run):
        spoke.enableSNAT("gw-1", url, cid)
        spoke.disable_snat(cid, url, "gw-1")
        assert controller.requests == []
        assert log.messages == [
            "- Enable Single IP SNAT on spoke gateway gw-1",
            "- Disable SNAT on spoke gateway gw-1",
        ]


class TestSnatCommand:
    def test_enable_returns_a_memento_whose_restore_disables(self, spoke, controller, gateway, log):
        memento = spoke.SnatCmd("gw-1").enable()
        assert type(memento) is spoke.SnatEnableMemento
        assert memento.toDict() == {"spoke_gw_name": "gw-1"}
        assert gateway.snat
        # Restore later, after a fresh login and with the controller at another address.
        Globals.CID = controller.issue_cid("admin")
        controller_ip = Globals.controller_ip
        Globals.controller_ip = "127.0.0.1:1"
        with pytest.raises(requests.ConnectionError):
            memento.restore()
        Globals.controller_ip = controller_ip
        memento.restore()
        memento.restore()
        assert not gateway.snat
        assert actions(controller) == ["enable_snat", "disable_snat", "disable_snat"]
        assert controller.requests[-1].fields["CID"] == Globals.CID
        assert log.operations == ["SnatCmd"] * 4

    def test_refused_enable_still_gives_a_memento(self, spoke, controller):
        assert spoke.SnatCmd("missing").enable().spoke_gw_name == "missing"

    def test_dry_run_enable_gives_a_memento(self, spoke, controller, gateway, dry_run):
        assert spoke.SnatCmd("gw-1").enable().toDict() == {"spoke_gw_name": "gw-1"}
        assert controller.requests == []

    def test_disable(self, spoke, controller, gateway):
        gateway.snat = True
        assert spoke.SnatCmd("gw-1").disable() is None
        assert not gateway.snat
