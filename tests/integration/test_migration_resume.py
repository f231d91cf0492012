"""A migration stopped part-way (by the command count, a crash before a step, or a death between a step's
action and its journal record) and started again reaches the end state of an uninterrupted run, with one
spoke per NAT gateway and every step journalled once."""

import pytest
from handover_support import (
    FIRST_GROUP,
    NEXT_GROUP,
    crash_before_step,
    die_before_record,
    expected_journal,
)

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

CLEAN = expected_journal(groups=3, resize=True)


class TestCommandCount:
    @pytest.mark.parametrize("cmdcnt", [1, 2])
    def test_stop_before_a_nat_gateway_then_resume(self, vpc, cmdcnt):
        assert vpc.run(cmdcnt=cmdcnt) == 0

        # Stopped before NAT gateway `cmdcnt`: the primary keeps its handover size, and no resize is
        # journalled in the slot that the next NAT gateway's deletion needs.
        vpc.assert_replaced(set(range(cmdcnt)), resized=False)
        assert vpc.journal() == FIRST_GROUP + NEXT_GROUP * (cmdcnt - 1)
        assert f"- Terminate with command count {cmdcnt}" in vpc.messages()

        assert vpc.run() == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN

    def test_command_count_0_changes_nothing_but_records_the_discovery(self, vpc):
        before = vpc.egress().key()

        assert vpc.run(cmdcnt=0) == 0

        assert vpc.egress().key() == before and vpc.gateways() == {}
        assert vpc.s3_text() is None
        assert len(vpc.discovered()) == 3
        assert vpc.run() == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN


# Steps of a clean run (no acceptance test), counted from 0:
# 0 s1 snapshot, 1 traffic move, 2 NAT gateway 0 deletion, 3 primary spoke, 4 s2 snapshot, 5 SNAT,
# 6 NAT gateway 1 deletion, 7 its spoke, 8 NAT gateway 2 deletion, 9 its spoke, 10 resize.
class TestCrash:
    @pytest.mark.parametrize(
        "steps_done, error",
        [
            (0, KeyboardInterrupt()),
            (3, RuntimeError("lost the connection")),
            (7, KeyboardInterrupt()),
            (10, RuntimeError("lost the connection")),
        ],
        ids=["before-s1", "before-primary", "before-spoke1", "before-resize"],
    )
    def test_resumed_run_ends_like_an_uninterrupted_one(self, vpc, monkeypatch, steps_done, error):
        with monkeypatch.context() as patch:
            crash_before_step(patch, steps_done, error)
            with pytest.raises(type(error)):
                vpc.run()

        assert vpc.journal() == (CLEAN[:steps_done] or None)

        assert vpc.run() == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN


class TestDeathBeforeTheRecord:
    """The step was carried out but the process died before its memento was journalled: the resumed run
    does the step again, which must do no harm."""

    @pytest.mark.parametrize(
        "append, died_on",
        [
            (1, "NatGwTrafficMemento"),
            (2, "NatGwDeleteMemento"),
            (3, "HsSpokeCreateMemento"),
            (5, "SnatEnableMemento"),
            (7, "HsSpokeCreateMemento"),
        ],
        ids=["after-traffic-move", "after-natgw0-delete", "after-primary", "after-snat", "after-spoke1"],
    )
    def test_resumed_run_repeats_the_step_harmlessly_and_revert_still_works(
        self, vpc, monkeypatch, append, died_on
    ):
        with monkeypatch.context() as patch:
            calls = die_before_record(patch, append, KeyboardInterrupt())
            with pytest.raises(KeyboardInterrupt):
                vpc.run()
        assert calls["died_on"] == died_on
        assert vpc.journal() == CLEAN[:append]

        assert vpc.run() == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN

        assert vpc.run("revert") == 0
        vpc.assert_reverted()
        assert vpc.journal() == []
