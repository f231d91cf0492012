"""The command line around a run: logging (console and log file), one line per error, the inputs checked
before anything runs, the help texts, the lean install and the import structure."""

import ast
import io
import logging
import os
import pathlib
import subprocess
import sys
import tomllib

import pytest
import yaml

from tidewall import cli, logs, runner
from tidewall.core.Globals import Globals

ROOT = pathlib.Path(__file__).resolve().parents[1]
PASSWORD_ENV = "TIDEWALL_OPERATOR_TEST_PASSWORD"
SUBCOMMANDS = ("plan", "execute", "revert", "cleanup", "status", "reset", "unlock", "sandbox")


@pytest.fixture(autouse=True)
def clean_logging():
    yield
    logs.close_logging()
    Globals.reset()


@pytest.fixture
def make_config(tmp_path, monkeypatch):
    """A configuration whose controller and AWS are never reached (every case here stops before)."""
    monkeypatch.setenv(PASSWORD_ENV, "pw")

    def make(**overrides):
        data = {
            "controller_ip": "127.0.0.1:9",
            "controller_user": "admin",
            "controller_password_env": PASSWORD_ENV,
            "aws_account_name": "prod-aws",
            "region": "us-east-1",
            "vpc_id": "vpc-0123456789abcdef0",
            "s3_bucket": "tidewall-operator-test",
            "backup_root": str(tmp_path / "backups"),
            "spoke_gw_name": "egress-spoke",
            "aws": {"access_key_id": "x", "secret_access_key": "y", "endpoint_url": "http://127.0.0.1:9"},
        }
        data.update(overrides)
        path = tmp_path / "config.yaml"
        path.write_text(yaml.safe_dump(data))
        return str(path)

    return make


@pytest.fixture
def no_manager(monkeypatch):
    """The migration command must not be reached: any use of it fails the test."""

    def reached():
        raise AssertionError("the migration command was reached")

    monkeypatch.setattr(runner, "_manager", reached)


class TestLogging:
    def test_console_shows_info_the_file_gets_everything_and_every_handler_has_the_filters(self, tmp_path):
        seen = []

        def extra(record):
            seen.append(record.getMessage())
            return True

        logs.HANDLER_FILTERS.append(extra)
        try:
            console = io.StringIO()
            path = tmp_path / "run.log"
            handlers = logs.setup_logging(False, str(path), stream=console)
            assert len(handlers) == 2
            log = logging.getLogger("tidewall.operator_test")
            log.info("- Delete NAT gateway nat-1")
            log.debug("detail for the record")
            logging.getLogger("tidewall.lib.spoke").info("    %s", {"return": True, "results": "deleted"})
            logging.getLogger("tidewall.lib.spoke").info("  Returned: True  Result: deleted")
            with logs.demoted("tidewall.operator_test"):
                log.info("scratch download")
            for h in handlers:
                h.flush()
        finally:
            logs.HANDLER_FILTERS.remove(extra)
        shown = console.getvalue()
        assert "- Delete NAT gateway nat-1" in shown and "Returned: True" in shown
        assert "detail for the record" not in shown and "{'return'" not in shown and "scratch" not in shown
        written = path.read_text()
        for text in ("- Delete NAT gateway", "detail for the record", "{'return': True", "scratch download"):
            assert text in written
        assert "[tidewall.lib.spoke]" in written  # the file names the logger
        # The added filter sees what each handler is given (console: info and up; file: everything).
        assert (
            seen.count("- Delete NAT gateway nat-1") == 2
            and seen.count("  Returned: True  Result: deleted") == 2
        )
        assert "detail for the record" in seen and "    {'return': True, 'results': 'deleted'}" in seen

    def test_verbose_console_shows_debug_and_replies(self):
        console = io.StringIO()
        logs.setup_logging(True, stream=console)
        logging.getLogger("tidewall.lib.spoke").info("    %s", {"return": True, "results": "x"})
        logging.getLogger("tidewall.operator_test").debug("detail")
        assert "{'return'" in console.getvalue() and "detail" in console.getvalue()

    def test_an_unwritable_log_file_is_a_usage_error(self, tmp_path, make_config, capsys):
        assert (
            cli.main(["--log-file", str(tmp_path / "no" / "such" / "dir.log"), "plan", "-c", make_config()])
            == 2
        )
        assert "cannot open the log file" in capsys.readouterr().err

    def test_the_log_file_is_private_and_never_written_through_a_link(self, tmp_path, make_config, capsys):
        path = tmp_path / "run.log"
        assert cli.main(["--log-file", str(path), "plan", "-c", make_config()]) in (
            0,
            1,
            2,
        )  # AWS is not reachable here: what counts is the file
        assert os.stat(path).st_mode & 0o777 == 0o600
        target, link = tmp_path / "elsewhere", tmp_path / "link.log"
        target.write_text("")
        link.symlink_to(target)
        assert cli.main(["--log-file", str(link), "plan", "-c", make_config()]) == 2
        assert "cannot open the log file" in capsys.readouterr().err and target.read_text() == ""


