"""The faults of `--chaos SEED`: the same seed gives the same faults, bursts stay shorter than the client's
retries, and the controller's session expiry and time-out come once each, where the seed says."""

import pathlib
import re

import tidewall.sandbox
from tidewall.sandbox.chaos import BURST, EC2_CHANGES, Chaos

CALLS = [
    ("ec2", op) for op in ("DescribeNatGateways", "DeleteNatGateway", "DescribeRouteTables", "ReplaceRoute")
]
CALLS += [("s3", op) for op in ("PUT /bucket/key", "GET /bucket/key")]


def faults_of(seed, n=600):
    chaos = Chaos(seed)
    return [(service, op, chaos.aws_fault(service, op)) for service, op in (CALLS * n)[: n * 3]]


class TestAws:
    def test_a_seed_gives_the_same_faults_and_seeds_differ(self):
        assert faults_of(3) == faults_of(3)
        assert faults_of(3) != faults_of(4)

    def test_every_kind_comes_and_runs_of_faults_stay_short(self):
        for seed in range(1, 6):
            calls = faults_of(seed)
            kinds = {f.kind for _s, _o, f in calls if f}
            assert {"throttle", "error", "slowdown", "after-change"} <= kinds, seed
            for service in ("ec2", "s3"):
                run = longest = 0
                for s, _op, fault in calls:
                    if s == service:
                        run = run + 1 if fault else 0
                        longest = max(longest, run)
                assert longest <= BURST[1], (seed, service)

    def test_only_changes_lose_their_answer(self):
        for _s, op, fault in faults_of(2):
            if fault is not None and fault.after_change:
                assert op in EC2_CHANGES


class TestController:
    def test_the_session_expires_once_and_the_timeout_hits_its_request_once(self):
        chaos = Chaos(2)
        action, nth = chaos.timeout_target
        answers = []
        for n in range(1, 40):
            name = action if n % 2 else "list_accounts"
            answers.append((name, chaos.controller_fault(name)))
        assert chaos.controller_fault("login") is None
        faults = [(name, f) for name, f in answers if f]
        assert [f for _n, f in faults].count("expire") == 1
        assert answers[chaos.session_expiry_at - 1][1] == "expire"
        timeouts = [name for name, f in faults if f.startswith("timeout")]
        assert timeouts == [action]
        # The request refused for its expired session is not counted: the timeout is the nth one sent again.
        counted = [name for name, f in answers if f != "expire" and name == action]
        assert len(counted) >= nth


def test_the_sandbox_judges_with_its_own_view_not_the_tools_functions():
    root = pathlib.Path(tidewall.sandbox.__file__).parent
    pattern = re.compile(r"(from|import)\s+tidewall\.lib\.(natgw|route_table|test)\b")
    offenders = [str(p.relative_to(root)) for p in root.rglob("*.py") if pattern.search(p.read_text())]
    assert offenders == []
