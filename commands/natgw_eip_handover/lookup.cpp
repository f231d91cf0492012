// NAT-gateway lookups: which NAT gateway sits in a subnet now, and the recorded NAT-gateway info
// records refreshed from EC2 (a NAT gateway whose deletion was undone has a new id and address).
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

Ref get_natgw_id_by_subnet(const Scope& g, PyObject*, PyObject* ec2_client, PyObject* subnet_id,
                           PyObject* vpc_id) {
    Ref logger = module_logger(g);
    Ref natgws = call(g["get_natgw_by_subnet"_id], ec2_client, subnet_id, vpc_id);
    if (length(natgws) < 1) {
        Ref info = attr(logger, "info"_id);
        call(info, add(add(add("  No Natgw found in "_id, vpc_id), "::"_id), subnet_id));
        return none();
    }
    return at(natgws, 0);
}

Ref get_natgw_infos(const Scope& g, PyObject* cls, PyObject* ec2_client, PyObject* ca) {
    Ref nat_gw_infos = framework::CommandHistory(g).get_discovered_natgws();
    for_each(nat_gw_infos, [&](PyObject* record) {
        // Python order: the method, then the record's subnet (KeyError first), then the VPC.
        Ref lookup = attr(cls, "get_natgw_id_by_subnet"_id);
        Ref subnet_id = item(record, "subnet_id"_id);
        Ref vpc_id = attr(ca, "vpc_id"_id);
        Ref latest_nat = call(lookup, ec2_client, subnet_id, vpc_id);
        if (latest_nat.is_none()) return;
        set_item(record, "nat_gw_id"_id, item(latest_nat, "NatGatewayId"_id));
        set_item(record, "private_ip"_id,
                 item(at(item(latest_nat, "NatGatewayAddresses"_id), 0), "PrivateIp"_id));
        set_item(record, "eip"_id,
                 item(at(item(latest_nat, "NatGatewayAddresses"_id), 0), "PublicIp"_id));
    });
    return nat_gw_infos;
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
