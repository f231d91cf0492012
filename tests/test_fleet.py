"""`tidewall fleet`: the fleet file's checks, the scheduler's rules with stand-in children on a stand-in
clock (parallel, waves, stop on failure, VPCs another run holds, Ctrl-C), the outcome of each VPC's run,
and what the fleet shows."""

import io
import json
import os
import signal
import socket

import pytest
import yaml

from fake_time import FakeTime
from tidewall import cli
from tidewall.fleet import child as words
from tidewall.fleet.child import LogTail, outcome_of
from tidewall.fleet.command import FleetOptions, exit_status_of, run_fleet
from tidewall.fleet.fleetfile import FleetFileError, load_fleet
from tidewall.fleet.scheduler import Scheduler, VpcTask
from tidewall.fleet.view import LiveView, render_summary, summary_rows

PASSWORD_ENV = "TIDEWALL_TEST_FLEET_PASSWORD"


def vpc_id(n):
    return f"vpc-{n:017x}"


DEFAULTS = {
    "controller_ip": "10.1.2.3",
    "controller_user": "admin",
    "controller_password_env": PASSWORD_ENV,
    "aws_account_name": "prod",
    "s3_bucket": "acme-migrations",
    "aws": {
        "access_key_id": "AKIAEXAMPLE",
        "secret_access_key": "not-a-real-secret",
        "retry_mode": "standard",
    },
}


def entry(n, **fields):
    return {"vpc_id": vpc_id(n), "region": "eu-west-1", "spoke_gw_name": f"spoke-{n}", **fields}


def fleet_file(tmp_path, vpcs, defaults=DEFAULTS, name="fleet.yaml"):
    path = tmp_path / name
    path.write_text(yaml.safe_dump({"defaults": defaults, "vpcs": vpcs}))
    return str(path)


@pytest.fixture(autouse=True)
def password(monkeypatch):
    monkeypatch.setenv(PASSWORD_ENV, "pw")


# ------------------------------------------------------------------------------------------- fleet file


