"""Fixtures of the sandbox tests: one simulated AWS for the module, a fresh VPC per test."""

import pytest

from tidewall.sandbox.aws import AwsSandbox


@pytest.fixture(scope="module")
def sandbox():
    sb = AwsSandbox().start()
    yield sb
    sb.stop()


@pytest.fixture
def world(sandbox):
    """A new seeded VPC (no metrics: they are only needed where sizes matter)."""
    return sandbox.seed(metrics=False)


@pytest.fixture
def ec2(sandbox):
    return sandbox.client("ec2")


@pytest.fixture
def cloud(sandbox):
    return sandbox.cloud()
