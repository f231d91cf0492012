"""The `tidewall` command line: arguments, exit statuses, configuration errors, the run-settings guard and
`status` read from a prepared journal."""

import copy
import json
import os
import signal
import subprocess
import sys
import types

import boto3
import pytest
import requests
import yaml
from botocore.exceptions import ClientError, EndpointConnectionError, NoCredentialsError
from moto import mock_aws

from journal_states import SAMPLE_STATES
from tidewall import cli, runner
from tidewall.commands import journal_layout
from tidewall.commands.history import CommandHistory, MementoHistory
from tidewall.commands.memento import Memento
from tidewall.core.ConfigAdaptor import BackupDescriptor
from tidewall.core.exceptions import Terminated, TidewallError, UsageError
from tidewall.core.Globals import Globals
from tidewall.lib import lock, s3
from tidewall.lib.s3 import S3BackupCmdV2

REGION = "us-east-1"
BUCKET = "tidewall-cli-test"
VPC = "vpc-0123456789abcdef0"
ACCOUNT = "prod-aws"
PASSWORD_ENV = "TIDEWALL_TEST_PASSWORD"


class StandInManager:
    """Records how the command line called it and with which run switches; behaves as told."""

    calls = []
    outcome = None  # None: return; an exception instance: raise it

    @classmethod
    def _run(cls, name, config):
        cls.calls.append(
            {"name": name, "config": config, "dry_run": Globals.dry_run, "cmdcnt": Globals.cmdcnt}
        )
        if cls.outcome is not None:
            raise cls.outcome

    @classmethod
    def execute(cls, config):
        cls._run("execute", config)

    @classmethod
    def revert(cls, config):
        cls._run("revert", config)

    @classmethod
    def cleanup(cls, config):
        cls._run("cleanup", config)


@pytest.fixture(autouse=True)
def stand_in(monkeypatch):
    StandInManager.calls = []
    StandInManager.outcome = None
    monkeypatch.setattr(runner, "Manager", StandInManager)
    # The stand-in migrates no real VPC: the check that the VPC exists with two NAT gateways before a first
    # run is tested against a seeded sandbox VPC (tests/integration/test_run_lock.py).
    monkeypatch.setattr(runner, "check_vpc_ready", lambda ca, clients: None)
    monkeypatch.setattr(runner, "check_vpc_exists", lambda ca, clients: None)
    # Nor has it journalled steps: revert finds one to undo, so that the stand-in is called (a revert with
    # nothing to undo is answered without the migration command: tests/test_operator.py).
    real_revert_view = runner._revert_view

    def revert_view(ca, clients):
        view = real_revert_view(ca, clients)
        if view.undo_pending is None:
            view.intent = ("tidewall.lib.test.TestMemento", {})
        return view

    monkeypatch.setattr(runner, "_revert_view", revert_view)
    Globals.reset()
    yield StandInManager
    Globals.reset()
    s3.clear_registry()


@pytest.fixture
def aws(monkeypatch):
    for key, value in {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_SESSION_TOKEN": "testing",
        "AWS_DEFAULT_REGION": REGION,
    }.items():
        monkeypatch.setenv(key, value)
    monkeypatch.delenv("AWS_PROFILE", raising=False)
    with mock_aws():
        client = boto3.client("s3", region_name=REGION)
        client.create_bucket(Bucket=BUCKET)
        yield client


@pytest.fixture
def make_config(tmp_path, monkeypatch):
    monkeypatch.setenv(PASSWORD_ENV, "pw")

    def make(drop=(), **overrides):
        data = {
            "controller_ip": "127.0.0.1:8443",
            "controller_user": "admin",
            "controller_password_env": PASSWORD_ENV,
            "aws_account_name": ACCOUNT,
            "region": REGION,
            "vpc_id": VPC,
            "s3_bucket": BUCKET,
            "backup_root": str(tmp_path / "backups"),
            "spoke_gw_name": "egress-spoke",
        }
        data.update(overrides)
        for key in drop:
            data.pop(key)
        path = tmp_path / "config.yaml"
        path.write_text(yaml.safe_dump(data))
        return str(path)

    return make


REAL_CHECK_VPC_EXISTS = runner.check_vpc_exists


def run(*argv):
    """`tidewall ARGV`; execute, revert and reset with --yes (no terminal here to answer their question)."""
    argv = list(argv)
    if argv[:1] and argv[0] in cli.CONFIRMED_COMMANDS:
        argv.insert(1, "--yes")
    return cli.main(argv)


def s3_keys(client):
    return sorted(o["Key"] for o in client.list_objects_v2(Bucket=BUCKET).get("Contents", []))


class TestArguments:
    @pytest.mark.parametrize(
        "argv",
        [
            [],
            ["migrate", "--config", "c.yaml"],
            ["execute"],
            ["execute", "--config", "c.yaml", "--stop-before", "-1"],
            ["execute", "--config", "c.yaml", "--stop-before", "two"],
            ["revert", "--config", "c.yaml", "--stop-before", "1"],
            ["cleanup", "--config", "c.yaml", "--dry-run"],
            ["sandbox", "--nat-gateways", "0"],
        ],
    )
    def test_usage_errors_exit_2_without_running_anything(self, argv, stand_in, capsys):
        assert run(*argv) == 2
        assert stand_in.calls == []
        assert "usage:" in capsys.readouterr().err

    @pytest.mark.parametrize("flag", ["--help", "--version"])
    def test_help_and_version_exit_0(self, flag, capsys):
        assert run(flag) == 0
        assert "tidewall" in capsys.readouterr().out

    def test_module_entry_point_runs_main(self, monkeypatch):
        seen = []
        monkeypatch.setattr(cli, "main", lambda argv=None: seen.append(argv) or 0)
        monkeypatch.delitem(sys.modules, "tidewall.__main__", raising=False)
        with pytest.raises(SystemExit) as e:
            __import__("tidewall.__main__")
        assert e.value.code == 0 and seen == [None]


