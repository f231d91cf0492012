"""`tidewall sandbox --serve`: a seeded world that scripts reach through config.yaml and sandbox.json, served
until a signal, then gone with exit status 0."""

import json
import os
import signal
import socket
import subprocess
import sys
import time

import boto3
import pytest
import requests
import yaml

import tidewall
from tidewall import cli

SRC = os.path.dirname(os.path.dirname(tidewall.__file__))


def _refuses(host, port):
    with socket.socket() as sock:
        sock.settimeout(2)
        return sock.connect_ex((host, int(port))) != 0


def _wait_for(path, proc, timeout=60):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if proc.poll() is not None:
            raise AssertionError(f"the sandbox ended early: {proc.communicate()}")
        if time.monotonic() > deadline:
            proc.kill()
            raise AssertionError("sandbox.json did not appear")
        time.sleep(0.1)
    with open(path, encoding="utf-8") as f:
        return json.load(f)


@pytest.mark.slow
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_serves_the_seeded_world_until_a_signal(tmp_path, sig):
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tidewall",
            "sandbox",
            "--serve",
            "--workdir",
            str(tmp_path),
            "--nat-gateways",
            "2",
        ],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        info = _wait_for(tmp_path / "sandbox.json", proc)
        for key in ("aws_endpoint", "controller", "password_env", "password", "vpc_id", "region", "bucket"):
            assert info[key], key
        config = yaml.safe_load((tmp_path / "config.yaml").read_text())
        assert config["vpc_id"] == info["vpc_id"] and config["s3_bucket"] == info["bucket"]
        assert config["controller_ip"] == info["controller"]
        assert config["controller_password_env"] == info["password_env"]
        assert "controller_password" not in config

        # The world is there, through the normal APIs, with the configuration's settings.
        ec2 = boto3.client(
            "ec2",
            region_name=info["region"],
            endpoint_url=info["aws_endpoint"],
            aws_access_key_id=config["aws"]["access_key_id"],
            aws_secret_access_key=config["aws"]["secret_access_key"],
        )
        natgws = ec2.describe_nat_gateways(Filters=[{"Name": "vpc-id", "Values": [info["vpc_id"]]}])
        assert len([n for n in natgws["NatGateways"] if n["State"] == "available"]) >= 2
        login = requests.post(
            f"https://{info['controller']}/v2/api",
            data={"action": "login", "username": "admin", "password": info["password"]},
            verify=False,
            timeout=30,
        ).json()
        assert login["return"] is True

        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert "Sandbox stopped." in out
    assert not (tmp_path / "sandbox.json").exists()
    host, _, port = info["controller"].rpartition(":")
    assert _refuses(host, port)


def test_serve_needs_a_workdir(capsys):
    assert cli.main(["sandbox", "--serve"]) == 2
    assert "--serve needs --workdir" in capsys.readouterr().err
