"""The tool's waits: growing pauses, not-found tolerated right after a create, throttling waited out, a bounded
total with one clear line, progress lines, all on the configured time scale; and the NAT gateway wait built
on them."""

import logging
from types import SimpleNamespace

import pytest
from botocore.exceptions import ClientError

from fake_time import FakeTime
from tidewall.core.Globals import Globals
from tidewall.lib import natgw as natgw_mod
from tidewall.lib import waits
from tidewall.lib.natgw import NatGwError
from tidewall.lib.waits import NOT_VISIBLE, Expected, WaitSettings, WaitTimeout, wait_until


def client_error(code, status=400):
    return ClientError(
        {"Error": {"Code": code, "Message": code}, "ResponseMetadata": {"HTTPStatusCode": status}}, "Op"
    )


def run(look, settings=None, **kwargs):
    t = FakeTime()
    value = wait_until(
        "the thing", look, settings=settings or WaitSettings(), sleep=t.sleep, clock=t.clock, **kwargs
    )
    return value, t


def looks(*answers):
    answers = list(answers)

    def look():
        answer = answers.pop(0)
        if isinstance(answer, Exception):
            raise answer
        return answer

    return look


class TestPauses:
    def test_first_look_is_immediate_then_pauses_grow_to_the_cap(self):
        value, t = run(looks(*[(False, "pending")] * 7, (True, "done")))
        assert value == "done"
        assert t.sleeps == [5.0, 7.5, 11.25, 16.875, 25.3125, 30.0, 30.0]

    def test_done_at_once_never_sleeps(self):
        assert run(looks((True, 1)))[1].sleeps == []

    def test_time_scale_scales_the_pauses_not_the_messages(self, caplog):
        caplog.set_level(logging.INFO)
        settings = WaitSettings(time_scale=0.01, timeout=60)
        t = FakeTime()
        with pytest.raises(WaitTimeout, match=r"^timed out after 60 s waiting for the thing \(pending\)$"):
            wait_until(
                "the thing", lambda: (False, "pending"), settings=settings, sleep=t.sleep, clock=t.clock
            )
        assert t.sleeps[:2] == [0.05, 0.075] and sum(t.sleeps) == pytest.approx(0.6)
        assert (
            "Still waiting for the thing: 41 s of at most 60 s of the cloud's clock (waits.time_scale 0.01) "
            "(pending)" in caplog.text
        )

    def test_throttling_and_5xx_make_the_pause_longer_and_the_wait_goes_on(self):
        value, t = run(
            looks(client_error("RequestLimitExceeded", 503), client_error("InternalError", 500), (True, "ok"))
        )
        assert value == "ok" and t.sleeps == [10.0, 30.0]

    def test_other_errors_end_the_wait(self):
        with pytest.raises(ClientError, match="UnauthorizedOperation"):
            run(looks(client_error("UnauthorizedOperation")))


class TestNotFound:
    def test_right_after_a_create_not_found_is_waited_out_within_the_grace(self):
        value, t = run(looks((NOT_VISIBLE, "x"), (NOT_VISIBLE, "x"), (True, "there")), after_create=True)
        assert value == "there" and len(t.sleeps) == 2

    def test_after_the_grace_not_found_ends_the_wait(self):
        settings = WaitSettings(not_found_grace=10)
        value, t = run(lambda: (NOT_VISIBLE, "x"), settings, after_create=True)
        assert value is NOT_VISIBLE and sum(t.sleeps) >= 10

    def test_without_a_create_not_found_ends_the_wait_at_once(self):
        value, t = run(looks((NOT_VISIBLE, "x")))
        assert value is NOT_VISIBLE and t.sleeps == []


class TestProgress:
    def test_a_long_wait_says_what_it_waits_for_how_long_and_the_limit(self, caplog):
        caplog.set_level(logging.INFO)
        run(looks(*[(False, "deleting")] * 6, (True, None)), WaitSettings(progress_every=20))
        lines = [r.getMessage() for r in caplog.records if "Still waiting" in r.getMessage()]
        assert lines == [
            "  Still waiting for the thing: 24 s of at most 900 s (deleting)",
            "  Still waiting for the thing: 41 s of at most 900 s (deleting)",
            "  Still waiting for the thing: 66 s of at most 900 s (deleting)",
        ]

    def test_settings_come_from_the_run(self):
        Globals.waits = {"poll_interval": 1.0, "time_scale": 0.5, "unknown": 3}
        try:
            assert WaitSettings.of() == WaitSettings(poll_interval=1.0, time_scale=0.5)
        finally:
            Globals.waits = None
        assert WaitSettings.of() == WaitSettings()


