// What is deployed: the gateway of a subnet in a VPC summary, the VPC summary listing itself, and
// the subnets of named gateways.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// The spoke info record of one VPC-summary (or HA) record.
py::dict spoke_info_record(const py::object& gw) {
    py::dict record;
    record["gw_private_ip"_n] = item(gw, "private_ip");
    record["gw_name"_n] = item(gw, "gw_name");
    record["gw_public_ip"_n] = item(gw, "public_ip");
    record["gw_subnet_id"_n] = item(gw, "gw_subnet_id");
    record["gw_subnet_cidr"_n] = item(gw, "public_subnet");
    return record;
}

py::object getSpokeInfo(py::object info, py::object subnet_cidr) {
    if (equals(item(info, "public_subnet"), subnet_cidr)) return spoke_info_record(info);
    if (!has_key(info, "hagw_details_list")) return name_only_record(py::none());
    for (py::handle ha : item(info, "hagw_details_list")) {
        py::object record = py::reinterpret_borrow<py::object>(ha);
        if (equals(item(record, "public_subnet"), subnet_cidr)) return spoke_info_record(record);
    }
    return name_only_record(py::none());
}

py::object list_gateway_info(py::object api_endpoint_url, py::object CID,
                             py::object vpc_access_account_name, py::object cgx_gw_only,
                             py::object gw_name, py::object keyword_for_log) {
    py::dict payload;
    payload["action"_n] = "list_vpcs_summary"_n;
    payload["CID"_n] = CID;
    payload["account_name"_n] = vpc_access_account_name;
    payload["cgx_gw_only"_n] = cgx_gw_only;
    payload["gateway_name"_n] = gw_name;
    return services().send_corvane_api(api_endpoint_url, "GET"_n, payload, keyword_for_log,
                                       "    "_n);
}

py::object getSubnetWithSpokeGw(py::object CID, py::object controller_api_url,
                                py::object gw_names) {
    Log log;
    py::list subnets;
    for (py::handle name : gw_names) {
        py::dict form;
        form["CID"_n] = CID;
        form["action"_n] = "get_gateway_info"_n;
        form["gateway_name"_n] = name;
        py::object response = send_json(Send::GetForm, controller_api_url, form);
        if (equals(item(response, "return"), Py_False)) {
            log.error(line(response));
            continue;
        }
        py::object results = item(response, "results");
        py::dict record;
        record["gw_name"_n] = item(results, "gw_name");
        record["cidr"_n] = item(results, "gw_subnet_cidr");
        subnets.append(record);
    }
    return subnets;
}

}  // namespace

void add_discovery_operations(py::module_& m) {
    def<&getSpokeInfo>(
        m, "getSpokeInfo", "info, subnet_cidr",
        "The spoke info record of the gateway that sits in subnet_cidr, out of one VPC-summary\n"
        "record (the primary itself or one of its HA gateways); {'gw_name': None} when none does.",
        py::arg("info"), py::arg("subnet_cidr"));
    def<&list_gateway_info>(
        m, "list_gateway_info",
        "api_endpoint_url='', CID='', vpc_access_account_name='', cgx_gw_only='no', "
        "gw_name=None, keyword_for_log='cvn-migration-function---'",
        "Ask the controller for the VPC summary (list_vpcs_summary) of a gateway; returns the\n"
        "HTTP response undecoded.",
        py::arg("api_endpoint_url") = "", py::arg("CID") = "",
        py::arg("vpc_access_account_name") = "", py::arg("cgx_gw_only") = "no",
        py::arg("gw_name") = py::none(), py::arg("keyword_for_log") = "cvn-migration-function---");
    def<&getSubnetWithSpokeGw>(
        m, "getSubnetWithSpokeGw", "CID, controller_api_url, gw_names",
        "The subnet of each named gateway: a list of {'gw_name', 'cidr'} records, in the order\n"
        "of gw_names; a gateway the controller cannot describe is logged and left out.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("gw_names"));
}

}  // namespace spoke
}  // namespace tidewall