class TestExitStatus:
    @pytest.mark.parametrize(
        "outcome, status",
        [
            (None, 0),
            (SystemExit(1), 1),  # rollback or fatal precondition
            (SystemExit(None), 0),
            (SystemExit(0), 0),
            (RuntimeError("controller unreachable"), 1),
        ],
    )
    @pytest.mark.parametrize("command", ["execute", "revert", "cleanup"])
    def test_status_follows_how_the_command_ended(self, aws, make_config, stand_in, command, outcome, status):
        stand_in.outcome = outcome
        assert run(command, "--config", make_config()) == status
        assert [c["name"] for c in stand_in.calls] == [command]

    def test_manager_gets_the_checked_configuration(self, aws, make_config, stand_in):
        path = make_config(hs_mode=1)
        assert run("execute", "--config", path) == 0
        ca = stand_in.calls[0]["config"]
        assert ca.vpc_id == VPC and ca.hs_mode == 1 and ca.source == path

    @pytest.mark.parametrize(
        "argv, dry_run, cmdcnt",
        [
            (["execute"], False, -1),
            (["execute", "--dry-run"], True, -1),
            (["execute", "--stop-before", "2"], False, 2),
            (["execute", "--stop-before", "0", "--dry-run"], True, 0),
            (["revert", "--dry-run"], True, -1),
        ],
    )
    def test_run_switches_reach_globals_and_are_put_back(
        self, aws, make_config, stand_in, argv, dry_run, cmdcnt
    ):
        assert run(*argv, "--config", make_config()) == 0
        call = stand_in.calls[0]
        assert (call["dry_run"], call["cmdcnt"]) == (dry_run, cmdcnt)
        assert (Globals.dry_run, Globals.cmdcnt) == (False, -1)

    def test_failure_is_reported_in_one_line_without_traceback(self, aws, make_config, stand_in, capsys):
        stand_in.outcome = RuntimeError("controller unreachable")
        assert run("revert", "--config", make_config()) == 1
        err = capsys.readouterr().err
        assert "revert failed: controller unreachable (-v shows the traceback)" in err
        assert "Traceback" not in err

    def test_log_lines_carry_time_and_level(self, aws, make_config, capsys):
        assert run("execute", "--config", make_config()) == 0
        lines = [line for line in capsys.readouterr().err.splitlines() if "First run" in line]
        assert lines and lines[0].split()[1] == "INFO"
        assert lines[0][2] == ":" and lines[0][5] == ":"


