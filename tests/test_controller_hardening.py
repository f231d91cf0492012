"""The simulated controller against hostile clients and a real controller's timing and faults; and the tool's
controller access riding them out (session renewal, time-outs)."""

import logging
import socket
import ssl
import threading
import time
from types import SimpleNamespace

import pytest
import requests

from fake_time import FakeTime
from tidewall.core.Globals import Globals
from tidewall.lib import corvane_backend
from tidewall.lib.corvane_backend import ControllerError, controller_http, getCid
from tidewall.sandbox.clock import Durations, WorldClock
from tidewall.sandbox.controller import SimulatedController, server

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


def post(ctl, **fields):
    fields.setdefault("CID", Globals.CID)
    return requests.post(ctl.url, data=fields, verify=False, timeout=30)


def tls(ctl):
    host, _, port = ctl.address.rpartition(":")
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    return context.wrap_socket(socket.create_connection((host, int(port)), timeout=10))


class TestHostileClients:
    def test_an_oversized_body_is_refused_unread(self, controller):
        reply = requests.post(controller.url, data=b"a" * (server.MAX_BODY + 1), verify=False, timeout=30)
        assert reply.status_code == 413 and reply.json()["return"] is False
        assert post(controller, action="list_accounts").json()["return"] is True

    def test_a_silent_client_holds_up_nobody_and_is_dropped(self, controller, monkeypatch):
        monkeypatch.setattr(server._Handler, "timeout", 0.5)
        host, _, port = controller.address.rpartition(":")
        silent = socket.create_connection((host, int(port)), timeout=10)  # no TLS handshake, nothing sent
        try:
            started = time.monotonic()
            assert post(controller, action="list_accounts").json()["return"] is True
            assert time.monotonic() - started < 5
            assert silent.recv(1) == b""  # closed by the server after its read time-out
        finally:
            silent.close()

    @pytest.mark.parametrize(
        "raw",
        [
            b"POST /v2/api HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            b"Content-Length: 12\r\n\r\n\xff\xfe%zz&act=%",
            b"POST /v2/api HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n",
            b"BREW /v2/api?action=%%%% HTTP/1.1\r\nHost: x\r\n\r\n",
            b"GET /v2/api?\xff\xfe=\x00 HTTP/1.1\r\nHost: x\r\n\r\n",
            b"\x16\x03\x01garbage\r\n\r\n",
            b"POST /v2/api HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nshort",
        ],
    )
    def test_malformed_requests_get_an_answer_or_a_close_never_a_crash(self, controller, monkeypatch, raw):
        monkeypatch.setattr(server._Handler, "timeout", 1.0)
        conn = tls(controller)
        try:
            conn.sendall(raw)
            conn.recv(4096)  # an answer, or the end of the connection
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()
        assert post(controller, action="list_accounts").json()["return"] is True

    def test_the_request_record_keeps_only_the_latest(self, monkeypatch):
        monkeypatch.setattr(server, "MAX_RECORDED", 3)
        ctl = SimulatedController(users={"admin": "pw"}).start()
        try:
            for n in range(5):
                requests.post(
                    ctl.url, data={"action": "list_accounts", "n": str(n)}, verify=False, timeout=30
                )
            assert [r.fields["n"] for r in ctl.requests] == ["2", "3", "4"]
        finally:
            ctl.stop()


class Sleeps:
    def __init__(self):
        self.seconds = []

    def __call__(self, seconds):
        self.seconds.append(seconds)


@pytest.fixture
def timed():
    """A controller (no HTTP) whose changes take the real durations; the sleeps are recorded (scale 1)."""
    sleeps = Sleeps()
    ctl = SimulatedController(
        users={"admin": "pw"}, clock=WorldClock(1.0, sleep=sleeps), durations=Durations()
    )
    ctl.add_account("acc")
    ctl.sleeps = sleeps
    ctl.cid = ctl.issue_cid("admin")
    return ctl


def create(ctl, name="spoke-1", subnet="10.0.1.0/24"):
    fields = {
        "action": "create_multicloud_primary_gateway", "cloud_type": 1, "account_name": "acc", "vpc_id": "vpc-1",
        "vpc_region": "us-east-1", "gw_name": name, "gw_size": "t3.small", "gw_subnet": subnet, "CID": ctl.cid,
    }  # fmt: skip
    return ctl.handle(fields)


