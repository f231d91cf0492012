"""Spoke deletion: deleteSpoke, deleteHsSpoke and deleteAllHsSpokes."""

import pytest
from spoke_support import VPC, actions

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


@pytest.fixture
def classic_with_ha(controller):
    controller.add_gateway("cls", subnet_cidr="10.0.1.0/24", vpc_id=VPC, classic=True)
    controller.add_gateway("cls-hagw", subnet_cidr="10.0.2.0/24", primary="cls", classic=True)


class TestDeleteSpoke:
    def test_ha_off_then_delete(self, spoke, controller, classic_with_ha, url, cid, log, handlers):
        assert spoke.deleteSpoke(cid, url, "cls") is None
        assert [(r.method, r.form) for r in controller.requests] == [
            ("POST", [("CID", cid), ("action", "disable_spoke_ha"), ("gw_name", "cls")]),
            ("POST", [("CID", cid), ("action", "delete_container"), ("cloud_type", "1"), ("gw_name", "cls")]),
        ]
        assert log.messages == [
            "- Disable HA on spoke gateway cls",
            "  {'return': True, 'results': 'HA disabled on gateway cls'}",
            "- Delete existing spoke gateway cls",
            "  {'return': True, 'results': 'Gateway cls has been deleted'}",
        ]
        assert [kind for kind, _ in handlers] == ["check", "check"]
        assert controller.gateways == {}

    def test_delete_is_sent_whatever_became_of_ha(self, spoke, controller, url, cid, log):
        controller.add_gateway("cls", subnet_cidr="10.0.1.0/24", vpc_id=VPC, classic=True)
        spoke.deleteSpoke(cid, url, "cls")
        assert actions(controller) == ["disable_spoke_ha", "delete_container"]
        # The refused HA request is reported by the handler only.
        assert log.messages == [
            "- Disable HA on spoke gateway cls",
            "- Delete existing spoke gateway cls",
            "  {'return': True, 'results': 'Gateway cls has been deleted'}",
        ]

    def test_dry_run_logs_both_headlines_only(
        self, spoke, controller, classic_with_ha, url, cid, log, dry_run
    ):
        spoke.deleteSpoke(cid, url, "cls")
        assert controller.requests == []
        assert log.messages == ["- Disable HA on spoke gateway cls", "- Delete existing spoke gateway cls"]


class TestDeleteHsSpoke:
    def test_deletes_and_logs_the_reply(self, spoke, controller, url, cid, log):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        assert spoke.deleteHsSpoke(cid, url, "p") is None
        assert [r.form for r in controller.requests] == [
            [("CID", cid), ("action", "delete_multicloud_gateway"), ("gw_name", "p")]
        ]
        assert log.messages == ["  {'return': True, 'results': 'Gateway p has been deleted'}"]

    def test_refusal_is_left_to_the_handler(self, spoke, controller, url, cid, log, handlers):
        spoke.deleteHsSpoke(cid, url, "missing")
        assert handlers == [("check", {"return": False, "reason": "Gateway missing does not exist"})]
        assert log.all == []

    def test_dry_run_is_silent(self, spoke, controller, url, cid, log, dry_run):
        spoke.deleteHsSpoke(cid, url, "p")
        assert controller.requests == [] and log.all == []


class TestDeleteAllHsSpokes:
    def test_ha_gateways_first_then_the_primary(self, spoke, controller, url, cid, log, handlers):
        controller.add_gateway("spoke-1", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        controller.add_gateway("spoke-2", subnet_cidr="10.0.9.0/24", vpc_id=VPC)
        controller.add_gateway("spoke-1-hagw", subnet_cidr="10.0.2.0/24", primary="spoke-1")
        assert spoke.deleteAllHsSpokes(cid, url, "spoke-1") is None
        listing, *deletes = controller.requests
        assert (listing.method, listing.form) == (
            "POST",
            [("CID", cid), ("action", "list_primary_and_ha_spoke_gateways")],
        )
        assert [r.form for r in deletes] == [
            [("CID", cid), ("action", "delete_multicloud_gateway"), ("gw_name", name)]
            for name in ("spoke-1-hagw", "spoke-1")
        ]
        assert list(controller.gateways) == ["spoke-2"]
        assert log.messages == [
            "- Delete HS spoke",
            "  found spoke gateways: ['spoke-1', 'spoke-2', 'spoke-1-hagw']",
            "  deleting HA on spoke gateway spoke-1",
            "  {'return': True, 'results': 'Gateway spoke-1-hagw has been deleted'}",
            "  delete primary spoke gateway spoke-1",
            "  {'return': True, 'results': 'Gateway spoke-1 has been deleted'}",
        ]
        assert [kind for kind, _ in handlers] == ["exit", "check", "check"]

    def test_any_longer_name_counts_as_ha_and_deletion_goes_through_the_module(
        self, spoke, monkeypatch, controller, url, cid
    ):
        controller.add_gateway("spoke-1", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        controller.add_gateway("spoke-10", subnet_cidr="10.0.2.0/24", vpc_id=VPC)
        controller.add_gateway("Spoke-1x", subnet_cidr="10.0.3.0/24", vpc_id=VPC)
        calls = []
        monkeypatch.setattr(spoke, "deleteHsSpoke", lambda *args, **kwargs: calls.append((args, kwargs)))
        spoke.deleteAllHsSpokes(cid, url, "spoke-1")
        assert calls == [((cid, url, "spoke-10"), {}), ((cid, url, "spoke-1"), {})]

    def test_empty_listing_still_deletes_the_primary(self, spoke, controller, url, cid, log):
        spoke.deleteAllHsSpokes(cid, url, "spoke-1")
        assert actions(controller) == ["list_primary_and_ha_spoke_gateways", "delete_multicloud_gateway"]
        assert log.messages == [
            "- Delete HS spoke",
            "  found spoke gateways: []",
            "  deleting HA on spoke gateway spoke-1",
            "  no HA spoke gateway found",
            "  delete primary spoke gateway spoke-1",
        ]

    def test_failed_ha_deletion_does_not_stop_the_others(self, spoke, controller, url, cid):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        controller.add_gateway("p-a", subnet_cidr="10.0.2.0/24", primary="p")
        controller.add_gateway("p-b", subnet_cidr="10.0.3.0/24", primary="p")
        controller.fail_next("delete_multicloud_gateway", "busy")
        spoke.deleteAllHsSpokes(cid, url, "p")
        assert [r.fields.get("gw_name") for r in controller.requests] == [None, "p-a", "p-b", "p"]
        assert list(controller.gateways) == ["p", "p-a"]

    def test_failed_listing_ends_the_run_before_any_deletion(self, spoke, controller, url, cid):
        controller.fail_next("list_primary_and_ha_spoke_gateways", "down")
        with pytest.raises(SystemExit):
            spoke.deleteAllHsSpokes(cid, url, "p")
        assert actions(controller) == ["list_primary_and_ha_spoke_gateways"]

    def test_dry_run_lists_and_logs_but_deletes_nothing(self, spoke, controller, url, cid, log, dry_run):
        controller.add_gateway("p", subnet_cidr="10.0.1.0/24", vpc_id=VPC)
        spoke.deleteAllHsSpokes(cid, url, "p")
        assert actions(controller) == ["list_primary_and_ha_spoke_gateways"]
        assert log.messages == [
            "- Delete HS spoke",
            "  found spoke gateways: ['p']",
            "  deleting HA on spoke gateway p",
            "  no HA spoke gateway found",
            "  delete primary spoke gateway p",
        ]
        assert list(controller.gateways) == ["p"]
