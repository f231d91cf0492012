"""Second phase of Manager.execute: the replacement steps, resuming, the acceptance test and the
rollback of the current group."""

import logging
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tidewall
from tidewall.core.exceptions import CorvaneRollbackException

from .conftest import FULL_ORDER, info_record

LOGGER = "tidewall.commands.natgw_eip_handover"
WITH_TEST = ["T"] + FULL_ORDER


def steps_log(world):
    return world.log[world.log.index("MementoHistory.is_memento_exist()") + 1 :]


def lines(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == level]


def rollback_of(labels):
    """Log lines of undoing `labels` (newest first) as the current group."""
    out = []
    for label in labels:
        out += [
            "MementoHistory.isEmpty()",
            "MementoHistory.isCmdBegin()",
            "MementoHistory.pop()",
            f"{label}.restore()",
        ]
    return out


UPLOAD_AND_EXIT = ["S3BackupCmdV2(s3, des)", "S3BackupCmdV2.upload()", "exit(1)"]


class TestFirstRun:
    def test_three_nat_gateways_without_acceptance_test(self, Manager, world):
        assert Manager.execute(world.config) is None
        assert steps_log(world) == [
            "next -> False",
            "SnapshotRTCmd(ec2, '/backup/vpc-1', 'vpc-1', infos, 'bucket-1', tag='s1', version='v2')",
            "SnapshotRTCmd.execute()",
            "MementoHistory.append(A1, MarkBegin=True)",
            "next -> False",
            "NatGwTrafficCmd(ec2, 'nat-0b', 'subnet-0', 'vpc-1', '/backup/vpc-1', tag='s1')",
            "NatGwTrafficCmd.moveTraffic('subnet-1')",
            "MementoHistory.append(A2)",
            "next -> False",
            "NatGwCmd(ec2, 'vpc-1', '/backup/vpc-1', version='v2')",
            "NatGwCmd.delete(record[0])",
            "MementoHistory.append(A3)",
            "next -> False",
            "HsSpokeCmd('acct-1', 'spoke-gw', None, 'vpc-1', 'us-east-1', primary=True)",
            "HsSpokeCmd.create('10.0.0.0/24', '3.0.0.11', 't3.small', tag=None)",
            "A4.getSpokeInfo()",
            "MementoHistory.append(A4)",
            "next -> False",
            "SnapshotRTCmd(ec2, '/backup/vpc-1', 'vpc-1', infos, 'bucket-1', tag='s2', version='v2')",
            "SnapshotRTCmd.execute()",
            "MementoHistory.append(A5)",
            "next -> False",
            "SnatCmd('spoke-gw')",
            "SnatCmd.enable()",
            "MementoHistory.append(A6)",
            "next -> False",
            "NatGwCmd(ec2, 'vpc-1', '/backup/vpc-1', version='v2')",
            "NatGwCmd.delete(record[1])",
            "MementoHistory.append(B1[1], MarkBegin=True)",
            "next -> False",
            "HsSpokeCmd('acct-1', 'spoke-gw', None, 'vpc-1', 'us-east-1', primary=False)",
            "HsSpokeCmd.create('10.0.1.0/24', '3.0.1.11', 't3.large', tag=None)",
            "B2[1].getSpokeInfo()",
            "MementoHistory.append(B2[1])",
            "next -> False",
            "NatGwCmd(ec2, 'vpc-1', '/backup/vpc-1', version='v2')",
            "NatGwCmd.delete(record[2])",
            "MementoHistory.append(B1[2], MarkBegin=True)",
            "next -> False",
            "HsSpokeCmd('acct-1', 'spoke-gw', None, 'vpc-1', 'us-east-1', primary=False)",
            "HsSpokeCmd.create('10.0.2.0/24', '3.0.2.11', 't3.large', tag=None)",
            "B2[2].getSpokeInfo()",
            "MementoHistory.append(B2[2])",
            "next -> False",
            "ResizeSpokeGatewayCmd('spoke-gw', 't3.small', 't3.large')",
            "ResizeSpokeGatewayCmd.execute()",
            "MementoHistory.append(R)",
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.upload()",
        ]
        assert world.marks() == ["A1", "B1[1]", "B1[2]"]

    def test_with_acceptance_test(self, Manager, world):
        world.fields["enable_test"] = True
        Manager.execute(world.config)
        assert world.held() == WITH_TEST
        assert world.marks() == ["A1", "B1[1]", "B1[2]"]
        # the opening test sees every NAT gateway as it is now
        ((test_args, _),) = world.raw["TestCmd"]
        assert test_args[:2] == ("test-in", "test-out")
        assert [list(t.items()) for t in test_args[2]] == [
            [
                ("nat_gw_id", f"nat-{i}b"),
                ("gw_name", f"nat-{i}b"),
                ("gw_public_ip", f"3.0.{i}.11"),
                ("gw_private_ip", f"10.0.{i}.11"),
                ("gw_subnet_id", f"subnet-{i}"),
            ]
            for i in range(3)
        ]
        # one test per new spoke, right after its group, with that spoke's own record
        spokes = [m for m, _ in world.history if m.label in ("A4", "B2[1]", "B2[2]")]
        generated = world.raw["Test.generate_test_config"]
        assert len(generated) == 3
        for (args, kwargs), spoke in zip(generated, spokes, strict=True):
            assert args[:2] == ("test-in", "test-out") and args[2] is spoke.spoke_info and kwargs == {}
        assert world.log.index("Test.run_test()") > world.log.index("MementoHistory.append(A6)")
        assert world.log.index("Test.run_test()") < world.log.index(
            "MementoHistory.append(B1[1], MarkBegin=True)"
        )

    @pytest.mark.parametrize(
        "enable_test, tested",
        [(True, True), (1, True), (None, False), ("yes", False), ("true", False), (False, False)],
    )
    def test_acceptance_test_only_when_enable_test_equals_true(self, Manager, world, enable_test, tested):
        world.fields["enable_test"] = enable_test
        Manager.execute(world.config)
        assert world.held() == (WITH_TEST if tested else FULL_ORDER)
        assert world.count("Test.run_test") == (3 if tested else 0)

    def test_created_spoke_without_record_skips_its_test(self, Manager, world):
        world.fields["enable_test"] = True
        world.spoke_infos["B2[1]"] = None
        Manager.execute(world.config)
        assert world.count("Test.generate_test_config") == 2


