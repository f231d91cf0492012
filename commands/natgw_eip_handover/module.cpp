// Module `tidewall.commands.natgw_eip_handover`: binds the framework names the command uses (a
// missing one fails the load with the interpreter's ImportError) and defines class `Manager`.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

void execute(const Scope& g, PyObject* cls, PyObject* config) {
    Prepared prepared = prepare(g, cls, config);
    replace_nat_gateways(g, prepared);
}
constexpr auto kExecute =
    class_method_def("Manager.execute(cls, config)", &execute,
                     "Migrate the configured VPC; resumes an interrupted run.");

namespace {

// Outside names, bound as module attributes in this order.
constexpr Import kImports[] = {
    {"os"},
    {"logging"},
    {"traceback"},
    {"tidewall.lib.natgw", "get_existing_natgws"},
    {"tidewall.lib.natgw", "NatGwCmd"},
    {"tidewall.lib.natgw", "get_natgw_by_subnet"},
    {"tidewall.lib.gateway_size", "DetermineGwSizeCmd"},
    {"tidewall.lib.aws_cred", "AwsClientManager"},
    {"tidewall.core.Globals", "Globals"},
    {"tidewall.lib.spoke", "HsSpokeCmd"},
    {"tidewall.lib.spoke", "SnatCmd"},
    {"tidewall.lib.spoke", "ResizeSpokeGatewayCmd"},
    {"tidewall.lib.route_table", "backupAllRtbs"},
    {"tidewall.lib.route_table", "NatGwTrafficCmd"},
    {"tidewall.lib.route_table", "SnapshotRTCmd"},
    {"tidewall.lib.s3", "S3BackupCmdV2"},
    {"tidewall.lib.corvane_backend", "getCid"},
    {"tidewall.core.ConfigAdaptor", "ConfigAdaptor"},
    {"tidewall.commands.history", "CommandHistory"},
    {"tidewall.commands.history", "MementoHistory"},
    {"tidewall.commands.base_case_handler", "BaseCaseHandler"},
    {"tidewall.commands.base_case_handler", "logged"},
    {"tidewall.lib.test", "Test"},
    {"tidewall.lib.test", "TestCmd"},
    {"tidewall.core.exceptions", "CorvaneRollbackException"},
    {"tidewall.lib.cvn_account", "CreateCorvaneAccount"},
};

constexpr auto kGetNatgwIdBySubnet = class_method_def(
    "Manager.get_natgw_id_by_subnet(cls, ec2_client, subnet_id, vpc_id)", &get_natgw_id_by_subnet,
    "The EC2 description of the NAT gateway now in the subnet, or None.");
constexpr auto kGetNatgwInfos =
    class_method_def("Manager.get_natgw_infos(cls, ec2_client, ca)", &get_natgw_infos,
                     "The recorded NAT-gateway info records, with nat_gw_id, private_ip and eip\n"
                     "refreshed in place from the NAT gateway now in each subnet.");
constexpr auto kRevert =
    class_method_def("Manager.revert(cls, config)", &revert,
                     "Undo every recorded step of the configured VPC's migration, newest first.");
constexpr auto kCleanup = class_method_def("Manager.cleanup(cls, config)", &cleanup,
                                           "Not implemented: logs so and returns.");

constexpr const char* kManagerDoc =
    "Migrate one VPC's egress from its NAT gateways to spoke gateways.\n\n"
    "Class-level operations only: execute(config) migrates (an interrupted run resumes\n"
    "where it stopped; a failed acceptance test rolls back the current group and exits\n"
    "with status 1), revert(config) undoes every recorded step, cleanup(config) is not\n"
    "implemented.";

// classmethod(logged(f)): the decorator wraps the plain function, the class method the result.
template <const auto& D>
Ref logged_class_method(PyObject* m, const Scope& g) {
    return class_method(call(g["logged"_id], function<D>(m)));
}

void populate(PyObject* m) {
    Scope g(PyModule_GetDict(m));
    Ref bases = Ref::steal(PyTuple_Pack(1, g["BaseCaseHandler"_id].get()));
    Ref manager = make_class(m, "Manager", bases,
                             {{"get_natgw_id_by_subnet", member<kGetNatgwIdBySubnet>(m)},
                              {"get_natgw_infos", member<kGetNatgwInfos>(m)},
                              {"execute", logged_class_method<kExecute>(m, g)},
                              {"revert", logged_class_method<kRevert>(m, g)},
                              {"cleanup", member<kCleanup>(m)}},
                             kManagerDoc);
    add(m, "Manager", manager);
}

}  // namespace
}  // namespace natgw_eip_handover
}  // namespace tidewall

PyMODINIT_FUNC PyInit_natgw_eip_handover() {
    using namespace tidewall::natgw_eip_handover;
    static PyModuleDef definition = tidewall::module_def(
        "tidewall.commands.natgw_eip_handover",
        "Replace a VPC's AWS NAT gateways by controller spoke gateways that take over their\n"
        "Elastic IPs, resumably and undoably (class Manager).");
    return tidewall::create_module(&definition, kImports, populate);
}