class TestFleetFile:
    def test_entries_override_defaults_and_mappings_merge_key_by_key(self, tmp_path):
        path = fleet_file(
            tmp_path,
            [
                entry(1),
                entry(
                    2, region="us-east-1", aws={"endpoint_url": "http://127.0.0.1:5000", "retry_mode": None}
                ),
            ],
        )
        fleet = load_fleet(path)
        first, second = fleet.entries
        assert (first.vpc_id, first.region, first.account) == (vpc_id(1), "eu-west-1", "prod")
        assert second.region == "us-east-1"
        # The entry's aws keys are added to the defaults' ones; null takes a default's key away.
        assert second.config["aws"] == {
            "access_key_id": "AKIAEXAMPLE",
            "secret_access_key": "not-a-real-secret",
            "endpoint_url": "http://127.0.0.1:5000",
        }
        assert second.adaptor.aws["retry_mode"] == "adaptive"  # the configuration's default again
        assert first.adaptor.aws["retry_mode"] == "standard"
        assert [e.vpc_id for e in fleet.select([vpc_id(2)])] == [vpc_id(2)]

    @pytest.mark.parametrize(
        "vpcs, expected",
        [
            ([entry(1), entry(2, region="mars-1")], r"vpcs\[1\] \(vpc-0+2\): configuration field 'region'"),
            (
                [entry(1), {"region": "eu-west-1", "spoke_gw_name": "x"}],
                r"vpcs\[1\]: configuration field 'vpc_id' is required",
            ),
            (
                [entry(1, spoke_gw_nmae="x")],
                r"vpcs\[0\] \(vpc-0+1\): unknown configuration field.*did you mean 'spoke_gw_name'",
            ),
            ([entry(1), "vpc-1"], r"vpcs\[1\] must be a mapping"),
            (
                [entry(1), entry(1, spoke_gw_name="other")],
                r"vpcs\[1\] \(vpc-0+1\): configuration field 'vpc_id': the same as vpcs\[0\]",
            ),
            (
                [entry(1), entry(2, spoke_gw_name="spoke-1")],
                r"vpcs\[1\] \(vpc-0+2\): configuration field 'spoke_gw_name': the same as vpcs\[0\]",
            ),
            (
                [entry(1, output_test_config="/tmp/r.json"), entry(2, output_test_config="/tmp/r.json")],
                r"vpcs\[1\] \(vpc-0+2\): configuration field 'output_test_config': the same as vpcs\[0\]",
            ),
            ([entry(1, spoke_gw_tag="a,b,c")], r"vpcs\[0\] \(vpc-0+1\): configuration field 'spoke_gw_tag'"),
            ([], r"'vpcs' must be a list"),
        ],
        ids=[
            "bad-field",
            "missing-vpc",
            "typo",
            "not-a-mapping",
            "same-vpc",
            "same-spoke",
            "same-results",
            "odd-tag",
            "no-vpcs",
        ],
    )
    def test_an_error_names_the_entry_and_the_field(self, tmp_path, vpcs, expected):
        with pytest.raises(FleetFileError, match=expected) as e:
            load_fleet(fleet_file(tmp_path, vpcs))
        assert e.value.exit_code == 2
        assert "not-a-real-secret" not in str(e.value)

    def test_the_same_spoke_name_on_two_controllers_is_fine(self, tmp_path):
        path = fleet_file(tmp_path, [entry(1), entry(2, spoke_gw_name="spoke-1", controller_ip="10.9.9.9")])
        assert len(load_fleet(path).entries) == 2

    @pytest.mark.parametrize(
        "text, expected",
        [
            ("", "the fleet file is empty"),
            ("vpcs: [\n", "is not valid YAML"),
            ("- a\n", "must hold a mapping"),
            ("defaults: {}\nvpcs: []\nwaves: 3\n", "unknown top-level field"),
            ("defaults: [1]\nvpcs: [{}]\n", "'defaults' must be a mapping"),
        ],
    )
    def test_a_file_that_is_no_fleet_is_refused(self, tmp_path, text, expected):
        path = tmp_path / "fleet.yaml"
        path.write_text(text)
        with pytest.raises(FleetFileError, match=expected):
            load_fleet(str(path))

    def test_the_password_variable_is_needed_only_by_what_logs_in(self, tmp_path, monkeypatch):
        monkeypatch.delenv(PASSWORD_ENV)
        path = fleet_file(tmp_path, [entry(1)])
        for command in ("execute", "revert"):
            with pytest.raises(FleetFileError, match=f"environment variable {PASSWORD_ENV} is not set"):
                load_fleet(path, command)
        assert load_fleet(path, "status").entries and load_fleet(path, "plan").entries

    def test_the_command_line_refuses_a_bad_fleet_before_running_anything(self, tmp_path, capsys):
        path = fleet_file(tmp_path, [entry(1), entry(2, hs_mode=3)])
        logs = tmp_path / "logs"
        status = cli.main(["fleet", "execute", "--fleet", path, "--log-dir", str(logs)])
        err = capsys.readouterr().err
        assert status == 2 and "vpcs[1]" in err and "'hs_mode'" in err
        assert not logs.exists()
        status = cli.main(
            ["fleet", "status", "--fleet", fleet_file(tmp_path, [entry(1)]), "--only", vpc_id(9)]
        )
        assert status == 2 and "--only names VPCs that are not in the fleet file" in capsys.readouterr().err


# ----------------------------------------------------------------------------------- stand-in children


def execute_json(vpc, result, reason=None, replaced=3, error=None):
    return {
        "command": "execute",
        "vpc_id": vpc,
        "result": result,
        "exit_status": {"done": 0, "nothing_to_do": 0, "rolled_back": 1, "failed": 1, "refused": 2}[result],
        "reason": reason,
        "natgws_replaced": [{"index": i} for i in range(replaced)],
        "error": error,
    }


