// Removing spoke gateways: a classic spoke, one HS spoke, an HS primary with its HA gateways.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// Sends a changing request and logs the whole reply when the controller accepted it.
void send_and_log_accepted(const Log& log, const py::object& url, const py::dict& form) {
    py::object response = send_json(Send::Post, url, form);
    if (truthy(services().handleControllerApiFailure(response))) log_response(log, response);
}

py::object deleteSpoke(py::object CID, py::object controller_api_url, py::object spoke_gw_name) {
    Log log;
    log.info(line("- Disable HA on spoke gateway ", spoke_gw_name));
    if (!dry_run_set()) {
        py::dict form;
        form["CID"_n] = CID;
        form["action"_n] = "disable_spoke_ha"_n;
        form["gw_name"_n] = spoke_gw_name;
        send_and_log_accepted(log, controller_api_url, form);
    }
    log.info(line("- Delete existing spoke gateway ", spoke_gw_name));
    if (!dry_run_set()) {
        py::dict form;
        form["CID"_n] = CID;
        form["action"_n] = "delete_container"_n;
        form["cloud_type"_n] = 1;
        form["gw_name"_n] = spoke_gw_name;
        send_and_log_accepted(log, controller_api_url, form);
    }
    return py::none();
}

py::object deleteHsSpoke(py::object CID, py::object controller_api_url, py::object spoke_gw_name) {
    Log log;
    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "delete_multicloud_gateway"_n;
    form["gw_name"_n] = spoke_gw_name;
    if (dry_run_set()) return py::none();
    send_and_log_accepted(log, controller_api_url, form);
    return py::none();
}

py::object deleteAllHsSpokes(py::object CID, py::object controller_api_url,
                             py::object spoke_gw_name) {
    Log log;
    log.info(line("- Delete HS spoke"));

    // Read in dry-run mode too: it changes nothing.
    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "list_primary_and_ha_spoke_gateways"_n;
    py::object response = send_json(Send::Post, controller_api_url, form);
    services().handleControllerApiFailureAndExit(response);

    py::list gw_names;
    for (py::handle gw : item(response, "results")) gw_names.append(item(gw, "name"));
    log.info(line("  found spoke gateways: ", gw_names));

    // HA gateways first: every other listed name that starts with the primary's.
    log.info(line("  deleting HA on spoke gateway ", spoke_gw_name));
    bool found = false;
    for (py::handle name : gw_names) {
        py::object x = py::reinterpret_borrow<py::object>(name);
        if (differs(x, spoke_gw_name) && truthy(x.attr("startswith"_n)(spoke_gw_name))) {
            global("deleteHsSpoke")(CID, controller_api_url, x);
            found = true;
        }
    }
    if (!found) log.info(line("  no HA spoke gateway found"));

    log.info(line("  delete primary spoke gateway ", spoke_gw_name));
    global("deleteHsSpoke")(CID, controller_api_url, spoke_gw_name);
    return py::none();
}

}  // namespace

void add_deletion_operations(py::module_& m) {
    def<&deleteSpoke>(
        m, "deleteSpoke", "CID, controller_api_url, spoke_gw_name",
        "Delete a classic spoke gateway: HA off first, then the gateway. Returns None.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("spoke_gw_name"));
    def<&deleteHsSpoke>(m, "deleteHsSpoke", "CID, controller_api_url, spoke_gw_name",
                        "Delete one HS spoke gateway. Returns None.", py::arg("CID"),
                        py::arg("controller_api_url"), py::arg("spoke_gw_name"));
    def<&deleteAllHsSpokes>(
        m, "deleteAllHsSpokes", "CID, controller_api_url, spoke_gw_name",
        "Delete an HS primary spoke gateway and every listed gateway whose name starts with\n"
        "its name, those first. Returns None.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("spoke_gw_name"));
}

}  // namespace spoke
}  // namespace tidewall
