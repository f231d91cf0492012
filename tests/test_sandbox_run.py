"""`tidewall sandbox` end to end: a simulated AWS account and controller, the real migration command.

Each full run seeds a VPC with three NAT gateways, migrates it, checks the result against what AWS shows,
reverts it and checks again; the scenarios with options also show a rollback and a resumed run. A full
run takes some seconds (marked `slow`, deselect with -m "not slow").
"""

import io
import json
import logging
import os
import socket
import subprocess
import sys

import pytest
import yaml

from tidewall import cli
from tidewall.core.Globals import Globals
from tidewall.sandbox.clock import Durations
from tidewall.sandbox.run import PASSWORD_ENV, run_sandbox


def _refuses(address):
    host, _, port = address.rpartition(":")
    with socket.socket() as sock:
        sock.settimeout(2)
        return sock.connect_ex((host, int(port))) != 0


@pytest.mark.slow
class TestFullRun:
    @pytest.mark.parametrize(
        "options, expected_runs",
        [
            ({}, 1),
            ({"interrupt_at": 1}, 2),
            ({"fail_test_at": 2}, 2),
        ],
        ids=["plain", "interrupted-and-resumed", "test-failure-rollback-and-resume"],
    )
    def test_every_check_holds(self, tmp_path, monkeypatch, options, expected_runs):
        monkeypatch.delenv(PASSWORD_ENV, raising=False)
        monkeypatch.delenv("AWS_ENDPOINT_URL", raising=False)
        out = io.StringIO()
        status = run_sandbox(nat_gateways=3, workdir=str(tmp_path), out=out, **options)
        text = out.getvalue()
        assert status == 0, text
        check_lines = [line for line in text.splitlines() if line.startswith("  [")]
        assert check_lines and all(line.startswith("  [ok  ]") for line in check_lines), text
        assert f"All {len(check_lines)} checks passed." in text
        for title in ("Before:", "After execute:", "After revert:", "What the migration cost"):
            assert title in text
        assert f"What the migration cost ({expected_runs} execute run(s))" in text
        if options:
            assert "$ tidewall status" in text and "Next execute:" in text

        # The services are gone and the process environment is as it was.
        config = yaml.safe_load((tmp_path / "config.yaml").read_text())
        assert "controller_password" not in config and config["controller_password_env"] == PASSWORD_ENV
        assert _refuses(config["controller_ip"])
        assert _refuses(config["aws"]["endpoint_url"].removeprefix("http://"))
        assert PASSWORD_ENV not in os.environ and "AWS_ENDPOINT_URL" not in os.environ
        assert (Globals.dry_run, Globals.cmdcnt) == (False, -1)

    def test_an_instant_world_is_ec2_with_every_change_at_once(self, tmp_path):
        """--instant keeps EC2's model (a deleted NAT gateway lets go of its EIP), so the revert, which waits
        for AWS to free an address and never takes it from a NAT gateway, finishes. In a process of its own:
        the tests' moto is patched to behave as AWS, the command's is not."""
        import tidewall

        env = dict(os.environ)
        env.pop(PASSWORD_ENV, None)
        package_root = os.path.dirname(os.path.dirname(tidewall.__file__))
        env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
        done = subprocess.run(
            [sys.executable, "-m", "tidewall", "sandbox", "--instant", "--workdir", str(tmp_path)],
            capture_output=True,
            text=True,
            env=env,
            timeout=600,
        )
        assert done.returncode == 0, done.stdout + done.stderr
        assert (
            "All 11 checks passed." in done.stdout and "the private NAT gateway is untouched" in done.stdout
        )


@pytest.mark.slow
@pytest.mark.parametrize(
    "shape, says",
    [
        (
            "twin_natgw",
            ["[ok  ] plan (twin NAT gateway): exit status 2", "after the refusals: AWS unchanged"],
        ),
        ("late_eip", ["After execute:", "After revert:"]),
    ],
)
def test_a_vpc_shape_is_judged_from_aws(tmp_path, monkeypatch, shape, says):
    monkeypatch.delenv(PASSWORD_ENV, raising=False)
    out = io.StringIO()
    status = run_sandbox(workdir=str(tmp_path), out=out, time_scale=0.01, shapes=(shape,))
    text = out.getvalue()
    assert status == 0 and all(s in text for s in says), text


@pytest.mark.slow
def test_a_real_clouds_time_and_faults_are_come_through_and_reported(tmp_path, monkeypatch, caplog):
    """Seed 4: among throttling, 5xx, SlowDown, lost answers and lagging describes, the controller session
    expires once and a spoke deletion of the revert times out after the controller acted: the revert stops
    with one line and its second run finishes."""
    caplog.set_level(logging.INFO)
    monkeypatch.delenv(PASSWORD_ENV, raising=False)
    path = tmp_path / "report.json"
    out = io.StringIO()
    status = run_sandbox(
        workdir=str(tmp_path), out=out, time_scale=0.01, durations=Durations(), chaos=4, report=str(path)
    )
    text = out.getvalue()
    assert status == 0, text
    assert "stopped: ControllerError: Controller" in text and "Runs: execute 1, revert 2" in text
    assert "Still waiting for NAT gateway" in caplog.text and "Controller session expired" in caplog.text

    data = json.loads(path.read_text())
    assert set(data) == {"checks", "egress", "egress_keep", "egress_by_command", "cost", "runs", "time_scale"}
    assert data["runs"] == 3 and data["time_scale"] == 0.01
    assert data["checks"] and all(set(c) == {"name", "ok"} and c["ok"] for c in data["checks"])
    assert set(data["cost"]) == {"controller", "aws", "wait_s", "total_s"}
    assert (
        data["cost"]["controller"]["delete_multicloud_gateway"] >= 3
        and data["cost"]["aws"]["ec2:DeleteNatGateway"] == 3
    )
    assert len(data["egress"]) == 3
    for entry in data["egress"]:
        assert set(entry) == {
            "route_table_id",
            "subnet_id",
            "zone",
            "outage_s",
            "longest_gap_s",
            "egress_ips",
            "flow_resets",
        }
        assert entry["egress_ips"][0] == entry["egress_ips"][-1]
    # Every route was parked on a serving spoke before its NAT gateway went: no zone went dark, through
    # every fault, in execute or in revert.
    assert data["egress_keep"] is True and set(data["egress_by_command"]) == {"execute", "revert"}
    for command, egress in data["egress_by_command"].items():
        assert egress["max_outage_s"] <= 1, (command, egress)


class TestOptions:
    @pytest.mark.parametrize(
        "argv",
        [
            ["--nat-gateways", "1"],
            ["--nat-gateways", "7"],
            ["--fail-test-at", "3"],
            ["--interrupt-at", "0"],
            ["--interrupt-at", "3"],
            ["--interrupt-at", "1", "--fail-test-at", "1"],
            ["--instant", "--duration", "natgw_pending=1"],
            ["--duration", "natgw_pending"],
            ["--duration", "coffee=3"],
            ["--duration", "natgw_pending=-1"],
            ["--report", "/nonexistent-folder/report.json"],
        ],
    )
    def test_impossible_scenarios_are_refused_before_starting_anything(self, argv, capsys):
        assert cli.main(["sandbox", *argv]) == 2
        assert "tidewall sandbox:" in capsys.readouterr().err
