"""The egress keeper's choices: where a route goes, from what the journal and one look at AWS show."""

import pytest

from tidewall.lib.egress import Keeper, Spoke, World, homes

NAT_DELETE = "tidewall.lib.natgw.NatGwDeleteMemento"
TRAFFIC_MOVE = "tidewall.lib.route_table.NatGwTrafficMemento"
SNAT = "tidewall.lib.spoke.SnatEnableMemento"
INFOS = [
    {"subnet_id": "subnet-a", "eip": "1.0.0.0", "nat_gw_id": "nat-a", "size": "c5.xlarge"},
    {"subnet_id": "subnet-b", "eip": "1.0.0.1", "nat_gw_id": "nat-b", "size": "t3.small"},
    {"subnet_id": "subnet-c", "eip": "1.0.0.2", "nat_gw_id": "nat-c", "size": "c5.large"},
]


def route(table, target, destination="0.0.0.0/0"):
    return {"route_table_id": table, "destination_key": "DestinationCidrBlock", "destination": destination}


def spoke(index, state="running", check=False):
    return Spoke(index, INFOS[index]["eip"], f"i-{index}", f"eni-{index}", state, check)


def world(spokes, snat=True, deleted=("nat-a", "nat-b")):
    w = World.__new__(World)
    w.infos, w.snat_on, w.deleted = INFOS, snat, set(deleted)
    w.spokes = {s.index: s for s in spokes}
    return w


def test_a_routes_home_is_the_nat_gateway_it_pointed_at_before_the_migration():
    journal = [
        (TRAFFIC_MOVE, False, {"source_subnet_id": "subnet-a", "routes": [route("rtb-a", "nat-a")]}),
        (NAT_DELETE, False, {"subnet_id": "subnet-a", "routes": []}),
        (NAT_DELETE, True, {"subnet_id": "subnet-b", "routes": [route("rtb-a", "x"), route("rtb-b", "x")]}),
    ]
    intent = (NAT_DELETE, True, {"subnet_id": "subnet-c", "routes": [route("rtb-c", "x", "10.9.0.0/16")]})
    found = homes(INFOS, journal, intent)
    assert found == {
        ("rtb-a", "DestinationCidrBlock", "0.0.0.0/0"): 0,  # moved to NAT gateway b first: still a's
        ("rtb-b", "DestinationCidrBlock", "0.0.0.0/0"): 1,
        ("rtb-c", "DestinationCidrBlock", "10.9.0.0/16"): 2,
    }


P, HB, HC = spoke(0), spoke(1), spoke(2)


@pytest.mark.parametrize(
    "spokes, snat, now, home, expected",
    [
        # A NAT gateway that is still there keeps its routes; one that is gone has them parked.
        ([P], True, {"NatGatewayId": "nat-c"}, 2, None),
        ([P], True, {"NatGatewayId": "nat-b"}, 1, 0),
        ([P, HB], True, {"NatGatewayId": "nat-b"}, 1, 1),
        # Away from home: home once the home spoke serves, not before.
        ([P], True, {"NetworkInterfaceId": "eni-0"}, 1, None),
        ([P, HB], True, {"NetworkInterfaceId": "eni-0"}, 1, 1),
        ([P, spoke(1, state="pending")], True, {"NetworkInterfaceId": "eni-0"}, 1, None),
        ([P, spoke(1, check=True)], True, {"NetworkInterfaceId": "eni-0"}, 1, None),
        ([P, HB], True, {"InstanceId": "i-1"}, 1, None),
        # The primary stopped (its resize): its routes go to the HA spoke with the most headroom.
        ([spoke(0, state="stopped"), HB, HC], True, {"NetworkInterfaceId": "eni-0"}, 0, 2),
        # A spoke that is gone: its route goes where a route of its home can.
        ([P], True, {"InstanceId": "i-gone"}, 1, 0),
        # Without SNAT at the primary no spoke serves: nothing to go to.
        ([P, HB], False, {"NatGatewayId": "nat-b"}, 1, None),
        # Targets no step of the migration sets are left alone.
        ([P], True, {"GatewayId": "igw-1"}, 0, None),
    ],
)
def test_where_a_route_goes(spokes, snat, now, home, expected):
    target, _why = Keeper._settled_target(world(spokes, snat), now, home)
    assert (target.index if target is not None else None) == expected
