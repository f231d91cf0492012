// What is deployed: the gateway of a subnet in a VPC summary, the VPC summary listing itself, and
// the subnets of named gateways.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

Ref getSubnetWithSpokeGw(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                         PyObject* gw_names) {
    Op op(g);
    // 1.
    Ref subnets = Ref::steal(PyList_New(0));
    // 2.
    for_each(gw_names, [&](PyObject* x) {
        Ref form = record<"CID", "action", "gateway_name">({CID, "get_gateway_info"_id, x});
        Ref response = exchange(op, controller_api_url, form, kLookup);
        if (equals(item(response, "return"_id), Py_False)) {
            op.error(text(response));
            return;
        }
        Ref results = item(response, "results"_id);
        Ref subnet = record<"gw_name", "cidr">(
            {item(results, "gw_name"_id), item(results, "gw_subnet_cidr"_id)});
        check(PyList_Append(subnets, subnet));
    });
    // 3.
    return subnets;
}
constexpr auto kGetSubnetWithSpokeGw = function_def(
    "getSubnetWithSpokeGw(CID, controller_api_url, gw_names)", &getSubnetWithSpokeGw,
    "The subnet of each named gateway: a list of {'gw_name', 'cidr'} records, in the order\n"
    "of gw_names; a gateway the controller cannot describe is logged and left out.");

// The spoke info record of one VPC-summary (or HA) record.
Ref spoke_info_record(PyObject* gw) {
    return record<"gw_private_ip", "gw_name", "gw_public_ip", "gw_subnet_id", "gw_subnet_cidr">(
        {item(gw, "private_ip"_id), item(gw, "gw_name"_id), item(gw, "public_ip"_id),
         item(gw, "gw_subnet_id"_id), item(gw, "public_subnet"_id)});
}

Ref getSpokeInfo(const Scope&, PyObject* info, PyObject* subnet_cidr) {
    // 1. The primary itself.
    if (equals(item(info, "public_subnet"_id), subnet_cidr)) return spoke_info_record(info);
    // 2. No HA gateways.
    if (!contains(info, "hagw_details_list"_id)) return name_only_record(Py_None);
    // 3. The first HA gateway in the subnet.
    Ref it = iterate(item(info, "hagw_details_list"_id));
    for (Ref ha; next_item(it, ha);)
        if (equals(item(ha, "public_subnet"_id), subnet_cidr)) return spoke_info_record(ha);
    // 4. None.
    return name_only_record(Py_None);
}
constexpr auto kGetSpokeInfo = function_def(
    "getSpokeInfo(info, subnet_cidr)", &getSpokeInfo,
    "The spoke info record of the gateway that sits in subnet_cidr, out of one VPC-summary\n"
    "record (the primary itself or one of its HA gateways); {'gw_name': None} when none does.");

Ref list_gateway_info(const Scope& g, PyObject* api_endpoint_url, PyObject* CID,
                      PyObject* vpc_access_account_name, PyObject* cgx_gw_only, PyObject* gw_name,
                      PyObject* keyword_for_log) {
    Ref payload = record<"action", "CID", "account_name", "cgx_gw_only", "gateway_name">(
        {"list_vpcs_summary"_id, CID, vpc_access_account_name, cgx_gw_only, gw_name});
    return controller::send_corvane_api(g, api_endpoint_url, "GET"_id, payload, keyword_for_log,
                                        "    "_id);
}
constexpr auto kListGatewayInfo = function_def(
    "list_gateway_info(api_endpoint_url='', CID='', vpc_access_account_name='', cgx_gw_only='no', "
    "gw_name=None, keyword_for_log='cvn-migration-function---')",
    &list_gateway_info,
    "Ask the controller for the VPC summary (list_vpcs_summary) of a gateway; returns the\n"
    "HTTP response undecoded.");

}  // namespace

void add_discovery(PyObject* m) { def<kGetSpokeInfo, kListGatewayInfo, kGetSubnetWithSpokeGw>(m); }

}  // namespace spoke
}  // namespace tidewall
