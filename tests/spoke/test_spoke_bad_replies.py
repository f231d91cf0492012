"""Controller replies the module cannot use: the caller gets the exception Python code would raise.

The module's HTTP client is replaced by canned answers, so every malformed shape can be served.
"""

import json

import pytest
import requests
from spoke_support import nat

URL = "https://ctl.example/v2/api"
OK = {"return": True, "results": "done"}


def decoded(body):
    response = requests.Response()
    response._content = body.encode()
    return response.json()


def python_error(expression):
    """The exception the equivalent Python expression raises."""
    try:
        expression()
    except Exception as exc:  # noqa: BLE001 - the exception itself is the result
        return exc
    raise AssertionError("the reference expression did not fail")


def item(container, key):
    return container[key]


def listing(*names):
    return {"return": True, "results": [{"name": n} for n in names]}


CASES = [
    pytest.param(
        lambda s: s.enableSNAT("gw", URL, "cid"),
        ["<html>bad gateway</html>"],
        lambda: decoded("<html>bad gateway</html>"),
        id="not-json",
    ),
    pytest.param(
        lambda s: s.enableSNAT("gw", URL, "cid"),
        [{"return": True}],
        lambda: {"return": True}["results"],
        id="no-results",
    ),
    pytest.param(
        lambda s: s.getSubnetWithSpokeGw("cid", URL, ["gw"]),
        [{"results": {"gw_name": "gw", "gw_subnet_cidr": "c"}}],
        lambda: {}["return"],
        id="no-return",
    ),
    pytest.param(
        lambda s: s.getSubnetWithSpokeGw("cid", URL, ["gw"]),
        ["null"],
        lambda: item(None, "return"),
        id="null-reply",
    ),
    pytest.param(
        lambda s: s.getSubnetWithSpokeGw("cid", URL, ["gw"]),
        [{"return": True, "results": "gw"}],
        lambda: item("gw", "gw_name"),
        id="results-text",
    ),
    pytest.param(
        lambda s: s.changeSpokeSize("cid", URL, "gw", "t3.large"),
        [{"return": True, "results": ["t3.small"]}],
        lambda: item(["t3.small"], "vpc_size"),
        id="results-list",
    ),
    pytest.param(
        lambda s: s.changeSpokeSize("cid", URL, "gw", "t3.large"),
        [{"return": True, "results": {}}],
        lambda: {}["vpc_size"],
        id="no-vpc_size",
    ),
    pytest.param(
        lambda s: s.deleteAllHsSpokes("cid", URL, "gw"),
        [{"return": True, "results": [{"nom": "gw"}]}],
        lambda: {"nom": "gw"}["name"],
        id="listing-without-name",
    ),
    pytest.param(
        lambda s: s.deleteAllHsSpokes("cid", URL, "gw"),
        [listing(5)],
        lambda: (5).startswith("gw"),
        id="listing-name-not-text",
    ),
    pytest.param(
        lambda s: s.deleteAllHsSpokes("cid", URL, "gw"),
        [{"return": True, "results": 7}],
        lambda: iter(7),
        id="listing-not-a-list",
    ),
    pytest.param(
        lambda s: s.deployHsSpoke("cid", URL, "acct", None, None, "vpc", "r", [nat("10.0.1.0/24", "n")], 1),
        [listing("gw")],
        lambda: "gw".startswith(None),
        id="name-none",
    ),
    pytest.param(
        lambda s: s.deployPrimaryHsSpoke("cid", URL, "acct", "gw", "t3.small", "vpc", "r", "10.0.1.0/24"),
        [OK, {"return": True, "results": []}],
        lambda: [][0],
        id="created-but-not-listed",
    ),
    pytest.param(
        lambda s: s.deployHaHsSpoke("cid", URL, "gw", "t3.small", "10.0.2.0/24"),
        [OK],
        lambda: OK["ha_gw_name"],
        id="ha-name-missing",
    ),
]


@pytest.mark.parametrize(("call", "bodies", "reference"), CASES)
def test_malformed_reply_raises_what_python_raises(spoke, canned, call, bodies, reference):
    canned(*[b if isinstance(b, str) else json.dumps(b) for b in bodies])
    expected = python_error(reference)
    with pytest.raises(type(expected)) as caught:
        call(spoke)
    assert type(caught.value) is type(expected)
    assert str(caught.value) == str(expected)


def test_reply_that_is_not_a_record_ends_the_run_through_the_handler(spoke, canned):
    canned("[]")
    with pytest.raises(SystemExit) as caught:
        spoke.deployClassicSpoke("cid", URL, "acct", "gw", None, "vpc", "r", [nat("10.0.1.0/24", "n")])
    assert caught.value.code == 1


def test_transport_error_passes_through_unchanged(spoke, monkeypatch):
    error = requests.ConnectionError("controller unreachable")

    class Down:
        def post(self, *args, **kwargs):
            raise error

    monkeypatch.setattr(spoke, "requests", Down())
    with pytest.raises(requests.ConnectionError) as caught:
        spoke.disable_snat("cid", URL, "gw")
    assert caught.value is error


@pytest.mark.parametrize(
    ("call", "method", "kwargs"),
    [
        (
            lambda s: s.disable_snat("cid", URL, "gw"),
            "POST",
            {"data": {"CID": "cid", "action": "disable_snat", "gateway_name": "gw"}, "verify": False},
        ),
        (
            lambda s: s.getSubnetWithSpokeGw("cid", URL, ["gw"]),
            "GET",
            {"data": {"CID": "cid", "action": "get_gateway_info", "gateway_name": "gw"}, "verify": False},
        ),
        (
            lambda s: s.changeSpokeSize("cid", URL, "gw", "t3.small"),
            "GET",
            {"params": {"CID": "cid", "action": "get_gateway_info", "gateway_name": "gw"}, "verify": False},
        ),
    ],
    ids=["post-form", "get-form", "get-query"],
)
def test_requests_switch_verification_off_and_set_no_timeout(spoke, canned, call, method, kwargs):
    transport = canned(
        json.dumps(
            {"return": True, "results": {"gw_name": "gw", "gw_subnet_cidr": "c", "vpc_size": "t3.small"}}
        )
    )
    call(spoke)
    assert transport.calls == [(method, URL, kwargs)]