def lock_held(pid=4242, host="other-host"):
    holder = f"execute by bob@{host} (pid {pid}) since 2026-01-02T03:04:05Z"
    return {"kind": "lock_held", "lock": {"lock_id": "abc123", "host": host, "pid": pid, "held_by": holder}}


class Fake:
    """A child that ends `seconds` after its start with the JSON object `data` (and the exit status in it)."""

    def __init__(self, clock, seconds, data, steps=()):
        self.clock = clock
        self.start = clock()
        self.seconds = seconds
        self.data = data
        self.steps = list(steps)
        self.signals = []
        self.returncode = None
        self.peak_rss_kib = 51200

    def poll(self):
        if self.signals and self.returncode is None:
            self.returncode = 130
            self.data = dict(self.data, result="interrupted", exit_status=130)
        if self.returncode is None and self.clock() >= self.start + self.seconds:
            self.returncode = self.data.get("exit_status", 0) if self.data else 1
        return self.returncode is not None

    def step(self):
        passed = int(self.clock() - self.start)
        return self.steps[min(passed, len(self.steps) - 1)] if self.steps else None

    def send(self, sig):
        self.signals.append(sig)

    def output(self):
        return self.data, "tidewall: boom" if self.data is None else None


class Entry:
    def __init__(self, n):
        self.vpc_id = vpc_id(n)
        self.account = "prod"
        self.region = "eu-west-1"


class World:
    """Tasks for VPCs 1..n; `plans[n]` lists (seconds, JSON) for each run of VPC n (default: 10 s, done)."""

    def __init__(self, n, plans=None):
        self.clock = FakeTime()
        self.tasks = [VpcTask(Entry(i), f"/logs/{vpc_id(i)}.log") for i in range(1, n + 1)]
        self.plans = {k: list(v) for k, v in (plans or {}).items()}
        self.started = []  # (time, vpc, running at that moment)
        self.ended = {}
        self.handles = []

    def launch(self, task):
        n = int(task.vpc_id[4:], 16)
        seconds, data = (self.plans.get(n) or [(10, None)]).pop(0) if self.plans.get(n) else (10, None)
        data = data or execute_json(task.vpc_id, "done")
        running = sum(1 for t in self.tasks if t.state == "running")
        self.started.append((self.clock(), task.vpc_id, running))
        handle = Fake(self.clock, seconds, data, steps=["Check controller access account", "Deploy HS Spoke"])
        self.handles.append(handle)
        return handle

    def scheduler(self, command="execute", **options):
        options.setdefault("poll_interval", 1.0)
        return Scheduler(
            self.tasks, self.launch, command, clock=self.clock, sleep=self.clock.sleep, **options
        )

    def results(self):
        return [t.state for t in self.tasks]


