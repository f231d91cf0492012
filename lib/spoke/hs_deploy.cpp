// HS spoke deployment: a primary gateway, an HA gateway, the re-runnable driver that gives every
// NAT gateway's subnet one gateway, and the undoable command around the driver.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// The decoded VPC summary of one gateway, as list_gateway_info gives it.
Ref listed(const Scope& g, PyObject* CID, PyObject* url, PyObject* gw_name) {
    Ref list_gateway_info = g["list_gateway_info"_id];
    return decode(
        call(list_gateway_info, {},
             Kw<"api_endpoint_url", "CID", "vpc_access_account_name", "cgx_gw_only", "gw_name">(
                 url, CID, ""_id, "no"_id, gw_name)));
}

// The gateway in the subnet, out of the first record of a listing.
Ref spoke_in_subnet(const Scope& g, PyObject* listing, PyObject* subnet_cidr) {
    Ref get_spoke_info = g["getSpokeInfo"_id];
    return call(get_spoke_info, at(item(listing, "results"_id), 0), subnet_cidr);
}

// When the gateway may or may not exist: its record if the controller lists it, otherwise the
// name-only record for `missing_name`. An empty listing counts as "not found".
Ref gateway_if_listed(const Scope& g, PyObject* CID, PyObject* url, PyObject* gw_name,
                      PyObject* subnet_cidr, PyObject* missing_name) {
    Ref listing = listed(g, CID, url, gw_name);
    if (accepted(listing) && truthy(item(listing, "results"_id)))
        return spoke_in_subnet(g, listing, subnet_cidr);
    return name_only_record(missing_name);
}

// Sends the creation. Accepted: the record of the new gateway `name` (null: the name in the
// reply's `ha_gw_name`). Refused: the gateway in the subnet if `primary`'s summary lists one,
// else {"gw_name": None}.
Ref create_gateway(const Op& op, PyObject* CID, PyObject* url, PyObject* form, PyObject* name,
                   PyObject* primary, PyObject* subnet_cidr) {
    Ref response = exchange(op, url, form, kChange);
    if (!accepted(response))
        return gateway_if_listed(op.g, CID, url, primary, subnet_cidr, Py_None);
    Ref created = name ? Ref::borrow(name) : item(response, "ha_gw_name"_id);
    return spoke_in_subnet(op.g, listed(op.g, CID, url, created), subnet_cidr);
}

Ref deployPrimaryHsSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                         PyObject* account_name, PyObject* spoke_gw_name, PyObject* gw_size,
                         PyObject* vpc, PyObject* region, PyObject* subnet_cidr, PyObject* eip,
                         PyObject* tag) {
    Op op(g);
    op.info(text("- Deploy primary spoke "_id, spoke_gw_name, " with "_id, gw_size,
                 " in subnet "_id, subnet_cidr));
    Ref form = record<"CID", "action", "cloud_type", "account_name", "vpc_id", "vpc_region",
                      "gw_name", "gw_size", "gw_subnet">(
        {CID, "create_multicloud_primary_gateway"_id, integer(1), account_name, vpc, region,
         spoke_gw_name, gw_size, subnet_cidr});
    set_unless_none(form, "eip"_id, eip);
    set_unless_none(form, "tag"_id, tag);

    // 1. Dry run: whatever already stands there.
    if (!dry_run_equals_false(g))
        return gateway_if_listed(g, CID, controller_api_url, spoke_gw_name, subnet_cidr,
                                 spoke_gw_name);
    // 2. The creation and the new gateway's record; refused, it may exist from an earlier run.
    return create_gateway(op, CID, controller_api_url, form, spoke_gw_name, spoke_gw_name,
                          subnet_cidr);
}
constexpr auto kDeployPrimaryHsSpoke = function_def(
    "deployPrimaryHsSpoke(CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc, "
    "region, subnet_cidr, eip=None, tag=None)",
    &deployPrimaryHsSpoke,
    "Create the primary HS spoke gateway of a VPC in subnet_cidr and return its spoke info\n"
    "record ({'gw_name': None} when it cannot be found afterwards).");

Ref deployHaHsSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                    PyObject* spoke_gw_name, PyObject* gw_size, PyObject* subnet_cidr,
                    PyObject* eip, PyObject* ha_gw_name, PyObject* tag) {
    Op op(g);
    op.info(text("- Deploy HS Spoke with "_id, gw_size, " in subnet "_id, subnet_cidr));
    Ref form = record<"CID", "action", "cloud_type", "primary_gw_name", "gw_size", "gw_subnet",
                      "autogen_hagw_name">({CID, "create_multicloud_ha_gateway"_id, integer(1),
                                            spoke_gw_name, gw_size, subnet_cidr, "yes"_id});
    set_unless_none(form, "eip"_id, eip);
    set_unless_none(form, "tag"_id, tag);
    set_unless_none(form, "ha_gw_name"_id, ha_gw_name);

    // 1. Dry run: the name asked for.
    if (!dry_run_equals_false(g)) return name_only_record(ha_gw_name);
    // 2. The creation and the new gateway's record under the name the controller gave it;
    // refused, no HA name at hand: the primary's summary lists its HA gateways too.
    return create_gateway(op, CID, controller_api_url, form, nullptr, spoke_gw_name, subnet_cidr);
}
constexpr auto kDeployHaHsSpoke = function_def(
    "deployHaHsSpoke(CID, controller_api_url, spoke_gw_name, gw_size, subnet_cidr, eip=None, "
    "ha_gw_name=None, tag=None)",
    &deployHaHsSpoke,
    "Add an HA gateway in subnet_cidr to the primary spoke_gw_name and return its spoke\n"
    "info record ({'gw_name': None} when it cannot be found afterwards).");

