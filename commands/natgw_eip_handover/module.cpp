// Module `tidewall.commands.natgw_eip_handover`: binds the framework names the command uses (a
// missing one fails the load with the interpreter's ImportError) and defines class `Manager`.
#include <Python.h>

#include <cstring>

#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

py::object execute(const ModuleScope& g, py::handle cls, py::handle config) {
    Prepared prepared = prepare(g, cls, config);
    replace_nat_gateways(g, prepared);
    return py::none();
}

namespace {

struct Binding {
    const char* module;
    const char* name;
};

// Outside names, bound as module attributes in this order.
constexpr Binding kBindings[] = {
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

constexpr const char* kModuleDoc =
    "Replace a VPC's AWS NAT gateways by controller spoke gateways that take over their\n"
    "Elastic IPs, resumably and undoably (class Manager).";

constexpr const char* kManagerDoc =
    "Migrate one VPC's egress from its NAT gateways to spoke gateways.\n\n"
    "Class-level operations only: execute(config) migrates (an interrupted run resumes\n"
    "where it stopped; a failed acceptance test rolls back the current group and exits\n"
    "with status 1), revert(config) undoes every recorded step, cleanup(config) is not\n"
    "implemented.";

py::object build_manager(const py::module_& m) {
    py::object dict = py::reinterpret_borrow<py::object>(m.attr("__dict__"));
    py::object classmethod = py::module_::import("builtins").attr("classmethod");
    py::object logged = m.attr("logged");
    py::dict ns;

    ns["get_natgw_id_by_subnet"] = classmethod(function(
        "get_natgw_id_by_subnet", "cls, ec2_client, subnet_id, vpc_id",
        "The EC2 description of the NAT gateway now in the subnet, or None.",
        [dict](py::object cls, py::object ec2_client, py::object subnet_id, py::object vpc_id) {
            return get_natgw_id_by_subnet(ModuleScope(dict), cls, ec2_client, subnet_id, vpc_id);
        },
        py::scope(m), py::arg("cls"), py::arg("ec2_client"), py::arg("subnet_id"),
        py::arg("vpc_id")));

    ns["get_natgw_infos"] = classmethod(function(
        "get_natgw_infos", "cls, ec2_client, ca",
        "The recorded NAT-gateway info records, with nat_gw_id, private_ip and eip\n"
        "refreshed in place from the NAT gateway now in each subnet.",
        [dict](py::object cls, py::object ec2_client, py::object ca) {
            return get_natgw_infos(ModuleScope(dict), cls, ec2_client, ca);
        },
        py::scope(m), py::arg("cls"), py::arg("ec2_client"), py::arg("ca")));

    ns["execute"] = classmethod(logged(function(
        "execute", "cls, config", "Migrate the configured VPC; resumes an interrupted run.",
        [dict](py::object cls, py::object config) {
            return execute(ModuleScope(dict), cls, config);
        },
        py::scope(m), py::arg("cls"), py::arg("config"))));

    ns["revert"] = classmethod(logged(function(
        "revert", "cls, config",
        "Undo every recorded step of the configured VPC's migration, newest first.",
        [dict](py::object cls, py::object config) {
            return revert(ModuleScope(dict), cls, config);
        },
        py::scope(m), py::arg("cls"), py::arg("config"))));

    ns["cleanup"] = classmethod(function(
        "cleanup", "cls, config", "Not implemented: logs so and returns.",
        [dict](py::object cls, py::object config) {
            return cleanup(ModuleScope(dict), cls, config);
        },
        py::scope(m), py::arg("cls"), py::arg("config")));

    return make_class(kModuleName, "Manager", py::make_tuple(m.attr("BaseCaseHandler")), ns,
                      kManagerDoc);
}

void populate(py::module_& m) {
    m.attr("os") = py::module_::import("os");
    m.attr("logging") = py::module_::import("logging");
    m.attr("traceback") = py::module_::import("traceback");
    for (const Binding& b : kBindings) m.attr(b.name) = import_name(b.module, b.name);
    m.attr("Manager") = build_manager(m);
}

}  // namespace
}  // namespace natgw_eip_handover
}  // namespace tidewall

extern "C" PYBIND11_EXPORT PyObject* PyInit_natgw_eip_handover();

extern "C" PYBIND11_EXPORT PyObject* PyInit_natgw_eip_handover() {
    PYBIND11_CHECK_PYTHON_VERSION
    try {
        pybind11::detail::ensure_internals();
        static PyModuleDef def;
        auto m = pybind11::module_::create_extension_module(
            "natgw_eip_handover", tidewall::natgw_eip_handover::kModuleDoc, &def);
        tidewall::natgw_eip_handover::populate(m);
        return m.release().ptr();
    } catch (pybind11::error_already_set& e) {
        // The original error (an ImportError keeps its name and path).
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "natgw_eip_handover: unknown error while loading");
    }
    return nullptr;
}