class TestScheduler:
    def test_at_most_parallel_at_once_and_every_vpc_runs_once(self):
        world = World(5)
        world.scheduler(parallel=2).run()
        assert world.results() == ["done"] * 5
        assert max(running for _t, _v, running in world.started) == 2  # itself included
        assert sorted(v for _t, v, _r in world.started) == [vpc_id(i) for i in range(1, 6)]
        assert exit_status_of("execute", world.tasks) == 0

    def test_a_wave_starts_when_the_previous_one_has_ended(self):
        # VPC 1 takes long: the second wave waits for it although a slot is free.
        world = World(5, plans={1: [(30, None)], 2: [(2, None)]})
        world.scheduler(parallel=4, wave_size=2).run()
        starts = {v: t for t, v, _r in world.started}
        assert starts[vpc_id(3)] >= 30 and starts[vpc_id(4)] >= 30
        assert starts[vpc_id(5)] >= starts[vpc_id(3)] + 10
        assert [t.wave for t in world.tasks] == [1, 1, 2, 2, 3]

    def test_a_failure_does_not_stop_the_others_unless_asked(self):
        plans = {1: [(1, execute_json(vpc_id(1), "rolled_back", "Acceptance test of spoke s failed", 0))]}
        world = World(4, plans=dict(plans))
        world.scheduler(parallel=2).run()
        assert world.results() == ["rolled_back", "done", "done", "done"]
        assert exit_status_of("execute", world.tasks) == 1

        world = World(4, plans=dict(plans))
        world.scheduler(parallel=2, stop_on_failure=True).run()
        # VPC 2 was running and finished; nothing started after the rollback.
        assert world.results() == ["rolled_back", "done", "not_started", "not_started"]
        assert world.tasks[2].outcome.reason == "stopped on failure"
        assert exit_status_of("execute", world.tasks) == 1

    def test_a_locked_vpc_is_skipped_then_run_again_once_the_lock_is_gone(self):
        plans = {
            2: [
                (1, execute_json(vpc_id(2), "refused", "vpc is locked by ...", 0, error=lock_held())),
                (1, execute_json(vpc_id(2), "nothing_to_do", "migration already complete")),
            ]
        }
        world = World(3, plans=plans)
        probes = []

        def probe(task):
            probes.append(world.clock())
            return lock_held()["lock"] if world.clock() < 40 else None

        seen = []
        scheduler = world.scheduler(parallel=3, lock_poll=5, probe_lock=probe)
        scheduler.on_change = lambda task: seen.append((task.vpc_id, task.state))
        scheduler.run()
        assert world.results() == ["done", "done", "done"]
        assert (vpc_id(2), "waiting") in seen
        task = world.tasks[1]
        assert task.attempts == 2 and task.outcome.reason == "migration already complete"
        # Looked at again only once nothing else was left to start, every lock_poll seconds.
        assert probes and all(b - a >= 5 for a, b in zip(probes, probes[1:], strict=False))
        assert exit_status_of("execute", world.tasks) == 0

    def test_a_locked_vpc_comes_after_the_vpcs_not_yet_started(self):
        plans = {1: [(1, execute_json(vpc_id(1), "refused", "locked", 0, error=lock_held()))]}
        world = World(3, plans=plans)
        world.scheduler(parallel=1, lock_poll=2, probe_lock=lambda task: None).run()
        assert [v for _t, v, _r in world.started] == [vpc_id(1), vpc_id(2), vpc_id(3), vpc_id(1)]
        assert world.results() == ["done"] * 3

    def test_a_lock_held_for_longer_than_the_wait_leaves_the_vpc_skipped_not_failed(self):
        plans = {1: [(1, execute_json(vpc_id(1), "refused", "locked", 0, error=lock_held()))]}
        world = World(2, plans=plans)
        world.scheduler(lock_wait=20, lock_poll=5, probe_lock=lambda task: lock_held(pid=7)["lock"]).run()
        assert world.results() == ["skipped", "done"]
        reason = world.tasks[0].outcome.reason
        assert (
            reason.startswith("locked by execute by bob@other-host (pid 7)") and "still after 20 s" in reason
        )
        assert exit_status_of("execute", world.tasks) == 3

        world = World(1, plans={1: [(1, execute_json(vpc_id(1), "refused", "locked", 0, error=lock_held()))]})
        world.scheduler(lock_wait=0).run()
        assert world.results() == ["skipped"] and len(world.started) == 1

    def test_a_stale_lock_of_this_machine_is_not_waited_for(self):
        gone = lock_held(pid=2**22 + 12345, host=socket.gethostname())
        world = World(1, plans={1: [(1, execute_json(vpc_id(1), "refused", "locked", 0, error=gone))]})
        world.scheduler(probe_lock=lambda task: pytest.fail("a stale lock is not waited for")).run()
        assert world.results() == ["skipped"] and "a stale lock" in world.tasks[0].outcome.reason
        assert "abc123" in world.tasks[0].outcome.reason

    def test_ctrl_c_reaches_every_running_vpc_and_nothing_more_starts(self):
        world = World(4)
        scheduler = world.scheduler(parallel=2)
        real_sleep = scheduler.sleep

        def sleep(seconds):
            real_sleep(seconds)
            if world.clock() == 3:
                scheduler.interrupt(signal.SIGINT)

        scheduler.sleep = sleep
        scheduler.run()
        assert [h.signals for h in world.handles] == [[signal.SIGINT], [signal.SIGINT]]
        assert world.results() == ["interrupted", "interrupted", "not_started", "not_started"]
        assert exit_status_of("execute", world.tasks, scheduler.interrupted) == 130

    def test_the_running_step_and_the_summary(self):
        world = World(2, plans={2: [(3, None)]})
        stream = io.StringIO()
        view = LiveView(world.tasks, stream, tty=False)
        scheduler = world.scheduler(parallel=2, on_change=view.changed)
        scheduler.run()
        lines = stream.getvalue().splitlines()
        assert any(line.endswith(f"{vpc_id(1)}  running: Deploy HS Spoke") for line in lines)
        assert len([line for line in lines if "running: Deploy HS Spoke" in line]) == 2  # once per change
        rows = summary_rows(world.tasks)
        assert rows[0]["natgws_replaced"] == 3 and rows[0]["peak_rss_mib"] == 50.0
        assert rows[1]["duration_s"] == 3.0 and rows[1]["log_file"] == f"/logs/{vpc_id(2)}.log"
        text = render_summary(rows, "Fleet execute")
        assert "VPC" in text and "NATGWS REPLACED" in text and f"/logs/{vpc_id(1)}.log" in text

    @pytest.mark.parametrize(
        "command, natgws, column, count",
        [
            # A plan counts what it still replaces: every NAT gateway before a migration and after a revert.
            ("plan", [{"replaced": True, "steps": [{}]}] * 3, "NATGWS TO REPLACE", "3"),
            ("plan", [{"replaced": True, "steps": []}] * 3, "NATGWS TO REPLACE", "0"),
            ("status", [{"replaced_by_journal": False}] * 3, "NATGWS REPLACED", "0"),
        ],
    )
    def test_the_natgw_column_says_what_it_counts(self, command, natgws, column, count):
        world = World(1)
        world.tasks[0].state = "done"
        data = {"complete": False, "steps_total": 9, "steps_in_effect": 0, "natgws": natgws}
        world.tasks[0].outcome = outcome_of(command, 0, data, None)
        header, row = render_summary(summary_rows(world.tasks), "Fleet", command).splitlines()[2:4]
        at = header.index(column)
        assert row[at : at + len(column)].strip() == count


