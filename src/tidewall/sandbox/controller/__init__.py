"""A network controller on this machine: the REST API the migration talks to, over HTTPS.

Split as a cloud service is: `server` (HTTPS, the request record, hardening, injected faults), `api` (the
actions and their parameters) and `backend` (users, sessions, accounts and gateways, and the rules and
durations of their changes). `SimulatedController` puts the three together.

Run it as a process with ``python -m tidewall.sandbox.controller --port 0 --user admin --password-env VAR``.
"""

from tidewall.sandbox.controller.api import VERSION, ControllerApi
from tidewall.sandbox.controller.backend import Account, CloudError, ControllerBackend, Gateway, Refused
from tidewall.sandbox.controller.server import RecordedRequest, SimulatedController, main

__all__ = [
    "VERSION",
    "Account",
    "CloudError",
    "ControllerApi",
    "ControllerBackend",
    "Gateway",
    "RecordedRequest",
    "Refused",
    "SimulatedController",
    "main",
]