class TestOneLinePerError:
    def test_one_line_without_v_traceback_with_v_and_in_the_log_file(
        self, monkeypatch, make_config, tmp_path, capsys
    ):
        def boom(path):
            raise RuntimeError("controller\nunreachable")

        monkeypatch.setattr(runner, "load_config", boom)
        path = tmp_path / "run.log"
        assert cli.main(["plan", "-c", make_config(), "--log-file", str(path)]) == 1
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and err[0].endswith(
            "plan failed: controller unreachable (-v shows the traceback)"
        )
        assert "Traceback" in path.read_text()
        assert cli.main(["plan", "-c", make_config(), "-v"]) == 1
        assert "Traceback" in capsys.readouterr().err

    def test_each_run_starts_with_a_header_in_the_log_file_and_config_comes_from_the_environment(
        self, monkeypatch, make_config, tmp_path, capsys
    ):
        seen = []
        monkeypatch.setattr(runner, "load_config", lambda path: seen.append(path) or 1 / 0)
        config, path = make_config(), tmp_path / "run.log"
        monkeypatch.setenv("TIDEWALL_CONFIG", config)
        for _ in range(2):
            assert cli.main(["plan", "--log-file", str(path)]) == 1
        assert seen == [config, config]
        headers = [line for line in path.read_text().splitlines() if "=== tidewall" in line]
        assert len(headers) == 2 and f"tidewall plan --log-file {path} | configuration {config}" in headers[0]
        assert "=== tidewall" not in capsys.readouterr().err  # the file only
        monkeypatch.delenv("TIDEWALL_CONFIG")
        assert cli.main(["plan"]) == 2 and "--config" in capsys.readouterr().err

    def test_the_logged_wrapper_leaves_the_report_to_the_command_line(self, caplog):
        from tidewall.commands.base_case_handler import logged

        @logged
        def execute(cls, config):
            raise RuntimeError("x")

        caplog.set_level(logging.DEBUG)
        with pytest.raises(RuntimeError):
            execute(type("Manager", (), {}), {})
        assert [r.levelname for r in caplog.records if r.levelno >= logging.WARNING] == []
        assert any("Failed Manager.execute" in r.getMessage() for r in caplog.records)  # at debug