class TestResume:
    @pytest.mark.parametrize("done", range(len(WITH_TEST) + 1))
    def test_interrupted_run_continues_where_it_stopped(self, Manager, world, done):
        world.fields["enable_test"] = True
        world.resumed()
        world.preload(WITH_TEST[:done])
        Manager.execute(world.config)
        assert world.held() == WITH_TEST
        assert world.steps_run() == WITH_TEST[done:]
        assert world.marks() == ["A1", "B1[1]", "B1[2]"]
        assert world.draw_count() == len(WITH_TEST)
        # a spoke whose creation was skipped is not tested again
        tested = [args[2]["gw_name"] for args, _ in world.raw.get("Test.generate_test_config", [])]
        assert tested == [f"spoke-{lb}" for lb in ("A4", "B2[1]", "B2[2]") if lb in WITH_TEST[done:]]
        assert world.count("S3BackupCmdV2.upload") == 1

    def test_resumed_at_the_s2_snapshot(self, Manager, world):
        world.fields["enable_test"] = True
        world.resumed()
        world.preload(["T", "A1", "A2", "A3", "A4"])
        Manager.execute(world.config)
        assert world.steps_run()[:2] == ["A5", "A6"]
        assert "A4.getSpokeInfo()" not in world.log
        assert world.raw["Test.generate_test_config"][0][0][2] == {"gw_name": "spoke-B2[1]"}

    def test_exhausted_draws_raise_stop_iteration(self, Manager, world):
        world.draws = [False, False]
        with pytest.raises(StopIteration):
            Manager.execute(world.config)
        assert world.held() == ["A1", "A2"]
        assert world.count("S3BackupCmdV2.upload") == 0