class Ec2:
    """describe_nat_gateways answering from a script: "missing" (NatGatewayNotFound) or a state."""

    def __init__(self, *states):
        self.states = list(states)
        self.calls = 0

    def describe_nat_gateways(self, NatGatewayIds):  # noqa: N803 - boto3's name
        self.calls += 1
        state = self.states.pop(0) if len(self.states) > 1 else self.states[0]
        if state == "missing":
            raise client_error("NatGatewayNotFound")
        return {"NatGateways": [{"NatGatewayId": NatGatewayIds[0], "State": state}]}


@pytest.fixture
def quick():
    Globals.waits = {"time_scale": 1e-3}
    yield
    Globals.waits = None


class TestNatGatewayWait:
    def test_a_new_natgw_not_yet_visible_is_waited_for(self, quick):
        ec2 = Ec2("missing", "missing", "pending", "available")
        assert natgw_mod._wait_natgw(ec2, "nat-1", ("available",), after_create=True)["State"] == "available"
        assert ec2.calls == 4

    def test_a_natgw_unknown_after_the_grace_is_an_error_naming_it(self, quick):
        Globals.waits = {"time_scale": 1e-3, "not_found_grace": 1}
        with pytest.raises(NatGwError, match="nat-1 is not known to EC2 within 1 s of its creation"):
            natgw_mod._wait_natgw(Ec2("missing"), "nat-1", ("available",), after_create=True)

    def test_a_deletion_counts_a_forgotten_natgw_as_deleted(self, quick):
        assert (
            natgw_mod._wait_natgw(Ec2("deleting", "missing"), "nat-1", ("deleted", "failed"))["State"]
            == "deleted"
        )

    @pytest.mark.parametrize("state, match", [("failed", "failed"), ("deleted", "was deleted while waiting")])
    def test_a_natgw_that_will_never_become_available_ends_the_wait(self, quick, state, match):
        with pytest.raises(NatGwError, match=match):
            natgw_mod._wait_natgw(Ec2("pending", state), "nat-1", ("available",))


class TestNearTheExpectedEnd:
    """A deletion that ends near when deletions end is seen within 3 s, with at most 3 describes more than
    the growing pauses alone make, and never later than they would see it; once a deletion's end was seen
    at once, the next one is looked for at that moment."""

    @staticmethod
    def deletion(monkeypatch, ends):
        t = FakeTime()
        monkeypatch.setattr(waits, "time", SimpleNamespace(sleep=t.sleep, monotonic=t.clock))
        ec2 = Ec2()
        ec2.describe_nat_gateways = lambda NatGatewayIds: (  # noqa: N803 - boto3's name
            ec2.looks.append(t.now) or {"NatGateways": [{"NatGatewayId": "nat-1", "State": "deleting"}]}
            if t.now < ends
            else {"NatGateways": [{"NatGatewayId": "nat-1", "State": "deleted"}]}
        )
        ec2.looks = []
        natgw_mod._wait_natgw(ec2, "nat-1", ("deleted", "failed"), just_changed=True)
        return len(ec2.looks) + 1, t.now

    @pytest.mark.parametrize("ends, again", [(56, 56), (60.2, 60.2), (62.4, 62.4), (64, 66), (150, 150)])
    def test_deletions(self, monkeypatch, ends, again):
        Expected.forget()
        t = FakeTime()
        plain_looks = []
        wait_until(
            "x",
            lambda: (t.now >= ends, plain_looks.append(t.now)),
            settings=WaitSettings(),
            sleep=t.sleep,
            clock=t.clock,
        )
        describes, seen = self.deletion(monkeypatch, ends)
        assert seen <= t.now and describes <= len(plain_looks) + 3
        if abs(ends - 60) < 5:
            assert seen - ends <= 3
        _, seen = self.deletion(monkeypatch, again)
        if abs(ends - 60) < 5:  # seen at once: the next one is looked for when this one ended
            assert seen - again <= 3
        Expected.forget()
