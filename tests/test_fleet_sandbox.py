"""Fleets on the sandbox: `tidewall sandbox --vpcs` (execute, a VPC whose acceptance test fails rolled back
while the others finish, the checks, revert), and two `tidewall fleet execute` of one fleet file started
together on a served sandbox: each VPC migrated once, both ending with exit status 0."""

import io
import json
import os
import signal
import subprocess
import sys
import time

import pytest
import yaml

import tidewall
from tidewall.sandbox.fleet import run_fleet_sandbox

pytestmark = pytest.mark.slow

SRC = os.path.dirname(os.path.dirname(tidewall.__file__))


def test_a_sandbox_fleet_with_one_failing_acceptance_test(tmp_path, monkeypatch):
    monkeypatch.delenv("AWS_ENDPOINT_URL", raising=False)
    out = io.StringIO()
    status = run_fleet_sandbox(3, nat_gateways=2, fail_vpc=1, workdir=str(tmp_path), out=out)
    text = out.getvalue()
    assert status == 0, text
    checks = [line for line in text.splitlines() if line.startswith("  [")]
    assert checks and all(line.startswith("  [ok  ]") for line in checks), text
    for line in (
        "[ok  ] fleet execute: exit status 1",
        "[ok  ] fleet execute: 2 done, 1 rolled_back",
        "[ok  ] fleet revert: exit status 0",
        "[ok  ] fleet revert: 3 reverted",
    ):
        assert line in text
    fleet = yaml.safe_load((tmp_path / "fleet.yaml").read_text())
    assert [v["region"] for v in fleet["vpcs"]] == ["us-east-1", "us-west-2", "us-east-1"]
    assert [v.get("enable_test", False) for v in fleet["vpcs"]] == [False, True, False]
    assert len({v["spoke_gw_name"] for v in fleet["vpcs"]}) == 3
    # One log file per VPC and command, with the VPC's steps.
    logs = sorted(os.listdir(tmp_path / "fleet-logs" / "execute"))
    assert logs == sorted(f"{v['vpc_id']}.log" for v in fleet["vpcs"])
    failing = (tmp_path / "fleet-logs" / "execute" / logs[0]).read_text()
    assert "- " in failing


