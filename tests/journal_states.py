"""A valid stored state of each memento class the journal holds, for tests that build journals by hand."""

VPC = "vpc-0123456789abcdef0"


def _route(table="rtb-0000000000000000a"):
    return {"route_table_id": table, "destination_key": "DestinationCidrBlock", "destination": "0.0.0.0/0"}


SAMPLE_STATES = {
    "tidewall.lib.test.TestMemento": {
        "created_by": "TestMemento",
        "passed": True,
        "checks": [],
        "output": None,
    },
    "tidewall.lib.route_table.SnapshotRTMemento": {
        "created_by": "SnapshotRTMemento",
        "vpc_id": VPC,
        "tag": "s1",
        "version": "v2",
        "file_name": "rt_snapshot_s1.json",
        "routes": [
            {
                **_route(),
                "target_kind": "nat_gateway",
                "target_id": "nat-00000000",
                "nat_subnet_id": "subnet-00000000",
            }
        ],
    },
    "tidewall.lib.route_table.NatGwTrafficMemento": {
        "created_by": "NatGwTrafficMemento",
        "vpc_id": VPC,
        "tag": "s1",
        "source_subnet_id": "subnet-00000000",
        "source_nat_gw_id": "nat-00000000",
        "target_subnet_id": "subnet-00000001",
        "target_nat_gw_id": "nat-00000001",
        "routes": [_route()],
    },
    "tidewall.lib.natgw.NatGwDeleteMemento": {
        "created_by": "NatGwDeleteMemento",
        "vpc_id": VPC,
        "subnet_id": "subnet-00000000",
        "subnet_cidr": "10.20.0.0/24",
        "nat_gw_id": "nat-00000000",
        "private_ip": "10.20.0.10",
        "eip": "3.3.3.1",
        "allocation_id": None,
        "network_interface_ids": [],
        "routes": [_route()],
        "tags": [],
    },
    "tidewall.lib.spoke.HsSpokeCreateMemento": {"spoke_info": {"gw_name": "spoke"}},
    "tidewall.lib.spoke.SnatEnableMemento": {"spoke_gw_name": "spoke"},
    "tidewall.lib.spoke.ResizeSpokeGatewayMemento": {
        "spoke_gw_name": "spoke",
        "from_gw_size": "c5.large",
        "to_gw_size": "t3.small",
    },
}
