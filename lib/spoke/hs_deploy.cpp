// HS spoke deployment: a primary gateway, an HA gateway, the re-runnable driver that gives every
// NAT gateway's subnet one gateway, and the undoable command around the driver.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// The decoded VPC summary of one gateway, as list_gateway_info gives it.
py::object listed(const py::object& CID, const py::object& url, const py::object& gw_name) {
    py::object list_gateway_info = global("list_gateway_info");
    return call(list_gateway_info, {},
                {{"api_endpoint_url", url},
                 {"CID", CID},
                 {"vpc_access_account_name", ""_n},
                 {"cgx_gw_only", "no"_n},
                 {"gw_name", gw_name}})
        .attr("json"_n)();
}

// The gateway in the subnet, out of the first record of a listing.
py::object spoke_in_subnet(const py::object& listing, const py::object& subnet_cidr) {
    py::object get_spoke_info = global("getSpokeInfo");
    return get_spoke_info(at(item(listing, "results"), 0), subnet_cidr);
}

// After a creation the controller accepted: the new gateway's record.
py::object created_gateway(const py::object& CID, const py::object& url, const py::object& gw_name,
                           const py::object& subnet_cidr) {
    return spoke_in_subnet(listed(CID, url, gw_name), subnet_cidr);
}

// When the gateway may or may not exist: its record if the controller lists it, otherwise the
// name-only record for `missing_name`. An empty listing counts as "not found".
py::object gateway_if_listed(const py::object& CID, const py::object& url,
                             const py::object& gw_name, const py::object& subnet_cidr,
                             const py::object& missing_name) {
    py::object listing = listed(CID, url, gw_name);
    if (equals(item(listing, "return"), Py_True) && truthy(item(listing, "results")))
        return spoke_in_subnet(listing, subnet_cidr);
    return name_only_record(missing_name);
}

// Sends a creation request; the reply, after the failure handler has seen it and it is logged.
py::object create(const Log& log, const py::object& url, const py::dict& form) {
    py::object response = send_json(Send::Post, url, form);
    services().handleControllerApiFailure(response);
    log_returned(log, response);
    return response;
}

bool accepted(const py::object& response) { return equals(item(response, "return"), Py_True); }

py::object deployPrimaryHsSpoke(py::object CID, py::object controller_api_url,
                                py::object account_name, py::object spoke_gw_name,
                                py::object gw_size, py::object vpc, py::object region,
                                py::object subnet_cidr, py::object eip, py::object tag) {
    Log log;
    log.info(line("- Deploy primary spoke ", spoke_gw_name, " with ", gw_size, " in subnet ",
                  subnet_cidr));
    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "create_multicloud_primary_gateway"_n;
    form["cloud_type"_n] = 1;
    form["account_name"_n] = account_name;
    form["vpc_id"_n] = vpc;
    form["vpc_region"_n] = region;
    form["gw_name"_n] = spoke_gw_name;
    form["gw_size"_n] = gw_size;
    form["gw_subnet"_n] = subnet_cidr;
    if (!eip.is_none()) form["eip"_n] = eip;
    if (!tag.is_none()) form["tag"_n] = tag;

    if (!dry_run_equals_false())
        return gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr,
                                 spoke_gw_name);
    py::object response = create(log, controller_api_url, form);
    if (accepted(response))
        return created_gateway(CID, controller_api_url, spoke_gw_name, subnet_cidr);
    // It may still exist from an earlier run.
    return gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr, py::none());
}

py::object deployHaHsSpoke(py::object CID, py::object controller_api_url, py::object spoke_gw_name,
                           py::object gw_size, py::object subnet_cidr, py::object eip,
                           py::object ha_gw_name, py::object tag) {
    Log log;
    log.info(line("- Deploy HS Spoke with ", gw_size, " in subnet ", subnet_cidr));
    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "create_multicloud_ha_gateway"_n;
    form["cloud_type"_n] = 1;
    form["primary_gw_name"_n] = spoke_gw_name;
    form["gw_size"_n] = gw_size;
    form["gw_subnet"_n] = subnet_cidr;
    form["autogen_hagw_name"_n] = "yes"_n;
    if (!eip.is_none()) form["eip"_n] = eip;
    if (!tag.is_none()) form["tag"_n] = tag;
    if (!ha_gw_name.is_none()) form["ha_gw_name"_n] = ha_gw_name;

    if (!dry_run_equals_false()) return name_only_record(ha_gw_name);
    py::object response = create(log, controller_api_url, form);
    if (accepted(response))
        return created_gateway(CID, controller_api_url, item(response, "ha_gw_name"), subnet_cidr);
    // No HA name at hand: the primary's summary lists its HA gateways too.
    return gateway_if_listed(CID, controller_api_url, spoke_gw_name, subnet_cidr, py::none());
}

