"""Fixtures for the spoke module tests: the module, its log lines and its failure handlers."""

import logging

import pytest
from spoke_support import ACCOUNT, LOGGER, CannedTransport

import tidewall.lib.spoke as spoke_module
from tidewall.core.Globals import Globals
from tidewall.lib import corvane_backend


@pytest.fixture
def spoke():
    return spoke_module


@pytest.fixture
def log(caplog):
    """The module's log lines as (level name, message), in order."""
    caplog.set_level(logging.INFO, logger=LOGGER)
    caplog.set_level(logging.DEBUG, logger="tidewall.lib.commonlib")  # Operation: lines are debug

    class Lines:
        @property
        def all(self):
            return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]

        @property
        def messages(self):
            return [m for _, m in self.all]

        @property
        def operations(self):
            """Common.logOperation calls, by class name."""
            return [r.args[0] for r in caplog.records if r.name == "tidewall.lib.commonlib"]

    return Lines()


@pytest.fixture
def handlers(monkeypatch, spoke):
    """Records which failure handler saw which reply (the real handlers still decide)."""
    calls = []
    real_check = spoke.handleControllerApiFailure
    real_exit = spoke.handleControllerApiFailureAndExit

    def check(response):
        calls.append(("check", response))
        return real_check(response)

    def check_or_exit(response):
        calls.append(("exit", response))
        return real_exit(response)

    monkeypatch.setattr(spoke, "handleControllerApiFailure", check)
    monkeypatch.setattr(spoke, "handleControllerApiFailureAndExit", check_or_exit)
    return calls


@pytest.fixture
def url(controller):
    return f"https://{controller.address}/v2/api"


@pytest.fixture
def cid():
    return Globals.CID


@pytest.fixture
def dry_run(controller):
    Globals.dry_run = True
    yield
    Globals.dry_run = False


@pytest.fixture
def account(controller):
    controller.add_account(ACCOUNT)
    return ACCOUNT


@pytest.fixture
def canned(monkeypatch, spoke):
    """Replace the module's HTTP client with canned answers: canned(body, body, ...)."""

    def install(*bodies):
        transport = CannedTransport(*bodies)
        monkeypatch.setattr(spoke, "requests", transport)
        # list_gateway_info sends through the controller-access module.
        monkeypatch.setattr(corvane_backend, "requests", transport)
        return transport

    Globals.reset()
    yield install
    Globals.reset()