class TestErrorMapping:
    """The tool's own errors share one root and carry their exit status; main maps them in one place."""

    def test_every_tool_error_has_the_root_and_its_status(self):
        from tidewall.commands.history import HistoryError
        from tidewall.core import exceptions
        from tidewall.core.ConfigAdaptor import ConfigError
        from tidewall.lib.corvane_backend import ControllerLoginError
        from tidewall.lib.natgw import NatGwError
        from tidewall.lib.route_table import RouteTableError
        from tidewall.lib.s3 import S3BackupError
        from tidewall.lib.test import AcceptanceTestError

        usage = (ConfigError, exceptions.UsageError)
        failed = (
            HistoryError,
            ControllerLoginError,
            NatGwError,
            RouteTableError,
            S3BackupError,
            AcceptanceTestError,
            exceptions.CorvaneRollbackException,
        )
        for cls in usage + failed:
            assert issubclass(cls, exceptions.TidewallError), cls
        assert {cls.exit_code for cls in usage} == {exceptions.EXIT_USAGE}
        assert {cls.exit_code for cls in failed} == {exceptions.EXIT_FAILED}
        # Callers that caught the old bases keep working.
        assert issubclass(ConfigError, ValueError) and issubclass(NatGwError, RuntimeError)
        assert (exceptions.EXIT_OK, exceptions.EXIT_FAILED, exceptions.EXIT_USAGE) == (0, 1, 2)

    @pytest.mark.parametrize(
        "outcome, status, shown",
        [
            (s3.S3BackupError("no bucket"), 1, "execute failed: no bucket"),
            (UsageError("refused"), 2, "tidewall: refused"),
            (TidewallError("odd", exit_code=3), 3, "execute failed: odd"),
            (Terminated(), 143, "tidewall: terminated"),
            (KeyboardInterrupt(), 130, "tidewall: interrupted"),
        ],
    )
    def test_main_ends_with_the_errors_own_status(
        self, aws, make_config, stand_in, capsys, outcome, status, shown
    ):
        stand_in.outcome = outcome
        assert run("execute", "--config", make_config()) == status
        err = capsys.readouterr().err
        assert shown in err and "Traceback" not in err

    @pytest.mark.parametrize(
        "error, text, status",
        [
            (
                ClientError(
                    {"Error": {"Code": "UnauthorizedOperation", "Message": "You are not authorized."}},
                    "DescribeVpcs",
                ),
                "AWS answered DescribeVpcs with UnauthorizedOperation: You are not authorized. (check the AWS",
                2,
            ),
            (
                ClientError({"Error": {"Code": "Throttling"}}, "DescribeVpcs"),
                "AWS answered DescribeVpcs with",
                1,
            ),
            (NoCredentialsError(), "no usable AWS credentials: set aws.profile", 2),
            (
                EndpointConnectionError(endpoint_url="https://ec2.us-east-7.amazonaws.com/"),
                "cannot reach https://ec2.us-east-7.amazonaws.com/: the connection failed (check the region",
                2,
            ),
            (
                requests.ConnectionError(
                    "HTTPSConnectionPool(host='10.0.0.1', port=443): Max retries exceeded with url: /v2/api "
                    "(Caused by NewConnectionError('<urllib3.connection.HTTPSConnection object at 0x7f>: "
                    "Failed to establish a new connection: [Errno 111] Connection refused'))"
                ),
                "cannot reach 10.0.0.1:443: the connection was refused",
                2,
            ),
            (lock.LockHeldError(VPC, lock.LockInfo.new("revert", VPC)), f"{VPC} is locked by revert by", 2),
            (KeyError("natgw"), "internal error ('natgw'); -v or the log file shows where", 1),
        ],
    )
    def test_errors_in_plain_words_and_access_problems_exit_2(self, error, text, status):
        got_status, _kind, got = runner.classify_error(error)
        assert got.startswith(text) and (got_status, "Error" in got) == (status, False)
        if status == 2 and not isinstance(error, lock.LockHeldError):
            with pytest.raises(type(error)) as caught, runner.changing():
                raise error
            assert runner.classify_error(caught.value)[0] == 1  # something may have changed: a failure

    def test_status_and_sandbox_do_not_import_the_command_line(self):
        code = (
            "import sys, tidewall.runner, tidewall.status, tidewall.sandbox.run; "
            "print('tidewall.cli' in sys.modules)"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "False"


class TestConfigurationErrors:
    @pytest.mark.parametrize(
        "change, field",
        [
            ({"drop": ["vpc_id"]}, "vpc_id"),
            ({"drop": ["controller_password_env"]}, "controller_password_env"),
            ({"hs_mode": 3}, "hs_mode"),
            ({"enable_test": "yes"}, "enable_test"),
            ({"vpc_id": "vpc-nothex"}, "vpc_id"),
            ({"controller_ip": "https://10.0.0.1/"}, "controller_ip"),
            ({"spoke_gw_nam": "x"}, "spoke_gw_nam"),
            ({"controller_password": "hunter2"}, "controller_password"),
            ({"aws": {"access_key_id": "AKIA"}}, "aws.secret_access_key"),
        ],
    )
    @pytest.mark.parametrize("command", ["execute", "revert", "cleanup", "status"])
    def test_names_the_field_and_changes_nothing(self, make_config, stand_in, capsys, command, change, field):
        change = dict(change)
        path = make_config(drop=change.pop("drop", ()), **change)
        assert run(command, "--config", path) == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and f"'{field}'" in err[0] and err[0].startswith("tidewall: ")
        assert stand_in.calls == []

    def test_missing_file(self, tmp_path, capsys):
        assert run("execute", "--config", str(tmp_path / "nope.yaml")) == 2
        assert "not found" in capsys.readouterr().err

    @pytest.mark.parametrize("argv", [["execute"], ["revert"], ["execute", "--dry-run"]])
    def test_unset_password_variable_is_refused_before_any_request(
        self, make_config, stand_in, monkeypatch, capsys, argv
    ):
        path = make_config()
        monkeypatch.delenv(PASSWORD_ENV)
        monkeypatch.setattr(runner, "read_journal", lambda *a: pytest.fail("a request before the check"))
        assert run(*argv, "--config", path) == 2
        err = capsys.readouterr().err
        assert "'controller_password_env'" in err and PASSWORD_ENV in err
        assert stand_in.calls == []


def prepare_journal(client, folder, natgws, settings, mementos, progress=None, intent=None):
    """Write a command and memento journal in `folder` and store it under the VPC's S3 prefix (with an
    undo in progress and a change in progress as given)."""
    descriptor = BackupDescriptor(str(folder), BUCKET, f"tidewall-backups/{ACCOUNT}/{VPC}")
    CommandHistory.init(descriptor.getAbsolutePath(), VPC, version="v2")
    if natgws is not None:
        CommandHistory.log_discover_natgw_cmd(natgws)
    if settings is not None:
        CommandHistory.set_run_settings(settings)
    MementoHistory.init(descriptor.getAbsolutePath())
    for memento, begin in mementos:
        MementoHistory.append(memento, MarkBegin=begin)
    if progress is not None or intent is not None:
        MementoHistory._progress = progress
        if intent is not None:
            name = f"{type(intent).__module__}.{type(intent).__qualname__}"
            MementoHistory._intent = {"class": name, "state": dict(intent.__dict__)}
        MementoHistory._write()
    S3BackupCmdV2(client, descriptor).upload()
    s3.clear_registry()


def natgw_records(n, initial="c5.large", size="c5.large"):
    return [
        {
            "subnet_id": f"subnet-0000000{i}",
            "subnet_cidr": f"10.20.{i}.0/24",
            "initial_size": initial if i == 0 else size,
            "size": size,
            "nat_gw_id": f"nat-0000000{i}",
            "private_ip": f"10.20.{i}.10",
            "eip": f"3.3.3.{i + 1}",
        }
        for i in range(n)
    ]


@pytest.fixture
def memento_classes(monkeypatch):
    """Step name -> memento class, as the history stores them (a stand-in spoke module when not built)."""
    try:
        import tidewall.lib.spoke as spoke
    except ImportError:
        spoke = types.ModuleType("tidewall.lib.spoke")
        for name in ("HsSpokeCreateMemento", "SnatEnableMemento", "ResizeSpokeGatewayMemento"):
            setattr(spoke, name, type(name, (Memento,), {"__module__": "tidewall.lib.spoke"}))
        monkeypatch.setitem(sys.modules, "tidewall.lib.spoke", spoke)
    from tidewall.lib.natgw import NatGwDeleteMemento
    from tidewall.lib.route_table import NatGwTrafficMemento, SnapshotRTMemento
    from tidewall.lib.test import TestMemento

    known = {
        c.__module__ + "." + c.__name__: c
        for c in (
            TestMemento,
            SnapshotRTMemento,
            NatGwTrafficMemento,
            NatGwDeleteMemento,
            spoke.HsSpokeCreateMemento,
            spoke.SnatEnableMemento,
            spoke.ResizeSpokeGatewayMemento,
        )
    }
    classes = {code: known[step.memento_class] for code, step in journal_layout.STEPS.items()}

    def make(*codes):
        out = []
        for code in codes:
            cls = classes[code]
            memento = cls.__new__(cls)
            memento.__dict__.update(copy.deepcopy(SAMPLE_STATES[journal_layout.STEPS[code].memento_class]))
            out.append((memento, journal_layout.STEPS[code].opens_group))
        return out

    return make


class TestRunSettingsGuard:
    def test_first_run_records_the_settings_in_s3_before_the_command(self, aws, make_config, stand_in):
        assert run("execute", "--config", make_config(enable_test=True, hs_mode=1)) == 0
        key = f"tidewall-backups/{ACCOUNT}/{VPC}/command_history.json"
        assert key in s3_keys(aws)
        body = json.loads(aws.get_object(Bucket=BUCKET, Key=key)["Body"].read())
        assert body["run_settings"] == {"enable_test": True, "hs_mode": 1}
        assert len(stand_in.calls) == 1

    def test_dry_run_first_run_records_nothing(self, aws, make_config, stand_in, tmp_path):
        assert run("execute", "--dry-run", "--config", make_config()) == 0
        assert s3_keys(aws) == []
        assert not os.path.exists(tmp_path / "backups" / ACCOUNT / VPC / "command_history.json")
        assert stand_in.calls[0]["dry_run"] is True

    @pytest.mark.parametrize(
        "overrides, named",
        [
            ({"enable_test": True}, "enable_test"),
            ({"hs_mode": 1}, "hs_mode"),
            ({"enable_test": True, "hs_mode": 1}, "enable_test"),
        ],
    )
    @pytest.mark.parametrize("dry_run", [False, True])
    def test_resumed_run_with_other_settings_is_refused_before_anything_changes(
        self, aws, make_config, stand_in, tmp_path, capsys, overrides, named, dry_run
    ):
        prepare_journal(aws, tmp_path / "journal", natgw_records(3), {"enable_test": False, "hs_mode": 2}, [])
        before = {k: aws.get_object(Bucket=BUCKET, Key=k)["Body"].read() for k in s3_keys(aws)}
        argv = ["execute", "--config", make_config(**overrides)] + (["--dry-run"] if dry_run else [])
        assert run(*argv) == 2
        err = capsys.readouterr().err
        assert "refusing to resume" in err and named in err
        assert stand_in.calls == []
        assert {k: aws.get_object(Bucket=BUCKET, Key=k)["Body"].read() for k in s3_keys(aws)} == before

    def test_resumed_run_with_the_same_settings_goes_ahead(self, aws, make_config, stand_in, tmp_path):
        prepare_journal(aws, tmp_path / "journal", natgw_records(3), {"enable_test": True, "hs_mode": 2}, [])
        assert run("execute", "--config", make_config(enable_test=True)) == 0
        assert len(stand_in.calls) == 1

    def test_execute_during_an_unfinished_revert_is_refused_once_in_plain_words(
        self, aws, make_config, stand_in, tmp_path, capsys, memento_classes
    ):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2"),
            progress={"kind": "revert", "started_at": "2024-05-01T10:00:00+00:00"},
        )
        config = make_config()
        assert run("execute", "--config", config, "--yes") == 2
        err = capsys.readouterr().err
        assert [line for line in err.splitlines() if "revert" in line] == [
            f"tidewall: refusing to execute {VPC}: a revert was started and not finished (2 steps still to "
            f"undo, journal in s3://{BUCKET}/tidewall-backups/{ACCOUNT}/{VPC}); nothing was changed. Finish it "
            f"with `tidewall revert --config {config}`, then run execute again to migrate anew"
        ]
        assert stand_in.calls == []

    def test_revert_is_not_refused(self, aws, make_config, stand_in, tmp_path):
        prepare_journal(aws, tmp_path / "journal", natgw_records(3), {"enable_test": False, "hs_mode": 2}, [])
        assert run("revert", "--config", make_config(hs_mode=1, enable_test=True)) == 0
        assert [c["name"] for c in stand_in.calls] == ["revert"]