class TestCommandCount:
    @pytest.mark.parametrize(
        "cmdcnt, steps",
        [
            (0, []),
            (1, ["A1", "A2", "A3", "A4", "A5", "A6"]),
            (2, ["A1", "A2", "A3", "A4", "A5", "A6", "B1[1]", "B2[1]"]),
        ],
    )
    def test_stop_before_the_nat_gateway_whose_index_reaches_it(self, Manager, world, caplog, cmdcnt, steps):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.Globals.cmdcnt = cmdcnt
        Manager.execute(world.config)
        assert world.held() == steps
        assert f"- Terminate with command count {cmdcnt}" in lines(caplog, logging.INFO)
        # stopped early: no primary resize, so no draw for it either
        assert world.draw_count() == len(steps)
        assert world.count("ResizeSpokeGatewayCmd") == 0
        assert world.log[-2:] == ["S3BackupCmdV2(s3, des)", "S3BackupCmdV2.upload()"]

    @pytest.mark.parametrize("cmdcnt", [3, 7, -1])
    def test_count_beyond_the_list_does_not_stop(self, Manager, world, caplog, cmdcnt):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.Globals.cmdcnt = cmdcnt
        Manager.execute(world.config)
        assert world.held() == FULL_ORDER
        assert not any(m.startswith("- Terminate") for m in lines(caplog, logging.INFO))

    @pytest.mark.parametrize("first_cmdcnt", [0, 1, 2])
    def test_run_in_stages_journals_like_one_run(self, Manager, world, first_cmdcnt):
        world.Globals.cmdcnt = first_cmdcnt
        Manager.execute(world.config)
        world.Globals.cmdcnt = -1
        world.log.clear()
        Manager.execute(world.config)
        assert world.held() == FULL_ORDER
        assert world.marks() == ["A1", "B1[1]", "B1[2]"]
        assert world.count("NatGwCmd.delete") == 3 - min(first_cmdcnt, 3)


class TestHsModeOne:
    def test_only_the_first_two_nat_gateways_are_replaced(self, Manager, world, caplog):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.fields["hs_mode"] = 1
        world.Globals.HS_LIMIT = 4
        world.nat_gws = [{"NatGatewayId": f"nat-{i}"} for i in range(4)]
        world.discovered = [info_record(i) for i in range(4)]
        Manager.execute(world.config)
        assert world.raw["DetermineGwSizeCmd"][0][0][2] == 4
        assert world.held() == ["A1", "A2", "A3", "A4", "A5", "A6", "B1[1]", "B2[1]", "R"]
        assert world.draw_count() == 9
        assert not any(m.startswith("- Terminate") for m in lines(caplog, logging.INFO))

    def test_hs_mode_check_comes_before_the_command_count(self, Manager, world, caplog):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.fields["hs_mode"] = 1
        world.discovered = [info_record(i) for i in range(4)]
        world.Globals.cmdcnt = 3
        Manager.execute(world.config)
        assert world.held()[-1] == "R"
        assert not any(m.startswith("- Terminate") for m in lines(caplog, logging.INFO))


class TestPrimaryResize:
    def test_forced_size_means_no_resize_and_no_draw(self, Manager, world):
        world.fields["spoke_gw_size"] = "t3.medium"
        Manager.execute(world.config)
        assert world.held() == FULL_ORDER[:-1]
        assert world.draw_count() == len(FULL_ORDER) - 1
        assert (
            "HsSpokeCmd('acct-1', 'spoke-gw', 't3.medium', 'vpc-1', 'us-east-1', primary=True)" in world.log
        )

    def test_equal_sizes_mean_no_resize(self, Manager, world):
        for rec in world.discovered:
            rec["size"] = rec["initial_size"]
        Manager.execute(world.config)
        assert world.held() == FULL_ORDER[:-1]
        assert world.draw_count() == len(FULL_ORDER) - 1


