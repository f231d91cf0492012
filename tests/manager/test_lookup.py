"""NAT-gateway lookups: the NAT gateway now in a subnet, and the recorded list refreshed from EC2."""

import logging

import pytest

from .conftest import info_record, natgw_description

LOGGER = "tidewall.commands.natgw_eip_handover"


class TestNatGatewayOfSubnet:
    def test_first_description_returned_whole(self, Manager, world):
        found = Manager.get_natgw_id_by_subnet(world.ec2, "subnet-1", "vpc-1")
        assert found is world.ec2_natgws["subnet-1"][0]
        assert world.log == ["get_natgw_by_subnet(ec2, 'subnet-1', 'vpc-1')"]

    def test_several_found_only_the_first_counts(self, Manager, world):
        world.ec2_natgws["subnet-1"] = [natgw_description(1), natgw_description(2)]
        assert Manager.get_natgw_id_by_subnet(world.ec2, "subnet-1", "vpc-1")["NatGatewayId"] == "nat-1b"

    def test_none_found_logs_one_info_line(self, Manager, world, caplog):
        caplog.set_level(logging.INFO, logger=LOGGER)
        assert Manager.get_natgw_id_by_subnet(world.ec2, "subnet-9", "vpc-1") is None
        lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]
        assert lines == [(LOGGER, logging.INFO, "  No Natgw found in vpc-1::subnet-9")]

    def test_lookup_failure_propagates(self, Manager, world, handover, monkeypatch):
        err = RuntimeError("throttled")

        def failing(*args):
            raise err

        monkeypatch.setattr(handover, "get_natgw_by_subnet", failing)
        with pytest.raises(RuntimeError) as info:
            Manager.get_natgw_id_by_subnet(world.ec2, "subnet-1", "vpc-1")
        assert info.value is err


class TestRefreshedInfos:
    def test_records_refreshed_in_place_and_same_list_returned(self, Manager, world):
        world.resumed()
        infos = world.recorded
        ca = type("CA", (), {"vpc_id": "vpc-1"})()
        result = Manager.get_natgw_infos(world.ec2, ca)
        assert result is infos
        assert infos[2] == {
            **info_record(2),
            "nat_gw_id": "nat-2b",
            "private_ip": "10.0.2.11",
            "eip": "3.0.2.11",
        }
        assert world.log == [
            "CommandHistory.get_discovered_natgws()",
            "get_natgw_by_subnet(ec2, 'subnet-0', 'vpc-1')",
            "get_natgw_by_subnet(ec2, 'subnet-1', 'vpc-1')",
            "get_natgw_by_subnet(ec2, 'subnet-2', 'vpc-1')",
        ]

    def test_subnet_without_nat_gateway_keeps_discovered_values(self, Manager, world):
        world.resumed()
        del world.ec2_natgws["subnet-1"]
        ca = type("CA", (), {"vpc_id": "vpc-1"})()
        infos = Manager.get_natgw_infos(world.ec2, ca)
        assert infos[1] == info_record(1)
        assert infos[0]["nat_gw_id"] == "nat-0b" and infos[2]["eip"] == "3.0.2.11"

    def test_empty_list_makes_no_ec2_call(self, Manager, world):
        world.resumed(infos=[])
        ca = type("CA", (), {"vpc_id": "vpc-1"})()
        assert Manager.get_natgw_infos(world.ec2, ca) == []
        assert world.log == ["CommandHistory.get_discovered_natgws()"]

    def test_lookup_goes_through_the_class(self, Manager, world):
        seen = []

        class Sub(Manager):
            @classmethod
            def get_natgw_id_by_subnet(cls, ec2_client, subnet_id, vpc_id):
                seen.append((cls, subnet_id, vpc_id))
                return None

        world.resumed()
        ca = type("CA", (), {"vpc_id": "vpc-7"})()
        Sub.get_natgw_infos(world.ec2, ca)
        assert seen == [(Sub, "subnet-0", "vpc-7"), (Sub, "subnet-1", "vpc-7"), (Sub, "subnet-2", "vpc-7")]

    def test_bad_description_propagates_after_earlier_records_were_updated(self, Manager, world):
        world.resumed()
        world.ec2_natgws["subnet-1"] = [{"NatGatewayId": "nat-1b", "NatGatewayAddresses": []}]
        ca = type("CA", (), {"vpc_id": "vpc-1"})()
        with pytest.raises(IndexError):
            Manager.get_natgw_infos(world.ec2, ca)
        assert world.recorded[0]["nat_gw_id"] == "nat-0b"
        assert world.recorded[1]["nat_gw_id"] == "nat-1b"  # set before the address lookup failed
        assert world.recorded[1]["eip"] == "3.0.1.10"