class TestStatus:
    def status(self, capsys, config):
        assert run("status", "--config", config) == 0
        return capsys.readouterr().out

    def test_interrupted_run_per_natgw_open_group_and_next_steps(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3, initial="c5.xlarge"),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2", "A3", "A4", "A5", "A6", "B1"),
        )
        out = self.status(capsys, make_config())
        lines = out.splitlines()
        natgw = {
            i: lines.index(next(line for line in lines if line.strip().startswith(f"NAT gateway {i}:")))
            for i in range(3)
        }
        assert "3.3.3.1" in lines[natgw[0]] and "c5.xlarge -> c5.large" in lines[natgw[0]]
        block0 = "\n".join(lines[natgw[0] : natgw[1]])
        assert "done:    A1 route-table snapshot s1; A2" in block0 and "A6 enable single-IP SNAT" in block0
        assert "pending: R resize the primary spoke" in block0 and "replaced" in block0
        block1 = "\n".join(lines[natgw[1] : natgw[2]])
        assert "done:    B1" in block1 and "pending: B2" in block1 and "replaced" not in block1
        assert "pending: B1 delete the NAT gateway; B2" in "\n".join(lines[natgw[2] :])
        assert "Open group: NAT gateway 1 (journal slots 6-7, 1 of 2 steps done)" in out
        nxt = out.split("Next execute:")[1]
        assert "NAT gateway 1: B2" in nxt and "NAT gateway 2: B1" in nxt
        assert "R resize the primary spoke (c5.xlarge -> c5.large)" in nxt
        assert "Journal problems" not in out

    def test_test_slot_and_hs_mode_1(self, aws, make_config, tmp_path, capsys, memento_classes):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(4),
            {"enable_test": True, "hs_mode": 1},
            memento_classes("T", "A1", "A2"),
        )
        out = self.status(capsys, make_config(enable_test=True, hs_mode=1))
        assert "Run-wide: T baseline acceptance test: done" in out
        assert "done:    A1 route-table snapshot s1; A2" in out
        assert out.count("not replaced (hs_mode 1") == 2
        assert "Open group: NAT gateway 0 (journal slots 1-6, 2 of 6 steps done)" in out
        nxt = out.split("Next execute:")[1]
        assert "then the acceptance test of the new spoke" in nxt
        assert "NAT gateway 2" not in nxt and "NAT gateway 3" not in nxt

    def test_complete_migration(self, aws, make_config, tmp_path, capsys, memento_classes):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(2),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2", "A3", "A4", "A5", "A6", "B1", "B2"),
        )
        out = self.status(capsys, make_config())
        assert "Open group: none (migration complete)" in out
        assert "nothing left to do" in out

    def test_settings_differing_from_the_first_run_are_shown_as_a_refusal(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": True, "hs_mode": 2},
            memento_classes("T"),
        )
        out = self.status(capsys, make_config())
        # Slots are mapped with the first run's settings, not the changed configuration.
        assert "Run settings: enable_test true, hs_mode 2 (recorded by the first run)" in out
        assert "CONFIG DIFFERS: enable_test is false but the first run used true" in out
        assert "refused: enable_test" in out.split("Next execute:")[1]

    def test_journal_that_does_not_line_up_is_flagged(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        # A resize recorded where NAT gateway 2's deletion belongs.
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3, initial="c5.xlarge"),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2", "A3", "A4", "A5", "A6", "B1", "B2", "R"),
        )
        out = self.status(capsys, make_config())
        assert "journal slot 8 holds ResizeSpokeGatewayMemento where step B1 of NAT gateway 2" in out
        assert "WARNING: the journal does not line up" in out

    def test_nothing_recorded_yet(self, aws, make_config, capsys):
        out = self.status(capsys, make_config())
        assert "No migration recorded yet" in out and "first run" in out

    def test_an_unfinished_rollback_is_shown_with_what_is_left_to_undo(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        codes = ("A1", "A2", "A3", "A4", "A5", "A6", "B1", "B2")
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": False, "hs_mode": 2},
            memento_classes(*codes),
            progress={"kind": "rollback", "group_start": 6, "started_at": "2024-05-01T10:00:00+00:00"},
        )
        out = self.status(capsys, make_config())
        assert (
            "Rollback in progress (started 2024-05-01T10:00:00+00:00): the group of NAT gateway 1, journal "
            "slots 6-7 still to undo; the next execute finishes it first, revert undoes it too"
        ) in out
        assert "to undo: B1 delete the NAT gateway; B2 create an HA spoke" in out
        nxt = out.split("Next execute:")[1]
        assert (
            "first finishes the interrupted rollback: undo journal slots 6-7, newest first (B2 of NAT gateway 1, B1 of NAT gateway 1)"
            in nxt
        )
        assert "NAT gateway 1: B1 delete the NAT gateway, B2" in nxt and "NAT gateway 2: B1" in nxt
        assert "migration complete" not in out

    def test_an_unfinished_revert_and_a_change_in_progress_are_shown(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        ((intent, _begin),) = memento_classes("A3")
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2"),
            progress={"kind": "revert", "started_at": "2024-05-01T10:00:00+00:00"},
            intent=intent,
        )
        out = self.status(capsys, make_config())
        assert (
            "Change in progress: A3 of NAT gateway 0 (delete the NAT gateway), its undo (NatGwDeleteMemento) "
            "recorded before the change"
        ) in out
        assert (
            "Revert in progress (started 2024-05-01T10:00:00+00:00): 2 step(s) still to undo; execute refuses"
            in out
        )
        assert "to undo: A1 route-table snapshot s1; A2" in out
        assert (
            "refused: a revert was started and not finished (2 step(s) still to undo); run 'tidewall revert'"
            in out
        )

    def test_status_changes_nothing(self, aws, make_config, tmp_path, capsys, memento_classes):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1", "A2"),
        )
        before = {
            o["Key"]: (o["ETag"], o["LastModified"]) for o in aws.list_objects_v2(Bucket=BUCKET)["Contents"]
        }
        self.status(capsys, make_config())
        after = {
            o["Key"]: (o["ETag"], o["LastModified"]) for o in aws.list_objects_v2(Bucket=BUCKET)["Contents"]
        }
        assert after == before
        # The run's own local backup folder is neither created nor written.
        assert not (tmp_path / "backups").exists()
        assert s3._registry == {}
        assert Globals.dry_run is False