class TestAcceptanceTestFailure:
    @pytest.mark.parametrize(
        "failing, group, kept",
        [
            (0, ["A6", "A5", "A4", "A3", "A2", "A1"], ["T"]),
            (1, ["B2[1]", "B1[1]"], ["T", "A1", "A2", "A3", "A4", "A5", "A6"]),
            (2, ["B2[2]", "B1[2]"], ["T", "A1", "A2", "A3", "A4", "A5", "A6", "B1[1]", "B2[1]"]),
        ],
    )
    def test_only_the_current_group_is_undone(self, Manager, world, capsys, caplog, failing, group, kept):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.fields["enable_test"] = True
        world.test_results = [True] * failing + [False]
        with pytest.raises(SystemExit) as info:
            Manager.execute(world.config)
        assert info.value.code == 1
        assert isinstance(info.value.__context__, CorvaneRollbackException)
        last_test = len(world.log) - world.log[::-1].index("Test.run_test()")
        assert world.log[last_test:] == rollback_of(group) + UPLOAD_AND_EXIT
        assert world.count("Test.run_test") == failing + 1
        assert world.held() == kept
        assert lines(caplog, logging.ERROR) == ["  **Error** EC2 test failure"]
        err = capsys.readouterr().err
        assert "CorvaneRollbackException: EC2 test failure" in err

    @pytest.mark.parametrize("answer, rolled_back", [(False, True), (0, True), (None, False), ("", False)])
    def test_failure_means_a_result_equal_to_false(self, Manager, world, answer, rolled_back):
        world.fields["enable_test"] = True
        world.test_results = [answer]
        if rolled_back:
            with pytest.raises(SystemExit):
                Manager.execute(world.config)
            assert world.held() == ["T"]
        else:
            Manager.execute(world.config)
            assert world.held() == WITH_TEST

    def test_rollback_requested_by_a_command(self, Manager, world, caplog):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.failures["B2[1]"] = CorvaneRollbackException("Spoke gateway spoke-gw creation failure")
        with pytest.raises(SystemExit) as info:
            Manager.execute(world.config)
        assert info.value.code == 1
        assert world.log[-len(rollback_of(["B1[1]"])) - 3 :] == rollback_of(["B1[1]"]) + UPLOAD_AND_EXIT
        assert world.held() == ["A1", "A2", "A3", "A4", "A5", "A6"]
        assert lines(caplog, logging.ERROR) == ["  **Error** Spoke gateway spoke-gw creation failure"]

    def test_traceback_of_the_exception_being_handled_printed(self, Manager, world, handover, monkeypatch):
        printed = []
        tb_module = type(
            "tb", (), {"print_exc": staticmethod(lambda *a: printed.append((a, sys.exc_info())))}
        )
        monkeypatch.setattr(handover, "traceback", tb_module)
        err = CorvaneRollbackException("Spoke gateway spoke-gw creation failure")
        world.failures["A4"] = err
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        assert printed == [((), (CorvaneRollbackException, err, err.__traceback__))]
        assert err.__traceback__ is not None

    def test_traceback_of_a_failed_restore_printed_with_its_context(
        self, Manager, world, handover, monkeypatch
    ):
        printed = []
        tb_module = type("tb", (), {"print_exc": staticmethod(lambda: printed.append(sys.exc_info()[1]))})
        monkeypatch.setattr(handover, "traceback", tb_module)
        world.fields["enable_test"] = True
        world.test_results = [False]
        failure = RuntimeError("restore broke")
        world.restore_failures["A6"] = failure
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        assert [type(e) for e in printed] == [CorvaneRollbackException, RuntimeError]
        assert printed[1] is failure and isinstance(failure.__context__, CorvaneRollbackException)

    def test_empty_history_still_uploads_and_exits(self, Manager, world):
        world.fields["enable_test"] = True
        world.failures["T"] = CorvaneRollbackException("baseline does not hold")
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        assert world.log[-4:] == ["MementoHistory.isEmpty()"] + UPLOAD_AND_EXIT


