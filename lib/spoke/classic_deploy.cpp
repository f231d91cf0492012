// Classic spoke deployment: one gateway in the first NAT gateway's subnet, HA in the second's,
// and the undoable command around it (controller API v1).
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// Sends a changing request whose failure ends the run, and logs its outcome.
void send_or_exit(const Log& log, const py::object& url, const py::dict& form) {
    py::object response = send_json(Send::Post, url, form);
    services().handleControllerApiFailureAndExit(response);
    log_returned(log, response);
}

py::object deployClassicSpoke(py::object CID, py::object controller_api_url,
                              py::object account_name, py::object spoke_gw_name,
                              py::object spoke_gw_size, py::object vpc, py::object region,
                              py::object natGwInfos) {
    Log log;
    py::list subnet_cidrs;
    for (py::handle nat_gw : natGwInfos) subnet_cidrs.append(nat_gw.attr("subnet_cidr"_n));
    py::object size = spoke_gw_size;
    if (size.is_none()) size = at(natGwInfos, 0).attr("gateway_size"_n);

    py::object first = at(subnet_cidrs, 0);
    log.info(line("- Deploy spoke gateway ", spoke_gw_name, " in ", first));
    if (dry_run_equals_false()) {
        py::dict form;
        form["CID"_n] = CID;
        form["action"_n] = "create_spoke_gw"_n;
        form["account_name"_n] = account_name;
        form["gw_name"_n] = spoke_gw_name;
        form["gw_size"_n] = size;
        form["public_subnet"_n] = first;
        form["vpc_id"_n] = vpc;
        form["region"_n] = region;
        form["cloud_type"_n] = 1;
        form["reuse_eip"_n] = "off"_n;
        send_or_exit(log, controller_api_url, form);
    }

    if (subnet_cidrs.size() > 1) {
        py::object second = at(subnet_cidrs, 1);
        log.info(line("- Enable HA on spoke gateway ", spoke_gw_name, " in ", second));
        if (dry_run_equals_false()) {
            py::dict form;
            form["CID"_n] = CID;
            form["action"_n] = "enable_spoke_ha"_n;
            form["account_name"_n] = account_name;
            form["gw_name"_n] = spoke_gw_name;
            form["public_subnet"_n] = second;
            send_or_exit(log, controller_api_url, form);
        }
    }
    return py::none();
}

void cmd_init(py::object self, py::object account_name, py::object spoke_gw_name,
              py::object spoke_gw_size, py::object vpc_id, py::object region,
              py::object natGwInfos) {
    set_attributes(self, {{"account_name", account_name},
                          {"spoke_gw_name", spoke_gw_name},
                          {"spoke_gw_size", spoke_gw_size},
                          {"vpc_id", vpc_id},
                          {"region", region},
                          {"natGwInfos", natGwInfos}});
}

void cmd_execute(py::object self) {
    Login login = begin_command(self, kApiV1);
    py::object deploy = global("deployClassicSpoke");
    py::list args;
    args.append(login.cid);
    args.append(login.endpoint);
    for (const char* name :
         {"account_name", "spoke_gw_name", "spoke_gw_size", "vpc_id", "region", "natGwInfos"})
        args.append(self.attr(interned(name)));
    deploy(*args);
}

void cmd_undo(py::object self) {
    Login login = begin_command(self, kApiV1);
    py::object delete_spoke = global("deleteSpoke");
    py::object name = self.attr("spoke_gw_name"_n);
    delete_spoke(login.cid, login.endpoint, name);
}

}  // namespace

void add_classic_deploy_operation(py::module_& m) {
    def<&deployClassicSpoke>(
        m, "deployClassicSpoke",
        "CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, "
        "natGwInfos",
        "Create a classic spoke gateway in the first NAT gateway's subnet and, when there is a\n"
        "second NAT gateway, enable HA in its subnet. Returns None.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("account_name"),
        py::arg("spoke_gw_name"), py::arg("spoke_gw_size"), py::arg("vpc"), py::arg("region"),
        py::arg("natGwInfos"));
}

void add_classic_deploy_command(py::module_& m) {
    py::dict ns;
    ns["__init__"_n] = def_method<&cmd_init>(
        m, "DeployClassicSpokeGwCmd", "__init__",
        "account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, region=None, "
        "natGwInfos=None",
        "A classic spoke deployment for the NAT gateways of a VPC.",
        py::arg("account_name") = py::none(), py::arg("spoke_gw_name") = py::none(),
        py::arg("spoke_gw_size") = py::none(), py::arg("vpc_id") = py::none(),
        py::arg("region") = py::none(), py::arg("natGwInfos") = py::none());
    ns["execute"_n] = def_method<&cmd_execute>(m, "DeployClassicSpokeGwCmd", "execute", "",
                                               "Deploy the classic spoke gateway.");
    ns["undo"_n] = def_method<&cmd_undo>(m, "DeployClassicSpokeGwCmd", "undo", "",
                                         "Delete the classic spoke gateway, HA first.");
    def_class(m, "DeployClassicSpokeGwCmd", bases_of("AbstractCommand"), ns,
              "Deploy a classic spoke gateway as one undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