class TestOutcome:
    @pytest.mark.parametrize(
        "command, data, expected",
        [
            ("execute", execute_json("v", "done"), ("done", None)),
            (
                "execute",
                execute_json("v", "nothing_to_do", "migration already complete"),
                ("done", "migration already complete"),
            ),
            (
                "revert",
                dict(execute_json("v", "nothing_to_do", "nothing to revert"), command="revert"),
                ("reverted", "nothing to revert"),
            ),
            ("revert", dict(execute_json("v", "done"), command="revert"), ("reverted", None)),
            (
                "execute",
                execute_json("v", "rolled_back", "Acceptance test failed"),
                ("rolled_back", "Acceptance test failed"),
            ),
            ("execute", execute_json("v", "refused", "spoke_gw_tag ..."), ("failed", "spoke_gw_tag ...")),
            (
                "execute",
                execute_json("v", "refused", "locked", error=lock_held()),
                ("skipped", "locked by execute by bob@other-host (pid 4242) since 2026-01-02T03:04:05Z"),
            ),
            (
                "plan",
                {
                    "complete": False,
                    "steps_total": 11,
                    "steps_in_effect": 6,
                    "natgws": [{"replaced": True}, {"replaced": False}],
                },
                ("done", None),
            ),
        ],
    )
    def test_the_fleet_word_for_each_result(self, command, data, expected):
        outcome = outcome_of(command, data.get("exit_status", 0), data, None)
        assert (outcome.result, outcome.reason) == expected

    def test_no_result_is_a_failure_naming_the_last_error_line(self):
        outcome = outcome_of("execute", 1, None, "tidewall: cannot open the log file")
        assert outcome.result == "failed" and outcome.reason.endswith("tidewall: cannot open the log file")
        assert outcome_of("execute", 130, None, None).result == "interrupted"
        plan = outcome_of(
            "plan", 0, {"complete": False, "steps_total": 11, "steps_in_effect": 6, "natgws": []}, None
        )
        assert plan.detail == "5 of 11 steps to do"
        gap = {"route_table_id": "rtb-1", "from": {"code": "A3", "natgw": 0}, "until": None}
        plan = outcome_of(
            "plan",
            0,
            {"complete": False, "steps_total": 11, "steps_in_effect": 0, "gaps": [gap], "notes": ["a", "b"]},
            None,
        )
        assert plan.detail == "11 of 11 steps to do, 1 stretch without egress, 2 warnings"
        assert plan.notes == [
            "NOTE: a",
            "NOTE: b",
            "rtb-1 without egress from after A3 of NAT gateway 0 to the end of the plan",
        ]
        status = outcome_of(
            "status",
            0,
            {"complete": True, "steps_done": [], "lock": {"lock_id": "x", "held_by": "revert by a"}},
            None,
        )
        assert status.detail == "complete; LOCKED by revert by a, lock id x"

    def test_the_step_is_the_last_step_line_of_the_growing_log(self, tmp_path):
        log = tmp_path / "vpc.log"
        tail = LogTail(str(log))
        assert tail.read() is None
        log.write_text(
            "2026-01-01 10:00:00,000 INFO    [tidewall.lib.spoke] - Deploy HS Spoke\n"
            "2026-01-01 10:00:01,000 DEBUG   [tidewall.lib.spoke] - not a step at debug\n"
            "2026-01-01 10:00:01,000 INFO    [tidewall.lib.spoke]   Returned: True\n"
        )
        assert tail.read() == "Deploy HS Spoke"
        with open(log, "a") as f:
            f.write("2026-01-01 10:00:02,000 INFO    [tidewall.lib.natgw] - Delete NAT gateway nat-1")
        assert tail.read() == "Deploy HS Spoke"  # a line is read once it is complete
        with open(log, "a") as f:
            f.write(" in subnet-1\n")
        assert tail.read() == "Delete NAT gateway nat-1 in subnet-1"


