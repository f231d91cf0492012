import logging
import socket
from types import SimpleNamespace

import pytest
import requests

from tidewall.core.Globals import Globals
from tidewall.lib.corvane_backend import (
    ControllerLoginError,
    _send_corvane_api,
    getCid,
    handleControllerApiFailure,
    handleControllerApiFailureAndExit,
)
from tidewall.lib.cvn_account import CreateCorvaneAccount

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

CONTROLLER_USER = "admin"


@pytest.fixture
def password(controller_credentials):
    return controller_credentials[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TestGetCid:
    def test_login_returns_version_and_a_working_cid(self, controller, caplog, password):
        caplog.set_level(logging.DEBUG)
        version, cid = getCid(controller.address, CONTROLLER_USER, password)
        assert version == "7.2.0"
        reply = requests.post(controller.url, data={"CID": cid, "action": "list_accounts"}, verify=False)
        assert reply.json()["return"] is True
        assert password not in caplog.text
        assert controller.requests[0].form[0] == ("action", "login")

    @pytest.mark.parametrize(
        "address, given, match",
        [
            ("{ctl}", "wrong-pass", "refused the login of admin: Invalid username or password"),
            ("{ctl}", None, "no password given"),
            (
                "127.0.0.1:{free}",
                "right",
                "Cannot reach controller 127.0.0.1:[0-9]+: the connection was refused$",
            ),
            # A path in front of the API answers 404 with a text page.
            ("{ctl}/elsewhere", "right", "not JSON"),
        ],
    )
    def test_failures_name_the_controller_and_hide_the_password(
        self, controller, caplog, password, address, given, match
    ):
        caplog.set_level(logging.DEBUG)
        address = address.format(ctl=controller.address, free=free_port())
        given = password if given == "right" else given
        with pytest.raises(ControllerLoginError, match=match) as err:
            getCid(address, CONTROLLER_USER, given)
        assert address in str(err.value)
        for secret in ("wrong-pass", password):
            assert secret not in str(err.value)
            assert secret not in caplog.text
        if given is None:
            assert controller.requests == []

    def test_password_echoed_by_controller_is_scrubbed(self, controller, password):
        controller.fail_next("login", f"bad password {password}")
        with pytest.raises(ControllerLoginError, match="bad password") as err:
            getCid(controller.address, CONTROLLER_USER, password)
        assert password not in str(err.value)


class TestFailureHandlers:
    @pytest.mark.parametrize(
        "response, logged",
        [
            ({"return": False, "reason": "CID is invalid"}, "CID is invalid"),
            ({"return": False, "results": "quota reached"}, "quota reached"),
            ({"return": "true", "results": ""}, "{'return': 'true', 'results': ''}"),
            ({"results": "ok"}, "ok"),
            (None, "None"),
        ],
    )
    def test_failure_logged_once(self, caplog, response, logged):
        assert handleControllerApiFailure(response) is False
        errors = [r for r in caplog.records if r.levelno == logging.ERROR]
        assert len(errors) == 1 and errors[0].getMessage().endswith(logged)
        with pytest.raises(SystemExit) as ended:
            handleControllerApiFailureAndExit(response)
        assert ended.value.code == 1

    @pytest.mark.parametrize(
        "restoring, reason, level",
        [
            (True, "Gateway egress-spoke does not exist", logging.INFO),  # a resumed undo: already undone
            (False, "Gateway egress-spoke does not exist", logging.ERROR),
            (True, "Gateway egress-spoke is not a primary HS spoke gateway", logging.ERROR),
        ],
    )
    def test_a_gateway_already_gone_while_undoing_is_nothing_left_to_undo(
        self, caplog, monkeypatch, restoring, reason, level
    ):
        from tidewall.commands.history import MementoHistory

        monkeypatch.setattr(MementoHistory, "restoring", classmethod(lambda cls: restoring))
        caplog.set_level(logging.INFO)
        assert handleControllerApiFailure({"return": False, "reason": reason}) is False
        assert [(r.levelno, reason in r.getMessage()) for r in caplog.records] == [(level, True)]

    def test_success(self, caplog):
        assert handleControllerApiFailure({"return": True, "results": []}) is True
        assert handleControllerApiFailureAndExit({"return": True}) is True
        assert caplog.records == []


class TestSendCorvaneApi:
    def test_get_sends_query_post_sends_body(self, controller, caplog):
        caplog.set_level(logging.DEBUG, logger="tidewall.lib.corvane_backend")
        payload = {
            "action": "list_vpcs_summary",
            "CID": Globals.CID,
            "account_name": "",
            "gateway_name": None,
        }
        got = _send_corvane_api(
            api_endpoint_url=controller.url,
            request_method="GET",
            payload=payload,
            keyword_for_log="kw---",
            indent="    ",
        )
        assert isinstance(got, requests.Response) and got.json() == {"return": True, "results": []}
        posted = _send_corvane_api(
            api_endpoint_url=controller.url, payload={"CID": Globals.CID, "action": "list_accounts"}
        )
        assert posted.json()["return"] is True
        get, post = controller.requests
        assert (get.method, get.form) == ("GET", [])
        assert get.query == [("action", "list_vpcs_summary"), ("CID", Globals.CID), ("account_name", "")]
        assert (post.method, post.query, post.form[1]) == ("POST", [], ("action", "list_accounts"))
        assert caplog.records[0].getMessage().startswith("    kw---list_vpcs_summary")
        assert Globals.CID not in caplog.text


class TestCreateCorvaneAccount:
    ca = SimpleNamespace(aws_account_name="aws-main", aws_account_number="210987654321")

    def test_existing_account_is_left_alone(self, controller, caplog):
        caplog.set_level(logging.INFO)
        controller.add_account("aws-main", "210987654321")
        CreateCorvaneAccount(self.ca).execute()
        assert [r.action for r in controller.requests] == ["list_accounts"]
        assert "aws-main exists already" in caplog.text

    def test_new_account_is_added(self, controller):
        CreateCorvaneAccount(self.ca).execute()
        add = controller.requests[-1]
        assert add.form[1:] == [
            ("action", "add_account"),
            ("account_name", "aws-main"),
            ("cloud_type", "1"),
            ("aws_account_number", "210987654321"),
        ]
        assert controller.accounts["aws-main"].number == "210987654321"

    def test_an_account_another_run_adds_meanwhile_is_taken_as_it_is(self, controller, caplog, monkeypatch):
        # Two VPCs of one AWS account start at once: both find no access account, one adds it first.
        from tidewall.lib import cvn_account

        caplog.set_level(logging.INFO)
        send = cvn_account._send_corvane_api

        def racing(**kwargs):
            if kwargs["payload"]["action"] == "add_account":
                controller.add_account("aws-main", "210987654321")
            return send(**kwargs)

        monkeypatch.setattr(cvn_account, "_send_corvane_api", racing)
        CreateCorvaneAccount(self.ca).execute()
        assert [r.action for r in controller.requests] == ["list_accounts", "add_account", "list_accounts"]
        assert "aws-main was added by another run meanwhile" in caplog.text

    def test_dry_run_adds_nothing(self, controller, caplog):
        caplog.set_level(logging.INFO)
        Globals.dry_run = True
        CreateCorvaneAccount(self.ca).execute()
        assert [r.action for r in controller.requests] == ["list_accounts"]
        assert controller.accounts == {}
        assert "would add access account aws-main" in caplog.text

    @pytest.mark.parametrize("number", [None, "12345"])
    def test_refused_account_ends_the_run(self, controller, caplog, number):
        ca = SimpleNamespace(aws_account_name="aws-main", aws_account_number=number)
        with pytest.raises(SystemExit) as ended:
            CreateCorvaneAccount(ca).execute()
        assert ended.value.code == 1
        assert "aws_account_number" in caplog.text or "account number" in caplog.text
        assert controller.accounts == {}