# ------------------------------------------------------------------------------------------------ run lock

LOCK_KEY = f"tidewall-backups/{ACCOUNT}/{VPC}/{lock.LOCK_NAME}"


def descriptor(tmp_path):
    return BackupDescriptor(str(tmp_path / "elsewhere"), BUCKET, f"tidewall-backups/{ACCOUNT}/{VPC}")


def foreign_lock(client, tmp_path, command="execute"):
    """A lock taken by another run (as if by another process); returns its RunLock."""
    d = descriptor(tmp_path)
    held = lock.RunLock(client, d.bucket, d.prefix, VPC, command, "other.yaml")
    held.acquire()
    return held


def s3_snapshot(client):
    return {k: client.get_object(Bucket=BUCKET, Key=k)["Body"].read() for k in s3_keys(client)}


class TestRunLock:
    def test_lock_object_records_the_holder_and_refuses_a_second_taker(self, aws, tmp_path):
        first = foreign_lock(aws, tmp_path)
        body = json.loads(aws.get_object(Bucket=BUCKET, Key=LOCK_KEY)["Body"].read())
        assert body["lock_id"] == first.info.lock_id and body["command"] == "execute"
        assert body["pid"] == os.getpid() and body["host"] and body["user"] and body["started"].endswith("Z")
        d = descriptor(tmp_path)
        with pytest.raises(lock.LockHeldError) as e:
            lock.RunLock(aws, d.bucket, d.prefix, VPC, "revert", "mine.yaml").acquire()
        assert e.value.exit_code == 2 and e.value.holder == first.info
        text = str(e.value)
        assert first.info.lock_id in text and f"{first.info.user}@{first.info.host}" in text
        assert f"tidewall unlock --config mine.yaml --lock-id {first.info.lock_id}" in text
        first.release()
        assert s3_keys(aws) == []

    def test_release_never_removes_a_lock_taken_by_another_run(self, aws, tmp_path, monkeypatch):
        mine = foreign_lock(aws, tmp_path)
        monkeypatch.setattr(lock, "_process_started", lambda pid: None)  # its process is gone
        lock.force_unlock(aws, descriptor(tmp_path), mine.info.lock_id)
        theirs = foreign_lock(aws, tmp_path, command="revert")
        with pytest.raises(lock.LockReleaseError, match="removed by someone else") as e:
            mine.release()
        assert theirs.info.lock_id in str(e.value)
        assert lock.read_lock_of(aws, descriptor(tmp_path)) == theirs.info

    def test_a_store_without_conditional_deletes_still_gets_its_lock_removed(
        self, aws, tmp_path, monkeypatch
    ):
        from botocore.exceptions import ClientError

        held = foreign_lock(aws, tmp_path)
        delete = aws.delete_object

        def refuse_conditions(**kwargs):
            if "IfMatch" in kwargs:
                raise ClientError({"Error": {"Code": "NotImplemented", "Message": "no"}}, "DeleteObject")
            return delete(**kwargs)

        monkeypatch.setattr(aws, "delete_object", refuse_conditions)
        held.release()
        assert s3_keys(aws) == []

    def test_unlock_needs_the_matching_id_and_a_holder_not_alive_here(self, aws, tmp_path, monkeypatch):
        held = foreign_lock(aws, tmp_path)
        for lock_id, refusal in [
            ("0" * 32, "refusing to unlock"),
            (held.info.lock_id, "is still running on this host"),  # this very process holds it
            ("$(touch x)", "is not a lock id of this tool"),
        ]:
            with pytest.raises(lock.LockError, match=refusal) as e:
                lock.force_unlock(aws, descriptor(tmp_path), lock_id)
            assert e.value.exit_code == 2 and LOCK_KEY in s3_keys(aws)
        monkeypatch.setattr(lock, "_process_started", lambda pid: None)  # its process is gone
        assert lock.force_unlock(aws, descriptor(tmp_path), held.info.lock_id) == held.info
        assert s3_keys(aws) == []
        with pytest.raises(lock.LockError, match="no run lock is held"):
            lock.force_unlock(aws, descriptor(tmp_path), held.info.lock_id)

    def test_the_backup_folder_never_holds_the_lock(self, aws, tmp_path, caplog):
        held = foreign_lock(aws, tmp_path)
        d = descriptor(tmp_path)
        (tmp_path / "elsewhere").mkdir()
        (tmp_path / "elsewhere" / "notes.json").write_text("{}")
        S3BackupCmdV2(aws, d).upload()
        with caplog.at_level("INFO", logger="tidewall"):
            assert S3BackupCmdV2(aws, d).download() == ["notes.json"]
        assert sorted(os.listdir(tmp_path / "elsewhere")) == ["notes.json"]
        assert "Skipping" not in caplog.text and lock.LOCK_NAME not in caplog.text
        S3BackupCmdV2(aws, d).upload()
        assert lock.read_lock_of(aws, d) == held.info

    @pytest.mark.parametrize("body", [b"", b"not json", b"[1, 2]", b'{"pid": "x", "lock_id": 7}'])
    def test_an_unreadable_lock_object_still_reads_as_held(self, aws, body):
        aws.put_object(Bucket=BUCKET, Key=LOCK_KEY, Body=body)
        holder = lock.read_lock(aws, BUCKET, LOCK_KEY)
        assert holder is not None and "(unreadable)" in holder.lock_id and holder.pid == 0


