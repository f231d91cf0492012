"""HsSpokeCmd and HsSpokeCreateMemento."""

from types import SimpleNamespace

import pytest
from spoke_support import ACCOUNT, REGION, VPC, actions

from tidewall.core.exceptions import CorvaneRollbackException
from tidewall.core.Globals import Globals

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


@pytest.fixture
def deploys(spoke, monkeypatch):
    """Replace both deploy operations by recorders returning `deploys.result`."""
    recorded = SimpleNamespace(calls=[], result={"gw_name": "made"})

    def recorder(name):
        def record(*args, **kwargs):
            recorded.calls.append((name, args, kwargs))
            return recorded.result

        return record

    monkeypatch.setattr(spoke, "deployPrimaryHsSpoke", recorder("primary"))
    monkeypatch.setattr(spoke, "deployHaHsSpoke", recorder("ha"))
    return recorded


class TestCreate:
    def test_primary_creation_against_the_controller(self, spoke, controller, account, log):
        cmd = spoke.HsSpokeCmd(ACCOUNT, "p", None, VPC, REGION)
        memento = cmd.create("10.0.1.0/24", "203.0.113.4", "t3.small", tag="k:v")
        gw = controller.gateways["p"]
        assert memento.getSpokeInfo() == {
            "gw_private_ip": gw.private_ip,
            "gw_name": "p",
            "gw_public_ip": "203.0.113.4",
            "gw_subnet_id": gw.subnet_id,
            "gw_subnet_cidr": "10.0.1.0/24",
        }
        assert memento.toDict() == {"spoke_info": memento.getSpokeInfo()}
        assert controller.requests[0].path == "/v2/api"
        assert controller.requests[0].fields["CID"] == Globals.CID
        assert log.operations == ["HsSpokeCmd"]

    def test_ha_creation_against_the_controller(self, spoke, controller):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        memento = spoke.HsSpokeCmd(spoke_gw_name="p", primary=False).create(
            "10.0.2.0/24", None, "t3.small", "p-ha"
        )
        assert memento.getSpokeInfo()["gw_name"] == "p-ha"
        assert controller.gateways["p-ha"].primary == "p"

    @pytest.mark.parametrize(("own_size", "used"), [("S", "S"), (None, "L")])
    def test_primary_arguments_and_size(self, spoke, controller, deploys, own_size, used):
        url = f"https://{Globals.controller_ip}/v2/api"
        spoke.HsSpokeCmd("acct", "gw", own_size, "vpc", "reg").create(
            "10.0.1.0/24", "1.2.3.4", "L", "ha", "tag"
        )
        assert deploys.calls == [
            (
                "primary",
                (Globals.CID, url, "acct", "gw", used, "vpc", "reg", "10.0.1.0/24", "1.2.3.4", "tag"),
                {},
            )
        ]

    def test_ha_arguments_leave_out_account_vpc_and_region(self, spoke, controller, deploys):
        url = f"https://{Globals.controller_ip}/v2/api"
        spoke.HsSpokeCmd("acct", "gw", None, "vpc", "reg", False).create(
            "10.0.2.0/24", "1.2.3.4", "L", "ha", "tag"
        )
        assert deploys.calls == [
            ("ha", (Globals.CID, url, "gw", "L", "10.0.2.0/24", "1.2.3.4", "ha", "tag"), {})
        ]

    @pytest.mark.parametrize("result", [None, {"gw_name": None}])
    def test_failed_creation_requests_a_rollback(self, spoke, controller, deploys, result):
        deploys.result = result
        with pytest.raises(CorvaneRollbackException) as caught:
            spoke.HsSpokeCmd(spoke_gw_name="gw-7").create("10.0.1.0/24", None, "t3.small")
        assert str(caught.value) == "Spoke gateway gw-7 creation failure"

    def test_failed_creation_on_the_controller(self, spoke, controller):
        # No access account: the controller refuses, and no gateway is found afterwards.
        with pytest.raises(CorvaneRollbackException, match="^Spoke gateway p creation failure$"):
            spoke.HsSpokeCmd(ACCOUNT, "p", None, VPC, REGION).create("10.0.1.0/24", None, "t3.small")

    def test_dry_run_skips_the_check(self, spoke, controller, deploys, dry_run):
        deploys.result = None
        memento = spoke.HsSpokeCmd(spoke_gw_name="gw").create("10.0.1.0/24", None, "t3.small")
        assert memento.toDict() == {"spoke_info": None}

    def test_memento_comes_from_save_mememto(self, spoke, controller, deploys):
        class Cmd(spoke.HsSpokeCmd):
            def _saveMememto(self, spoke_info):
                return ("saved", spoke_info)

        assert Cmd(spoke_gw_name="gw").create("10.0.1.0/24", None, "t3.small") == (
            "saved",
            {"gw_name": "made"},
        )