def test_run_fleet_with_stand_in_children_prints_the_summary_as_json(tmp_path, monkeypatch):
    path = fleet_file(tmp_path, [entry(1), entry(2)])
    clock = FakeTime()
    seen_configs = []

    def launch(task):
        seen_configs.append(task.entry.config["vpc_id"])
        return Fake(clock, 0, execute_json(task.vpc_id, "done", replaced=2))

    out = io.StringIO()
    options = FleetOptions(output="json", log_dir=str(tmp_path / "logs"), tty=False)
    assert run_fleet("execute", path, options, out=out, err=io.StringIO(), launch=launch) == 0
    data = json.loads(out.getvalue())
    assert data["command"] == "fleet execute" and data["exit_status"] == 0 and data["counts"] == {"done": 2}
    assert [v["vpc_id"] for v in data["vpcs"]] == [vpc_id(1), vpc_id(2)] == seen_configs
    assert data["vpcs"][0]["natgws_replaced"] == 2 and data["vpcs"][0]["outcome"]["result"] == "done"
    assert data["vpcs"][0]["log_file"] == os.path.join(str(tmp_path / "logs"), f"{vpc_id(1)}.log")
    assert oct(os.stat(tmp_path / "logs").st_mode & 0o777) == "0o700"
    assert "not-a-real-secret" not in out.getvalue()
    assert words.RESULTS  # the words the README lists


