"""First phase of Manager.execute: login, backup, histories, spoke tag and NAT-gateway discovery."""

import logging

import pytest

from .conftest import info_record

LOGGER = "tidewall.commands.natgw_eip_handover"

FIRST_RUN_PREPARATION = [
    "ConfigAdaptor(config)",
    "AwsClientManager(config)",
    "clientMgr.getEc2Client()",
    "clientMgr.getCwClient()",
    "clientMgr.getS3Client()",
    "getCid('10.0.0.5:443', 'admin', 'pw-1')",
    "CreateCorvaneAccount(ca)",
    "CreateCorvaneAccount.execute()",
    "S3BackupCmdV2(s3, des)",
    "S3BackupCmdV2.download()",
    "des.getAbsolutePath()",
    "CommandHistory.init('/backup/vpc-1', 'vpc-1', version='v2')",
    "CommandHistory.is_command_i_done(0)",
    "get_existing_natgws(ec2, None, 'vpc-1')",
    "backupAllRtbs(ec2, '/backup/vpc-1', 'vpc-1', False, ['nat-0', 'nat-1', 'nat-2'], version='v2')",
    "DetermineGwSizeCmd(ec2, cw, 3, nat_gws)",
    "DetermineGwSizeCmd.execute()",
    "DetermineGwSizeCmd.getNatGwInfo()",
    "CommandHistory.log_discover_natgw_cmd(infos)",
    "CommandHistory.get_discovered_natgws()",
    "get_natgw_by_subnet(ec2, 'subnet-0', 'vpc-1')",
    "get_natgw_by_subnet(ec2, 'subnet-1', 'vpc-1')",
    "get_natgw_by_subnet(ec2, 'subnet-2', 'vpc-1')",
    "MementoHistory.init('/backup/vpc-1')",
    "MementoHistory.is_memento_exist()",
]


def preparation(world):
    return world.log[: world.log.index("MementoHistory.is_memento_exist()") + 1]


def error_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.ERROR]


class TestFirstRun:
    def test_call_sequence(self, Manager, world):
        Manager.execute(world.config)
        assert preparation(world) == FIRST_RUN_PREPARATION

    def test_globals_published_before_the_account_is_made(self, Manager, world):
        Manager.execute(world.config)
        expected = (world.client_mgr, "CID-1", "10.0.0.5:443")
        assert world.globals_at_account == expected
        assert world.globals_now() == expected

    def test_unset_password_variable_reaches_login_as_none(self, Manager, world, monkeypatch):
        monkeypatch.delenv(world.fields["controller_password_env"])
        Manager.execute(world.config)
        assert "getCid('10.0.0.5:443', 'admin', None)" in world.log

    def test_password_variable_named_by_configuration(self, Manager, world, monkeypatch):
        world.fields["controller_password_env"] = "TW_MANAGER_OTHER_VAR"
        monkeypatch.setenv("TW_MANAGER_OTHER_VAR", "other-secret")
        Manager.execute(world.config)
        assert "getCid('10.0.0.5:443', 'admin', 'other-secret')" in world.log

    def test_refreshed_records_used_by_the_steps(self, Manager, world):
        Manager.execute(world.config)
        assert world.recorded is world.discovered
        assert world.recorded[0]["eip"] == "3.0.0.11"
        assert "HsSpokeCmd.create('10.0.0.0/24', '3.0.0.11', 't3.small', tag=None)" in world.log


class TestResumedRun:
    def test_discovery_skipped(self, Manager, world):
        world.resumed()
        world.preload(["A1"])
        Manager.execute(world.config)
        prep = preparation(world)
        assert prep == [
            line
            for line in FIRST_RUN_PREPARATION
            if not line.startswith(
                ("get_existing_natgws", "backupAllRtbs", "DetermineGwSizeCmd", "CommandHistory.log_discover")
            )
        ]

    def test_two_gateway_check_not_repeated_missing_record_1_surfaces_at_the_traffic_move(
        self, Manager, world
    ):
        world.resumed(infos=[info_record(0)])
        with pytest.raises(IndexError):
            Manager.execute(world.config)
        assert world.log[-3:] == [
            "MementoHistory.append(A1, MarkBegin=True)",
            "next -> False",
            "NatGwTrafficCmd(ec2, 'nat-0b', 'subnet-0', 'vpc-1', '/backup/vpc-1', tag='s1')",
        ]
        assert world.count("S3BackupCmdV2.upload") == 0


