"""Helpers shared by the spoke module tests."""

import json
from types import SimpleNamespace

import requests

LOGGER = "tidewall.lib.spoke"
ACCOUNT = "aws-account"
VPC = "vpc-0a1b2c3d"
REGION = "us-east-1"


def nat(subnet_cidr, nat_gw_id, gateway_size="t3.small"):
    """A NAT-gateway description as the other commands hand it over (fields, not keys)."""
    return SimpleNamespace(subnet_cidr=subnet_cidr, nat_gw_id=nat_gw_id, gateway_size=gateway_size)


def actions(ctl):
    """The actions the controller received, in order."""
    return [r.action for r in ctl.requests]


class CannedTransport:
    """Stands in for the `requests` module: every request gets the next canned body."""

    def __init__(self, *bodies):
        self.bodies = list(bodies)
        self.calls = []

    def _answer(self, method, url, kwargs):
        self.calls.append((method, url, kwargs))
        body = self.bodies.pop(0)
        response = requests.Response()
        response.status_code = 200
        response._content = (body if isinstance(body, str) else json.dumps(body)).encode()
        response.headers["Content-Type"] = "application/json"
        return response

    def post(self, url, **kwargs):
        return self._answer("POST", url, kwargs)

    def get(self, url, **kwargs):
        return self._answer("GET", url, kwargs)