class TestTiming:
    def test_each_change_takes_a_real_controllers_time_and_reads_take_none(self, timed):
        assert create(timed)["return"] is True
        for fields in (
            {"action": "list_vpcs_summary"},
            {"action": "change_gateway_size", "gw_name": "spoke-1", "gw_size": "c5.large"},
            {"action": "enable_snat", "gateway_name": "spoke-1"},
            {"action": "enable_snat", "gateway_name": "spoke-1"},  # already on: nothing to wait for
            {"action": "delete_multicloud_gateway", "gw_name": "spoke-1"},
        ):
            assert timed.handle(dict(fields, CID=timed.cid))["return"] is True
        assert timed.sleeps.seconds == [300.0, 120.0, 10.0, 120.0]

    def test_a_gateway_being_changed_is_busy_and_a_name_being_created_is_taken(self, timed):
        release = threading.Event()
        timed.backend.clock = WorldClock(1.0, sleep=lambda s: release.wait(10))
        replies = {}
        worker = threading.Thread(target=lambda: replies.setdefault("create", create(timed)))
        worker.start()
        try:
            for _ in range(100):
                if timed.backend._creating:
                    break
                time.sleep(0.01)
            assert "being created" in create(timed)["reason"]
            assert "already has gateway" in create(timed, "other")["reason"]
        finally:
            release.set()
            worker.join()
        assert replies["create"]["return"] is True
        release.clear()
        worker = threading.Thread(
            target=lambda: timed.handle(
                {"action": "delete_multicloud_gateway", "gw_name": "spoke-1", "CID": timed.cid}
            )
        )
        worker.start()
        try:
            for _ in range(100):
                if timed.backend._busy:
                    break
                time.sleep(0.01)
            busy = timed.handle({"action": "enable_snat", "gateway_name": "spoke-1", "CID": timed.cid})
            assert busy == {"return": False, "reason": "Gateway spoke-1 is busy: deleting"}
        finally:
            release.set()
            worker.join()
        assert timed.gateways == {}


class ScriptedFaults:
    """What `Chaos.controller_fault` answers, per action, once each."""

    def __init__(self, **faults):
        self.faults = faults

    def controller_fault(self, action):
        return self.faults.pop(action, None)


@pytest.fixture
def session(controller, controller_credentials):
    """The tool logged in to the session controller through getCid (as a run does)."""
    user, password = controller_credentials
    Globals.CID = getCid(controller.address, user, password)[1]
    controller.add_account("acc")
    yield controller
    controller.chaos = None
    corvane_backend._Login.controller_ip = corvane_backend._Login.user = corvane_backend._Login.password = (
        None
    )


class TestFaultsAndTheToolsAccess:
    def test_an_expired_session_is_renewed_and_the_request_sent_again(self, session):
        old = Globals.CID
        session.expire_cids()
        reply = controller_http.post(session.url, data={"action": "list_accounts", "CID": old}, verify=False)
        assert reply.json()["return"] is True and Globals.CID != old
        assert [r.action for r in session.requests[-3:]] == ["list_accounts", "login", "list_accounts"]

    def test_a_change_that_times_out_stops_with_one_line_a_read_is_asked_again(self, session, monkeypatch):
        monkeypatch.setattr(corvane_backend, "_pause", lambda attempt: None)
        session.chaos = ScriptedFaults(list_accounts="timeout-before", enable_snat="timeout-after")
        reply = controller_http.post(
            session.url, data={"action": "list_accounts", "CID": Globals.CID}, verify=False
        )
        assert reply.json()["return"] is True
        session.add_gateway("spoke-1", vpc_id="vpc-1", subnet_cidr="10.0.1.0/24", account_name="acc")
        with pytest.raises(
            ControllerError, match=r"answered enable_snat with HTTP 504 .* run the command again"
        ):
            controller_http.post(
                session.url,
                data={"action": "enable_snat", "gateway_name": "spoke-1", "CID": Globals.CID},
                verify=False,
            )
        assert session.gateways["spoke-1"].snat is True  # the controller acted; only its answer was lost

    def test_a_timeout_before_acting_changes_nothing(self, session):
        session.chaos = ScriptedFaults(create_multicloud_primary_gateway="timeout-before")
        fields = {
            "action": "create_multicloud_primary_gateway", "cloud_type": 1, "account_name": "acc",
            "vpc_id": "vpc-1", "vpc_region": "us-east-1", "gw_name": "spoke-1", "gw_size": "t3.small",
            "gw_subnet": "10.0.1.0/24", "CID": Globals.CID,
        }  # fmt: skip
        assert requests.post(session.url, data=fields, verify=False, timeout=30).status_code == 504
        assert session.gateways == {}