class TestSpokeCount:
    @pytest.mark.parametrize(
        "hs_mode, nat_gateways, hs_limit, expected",
        [
            (2, 5, 2, 5),
            (2, 3, 1, 3),
            (1, 3, 2, 2),
            (1, 4, 4, 4),
            (1, 3, 5, 3),
            (3, 4, 2, 2),
        ],
    )
    def test_number_of_spokes(self, Manager, world, hs_mode, nat_gateways, hs_limit, expected):
        world.fields["hs_mode"] = hs_mode
        world.Globals.HS_LIMIT = hs_limit
        world.nat_gws = [{"NatGatewayId": f"nat-{i}"} for i in range(nat_gateways)]
        Manager.execute(world.config)
        args, _ = world.raw["DetermineGwSizeCmd"][0]
        assert args[2] == expected
        assert args[3] is world.nat_gws
        rtb_args, _ = world.raw["backupAllRtbs"][0]
        assert rtb_args[4] == [f"nat-{i}" for i in range(nat_gateways)]


class TestSpokeTag:
    @pytest.mark.parametrize(
        "configured, expected",
        [
            ("env:prod,team:net", "env:prod,team:net"),
            ("env,prod,team,net", "env:prod,team:net"),
            (",env,prod", "env:prod"),
            (",,,owner,ops,tier,web", "owner:ops,tier:web"),
            ("a,,b,", "a:,b:"),
            ("k:v", "k:v"),
            ("", None),
            (None, None),
        ],
    )
    def test_forms(self, Manager, world, configured, expected):
        world.fields["spoke_gw_tag"] = configured
        Manager.execute(world.config)
        creations = world.raw["HsSpokeCmd.create"]
        assert [kwargs for _, kwargs in creations] == [{"tag": expected}] * 3

    @pytest.mark.parametrize("configured", ["env,prod,team", "solo", ",,x"])
    def test_odd_item_count_ends_the_run_before_discovery(self, Manager, world, caplog, configured):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.fields["spoke_gw_tag"] = configured
        with pytest.raises(SystemExit) as info:
            Manager.execute(world.config)
        assert info.value.code == 1
        assert error_lines(caplog) == [f"spoke_gw_tag: {configured} mismatched"]
        assert world.log[-2:] == ["CommandHistory.init('/backup/vpc-1', 'vpc-1', version='v2')", "exit(1)"]


class TestDiscoveryChecks:
    @pytest.mark.parametrize(
        "found, line",
        [
            (0, "**Error** cleanup has been done, rollback is not allowed!"),
            (1, "**Error** natgw_eip_handover requires two Natgw, only 1 is found"),
        ],
    )
    def test_fewer_than_two_nat_gateways(self, Manager, world, capsys, caplog, found, line):
        caplog.set_level(logging.INFO, logger=LOGGER)
        world.discovered = [info_record(i) for i in range(found)]
        with pytest.raises(SystemExit) as info:
            Manager.execute(world.config)
        assert info.value.code == 1
        out = capsys.readouterr()
        assert out.out == line + "\n"
        assert error_lines(caplog) == []
        # the discovery is recorded before the check; nothing runs after it
        assert world.log[-2:] == ["CommandHistory.log_discover_natgw_cmd(infos)", "exit(1)"]
        assert world.recorded is world.discovered

    def test_exit_is_looked_up_when_called(self, Manager, world, handover, monkeypatch):
        codes = []

        def module_exit(code):
            codes.append(code)
            raise SystemExit(code)

        monkeypatch.setattr(handover, "exit", module_exit, raising=False)
        world.discovered = []
        with pytest.raises(SystemExit):
            Manager.execute(world.config)
        assert codes == [1]
        assert "exit(1)" not in world.log


class TestPreparationFailures:
    @pytest.mark.parametrize(
        "answer, error, message",
        [
            (("CID-only",), ValueError, "not enough values to unpack (expected 2, got 1)"),
            (("6.1", "CID-1", "x"), ValueError, "too many values to unpack (expected 2)"),
            (None, TypeError, "cannot unpack non-iterable NoneType object"),
            ("ab", None, None),
        ],
    )
    def test_login_answer_must_be_a_pair(self, Manager, world, answer, error, message):
        world.cid_result = answer
        if error is None:  # any two-item iterable unpacks, as in Python
            Manager.execute(world.config)
            assert world.Globals.CID == "b"
            return
        with pytest.raises(error) as info:
            Manager.execute(world.config)
        assert str(info.value) == message
        assert world.log[-1].startswith("getCid(")
        assert world.Globals.CID is None

    def test_failure_before_the_memento_history_propagates_unchanged(self, Manager, world):
        err = ConnectionError("s3 unreachable")
        world.failures["download"] = err
        with pytest.raises(ConnectionError) as info:
            Manager.execute(world.config)
        assert info.value is err
        assert world.log[-1] == "S3BackupCmdV2.download()"
        assert world.count("MementoHistory.init") == 0
