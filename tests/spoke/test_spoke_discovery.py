"""Discovery: the gateway of a subnet, the VPC summary listing, the subnets of named gateways."""

import pytest
import requests
from spoke_support import VPC

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


def summary(name, subnet, ha=None, **extra):
    record = {
        "gw_name": name,
        "public_subnet": subnet,
        "private_ip": f"{name}-private",
        "public_ip": f"{name}-public",
        "gw_subnet_id": f"{name}-subnet",
        **extra,
    }
    if ha is not None:
        record["hagw_details_list"] = ha
    return record


def info_of(name, subnet):
    return {
        "gw_private_ip": f"{name}-private",
        "gw_name": name,
        "gw_public_ip": f"{name}-public",
        "gw_subnet_id": f"{name}-subnet",
        "gw_subnet_cidr": subnet,
    }


class TestGetSpokeInfo:
    def test_primary_in_the_subnet_wins_over_an_ha_record_in_the_same_subnet(self, spoke):
        record = summary("p", "10.0.1.0/24", ha=[summary("p-hagw", "10.0.1.0/24")], vpc_id=VPC)
        result = spoke.getSpokeInfo(record, "10.0.1.0/24")
        assert list(result.items()) == list(info_of("p", "10.0.1.0/24").items())

    def test_first_ha_record_in_the_subnet(self, spoke):
        ha = [summary("a", "10.0.2.0/24"), summary("b", "10.0.3.0/24"), summary("c", "10.0.3.0/24")]
        assert spoke.getSpokeInfo(summary("p", "10.0.1.0/24", ha=ha), "10.0.3.0/24") == info_of(
            "b", "10.0.3.0/24"
        )

    @pytest.mark.parametrize(
        "ha", [None, [], [{"public_subnet": "10.0.9.0/24"}]], ids=["no-list", "empty", "other"]
    )
    def test_no_gateway_in_the_subnet(self, spoke, ha):
        assert spoke.getSpokeInfo(summary("p", "10.0.1.0/24", ha=ha), "10.0.2.0/24") == {"gw_name": None}

    def test_cidr_is_copied_from_the_record(self, spoke):
        assert (
            spoke.getSpokeInfo(summary("p", "10.0.1.0/24"), "10.0.1.0/24")["gw_subnet_cidr"] == "10.0.1.0/24"
        )

    @pytest.mark.parametrize(
        ("record", "subnet", "error"),
        [
            ({"gw_name": "p"}, "10.0.1.0/24", KeyError("public_subnet")),
            (
                {k: v for k, v in summary("p", "10.0.1.0/24").items() if k != "public_ip"},
                "10.0.1.0/24",
                KeyError("public_ip"),
            ),
            (
                summary("p", "10.0.1.0/24") | {"hagw_details_list": None},
                "10.0.2.0/24",
                TypeError("'NoneType' object is not iterable"),
            ),
            (None, "10.0.1.0/24", TypeError("'NoneType' object is not subscriptable")),
        ],
        ids=["no-public_subnet", "no-public_ip", "ha-list-none", "none"],
    )
    def test_malformed_record_raises_what_python_raises(self, spoke, record, subnet, error):
        with pytest.raises(type(error)) as caught:
            spoke.getSpokeInfo(record, subnet)
        assert str(caught.value) == str(error)


class TestListGatewayInfo:
    def test_defaults_reach_the_sender_by_name(self, spoke, monkeypatch):
        calls = []
        marker = object()

        def sender(**kwargs):
            calls.append(kwargs)
            return marker

        monkeypatch.setattr(spoke, "_send_corvane_api", sender)
        assert spoke.list_gateway_info() is marker
        (kwargs,) = calls
        assert list(kwargs) == ["api_endpoint_url", "request_method", "payload", "keyword_for_log", "indent"]
        assert kwargs["api_endpoint_url"] == ""
        assert kwargs["request_method"] == "GET"
        assert kwargs["keyword_for_log"] == "cvn-migration-function---"
        assert kwargs["indent"] == "    "
        assert list(kwargs["payload"].items()) == [
            ("action", "list_vpcs_summary"),
            ("CID", ""),
            ("account_name", ""),
            ("cgx_gw_only", "no"),
            ("gateway_name", None),
        ]

    def test_returns_the_undecoded_response_of_a_get(self, spoke, controller, url, cid, log):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        response = spoke.list_gateway_info(url, cid, "", "no", "p")
        assert isinstance(response, requests.Response)
        assert response.json()["results"][0]["gw_name"] == "p"
        (request,) = controller.requests
        assert (request.method, request.path, request.form) == ("GET", "/v2/api", [])
        assert request.query == [
            ("action", "list_vpcs_summary"),
            ("CID", cid),
            ("account_name", ""),
            ("cgx_gw_only", "no"),
            ("gateway_name", "p"),
        ]
        assert log.all == []


class TestGetSubnetWithSpokeGw:
    def test_no_names_no_request(self, spoke, controller, url, cid):
        assert spoke.getSubnetWithSpokeGw(cid, url, []) == []
        assert controller.requests == []

    def test_failed_lookup_is_logged_and_skipped(self, spoke, controller, url, cid, log, dry_run):
        controller.add_gateway("a", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        controller.add_gateway("c", subnet_cidr="10.0.3.0/24", vpc_id=VPC)
        result = spoke.getSubnetWithSpokeGw(cid, url, ("a", "b", "c"))
        assert [list(r.items()) for r in result] == [
            [("gw_name", "a"), ("cidr", "10.0.1.0/24")],
            [("gw_name", "c"), ("cidr", "10.0.3.0/24")],
        ]
        assert log.all == [("ERROR", str({"return": False, "reason": "Gateway b does not exist"}))]
        # Read-only: sent in dry-run mode too, as GET with the fields in the body.
        assert [(r.method, r.query, r.form) for r in controller.requests] == [
            ("GET", [], [("CID", cid), ("action", "get_gateway_info"), ("gateway_name", name)])
            for name in "abc"
        ]