class TestDelete:
    def test_default_name_and_given_name(self, spoke, controller, log):
        controller.add_gateway("a", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        controller.add_gateway("b", subnet_cidr="10.0.2.0/24", vpc_id=VPC)
        cmd = spoke.HsSpokeCmd(spoke_gw_name="a")
        assert cmd.delete() is None
        assert cmd.delete("b") is None
        assert controller.gateways == {}
        assert [r.fields["gw_name"] for r in controller.requests] == ["a", "b"]
        assert log.messages == [
            "- Delete HS spoke gateway a",
            "  {'return': True, 'results': 'Gateway a has been deleted'}",
            "- Delete HS spoke gateway b",
            "  {'return': True, 'results': 'Gateway b has been deleted'}",
        ]
        assert log.operations == ["HsSpokeCmd", "HsSpokeCmd"]

    def test_delete_goes_through_the_module_positionally(self, spoke, controller, monkeypatch):
        calls = []
        monkeypatch.setattr(spoke, "deleteHsSpoke", lambda *a, **k: calls.append((a, k)) or "ignored")
        assert spoke.HsSpokeCmd(spoke_gw_name="a").delete() is None
        assert calls == [((Globals.CID, f"https://{Globals.controller_ip}/v2/api", "a"), {})]


class TestMementoRestore:
    def test_restore_deletes_with_the_login_current_at_restore_time(self, spoke, controller, account, log):
        memento = spoke.HsSpokeCmd(ACCOUNT, "p", None, VPC, REGION).create("10.0.1.0/24", None, "t3.small")
        # A later run: rebuilt from its state, after a fresh login.
        state = dict(memento.toDict())
        rebuilt = spoke.HsSpokeCreateMemento.__new__(spoke.HsSpokeCreateMemento)
        rebuilt.__dict__.update(state)
        Globals.CID = controller.issue_cid("admin")
        assert rebuilt.restore() is None
        assert controller.gateways == {}
        assert controller.requests[-1].form == [
            ("CID", Globals.CID),
            ("action", "delete_multicloud_gateway"),
            ("gw_name", "p"),
        ]
        assert log.messages[-2] == "- Delete HS spoke gateway p"
        assert log.operations == ["HsSpokeCmd", "HsSpokeCmd"]
        assert rebuilt.toDict() == state

    @pytest.mark.parametrize(("info", "error"), [(None, TypeError), ({}, KeyError)])
    def test_restore_without_a_name_fails_before_any_deletion(self, spoke, controller, log, info, error):
        with pytest.raises(error):
            spoke.HsSpokeCreateMemento(info).restore()
        assert controller.requests == []
        assert log.messages == []

    def test_restore_uses_a_default_command(self, spoke, monkeypatch):
        made = []

        class Recorder:
            def __init__(self, *args, **kwargs):
                made.append((args, kwargs))

            def delete(self, *args, **kwargs):
                made.append(("delete", args, kwargs))

        monkeypatch.setattr(spoke, "HsSpokeCmd", Recorder)
        spoke.HsSpokeCreateMemento({"gw_name": "g"}).restore()
        assert made == [((), {}), ("delete", ("g",), {})]

    def test_dry_run_restore_sends_nothing(self, spoke, controller, dry_run, log):
        spoke.HsSpokeCreateMemento({"gw_name": "g"}).restore()
        assert actions(controller) == []
        assert log.messages == ["- Delete HS spoke gateway g"]
