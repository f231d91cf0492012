"""Whole migrations of a three-NAT-gateway VPC by Manager.execute, and Manager.revert after them, on the
simulated AWS and controller: what AWS, the controller and the journal show afterwards."""

import pytest
from handover_support import (
    SIZES,
    SPOKE,
    SPOKE_TAG_PAIRS,
    expected_journal,
)

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


class TestFirstRun:
    @pytest.mark.parametrize("enable_test", [False, True], ids=["without-test", "with-test"])
    def test_every_nat_gateway_is_replaced_by_a_spoke_holding_its_eip(self, vpc, enable_test):
        assert vpc.run(enable_test=enable_test) == 0

        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == expected_journal(groups=3, test=enable_test, resize=True)
        assert vpc.s3_text("command_history.json") == vpc.local_text("command_history.json")
        records = vpc.discovered()
        assert [r["subnet_id"] for r in records] == [z.public_subnet_id for z in vpc.zones]
        assert [r["eip"] for r in records] == [z.eip for z in vpc.zones]
        assert [r["size"] for r in records] == list(SIZES)
        for name, gateway in vpc.ctl.gateways.items():
            assert gateway.tags == SPOKE_TAG_PAIRS, name
        # The primary took over the traffic of every zone before it was sized down.
        resizes = [r for r in vpc.ctl.requests if r.action == "change_gateway_size"]
        assert [(r.fields["gw_name"], r.fields["gw_size"]) for r in resizes] == [(SPOKE, SIZES[0])]

    def test_a_forced_size_is_kept_and_nothing_is_resized(self, vpc):
        assert vpc.run(spoke_gw_size="c5.xlarge") == 0

        vpc.assert_replaced({0, 1, 2}, sizes=("c5.xlarge",) * 3)
        assert vpc.journal() == expected_journal(groups=3, resize=False)

    def test_a_second_execute_after_a_finished_run_changes_nothing(self, vpc):
        assert vpc.run() == 0
        before = vpc.observe()
        vpc.ctl.clear_requests()

        assert vpc.run() == 0

        assert vpc.observe() == before
        assert vpc.changing_requests() == []


class TestHsMode:
    def test_hs_mode_1_replaces_only_the_first_two_nat_gateways(self, vpc):
        assert vpc.run(hs_mode=1) == 0

        vpc.assert_replaced({0, 1})
        assert vpc.journal() == expected_journal(groups=2, resize=True)
        # All three were discovered; the third NAT gateway still serves its zone.
        assert len(vpc.discovered()) == 3
        table = vpc.zones[2].private_route_table_id
        assert vpc.egress().routes[table] == ("nat", vpc.zones[2].nat_gateway_id)


class TestRevert:
    def test_revert_brings_every_nat_gateway_back_with_its_eip(self, vpc):
        assert vpc.run(enable_test=True) == 0
        assert vpc.run("revert") == 0

        vpc.assert_reverted()
        assert vpc.journal() == []
        # The command history (the discovery) is left as it was.
        assert len(vpc.discovered()) == 3

    def test_revert_of_a_partial_run_and_a_second_revert(self, vpc):
        assert vpc.run(cmdcnt=2) == 0
        vpc.assert_replaced({0, 1}, resized=False)
        assert vpc.run("revert") == 0
        vpc.assert_reverted()
        before = vpc.observe()

        assert vpc.run("revert") == 0

        assert vpc.observe() == before
        assert vpc.journal() == []


class TestDryRun:
    def test_a_dry_run_changes_nothing_and_a_real_run_after_it_does_every_step(self, vpc):
        before = vpc.observe()
        assert before[2] == {}  # no journal yet

        assert vpc.run(dry_run=True, enable_test=True) == 0

        assert vpc.observe() == before
        assert vpc.changing_requests() == []
        assert vpc.local_text() is None and vpc.local_text("command_history.json") is None

        assert vpc.run(enable_test=True) == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == expected_journal(groups=3, test=True, resize=True)

    def test_a_dry_revert_changes_nothing(self, vpc):
        assert vpc.run() == 0
        before = vpc.observe()
        vpc.ctl.clear_requests()

        assert vpc.run("revert", dry_run=True) == 0

        assert vpc.observe() == before
        assert vpc.changing_requests() == []
        assert vpc.journal() == expected_journal()
