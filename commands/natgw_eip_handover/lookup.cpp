// NAT-gateway lookups: which NAT gateway sits in a subnet now, and the recorded NAT-gateway info
// records refreshed from EC2 (a NAT gateway whose deletion was undone has a new id and address).
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

py::object get_natgw_id_by_subnet(const ModuleScope& g, py::handle /*cls*/, py::handle ec2_client,
                                  py::handle subnet_id, py::handle vpc_id) {
    py::object logger = module_logger(g);
    py::object natgws = g("get_natgw_by_subnet")(ec2_client, subnet_id, vpc_id);
    if (length(natgws) < 1) {
        py::object info = logger.attr("info");
        info(py::str("  No Natgw found in ") + vpc_id + py::str("::") + subnet_id);
        return py::none();
    }
    return natgws[py::int_(0)];
}

py::object get_natgw_infos(const ModuleScope& g, py::handle cls, py::handle ec2_client,
                           py::handle ca) {
    py::object nat_gw_infos = framework::CommandHistory(g).get_discovered_natgws();
    for (py::handle x : nat_gw_infos) {
        py::object record = py::reinterpret_borrow<py::object>(x);
        // Python order: the method, then the record's subnet (KeyError first), then the VPC.
        py::object lookup = cls.attr("get_natgw_id_by_subnet");
        py::object subnet_id = record[py::str("subnet_id")];
        py::object vpc_id = ca.attr("vpc_id");
        py::object latest_nat = lookup(ec2_client, subnet_id, vpc_id);
        if (latest_nat.is_none()) continue;
        record[py::str("nat_gw_id")] = latest_nat[py::str("NatGatewayId")];
        record[py::str("private_ip")] =
            latest_nat[py::str("NatGatewayAddresses")][py::int_(0)][py::str("PrivateIp")];
        record[py::str("eip")] =
            latest_nat[py::str("NatGatewayAddresses")][py::int_(0)][py::str("PublicIp")];
    }
    return nat_gw_infos;
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