class TestFailedRestoreDuringRollback:
    def test_group_opener_put_back_with_its_mark(self, Manager, world, capsys, caplog):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.fields["enable_test"] = True
        world.test_results = [True, True, False]
        world.restore_failures["B1[2]"] = RuntimeError("restore broke")
        with pytest.raises(SystemExit) as info:
            Manager.execute(world.config)
        assert info.value.code == 1
        assert (
            world.log[-9:]
            == [
                "B2[2].restore()",
                "MementoHistory.isEmpty()",
                "MementoHistory.isCmdBegin()",
                "MementoHistory.pop()",
                "B1[2].restore()",
                "MementoHistory.append(B1[2], MarkBegin=True)",
            ]
            + UPLOAD_AND_EXIT
        )
        # the journal still records the deletion that was not undone, as a group opener
        assert world.held() == WITH_TEST[:9] + ["B1[2]"]
        assert world.marks() == ["A1", "B1[1]", "B1[2]"]
        assert lines(caplog, logging.ERROR) == ["  **Error** EC2 test failure", "  **Error** restore broke"]
        err = capsys.readouterr().err
        assert "RuntimeError: restore broke" in err

    def test_failure_inside_the_group_stops_the_rollback_there(self, Manager, world):
        world.fields["enable_test"] = True
        world.test_results = [True, True, False]
        world.restore_failures["B2[2]"] = RuntimeError("controller unreachable")
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        assert world.log[-5:] == ["B2[2].restore()", "MementoHistory.append(B2[2])"] + UPLOAD_AND_EXIT
        assert world.held() == WITH_TEST[:9] + ["B1[2]", "B2[2]"]
        assert "B1[2].restore()" not in world.log

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt(), SystemExit(3)])
    def test_interrupt_during_restore_is_not_swallowed(self, Manager, world, interrupt):
        world.fields["enable_test"] = True
        world.test_results = [False]
        world.restore_failures["A5"] = interrupt
        with pytest.raises(type(interrupt)) as info:
            Manager.execute(world.config)
        assert info.value is interrupt
        assert world.log[-2:] == ["A5.restore()", "MementoHistory.append(A5)"]
        assert world.held() == ["T", "A1", "A2", "A3", "A4", "A5"]
        assert world.count("S3BackupCmdV2.upload") == 0


class TestOtherErrors:
    @pytest.mark.parametrize("label", ["A2", "B1[1]", "R"])
    def test_propagate_unchanged_without_rollback_or_upload(self, Manager, world, label):
        err = RuntimeError(f"{label} failed")
        world.failures[label] = err
        with pytest.raises(RuntimeError) as info:
            Manager.execute(world.config)
        assert info.value is err
        assert any(entry.name == "_produce" for entry in info.traceback)
        assert world.count("MementoHistory.pop") == 0
        assert world.count("S3BackupCmdV2.upload") == 0
        assert world.held() == FULL_ORDER[: FULL_ORDER.index(label)]


class TestThroughLogged:
    def test_execute_runs_inside_the_logged_wrapper(self, Manager, world, caplog):
        caplog.set_level(logging.DEBUG, logger="tidewall.commands.base_case_handler")
        Manager.execute(world.config)
        messages = [r.getMessage() for r in caplog.records if r.name == "tidewall.commands.base_case_handler"]
        assert messages[0] == "Start Manager.execute"
        assert messages[-1].startswith("End Manager.execute after ")

    def test_exit_status_seen_by_the_wrapper(self, Manager, world, caplog):
        caplog.set_level(logging.DEBUG, logger="tidewall.commands.base_case_handler")
        world.discovered = []
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        messages = [r.getMessage() for r in caplog.records if r.name == "tidewall.commands.base_case_handler"]
        assert messages[-1].startswith("End Manager.execute: exit status 1")

    def test_keyword_config_and_subclass_dispatch(self, Manager, world):
        calls = []

        class Sub(Manager):
            @classmethod
            def get_natgw_infos(cls, ec2_client, ca):
                calls.append(cls)
                return Manager.get_natgw_infos.__func__(cls, ec2_client, ca)

        Sub.execute(config=world.config)
        assert calls == [Sub]
        assert world.held() == FULL_ORDER


class TestProcessExit:
    def test_rollback_ends_the_process_with_status_1(self):
        tests_dir = Path(__file__).resolve().parents[1]
        script = textwrap.dedent(
            """
            import os
            from manager.conftest import World, load_handover
            h = load_handover()
            w = World(h)
            for name, fake in w.bindings().items():
                setattr(h, name, fake)
            os.environ[w.fields["controller_password_env"]] = "pw"
            w.fields["enable_test"] = True
            w.test_results = [False]
            h.Manager.execute(w.config)
            print("not reached")
            """
        )
        env = {"PYTHONPATH": f"{Path(tidewall.__file__).resolve().parents[1]}:{tests_dir}"}
        out = subprocess.run(
            [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120
        )
        assert out.returncode == 1, out.stderr
        assert out.stdout == ""
        assert "CorvaneRollbackException: EC2 test failure" in out.stderr