class TestCommandsUnderTheLock:
    @pytest.mark.parametrize("command", ["execute", "revert"])
    def test_a_second_command_is_refused_before_anything_changes(
        self, aws, make_config, stand_in, tmp_path, capsys, command
    ):
        held = foreign_lock(aws, tmp_path)
        before = s3_snapshot(aws)
        assert run(command, "--config", make_config()) == 2
        err = capsys.readouterr().err
        assert f"is locked by execute by {held.info.user}@{held.info.host}" in err
        assert f"--lock-id {held.info.lock_id}" in err
        assert stand_in.calls == []
        assert s3_snapshot(aws) == before
        assert not (tmp_path / "backups").exists()

    @pytest.mark.parametrize(
        "outcome, status",
        [
            (None, 0),
            (SystemExit(1), 1),  # a rollback ends the run with exit(1)
            (RuntimeError("controller unreachable"), 1),
            (KeyboardInterrupt(), 130),
            ("SIGTERM", 143),
        ],
    )
    @pytest.mark.parametrize("command", ["execute", "revert"])
    def test_the_lock_is_held_during_the_run_and_released_however_it_ends(
        self, aws, make_config, stand_in, monkeypatch, command, outcome, status
    ):
        seen = []

        def act(cls, config):
            seen.append(lock.read_lock(aws, BUCKET, LOCK_KEY))
            if outcome == "SIGTERM":
                os.kill(os.getpid(), signal.SIGTERM)
            elif outcome is not None:
                raise outcome

        monkeypatch.setattr(StandInManager, command, classmethod(act))
        previous = signal.getsignal(signal.SIGTERM)
        assert run(command, "--config", make_config()) == status
        assert seen and seen[0] is not None and seen[0].command == command and seen[0].pid == os.getpid()
        assert LOCK_KEY not in s3_keys(aws)
        assert signal.getsignal(signal.SIGTERM) is previous

    def test_a_release_that_fails_is_reported_with_the_unlock_command(
        self, aws, make_config, stand_in, monkeypatch, capsys
    ):
        def act(cls, config):
            aws.delete_object(Bucket=BUCKET, Key=LOCK_KEY)  # e.g. a `tidewall unlock` from elsewhere

        monkeypatch.setattr(StandInManager, "execute", classmethod(act))
        assert run("execute", "--config", make_config()) == 1
        assert "was removed by someone else while this run held it" in capsys.readouterr().err

    @pytest.mark.parametrize("argv", [["execute", "--dry-run"], ["revert", "--dry-run"], ["status"]])
    def test_dry_run_and_status_take_no_lock_and_say_when_one_is_held(
        self, aws, make_config, stand_in, tmp_path, capsys, argv
    ):
        held = foreign_lock(aws, tmp_path)
        before = s3_snapshot(aws)
        assert run(*argv, "--config", make_config()) == 0
        captured = capsys.readouterr()
        assert f"locked by execute by {held.info.user}@{held.info.host}" in captured.out + captured.err
        assert held.info.lock_id in captured.out + captured.err
        assert s3_snapshot(aws) == before

    def test_unlock_from_the_command_line(self, aws, make_config, tmp_path, capsys, monkeypatch):
        held = foreign_lock(aws, tmp_path)
        monkeypatch.setattr(lock, "_process_started", lambda pid: None)  # its process is gone
        path = make_config()
        assert run("unlock", "--config", path, "--lock-id", "0" * 32, "--yes") == 2
        assert "refusing to unlock" in capsys.readouterr().err and LOCK_KEY in s3_keys(aws)
        assert run("unlock", "--config", path, "--lock-id", held.info.lock_id) == 2  # no terminal, no --yes
        assert "pass --yes" in capsys.readouterr().err and LOCK_KEY in s3_keys(aws)
        assert run("unlock", "--config", path, "--lock-id", held.info.lock_id, "--yes") == 0
        assert f"Removed the run lock {held.info.lock_id}" in capsys.readouterr().out
        assert s3_keys(aws) == []
        assert run("unlock", "--config", path, "--lock-id", held.info.lock_id, "--yes") == 2