// Every existing gateway record in the subnet, in listing order (each record's `cidr` is read
// and compared, also after a first match).
py::list served_by(const py::object& existing_gw_cidrs, const py::object& cidr) {
    py::list served;
    for (py::handle record : existing_gw_cidrs)
        if (equals(item(record, "cidr"), cidr)) served.append(record);
    return served;
}

// Logs the first gateway already in the subnet, if there is one; true then.
bool already_served(const Log& log, const py::object& existing_gw_cidrs, const py::object& cidr) {
    py::list served = served_by(existing_gw_cidrs, cidr);
    if (served.empty()) return false;
    log.info(line("  subnet ", cidr, " already has a spoke gw ", item(at(served, 0), "gw_name")));
    return true;
}

// The command's size when given, else the size suited to NAT gateway `index`.
py::object size_for(const py::object& spoke_gw_size, const py::object& natGwInfos,
                    const py::handle& index) {
    if (!spoke_gw_size.is_none()) return spoke_gw_size;
    py::object nat_gw = natGwInfos[index];
    return nat_gw.attr("gateway_size"_n);
}

py::object deployHsSpoke(py::object CID, py::object controller_api_url, py::object account_name,
                         py::object spoke_gw_name, py::object spoke_gw_size, py::object vpc,
                         py::object region, py::object natGwInfos, py::object num_of_spoke) {
    Log log;
    log.info(line("- Deploy HS Spoke"));
    py::list subnet_cidrs;
    for (py::handle nat_gw : natGwInfos) subnet_cidrs.append(nat_gw.attr("subnet_cidr"_n));

    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "list_primary_and_ha_spoke_gateways"_n;
    py::object response = send_json(Send::Post, controller_api_url, form);
    services().handleControllerApiFailureAndExit(response);

    py::list gw_names;
    for (py::handle gw : item(response, "results")) {
        py::object name = item(gw, "name");
        if (truthy(name.attr("startswith"_n)(spoke_gw_name))) gw_names.append(name);
    }
    if (truthy(gw_names)) log.info(line("  Found existing spoke gateways ", gw_names));
    py::object existing_gw_cidrs =
        global("getSubnetWithSpokeGw")(CID, controller_api_url, gw_names);

    py::object primary_size = size_for(spoke_gw_size, natGwInfos, py::int_(0));
    py::object c0 = at(subnet_cidrs, 0);
    if (!already_served(log, existing_gw_cidrs, c0)) {
        py::object nat_gw_id = at(natGwInfos, 0).attr("nat_gw_id"_n);
        log.info(line("  deploy spoke gateway ", spoke_gw_name, " in ", c0, " for ", nat_gw_id));
        call(global("deployPrimaryHsSpoke"),
             {CID, controller_api_url, account_name, spoke_gw_name, primary_size, vpc, region, c0},
             {{"eip", Py_None}});
    }

    for (py::handle i : global("range")(1, num_of_spoke)) {
        py::object ci = subnet_cidrs[i];
        if (already_served(log, existing_gw_cidrs, ci)) continue;
        py::object nat_gw_id = natGwInfos[i].attr("nat_gw_id"_n);
        log.info(line("  deploy spoke gateway in ", ci, " for ", nat_gw_id));
        py::object size = size_for(spoke_gw_size, natGwInfos, i);
        call(global("deployHaHsSpoke"), {CID, controller_api_url, spoke_gw_name, size, ci},
             {{"eip", Py_None}});
    }
    return py::none();
}

// ---- DeployHsSpokeGwCmd

void cmd_init(py::object self, py::object account_name, py::object spoke_gw_name,
              py::object spoke_gw_size, py::object vpc_id, py::object region, py::object natGwInfos,
              py::object num_of_spoke) {
    set_attributes(self, {{"account_name", account_name},
                          {"spoke_gw_name", spoke_gw_name},
                          {"spoke_gw_size", spoke_gw_size},
                          {"vpc_id", vpc_id},
                          {"region", region},
                          {"natGwInfos", natGwInfos},
                          {"num_of_spoke", num_of_spoke}});
}

