"""Shared fixtures."""

import pytest

import moto_as_aws
from tidewall.core.Globals import Globals
from tidewall.sandbox.controller import SimulatedController

# moto answers as AWS does where the migration depends on it (a deleted NAT gateway frees its EIPs, ...).
moto_as_aws.install()

CONTROLLER_USER = "admin"
CONTROLLER_PASSWORD = "Tw-s3cret-9f41"


@pytest.fixture(scope="session")
def controller_server():
    """One simulated controller (HTTPS on 127.0.0.1) for the whole session."""
    ctl = SimulatedController(users={CONTROLLER_USER: CONTROLLER_PASSWORD})
    ctl.start()
    yield ctl
    ctl.stop()


@pytest.fixture
def controller_credentials():
    """(user, password) accepted by the session controller."""
    return CONTROLLER_USER, CONTROLLER_PASSWORD


@pytest.fixture
def controller(controller_server):
    """The session controller, emptied, with a logged-in CID published in Globals."""
    ctl = controller_server
    ctl.reset()
    ctl.cloud = None
    Globals.reset()
    Globals.CID = ctl.issue_cid(CONTROLLER_USER)
    Globals.controller_ip = ctl.address
    yield ctl
    Globals.reset()
    ctl.cloud = None
    ctl.reset()