class TestEveryOutcomeInJson:
    """One JSON object on standard output however the command ends, with the fields of one schema."""

    @pytest.mark.parametrize(
        "argv, setup, result, status, kind",
        [
            (["status"], "lock", "done", 0, None),
            (["execute"], "lock", "refused", 2, "lock_held"),
            (["execute"], None, "done", 0, None),
            (["execute"], "fails", "failed", 1, "failed"),
            (["revert"], "config", "refused", 2, "refused"),
            (["plan"], "vpc", "done", 0, None),
            (["plan"], "no vpc", "refused", 2, "refused"),
            (["status"], "no vpc", "refused", 2, "refused"),
            (["status"], "no bucket", "refused", 2, "access"),
            (["plan", "--bogus"], None, "refused", 2, "refused"),
        ],
    )
    def test_fields_on_success_and_failure(
        self, aws, make_config, stand_in, tmp_path, capsys, monkeypatch, argv, setup, result, status, kind
    ):
        overrides = {}
        if setup == "lock":
            held = foreign_lock(aws, tmp_path).info
        if setup == "fails":
            stand_in.outcome = RuntimeError("controller unreachable")
        if setup == "config":
            overrides["hs_mode"] = 3
        if setup in ("vpc", "no vpc"):
            monkeypatch.setattr(runner, "check_vpc_exists", REAL_CHECK_VPC_EXISTS)
        if setup == "vpc":
            overrides["vpc_id"] = boto3.client("ec2").create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
        if setup == "no bucket":
            monkeypatch.setattr(runner, "check_vpc_exists", lambda ca, clients: None)
            overrides["s3_bucket"] = "no-such-bucket"
        assert run(*argv, "--config", make_config(**overrides), "--output", "json") == status
        out = json.loads(capsys.readouterr().out)
        assert runner.json_problems(out) == []
        assert (out["command"], out["result"], out["exit_status"]) == (argv[0], result, status)
        assert (out["error"] or {}).get("kind") == kind
        if kind is not None:
            assert out["reason"] == out["error"]["message"] and "Error" not in out["reason"]
        if setup == "lock":
            lock_record = out["lock"] if kind is None else out["error"]["lock"]
            assert lock_record["held_by"] == held.describe() and lock_record["lock_id"] == held.lock_id
        if setup == "no vpc":
            assert out["reason"] == f"{VPC} not found in {REGION}"