class TestInputsCheckedFirst:
    @pytest.mark.parametrize("command", ["execute", "plan"])
    def test_odd_tag_list_is_refused_before_login(self, make_config, no_manager, capsys, command):
        assert cli.main([command, "-c", make_config(spoke_gw_tag=",env,prod,team")]) == 2
        err = capsys.readouterr().err
        assert "'spoke_gw_tag'" in err and "3 items" in err and err.count("\n") == 1

    @pytest.mark.parametrize(
        "tag, sent",
        [
            ("env:prod,team:net", "env:prod,team:net"),
            ("env,prod,team,net", "env:prod,team:net"),
            (",env,prod", "env:prod"),
            ("a,,b,", "a:,b:"),
            ("", None),
            (None, None),
        ],
    )
    def test_good_tags_pass_in_the_form_the_migration_sends(self, make_config, tag, sent):
        from tidewall.core.ConfigAdaptor import normalise_spoke_tag

        ca = runner.load_config(make_config(spoke_gw_tag=tag))
        runner.check_inputs(ca, "execute")
        assert normalise_spoke_tag(ca.spoke_gw_tag) == sent

    @pytest.mark.parametrize(
        "make_case, expected",
        [
            (lambda d: {"input_test_config": str(d / "missing.yaml")}, "does not exist"),
            (
                lambda d: {"input_test_config": _write(d / "bad.yaml", "expect_eip: [unclosed")},
                "does not parse",
            ),
            (
                lambda d: {"input_test_config": _write(d / "list.yaml", "- a\n- b\n")},
                "does not hold a mapping",
            ),
            (lambda d: {"input_test_config": {"expect_eip": "yes"}}, "expect_eip"),
            (lambda d: {"output_test_config": _write(d / "out.json", "not json")}, "not a JSON results file"),
            (lambda d: {"output_test_config": _write(d / "out2.json", "[1]")}, '"results" list'),
            (lambda d: {"output_test_config": str(d / "nowhere" / "out.json")}, "does not exist"),
            (lambda d: {"output_test_config": str(d)}, "is a folder"),
        ],
    )
    def test_test_configuration_is_checked(
        self, make_config, no_manager, tmp_path, capsys, make_case, expected
    ):
        case = make_case(tmp_path)
        assert cli.main(["execute", "-c", make_config(enable_test=True, **case)]) == 2
        err = capsys.readouterr().err
        assert f"'{next(iter(case))}'" in err and expected in err

    def test_good_test_configuration_passes(self, make_config, tmp_path):
        settings = _write(tmp_path / "t.yaml", "expect_eip: false\n")
        results = _write(tmp_path / "r.json", '{"results": []}')
        for out in (results, str(tmp_path / "new.json")):
            ca = runner.load_config(make_config(input_test_config=settings, output_test_config=out))
            runner.check_inputs(ca, "execute")

    @pytest.mark.parametrize("text", ["", "# only a comment\n", "\n\n"])
    def test_empty_configuration_file(self, tmp_path, no_manager, capsys, text):
        path = _write(tmp_path / "empty.yaml", text)
        assert cli.main(["execute", "-c", path]) == 2
        assert "the configuration file is empty" in capsys.readouterr().err

    def test_a_folder_as_configuration_file(self, tmp_path, no_manager, capsys):
        assert cli.main(["status", "-c", str(tmp_path)]) == 2
        assert "is a folder" in capsys.readouterr().err


def _write(path, text):
    path.write_text(text)
    return str(path)


class TestHelp:
    @pytest.mark.parametrize("command", SUBCOMMANDS)
    def test_each_subcommand_has_a_description_an_example_and_exit_statuses(self, command, capsys):
        assert cli.main([command, "--help"]) == 0
        out = capsys.readouterr().out
        usage, description = out.split("\n\n")[:2]
        assert usage.startswith(f"usage: tidewall {command}") and description.strip().endswith(".")
        assert f"example:\n  tidewall {command} " in out
        assert "exit status:\n  0 " in out and "\n  2 " in out
        assert "--log-file PATH" in out


@pytest.mark.parametrize(
    "line, expected",
    [
        ("tidewall ", {"plan", "execute", "fleet", "unlock"}),  # cleanup is not in the command list
        ("tidewall fleet unlock --l", {"--log-file", "--lock-id"}),
    ],
)
def test_shell_completion_with_argcomplete(tmp_path, line, expected):
    pytest.importorskip("argcomplete")
    answer = tmp_path / "answer"
    env = dict(
        _env(),
        _ARGCOMPLETE="1",
        _ARGCOMPLETE_IFS=" ",
        COMP_LINE=line,
        COMP_POINT=str(len(line)),
        _ARGCOMPLETE_STDOUT_FILENAME=str(answer),
    )
    code = "import sys; sys.argv = ['tidewall']; from tidewall import cli; cli.main()"
    subprocess.run([sys.executable, "-c", code], env=env, check=True, timeout=60)
    words = set(answer.read_text().split())
    assert expected <= words and "cleanup" not in words


