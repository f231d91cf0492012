"""Cases a real AWS account brings, on the simulated AWS and controller: a failure right after a NAT gateway
was deleted (the deletion happened, the caller saw an error), NAT gateways a migration must leave alone, and
a NAT gateway with a secondary Elastic IP that AWS lists first."""

from types import SimpleNamespace

import botocore.client
import pytest
from handover_support import NATGW_DELETE, ZONE_MBPS, seed_metrics

import moto_as_aws
from tidewall.core.ConfigAdaptor import ConfigAdaptor
from tidewall.plan import build_plan, plan_to_json, render_plan
from tidewall.status import read_live, read_status

pytestmark = [
    pytest.mark.slow,
    pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning"),
]


class LostReply(ConnectionError):
    """The connection broke after AWS had done what was asked."""


def fail_after_delete(monkeypatch, nth):
    """The `nth` DeleteNatGateway (from 0) is made by AWS, then its caller sees a lost connection."""
    original = botocore.client.BaseClient._make_api_call
    seen = {"deletes": 0}

    def make_api_call(self, operation_name, api_params):
        reply = original(self, operation_name, api_params)
        if operation_name == "DeleteNatGateway":
            seen["deletes"] += 1
            if seen["deletes"] == nth + 1:
                raise LostReply(f"lost the reply to DeleteNatGateway {api_params['NatGatewayId']}")
        return reply

    monkeypatch.setattr(botocore.client.BaseClient, "_make_api_call", make_api_call)


@pytest.mark.parametrize("nth", [0, 1, 2])
@pytest.mark.parametrize("then", ["revert", "execute"])
def test_a_failure_right_after_a_deletion_leaves_a_journal_that_revert_and_execute_finish(
    vpc, monkeypatch, nth, then
):
    with monkeypatch.context() as patch:
        fail_after_delete(patch, nth)
        with pytest.raises(LostReply):
            vpc.run()
    natgw = vpc.zones[nth].nat_gateway_id
    assert vpc.egress().natgw(vpc.zones[nth].public_subnet_id) is None  # it was deleted
    # Its undo was on record before the deletion: the journal names it as the change in progress.
    assert f'"nat_gw_id": "{natgw}"' in vpc.s3_text()

    assert vpc.run(then) == 0
    if then == "revert":
        vpc.assert_reverted()  # every NAT gateway back with its EIP, no zone without one
        assert vpc.journal() == []
    else:
        vpc.assert_replaced({0, 1, 2})
        assert [name for name, _ in vpc.journal()].count(NATGW_DELETE) == 3
        assert vpc.run("revert") == 0
        vpc.assert_reverted()


def test_nat_gateways_to_leave_alone_are_left_alone(vpc):
    ec2 = vpc.aws.client("ec2")
    zone = vpc.zones[0]
    private = ec2.create_nat_gateway(SubnetId=zone.private_subnet_id, ConnectivityType="private")
    private_id = private["NatGateway"]["NatGatewayId"]
    table = vpc.zones[1].private_route_table_id
    ec2.create_route(RouteTableId=table, DestinationCidrBlock="192.168.0.0/16", NatGatewayId=private_id)

    def private_route():
        routes = ec2.describe_route_tables(RouteTableIds=[table])["RouteTables"][0]["Routes"]
        return [r.get("NatGatewayId") for r in routes if r.get("DestinationCidrBlock") == "192.168.0.0/16"]

    def private_state():
        return ec2.describe_nat_gateways(NatGatewayIds=[private_id])["NatGateways"][0]["State"]

    assert vpc.run() == 0
    vpc.assert_replaced({0, 1, 2})
    assert (private_state(), private_route()) == ("available", [private_id])
    assert len(vpc.discovered()) == 3
    assert any(f"Leaving NAT gateway {private_id} alone" in m for m in vpc.messages())

    assert vpc.run("revert") == 0
    vpc.assert_reverted()
    assert (private_state(), private_route()) == ("available", [private_id])


def test_the_primary_eip_is_handed_over_and_revert_brings_back_both(seed):
    vpc = seed()
    ec2 = vpc.aws.client("ec2")
    zone = vpc.zones[1]
    ec2.delete_nat_gateway(NatGatewayId=zone.nat_gateway_id)
    secondary = ec2.allocate_address(Domain="vpc")
    natgw = ec2.create_nat_gateway(
        SubnetId=zone.public_subnet_id,
        AllocationId=zone.allocation_id,
        SecondaryAllocationIds=[secondary["AllocationId"]],
    )["NatGateway"]
    primary_private_ip = natgw["NatGatewayAddresses"][0]["PrivateIp"]
    moto_as_aws.nat_gateway(natgw["NatGatewayId"]).address_set.reverse()  # AWS lists no order
    ec2.replace_route(
        RouteTableId=zone.private_route_table_id,
        DestinationCidrBlock="0.0.0.0/0",
        NatGatewayId=natgw["NatGatewayId"],
    )
    zone.nat_gateway_id = natgw["NatGatewayId"]
    seed_metrics(vpc.aws, SimpleNamespace(zones=[zone]), mbps=ZONE_MBPS[1:2])

    # The plan names the address that stops carrying traffic: the spoke takes only the primary.
    plan = build_plan(ConfigAdaptor(dict(vpc.config)))
    assert [n["secondary_eips"] for n in plan_to_json(plan)["natgws"]] == [[], [secondary["PublicIp"]], []]
    assert (
        f"secondary EIPs {secondary['PublicIp']}: the spoke takes over the primary EIP only"
        in render_plan(plan)
    )
    # Where zone 1 leaves now: its primary, then the secondary one.
    [now] = [
        t["now"]
        for t in plan_to_json(plan)["route_tables"]
        if t["route_table_id"] == zone.private_route_table_id
    ]
    assert (now["egress_ip"], now["secondary_egress_ips"]) == (zone.eip, [secondary["PublicIp"]])
    assert f"({zone.eip}, secondary {secondary['PublicIp']})" in render_plan(plan)

    assert vpc.run() == 0
    vpc.assert_replaced({0, 1, 2})  # the spoke of zone 1 holds the primary EIP
    assert vpc.discovered()[1]["eip"] == zone.eip
    secondary_now = ec2.describe_addresses(AllocationIds=[secondary["AllocationId"]])["Addresses"][0]
    assert not secondary_now.get("AssociationId")  # kept allocated, carrying no traffic

    assert vpc.run("revert") == 0
    vpc.assert_reverted()
    back = vpc.egress().natgw(zone.public_subnet_id)[0]
    addresses = ec2.describe_nat_gateways(NatGatewayIds=[back])["NatGateways"][0]["NatGatewayAddresses"]
    assert sorted((a["AllocationId"], a.get("IsPrimary")) for a in addresses) == sorted(
        [(zone.allocation_id, True), (secondary["AllocationId"], False)]
    )
    assert [a["PrivateIp"] for a in addresses if a.get("IsPrimary")] == [primary_private_ip]

    # status shows the recreated NAT gateway's primary first, however AWS lists them.
    moto_as_aws.nat_gateway(back).address_set.reverse()
    ca = ConfigAdaptor(dict(vpc.config))
    live = read_live(ca, read_status(ca))
    assert [(n["eip"], n["secondary_eips"]) for n in live.natgws[1]] == [(zone.eip, [secondary["PublicIp"]])]