class TestConfirmation:
    """execute, revert and reset show what they will change and ask; --yes skips it; no terminal refuses."""

    @pytest.mark.parametrize("command", ["execute", "revert", "reset"])
    @pytest.mark.parametrize(
        "terminal, answer, yes, status, ran",
        [
            (True, "yes\n", False, 0, True),
            (True, "y\n", False, 0, True),
            (True, "no\n", False, 2, False),
            (True, "", False, 2, False),  # end of input
            (False, None, False, 2, False),
            (False, None, True, 0, True),
        ],
    )
    def test_asks_on_a_terminal_only(
        self, aws, make_config, stand_in, monkeypatch, capsys, command, terminal, answer, yes, status, ran
    ):
        import io

        shown = []
        monkeypatch.setattr(runner, "on_terminal", lambda: terminal)
        monkeypatch.setattr(sys, "stdin", io.StringIO(answer or ""))
        monkeypatch.setattr(
            cli, "_preview", lambda *a, **k: shown.append(a[0]) or f"{command} would change these"
        )
        reset = []
        monkeypatch.setattr(runner, "reset_journal", lambda ca: reset.append(ca) or 0)
        argv = [command, "--config", make_config()] + (["--yes"] if yes else [])
        assert cli.main(argv) == status
        err = capsys.readouterr().err
        assert bool(stand_in.calls or reset) == ran
        assert shown == ([command] if terminal else [])
        if terminal:
            assert f"{command} would change these" in err and "Type 'yes' to go on" in err
        if status == 2:
            assert "nothing was changed" in err
            assert ("Pass --yes" in err) == (not terminal)

    def test_nothing_to_change_asks_nothing(self, aws, make_config, stand_in, monkeypatch, capsys):
        monkeypatch.setattr(runner, "on_terminal", lambda: True)
        monkeypatch.setattr(sys, "stdin", None)  # asking would fail
        assert cli.main(["reset", "--config", make_config()]) == 0
        assert "Nothing to reset" in capsys.readouterr().out


class TestPoisonedFirstRun:
    """A first run that recorded a discovery of fewer than two NAT gateways and no step."""

    @pytest.mark.parametrize("found", [0, 1])
    def test_execute_refuses_and_points_to_reset(self, aws, make_config, stand_in, tmp_path, capsys, found):
        prepare_journal(
            aws, tmp_path / "journal", natgw_records(found), {"enable_test": False, "hs_mode": 2}, []
        )
        before = s3_snapshot(aws)
        path = make_config()
        assert run("execute", "--config", path) == 2
        err = capsys.readouterr().err
        assert (
            f"records a discovery of {found} NAT gateway" in err and f"tidewall reset --config {path}" in err
        )
        assert stand_in.calls == [] and s3_snapshot(aws) == before
        assert not (tmp_path / "backups").exists()

        out = TestStatus().status(capsys, path)
        assert "UNUSABLE JOURNAL" in out and "tidewall reset --config" in out
        assert "migration complete" not in out

    def test_reset_deletes_the_journal_locally_and_in_s3(self, aws, make_config, stand_in, tmp_path, capsys):
        # The poisoned first run's journal, in S3 and as its local copy.
        local = tmp_path / "backups" / ACCOUNT / VPC
        prepare_journal(aws, local, natgw_records(1), {"enable_test": False, "hs_mode": 2}, [])
        aws.put_object(
            Bucket=BUCKET, Key=f"tidewall-backups/{ACCOUNT}/{VPC}/route_tables_backup.json", Body=b"{}"
        )
        (local / "route_tables_backup.json").write_text("{}")
        assert run("reset", "--config", make_config()) == 0
        assert "Reset " + VPC in capsys.readouterr().out
        assert s3_keys(aws) == [] and not local.exists()
        # The next execute is a first run again.
        assert run("execute", "--config", make_config()) == 0
        assert [c["name"] for c in stand_in.calls] == ["execute"]

    def test_reset_refuses_a_journal_with_steps_to_undo(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        prepare_journal(
            aws,
            tmp_path / "journal",
            natgw_records(3),
            {"enable_test": False, "hs_mode": 2},
            memento_classes("A1"),
        )
        before = s3_snapshot(aws)
        path = make_config()
        assert run("reset", "--config", path) == 2
        err = capsys.readouterr().err
        assert (
            "refusing to reset" in err
            and "1 step to undo" in err
            and f"tidewall revert --config {path}" in err
        )
        assert s3_snapshot(aws) == before

    def test_reset_refuses_a_local_step_that_never_reached_s3(
        self, aws, make_config, tmp_path, capsys, memento_classes
    ):
        local = tmp_path / "backups" / ACCOUNT / VPC
        CommandHistory.init(str(local), VPC, version="v2")
        CommandHistory.log_discover_natgw_cmd(natgw_records(3))
        MementoHistory.init(str(local))
        for memento, begin in memento_classes("A1"):
            MementoHistory.append(memento, MarkBegin=begin)
        s3.clear_registry()
        files = sorted(p.name for p in local.iterdir())
        assert run("reset", "--config", make_config()) == 2
        err = capsys.readouterr().err
        assert f"its journal in {local} holds 1 step to undo" in err
        assert sorted(p.name for p in local.iterdir()) == files

    def test_reset_refuses_while_locked_and_of_a_symlinked_folder(self, aws, make_config, tmp_path, capsys):
        held = foreign_lock(aws, tmp_path)
        assert run("reset", "--config", make_config()) == 2
        assert held.info.lock_id in capsys.readouterr().err
        held.release()
        target = tmp_path / "target"
        target.mkdir()
        (target / "keep.txt").write_text("mine")
        (tmp_path / "backups" / ACCOUNT).mkdir(parents=True)
        os.symlink(target, tmp_path / "backups" / ACCOUNT / VPC)
        assert run("reset", "--config", make_config()) == 2
        assert "symbolic link" in capsys.readouterr().err and (target / "keep.txt").exists()