// Logs the first existing gateway in the subnet, if there is one; true then. Every record's
// `cidr` is read and compared, also after a first match.
bool already_served(const Op& op, PyObject* existing_gw_cidrs, PyObject* cidr) {
    Ref first;
    for_each(existing_gw_cidrs, [&](PyObject* record) {
        if (equals(item(record, "cidr"_id), cidr) && !first) first = Ref::borrow(record);
    });
    if (!first) return false;
    op.info(text("  subnet "_id, cidr, " already has a spoke gw "_id, item(first, "gw_name"_id)));
    return true;
}

// The command's size when given, else the size suited to NAT gateway `index`.
Ref size_for(PyObject* spoke_gw_size, PyObject* natGwInfos, PyObject* index) {
    if (spoke_gw_size != Py_None) return Ref::borrow(spoke_gw_size);
    return attr(item(natGwInfos, index), "gateway_size"_id);
}

Ref deployHsSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                  PyObject* account_name, PyObject* spoke_gw_name, PyObject* spoke_gw_size,
                  PyObject* vpc, PyObject* region, PyObject* natGwInfos, PyObject* num_of_spoke) {
    Op op(g);
    op.info(text("- Deploy HS Spoke"_id));
    Ref subnet_cidrs = subnet_cidrs_of(natGwInfos);

    // 1. The spoke gateways of the name that exist already, and their subnets.
    Ref form = record<"CID", "action">({CID, "list_primary_and_ha_spoke_gateways"_id});
    Ref response = exchange(op, controller_api_url, form, kListing);
    Ref gw_names = Ref::steal(PyList_New(0));
    for_each(item(response, "results"_id), [&](PyObject* gw) {
        Ref name = item(gw, "name"_id);
        if (truthy(call_method(name, "startswith"_id, spoke_gw_name)))
            check(PyList_Append(gw_names, name));
    });
    if (truthy(gw_names)) op.info(text("  Found existing spoke gateways "_id, gw_names));
    Ref existing_gw_cidrs = call(g["getSubnetWithSpokeGw"_id], CID, controller_api_url, gw_names);

    // 2. The primary in the first subnet, unless one is there.
    Ref primary_size = size_for(spoke_gw_size, natGwInfos, integer(0));
    Ref c0 = at(subnet_cidrs, 0);
    if (!already_served(op, existing_gw_cidrs, c0)) {
        Ref nat_gw_id = attr(at(natGwInfos, 0), "nat_gw_id"_id);
        op.info(text("  deploy spoke gateway "_id, spoke_gw_name, " in "_id, c0, " for "_id,
                     nat_gw_id));
        call(g["deployPrimaryHsSpoke"_id],
             {CID, controller_api_url, account_name, spoke_gw_name, primary_size, vpc, region, c0},
             Kw<"eip">(Py_None));
    }

    // 3. An HA gateway in each further subnet, unless one is there.
    for_each(call(g["range"_id], integer(1), num_of_spoke), [&](PyObject* i) {
        Ref ci = item(subnet_cidrs, i);
        if (already_served(op, existing_gw_cidrs, ci)) return;
        Ref nat_gw_id = attr(item(natGwInfos, i), "nat_gw_id"_id);
        op.info(text("  deploy spoke gateway in "_id, ci, " for "_id, nat_gw_id));
        Ref size = size_for(spoke_gw_size, natGwInfos, i);
        call(g["deployHaHsSpoke"_id], {CID, controller_api_url, spoke_gw_name, size, ci},
             Kw<"eip">(Py_None));
    });
    return none();
}
constexpr auto kDeployHsSpoke = function_def(
    "deployHsSpoke(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, "
    "region, natGwInfos, num_of_spoke)",
    &deployHsSpoke,
    "Deploy spoke gw in subnet where natgw is found.\n"
    "It also check if there is a spoke gw already in the subnet, avoiding deploy a spoke in\n"
    "the same subnet if one already exists.\n"
    "So, this routine can be re-run in case of previous failure.");

// ---- DeployHsSpokeGwCmd

constexpr ClassDef kDeployHsSpokeGwCmdClass{
    "DeployHsSpokeGwCmd", "AbstractCommand",
    "Deploy HS spoke gateways for a VPC's NAT gateway subnets as one undoable step."};
constexpr auto kCmdInit =
    init_def({"DeployHsSpokeGwCmd.__init__(self, ", kCommandSettings,
              ", natGwInfos=None, num_of_spoke=None)"},
             "An HS spoke deployment of num_of_spoke gateways, one per NAT gateway subnet.");

constexpr auto kCmdExecute =
    method_def("DeployHsSpokeGwCmd.execute(self)",
               &run_operation<"/v2/api", "deployHsSpoke", "account_name", "spoke_gw_name",
                              "spoke_gw_size", "vpc_id", "region", "natGwInfos", "num_of_spoke">,
               "Deploy the HS spoke gateways.");

constexpr auto kCmdUndo =
    method_def("DeployHsSpokeGwCmd.undo(self)",
               &run_operation<"/v2/api", "deleteAllHsSpokes", "spoke_gw_name">,
               "Delete the HS spoke gateways of the name, HA gateways included.");

void cmd_save_backup(const Scope&, PyObject*) {}
constexpr auto kCmdSaveBackup =
    method_def("DeployHsSpokeGwCmd.save_backup(self)", &cmd_save_backup, "Nothing to back up.");

}  // namespace

void add_hs_deploy_operations(PyObject* m) {
    def<kDeployPrimaryHsSpoke, kDeployHaHsSpoke, kDeployHsSpoke>(m);
}

void add_hs_deploy_command(PyObject* m) {
    def_class<kDeployHsSpokeGwCmdClass, kCmdInit, kCmdExecute, kCmdUndo, kCmdSaveBackup>(m);
}

}  // namespace spoke
}  // namespace tidewall