class TestLeanInstall:
    def test_production_dependencies_leave_the_sandbox_to_its_extra(self):
        project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
        names = {_name(d) for d in project["dependencies"]}
        assert names == {"requests", "boto3", "pyyaml"}
        extras = project["optional-dependencies"]
        assert {_name(d) for d in extras["sandbox"]} >= {"moto", "werkzeug", "trustme"}
        assert "tidewall[sandbox]" in extras["test"]

    def test_the_cli_and_production_modules_import_without_the_sandbox_stack(self):
        code = """
import importlib.abc, sys
BLOCKED = ("moto", "werkzeug", "trustme", "flask")
class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Block())
import tidewall.cli, tidewall.runner, tidewall.status, tidewall.plan, tidewall.logs
import tidewall.lib.natgw, tidewall.lib.route_table, tidewall.lib.s3, tidewall.lib.test, tidewall.lib.lock
import tidewall.lib.gateway_size, tidewall.lib.aws_cred, tidewall.lib.cvn_account, tidewall.commands.history
try:
    import tidewall.commands.natgw_eip_handover
except ImportError as e:
    if "natgw_eip_handover" not in str(e):  # not built here; anything else is a real fault
        raise
assert not [m for m in sys.modules if m.split(".")[0] in BLOCKED]
assert tidewall.cli.main(["--help"]) == 0
print("STATUS", tidewall.cli.main(["sandbox"]))
"""
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=_env())
        assert out.returncode == 0, out.stderr
        assert "STATUS 2" in out.stdout
        # The checkout's extra: the package index's "tidewall" is another project.
        assert "pip install '.[sandbox]' in the tidewall checkout" in out.stderr
        assert "tidewall[" not in out.stderr


def _name(requirement):
    return requirement.split("[")[0].split(">")[0].split("=")[0].split("<")[0].strip().lower()


