"""Manager.revert (every recorded step undone, newest first) and Manager.cleanup."""

import logging

import pytest

from .conftest import FULL_ORDER

LOGGER = "tidewall.commands.natgw_eip_handover"

REVERT_PREPARATION = [
    "ConfigAdaptor(config)",
    "AwsClientManager(config)",
    "clientMgr.getS3Client()",
    "getCid('10.0.0.5:443', 'admin', 'pw-1')",
    "CreateCorvaneAccount(ca)",
    "CreateCorvaneAccount.execute()",
    "S3BackupCmdV2(s3, des)",
    "S3BackupCmdV2.download()",
    "des.getAbsolutePath()",
    "MementoHistory.init('/backup/vpc-1')",
]


def undo(labels):
    out = []
    for label in labels:
        out += [
            "MementoHistory.isEmpty()",
            "MementoHistory.isCmdBegin()",
            "MementoHistory.pop()",
            f"{label}.restore()",
        ]
    return out


class TestRevert:
    def test_whole_history_undone_newest_first_across_group_marks(self, Manager, world):
        world.preload(FULL_ORDER)
        assert Manager.revert(world.config) is None
        assert world.log == REVERT_PREPARATION + undo(reversed(FULL_ORDER)) + [
            "MementoHistory.isEmpty()",
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.upload()",
        ]
        assert world.held() == []

    def test_empty_history_downloads_and_uploads_once(self, Manager, world):
        Manager.revert(world.config)
        assert world.log == REVERT_PREPARATION + [
            "MementoHistory.isEmpty()",
            "S3BackupCmdV2(s3, des)",
            "S3BackupCmdV2.upload()",
        ]

    def test_globals_hold_this_calls_login_before_the_first_restore(self, Manager, world):
        world.Globals.CID, world.Globals.controller_ip = "stale", "1.1.1.1"
        world.cid_result = ("6.1", "CID-fresh")
        world.preload(["A1", "A2"])
        Manager.revert(world.config)
        assert world.globals_at_account == (world.client_mgr, "CID-fresh", "10.0.0.5:443")
        assert world.globals_at_restore == [(world.client_mgr, "CID-fresh", "10.0.0.5:443")] * 2

    def test_unset_password_variable_reaches_login_as_none(self, Manager, world, monkeypatch):
        monkeypatch.delenv(world.fields["controller_password_env"])
        Manager.revert(world.config)
        assert "getCid('10.0.0.5:443', 'admin', None)" in world.log

    @pytest.mark.parametrize("failing, mark", [("B1[1]", True), ("A6", False)])
    def test_failed_restore_put_back_with_its_mark_and_error_propagates(self, Manager, world, failing, mark):
        labels = ["A1", "A2", "A3", "A4", "A5", "A6", "B1[1]", "B2[1]"]
        world.preload(labels)
        err = RuntimeError("controller unreachable")
        world.restore_failures[failing] = err
        with pytest.raises(RuntimeError) as info:
            Manager.revert(world.config)
        assert info.value is err
        done = labels[labels.index(failing) + 1 :][::-1]
        put_back = (
            f"MementoHistory.append({failing}, MarkBegin=True)"
            if mark
            else f"MementoHistory.append({failing})"
        )
        assert world.log[len(REVERT_PREPARATION) :] == undo(done + [failing]) + [put_back]
        # restored ones are gone; the failed one is back on top, with its group mark; no upload
        assert world.held() == labels[: labels.index(failing) + 1]
        assert (failing in world.marks()) is mark
        assert world.count("S3BackupCmdV2.upload") == 0

    def test_failure_before_any_restore_propagates(self, Manager, world):
        world.cid_result = None
        world.preload(["A1"])
        with pytest.raises(TypeError):
            Manager.revert(world.config)
        assert world.log[-1].startswith("getCid(")
        assert world.held() == ["A1"]

    def test_reached_through_logged(self, Manager, world, caplog):
        caplog.set_level(logging.DEBUG, logger="tidewall.commands.base_case_handler")
        Manager.revert(config=world.config)
        messages = [r.getMessage() for r in caplog.records if r.name == "tidewall.commands.base_case_handler"]
        assert messages[0] == "Start Manager.revert"
        assert messages[-1].startswith("End Manager.revert after ")

    def test_revert_writes_no_log_lines_of_its_own(self, Manager, world, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        world.preload(["A1"])
        Manager.revert(world.config)
        assert [r for r in caplog.records if r.name == LOGGER] == []


class TestCleanup:
    @pytest.mark.parametrize("config", [None, {"vpc_id": "vpc-1"}, "does-not-exist.yaml"])
    def test_logs_not_implemented_and_touches_nothing(self, Manager, world, caplog, config):
        caplog.set_level(logging.DEBUG)
        world.preload(["A1"])
        assert Manager.cleanup(config) is None
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            (LOGGER, logging.INFO, "Not implemented")
        ]
        assert world.log == []
        assert world.held() == ["A1"]