def _wait_for(path, proc, timeout=120):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if proc.poll() is not None:
            raise AssertionError(f"the sandbox ended early: {proc.communicate()}")
        if time.monotonic() > deadline:
            raise AssertionError(f"{path} did not appear")
        time.sleep(0.2)
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def test_two_fleets_of_one_file_started_together_migrate_each_vpc_once(tmp_path):
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    env.pop("AWS_ENDPOINT_URL", None)
    served = tmp_path / "served"
    sandbox = subprocess.Popen(
        [sys.executable, "-m", "tidewall", "sandbox", "--serve", "--vpcs", "3", "--nat-gateways", "2"]
        + ["--instant", "--workdir", str(served)],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        info = _wait_for(served / "sandbox.json", sandbox)
        assert info["fleet"] == str(served / "fleet.yaml") and len(info["vpcs"]) == 3
        assert {v["region"] for v in info["vpcs"]} == {"us-east-1", "us-west-2"}
        env[info["password_env"]] = info["password"]
        fleets = [
            subprocess.Popen(
                [sys.executable, "-m", "tidewall", "fleet", "execute", "--fleet", info["fleet"]]
                + ["--output", "json", "--lock-wait", "300", "--log-dir", str(tmp_path / f"logs-{i}")],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for i in range(2)
        ]
        results = [p.communicate(timeout=600) for p in fleets]
        assert [p.returncode for p in fleets] == [0, 0], [err[-3000:] for _out, err in results]
        summaries = [json.loads(out) for out, _err in results]
        vpcs = [v["vpc_id"] for v in info["vpcs"]]
        for summary in summaries:
            assert summary["counts"] == {"done": 3}
            assert [v["vpc_id"] for v in summary["vpcs"]] == vpcs
        for vpc in vpcs:
            runs = [next(v for v in s["vpcs"] if v["vpc_id"] == vpc) for s in summaries]
            # Exactly one of the two made the steps; the other found it locked or already complete.
            makers = [r for r in runs if r["outcome"]["steps_done"]]
            assert len(makers) == 1, runs
            other = next(r for r in runs if r is not makers[0])
            assert other["reason"] == "migration already complete"
            assert other["runs"] in (1, 2)
            assert {s["code"] for s in makers[0]["outcome"]["steps_done"]} >= {"A1", "A4", "B2"}

        status = subprocess.run(
            [
                sys.executable,
                "-m",
                "tidewall",
                "fleet",
                "status",
                "--fleet",
                info["fleet"],
                "--output",
                "json",
            ]
            + ["--log-dir", str(tmp_path / "logs-status")],
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert status.returncode == 0, status.stderr[-3000:]
        assert [v["detail"] for v in json.loads(status.stdout)["vpcs"]] == ["complete"] * 3
    finally:
        sandbox.send_signal(signal.SIGTERM)
        sandbox.wait(timeout=60)
    assert sandbox.returncode == 0


@pytest.fixture
def timed_fleet(tmp_path, monkeypatch):
    """Two VPCs in a world that takes (scaled) time; `fleet(command, *options)` starts a fleet process."""
    from tidewall.sandbox.clock import Durations
    from tidewall.sandbox.services import Services

    monkeypatch.delenv("AWS_ENDPOINT_URL", raising=False)
    with Services(str(tmp_path), nat_gateways=2, vpcs=2, time_scale=0.005, durations=Durations()) as services:
        env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
        # The fleet's private folder: a fleet killed outright cannot remove it, so keep it in here.
        env["TMPDIR"] = str(tmp_path)

        def fleet(command, *extra):
            return subprocess.Popen(
                [sys.executable, "-m", "tidewall", "fleet", command, "--fleet", services.fleet_path]
                + ["--output", "json", "--log-dir", str(tmp_path / "logs" / command), *extra],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )

        fleet.logs = tmp_path / "logs"
        yield fleet


def _wait_for_a_deploy(fleet, proc):
    """Until some VPC of the running fleet has started deploying its first spoke."""
    deadline = time.monotonic() + 120
    while not any("- Deploy" in p.read_text() for p in (fleet.logs / "execute").glob("*.log") if p.exists()):
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "no VPC reached its first deployment"
        time.sleep(0.1)


def _resumed_and_complete(fleet):
    """A new `fleet execute` ends with every VPC done, and `fleet status` finds both complete and unlocked."""
    again = fleet("execute", "--lock-wait", "300")
    out, err = again.communicate(timeout=300)
    assert again.returncode == 0, err[-3000:]
    assert json.loads(out)["counts"] == {"done": 2}
    status = fleet("status")
    out, err = status.communicate(timeout=300)
    assert status.returncode == 0 and "LOCKED" not in out, err[-3000:]
    assert [v["detail"] for v in json.loads(out)["vpcs"]] == ["complete"] * 2


def test_sigterm_reaches_every_running_vpc_and_the_next_run_resumes(timed_fleet):
    first = timed_fleet("execute")
    _wait_for_a_deploy(timed_fleet, first)
    first.send_signal(signal.SIGTERM)
    out, err = first.communicate(timeout=300)
    assert first.returncode == 143, err[-3000:]
    summary = json.loads(out)
    results = [v["result"] for v in summary["vpcs"]]
    assert "interrupted" in results and set(results) <= {"interrupted", "done"}
    assert all(v["exit_status"] in (0, 143) for v in summary["vpcs"])
    _resumed_and_complete(timed_fleet)


def test_a_fleet_killed_outright_leaves_its_vpcs_running_and_the_next_run_converges(timed_fleet):
    # SIGKILL reaches the fleet only: the VPC processes (sessions of their own) carry on holding their locks,
    # and the next fleet run waits for them, then finds each migration complete.
    first = timed_fleet("execute")
    _wait_for_a_deploy(timed_fleet, first)
    first.kill()
    first.communicate(timeout=60)
    assert first.returncode == -signal.SIGKILL
    _resumed_and_complete(timed_fleet)