void cmd_execute(py::object self) {
    Login login = begin_command(self, kApiV2);
    py::object deploy = global("deployHsSpoke");
    py::list args;
    args.append(login.cid);
    args.append(login.endpoint);
    for (const char* name : {"account_name", "spoke_gw_name", "spoke_gw_size", "vpc_id", "region",
                             "natGwInfos", "num_of_spoke"})
        args.append(self.attr(interned(name)));
    deploy(*args);
}

void cmd_undo(py::object self) {
    Login login = begin_command(self, kApiV2);
    py::object delete_all = global("deleteAllHsSpokes");
    py::object name = self.attr("spoke_gw_name"_n);
    delete_all(login.cid, login.endpoint, name);
}

void cmd_save_backup(py::object) {}

}  // namespace

void add_hs_deploy_operations(py::module_& m) {
    def<&deployPrimaryHsSpoke>(
        m, "deployPrimaryHsSpoke",
        "CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc, region, "
        "subnet_cidr, eip=None, tag=None",
        "Create the primary HS spoke gateway of a VPC in subnet_cidr and return its spoke info\n"
        "record ({'gw_name': None} when it cannot be found afterwards).",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("account_name"),
        py::arg("spoke_gw_name"), py::arg("gw_size"), py::arg("vpc"), py::arg("region"),
        py::arg("subnet_cidr"), py::arg("eip") = py::none(), py::arg("tag") = py::none());
    def<&deployHaHsSpoke>(
        m, "deployHaHsSpoke",
        "CID, controller_api_url, spoke_gw_name, gw_size, subnet_cidr, eip=None, "
        "ha_gw_name=None, tag=None",
        "Add an HA gateway in subnet_cidr to the primary spoke_gw_name and return its spoke\n"
        "info record ({'gw_name': None} when it cannot be found afterwards).",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("spoke_gw_name"), py::arg("gw_size"),
        py::arg("subnet_cidr"), py::arg("eip") = py::none(), py::arg("ha_gw_name") = py::none(),
        py::arg("tag") = py::none());
    def<&deployHsSpoke>(
        m, "deployHsSpoke",
        "CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, region, "
        "natGwInfos, num_of_spoke",
        "Deploy spoke gw in subnet where natgw is found.\n"
        "It also check if there is a spoke gw already in the subnet, avoiding deploy a spoke in\n"
        "the same subnet if one already exists.\n"
        "So, this routine can be re-run in case of previous failure.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("account_name"),
        py::arg("spoke_gw_name"), py::arg("spoke_gw_size"), py::arg("vpc"), py::arg("region"),
        py::arg("natGwInfos"), py::arg("num_of_spoke"));
}

void add_hs_deploy_command(py::module_& m) {
    py::dict ns;
    ns["__init__"_n] = def_method<&cmd_init>(
        m, "DeployHsSpokeGwCmd", "__init__",
        "account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, region=None, "
        "natGwInfos=None, num_of_spoke=None",
        "An HS spoke deployment of num_of_spoke gateways, one per NAT gateway subnet.",
        py::arg("account_name") = py::none(), py::arg("spoke_gw_name") = py::none(),
        py::arg("spoke_gw_size") = py::none(), py::arg("vpc_id") = py::none(),
        py::arg("region") = py::none(), py::arg("natGwInfos") = py::none(),
        py::arg("num_of_spoke") = py::none());
    ns["execute"_n] = def_method<&cmd_execute>(m, "DeployHsSpokeGwCmd", "execute", "",
                                               "Deploy the HS spoke gateways.");
    ns["undo"_n] =
        def_method<&cmd_undo>(m, "DeployHsSpokeGwCmd", "undo", "",
                              "Delete the HS spoke gateways of the name, HA gateways included.");
    ns["save_backup"_n] = def_method<&cmd_save_backup>(m, "DeployHsSpokeGwCmd", "save_backup", "",
                                                       "Nothing to back up.");
    def_class(m, "DeployHsSpokeGwCmd", bases_of("AbstractCommand"), ns,
              "Deploy HS spoke gateways for a VPC's NAT gateway subnets as one undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
