// Classic spoke deployment: one gateway in the first NAT gateway's subnet, HA in the second's,
// and the undoable command around it (controller API v1).
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

Ref deployClassicSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                       PyObject* account_name, PyObject* spoke_gw_name, PyObject* spoke_gw_size,
                       PyObject* vpc, PyObject* region, PyObject* natGwInfos) {
    Op op(g);
    Ref subnet_cidrs = subnet_cidrs_of(natGwInfos);
    Ref size = spoke_gw_size == Py_None ? attr(at(natGwInfos, 0), "gateway_size"_id)
                                        : Ref::borrow(spoke_gw_size);

    // 1. The gateway in the first subnet.
    Ref first = at(subnet_cidrs, 0);
    op.info(text("- Deploy spoke gateway "_id, spoke_gw_name, " in "_id, first));
    if (dry_run_equals_false(g)) {
        Ref form = record<"CID", "action", "account_name", "gw_name", "gw_size", "public_subnet",
                          "vpc_id", "region", "cloud_type", "reuse_eip">(
            {CID, "create_spoke_gw"_id, account_name, spoke_gw_name, size, first, vpc, region,
             integer(1), "off"_id});
        exchange(op, controller_api_url, form, kChangeOrExit);
    }

    // 2. HA in the second subnet, when there is one.
    if (PyList_GET_SIZE(subnet_cidrs.get()) > 1) {
        Ref second = at(subnet_cidrs, 1);
        op.info(text("- Enable HA on spoke gateway "_id, spoke_gw_name, " in "_id, second));
        if (dry_run_equals_false(g)) {
            Ref form = record<"CID", "action", "account_name", "gw_name", "public_subnet">(
                {CID, "enable_spoke_ha"_id, account_name, spoke_gw_name, second});
            exchange(op, controller_api_url, form, kChangeOrExit);
        }
    }
    return none();
}
constexpr auto kDeployClassicSpoke = function_def(
    "deployClassicSpoke(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc, "
    "region, natGwInfos)",
    &deployClassicSpoke,
    "Create a classic spoke gateway in the first NAT gateway's subnet and, when there is a\n"
    "second NAT gateway, enable HA in its subnet. Returns None.");

constexpr ClassDef kDeployClassicSpokeGwCmdClass{
    "DeployClassicSpokeGwCmd", "AbstractCommand",
    "Deploy a classic spoke gateway as one undoable step."};
constexpr auto kCmdInit =
    init_def({"DeployClassicSpokeGwCmd.__init__(self, ", kCommandSettings, ", natGwInfos=None)"},
             "A classic spoke deployment for the NAT gateways of a VPC.");

constexpr auto kCmdExecute =
    method_def("DeployClassicSpokeGwCmd.execute(self)",
               &run_operation<"/v1/api", "deployClassicSpoke", "account_name", "spoke_gw_name",
                              "spoke_gw_size", "vpc_id", "region", "natGwInfos">,
               "Deploy the classic spoke gateway.");

constexpr auto kCmdUndo = method_def("DeployClassicSpokeGwCmd.undo(self)",
                                     &run_operation<"/v1/api", "deleteSpoke", "spoke_gw_name">,
                                     "Delete the classic spoke gateway, HA first.");

}  // namespace

void add_classic_deploy_operation(PyObject* m) { def<kDeployClassicSpoke>(m); }

void add_classic_deploy_command(PyObject* m) {
    def_class<kDeployClassicSpokeGwCmdClass, kCmdInit, kCmdExecute, kCmdUndo>(m);
}

}  // namespace spoke
}  // namespace tidewall
