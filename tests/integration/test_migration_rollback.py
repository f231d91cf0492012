"""A failed acceptance test rolls back only the group of the NAT gateway under test, stores the journal
and ends with exit status 1; a restore that fails on the way (in that rollback or in a revert) leaves its
step in the journal, so nothing is forgotten that was not undone."""

import logging

import pytest
from handover_support import NATGW_DELETE, expected_journal, fail_once

from tidewall.lib.natgw import NatGwDeleteMemento
from tidewall.sandbox.run import failing_acceptance_test

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]

CLEAN = expected_journal(groups=3, test=True, resize=True)


def error_lines(vpc):
    return [
        r.getMessage()
        for r in vpc.caplog.records
        if r.name == "tidewall.commands.natgw_eip_handover" and r.levelno == logging.ERROR
    ]


class TestAcceptanceTestFailure:
    @pytest.mark.parametrize("index", [0, 2])
    def test_only_the_group_under_test_is_undone_then_a_resumed_run_completes(self, vpc, index, capsys):
        with failing_acceptance_test(index) as test:
            assert vpc.run(enable_test=True) == 1
        assert test["fired"]

        assert error_lines(vpc) == ["  **Error** EC2 test failure"]
        assert "CorvaneRollbackException: EC2 test failure" in capsys.readouterr().err
        # Groups before `index` stay; NAT gateway `index` is back with its EIP; later ones were not touched.
        vpc.assert_replaced(set(range(index)), resized=False, restored={index})
        assert vpc.journal() == expected_journal(groups=index, test=True, resize=False)

        assert vpc.run(enable_test=True) == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN


class TestFailingRestore:
    def test_a_restore_failing_in_the_rollback_keeps_its_step_in_the_journal(self, vpc, monkeypatch):
        with monkeypatch.context() as patch, failing_acceptance_test(2):
            fail_once(patch, NatGwDeleteMemento, "restore", RuntimeError("EC2 refused the NAT gateway"))
            assert vpc.run(enable_test=True) == 1

        assert error_lines(vpc) == ["  **Error** EC2 test failure", "  **Error** EC2 refused the NAT gateway"]
        # Spoke 2 was removed; its NAT gateway was not restored, and the journal still says it was deleted.
        vpc.assert_replaced({0, 1}, resized=False, gone={2})
        assert vpc.journal() == CLEAN[:-2] and CLEAN[-3] == (NATGW_DELETE, True)

        # The resumed run skips the deletion it finds journalled and gives the EIP to a new spoke.
        assert vpc.run(enable_test=True) == 0
        vpc.assert_replaced({0, 1, 2})
        assert vpc.journal() == CLEAN

    def test_a_restore_failing_in_a_revert_keeps_its_step_in_the_journal(self, vpc, monkeypatch):
        assert vpc.run() == 0
        with monkeypatch.context() as patch:
            fail_once(patch, NatGwDeleteMemento, "restore", RuntimeError("EC2 refused the NAT gateway"))
            with pytest.raises(RuntimeError, match="EC2 refused the NAT gateway"):
                vpc.run("revert")

        # The resize and spoke 2 were undone; the failed step and all before it are still journalled.
        assert vpc.journal() == expected_journal()[:-2]
        vpc.assert_replaced({0, 1}, resized=False, gone={2})

        assert vpc.run("revert") == 0
        vpc.assert_reverted()
        assert vpc.journal() == []