class TestABusyGateway:
    """A change refused because the gateway is busy (an interrupted run's create or resize still going on)
    is sent again once the controller is done with it, within the run's wait limit."""

    @pytest.fixture
    def busy(self, session, monkeypatch):
        monkeypatch.setattr(
            Globals, "waits", {"poll_interval": 0.02, "max_poll_interval": 0.05, "timeout": 2}
        )
        session.add_gateway("spoke-1", vpc_id="vpc-1", subnet_cidr="10.0.1.0/24", account_name="acc")
        session.backend._busy["spoke-1"] = "resizing"
        yield session
        session.backend._busy.pop("spoke-1", None)

    def enable_snat(self, ctl):
        return controller_http.post(
            ctl.url,
            data={"action": "enable_snat", "gateway_name": "spoke-1", "CID": Globals.CID},
            verify=False,
        )

    def test_sent_again_when_the_gateway_is_free(self, busy, caplog):
        threading.Timer(0.3, lambda: busy.backend._busy.pop("spoke-1", None)).start()
        assert self.enable_snat(busy).json()["return"] is True
        assert busy.gateways["spoke-1"].snat is True
        assert "Gateway spoke-1 is busy: resizing; sending enable_snat again when it is done" in caplog.text
        assert [r.action for r in busy.requests].count("enable_snat") >= 2

    def test_a_gateway_busy_for_longer_than_the_wait_limit_ends_the_wait(self, busy):
        from tidewall.lib.waits import WaitTimeout

        with pytest.raises(
            WaitTimeout, match=r"the controller to take enable_snat \(Gateway spoke-1 is busy"
        ):
            self.enable_snat(busy)
        assert busy.gateways["spoke-1"].snat is False

    @pytest.mark.parametrize(
        "reply",
        [
            {"return": False, "reason": "Gateway spoke-1 already exists"},
            {"return": True, "results": "Gateway spoke-1 is being created"},
            {"return": False, "reason": "Subnet 10.0.1.0/24 is busy"},
            None,
        ],
    )
    def test_other_replies_are_not_busy(self, reply):
        assert corvane_backend.gateway_busy(reply) is None


class TestALongRequest:
    """A request that runs long says so at each `controller.progress_every` (on the fake clock) and is sent
    as it was given; with `controller.read_timeout` one that is never answered stops with one line."""

    HA = {"CID": "c", "action": "create_multicloud_ha_gateway", "primary_gw_name": "egress-spoke",
          "gw_subnet": "10.0.2.0/24", "autogen_hagw_name": "yes"}  # fmt: skip
    LINE = "waiting for the controller: create_multicloud_ha_gateway egress-spoke-hagw, {} s"

    @pytest.mark.parametrize(
        "controller, answer_at, lines, error",
        [
            ({}, 150, [60, 120], None),
            ({"progress_every": 30}, 50, [30], None),
            ({}, 59, [], None),
            ({"read_timeout": 300}, 300, [60, 120, 180, 240], r"did not answer create_multicloud_ha_gateway "
             r"egress-spoke-hagw within 300 s \(controller.read_timeout\): the change may or may not have been "
             r"made; run the command again to resume$"),
        ],
    )  # fmt: skip
    def test_progress_and_read_timeout(self, monkeypatch, caplog, controller, answer_at, lines, error):
        caplog.set_level(logging.INFO)
        t, released, sent = FakeTime(), threading.Event(), []
        monkeypatch.setattr(corvane_backend, "time", SimpleNamespace(monotonic=t.clock, sleep=t.sleep))
        monkeypatch.setattr(Globals, "controller", controller)

        def wait_for(answered, seconds):
            t.sleep(seconds)
            if t.now < answer_at:
                return False
            released.set()
            return answered.wait(10)

        def post(url, **kwargs):
            sent.append((url, kwargs))
            released.wait(10)
            if kwargs.get("timeout"):
                raise requests.ReadTimeout("read timed out")
            return SimpleNamespace(status_code=200, json=lambda: {"return": True, "results": "ok"})

        monkeypatch.setattr(corvane_backend, "_wait_for", wait_for)
        monkeypatch.setattr(
            corvane_backend,
            "requests",
            SimpleNamespace(
                post=post,
                ConnectionError=requests.ConnectionError,
                RequestException=requests.RequestException,
            ),
        )
        if error:
            with pytest.raises(ControllerError, match=error):
                controller_http.post("https://ctl/v2/api", data=dict(self.HA), verify=False)
        else:
            controller_http.post("https://ctl/v2/api", data=dict(self.HA), verify=False)
        timeout = {"timeout": (None, 300.0)} if error else {}
        assert sent == [("https://ctl/v2/api", {"data": self.HA, "verify": False, **timeout})]
        logged = [r.getMessage() for r in caplog.records if r.getMessage().startswith("waiting for")]
        assert logged == [self.LINE.format(n) for n in lines]

    def test_requests_share_one_tls_context(self, session):
        contexts = set()
        original = corvane_backend._OneContextAdapter.build_connection_pool_key_attributes

        def spy(adapter, request, verify, cert=None):
            host, pool = original(adapter, request, verify, cert)
            contexts.add(id(pool["ssl_context"]))
            return host, pool

        corvane_backend._OneContextAdapter.build_connection_pool_key_attributes = spy
        try:
            for _ in range(3):
                assert controller_http.post(
                    session.url, data={"action": "list_accounts", "CID": Globals.CID}, verify=False
                ).json()["return"]
        finally:
            corvane_backend._OneContextAdapter.build_connection_pool_key_attributes = original
        assert len(contexts) == 1
