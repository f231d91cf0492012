"""Fixtures of the migration tests: one simulated AWS (moto) and one simulated controller per test module,
the controller creating its gateways as EC2 instances there; a freshly seeded VPC per test."""

import logging

import pytest
from handover_support import (
    CONTROLLER_PASSWORD,
    CONTROLLER_USER,
    PASSWORD_ENV,
    Migration,
    as_new_process,
    seed_metrics,
)

from tidewall.sandbox.aws import AwsSandbox
from tidewall.sandbox.controller import SimulatedController


@pytest.fixture(scope="module")
def aws():
    sandbox = AwsSandbox().start()
    yield sandbox
    sandbox.stop()


@pytest.fixture(scope="module")
def ctl(aws):
    controller = SimulatedController(users={CONTROLLER_USER: CONTROLLER_PASSWORD}, cloud=aws.cloud())
    controller.start()
    yield controller
    controller.stop()


@pytest.fixture
def seed(aws, ctl, tmp_path, monkeypatch, caplog):
    """seed(nat_gateways=3) -> a Migration of a new VPC with that many NAT gateways, a forgetful
    controller and a backup folder of its own."""
    caplog.set_level(logging.INFO, logger="tidewall")
    monkeypatch.setenv(PASSWORD_ENV, CONTROLLER_PASSWORD)
    as_new_process()
    ctl.reset()
    count = {"n": 0}

    def make(nat_gateways=3):
        count["n"] += 1
        seeded = aws.seed(nat_gateways=nat_gateways, metrics=False)
        seed_metrics(aws, seeded)
        return Migration(aws, ctl, seeded, tmp_path / f"backups-{count['n']}", caplog)

    yield make
    as_new_process()
    ctl.reset()


@pytest.fixture
def vpc(seed):
    """A Migration of a new VPC with three NAT gateways."""
    return seed()