def test_on_a_terminal_the_lines_are_redrawn_in_place():
    world = World(3)
    stream = io.StringIO()
    view = LiveView(world.tasks, stream, tty=True)
    view.refresh()
    assert stream.getvalue() == ""  # nothing changed yet
    world.tasks[0].state = "running"
    view.changed(world.tasks[0])
    view.refresh()
    first = stream.getvalue()
    assert first.count("\n") == 4 and not first.startswith("\x1b[4F")
    assert "1 queued" not in first and "2 queued, 1 running" in first
    world.tasks[0].state = "done"
    world.tasks[0].outcome = outcome_of("execute", 0, execute_json(vpc_id(1), "done"), None)
    view.changed(world.tasks[0])
    view.refresh()
    second = stream.getvalue()[len(first) :]
    assert second.startswith("\x1b[4F")  # back to the first of the 4 lines drawn, then drawn again
    assert second.count("\x1b[2K") == 4 and f"{vpc_id(1)}  done" in second


def test_the_example_fleet_file_is_a_valid_fleet():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    fleet = load_fleet(os.path.join(root, "docs", "example-fleet.yaml"), "status")
    assert [e.region for e in fleet.entries] == ["eu-west-1", "us-east-1", "eu-west-1"]
    assert fleet.entries[0].adaptor.aws["profile"] == "prod-network"
    assert fleet.entries[0].adaptor.aws["retry_mode"] == "adaptive"  # from the defaults


def test_fleet_unlock_removes_only_the_locks_whose_run_is_gone(tmp_path):
    import boto3
    from moto import mock_aws

    from tidewall.fleet.unlock import unlock_fleet
    from tidewall.lib.lock import LockInfo, _process_started, lock_key

    here, gone = socket.gethostname(), 2**22 + 12345
    holders = {  # vpc -> (host, pid) of its lock, None: not locked
        1: (here, gone),  # a run of this machine that was killed: removed
        2: ("other-host", 7),  # may still run elsewhere: kept, unless its id is given
        3: None,
        4: (here, os.getpid()),  # still runs here: kept
    }
    path = fleet_file(tmp_path, [entry(n) for n in holders])
    with mock_aws():
        s3 = boto3.client("s3", region_name="us-east-1")
        s3.create_bucket(Bucket=DEFAULTS["s3_bucket"])
        fleet = load_fleet(path, "unlock")
        for e, (n, holder) in zip(fleet.entries, holders.items(), strict=True):
            if holder:
                started = _process_started(holder[1]) if holder[1] == os.getpid() else 0.0
                info = LockInfo(
                    f"{n:032x}", "execute", "bob", *holder, "2026-01-02T03:04:05Z", process_started=started
                )
                key = lock_key(e.adaptor.backup_descriptor.prefix)
                s3.put_object(Bucket=DEFAULTS["s3_bucket"], Key=key, Body=info.to_json())
        clients = {vpc_id(n): s3 for n in holders}

        def run(*ids):
            out = io.StringIO()
            status = unlock_fleet(path, lock_ids=ids, output="json", out=out, clients=clients)
            return status, [v["result"] for v in json.loads(out.getvalue())["vpcs"]]

        assert run() == (1, ["unlocked", "kept", "not_locked", "kept"])
        # An id given removes a lock held elsewhere, never one whose run still goes on here.
        assert run(f"{2:032x}", f"{4:032x}") == (1, ["not_locked", "unlocked", "not_locked", "kept"])
        s3.delete_object(
            Bucket=DEFAULTS["s3_bucket"], Key=lock_key(fleet.entries[3].adaptor.backup_descriptor.prefix)
        )
        text = io.StringIO()
        assert unlock_fleet(path, out=text, clients=clients) == 0
        assert "No VPC of the fleet is locked: nothing to remove" in text.getvalue()