def _env():
    """The child imports the same tidewall as this process (the sources or the installed package)."""
    import tidewall

    env = dict(os.environ)
    here = str(pathlib.Path(tidewall.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    return env


class TestStructure:
    """The front end is imported by nothing; the storage layer does not import the histories."""

    def imports(self, module_path):
        tree = ast.parse(module_path.read_text())
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                found.update(a.name for a in node.names)
            elif isinstance(node, ast.ImportFrom) and node.module:
                found.add(node.module)
                found.update(f"{node.module}.{a.name}" for a in node.names)
        return found

    def test_no_cycles_between_front_end_runner_status_plan_and_sandbox(self):
        package = ROOT / "src" / "tidewall"
        modules = [package / "runner.py", package / "status.py", package / "plan.py", package / "logs.py"]
        modules += sorted((package / "sandbox").glob("*.py")) + sorted((package / "lib").glob("*.py"))
        modules += sorted((package / "commands").glob("*.py")) + sorted((package / "core").glob("*.py"))
        for path in modules:
            assert "tidewall.cli" not in self.imports(path), path
        for path in (package / "runner.py", package / "status.py", package / "plan.py"):
            assert not any(m.startswith("tidewall.sandbox") for m in self.imports(path)), path
        # runner <- status <- plan, never back
        runner_imports = self.imports(package / "runner.py")
        assert not any(m.startswith(("tidewall.status", "tidewall.plan")) for m in runner_imports)
        assert not any(m.startswith("tidewall.plan") for m in self.imports(package / "status.py"))

    def test_storage_layer_does_not_import_the_histories(self):
        lib_s3 = self.imports(ROOT / "src" / "tidewall" / "lib" / "s3.py")
        assert not any(m.startswith("tidewall.commands.history") for m in lib_s3)

    def test_exit_statuses_are_defined_once(self):
        package = ROOT / "src" / "tidewall"
        for path in package.rglob("*.py"):
            if path.name == "exceptions.py":
                continue
            for node in ast.walk(ast.parse(path.read_text())):
                if isinstance(node, ast.Assign):
                    names = [t.id for t in node.targets if isinstance(t, ast.Name)]
                    assert not [n for n in names if n.startswith("EXIT_")], (path, names)


class TestPlanModel:
    """The egress model without a cloud: hs_mode 1, a table with no zone spoke, a short discovery."""

    def plan(self, n, hs_mode=2, tables=None, done=0, keep_egress=True, resize=False):
        from tidewall.commands import journal_layout
        from tidewall.plan import Egress, Plan, RouteTable

        records = [
            {
                "nat_gw_id": f"nat-{i}",
                "subnet_id": f"subnet-{i}",
                "eip": f"198.51.100.{i}",
                "size": "c5.large" if resize and i == 0 else "t3.small",
                "initial_size": "t3.small",
            }
            for i in range(n)
        ]
        zones = [f"zone-{i}" for i in range(n)]
        if tables is None:
            tables = [
                RouteTable(
                    f"rtb-{i}",
                    [f"private-{i}"],
                    [zones[i]],
                    Egress("nat_gateway", f"nat-{i}", f"198.51.100.{i}", zones[i], i),
                )
                for i in range(n)
            ]
        slots = journal_layout.layout(records, False, hs_mode, None)
        plan = Plan(
            "vpc-1",
            "discovery",
            "s3://b/p",
            {"enable_test": False, "hs_mode": hs_mode},
            records,
            zones,
            slots,
            done,
            tables,
            spoke_gw_name="sp",
            keep_egress=keep_egress,
        )
        from tidewall.plan import simulate

        return simulate(plan)

    def final(self, plan):
        return {rtb: (e.target, e.egress_ip) if e else None for rtb, e in plan.states[-1].items()}

    @pytest.mark.parametrize(
        "keep, resize, gaps",
        [
            # Today's behaviour: a zone goes dark from its NAT gateway's deletion until its spoke is up (60 s
            # + 300 s); zone 0, moved onto NAT gateway 1 first, goes with it, and through the resize (120 s).
            (False, False, {"rtb-0": 360, "rtb-1": 360, "rtb-2": 360}),
            (False, True, {"rtb-0": 480, "rtb-1": 360, "rtb-2": 360}),
            # Parked on the primary before each deletion, guarded on an HA spoke through the resize.
            (True, False, {"rtb-0": 0, "rtb-1": 0, "rtb-2": 0}),
            (True, True, {"rtb-0": 0, "rtb-1": 0, "rtb-2": 0}),
        ],
    )
    def test_expected_gap_per_route_table(self, keep, resize, gaps):
        from tidewall.plan import expected_gaps, render_plan

        plan = self.plan(3, keep_egress=keep, resize=resize)
        assert expected_gaps(plan) == gaps
        # Every table ends on its own zone's spoke either way.
        assert [self.final(plan)[f"rtb-{i}"][1] for i in range(3)] == [f"198.51.100.{i}" for i in range(3)]
        assert ("while it runs, then back" in render_plan(plan)) == (keep and resize)

    def test_hs_mode_1_leaves_the_third_zone_on_its_nat_gateway(self):
        plan = self.plan(3, hs_mode=1)
        assert [s.code for s in plan.pending] == ["A1", "A2", "A3", "A4", "A5", "A6", "B1", "B2"]
        final = self.final(plan)
        assert final["rtb-0"] == ("sp", "198.51.100.0")
        assert final["rtb-1"][1] == "198.51.100.1" and final["rtb-2"] == ("nat-2", "198.51.100.2")

    def test_a_table_of_a_zone_without_spoke_goes_to_the_primary(self):
        from tidewall.plan import Egress, RouteTable, plan_to_json

        tables = [
            RouteTable(
                "rtb-0", ["p0"], ["zone-0"], Egress("nat_gateway", "nat-0", "198.51.100.0", "zone-0", 0)
            ),
            RouteTable(
                "rtb-1", ["p1"], ["zone-1"], Egress("nat_gateway", "nat-1", "198.51.100.1", "zone-1", 1)
            ),
            RouteTable("rtb-x", ["px"], ["zone-9"], None),  # no live default route now
        ]
        plan = self.plan(2, tables=tables)
        data = plan_to_json(plan)
        gap = next(g for g in data["gaps"] if g["route_table_id"] == "rtb-x")
        assert gap["from"] == "now" and gap["until"]["code"] == "A6"  # SNAT on: the primary serves it
        assert self.final(plan)["rtb-x"] == ("sp", "198.51.100.0")

    def test_a_discovery_of_one_nat_gateway_does_not_break_the_plan(self):
        plan = self.plan(1)
        from tidewall.plan import plan_to_json, render_plan

        assert plan_to_json(plan)["natgws"][0]["index"] == 0 and "Plan for vpc-1" in render_plan(plan)
