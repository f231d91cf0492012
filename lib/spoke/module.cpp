// The extension module tidewall.lib.spoke: binds the outside names it uses as module attributes
// (looked up there at call time), then adds its operations and classes in definition order.
#include <exception>

#include "common.hpp"

namespace {

namespace py = pybind11;
using tidewall::import_name;

PyModuleDef spoke_module = {
    PyModuleDef_HEAD_INIT,
    "tidewall.lib.spoke",
    "Operations on the controller's spoke gateways (discover, deploy classic and HS spokes,\n"
    "delete, resize, single-IP SNAT) and the undoable commands and mementos built on them.",
    0,  // no per-module state: loading again builds a fresh namespace
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void bind_outside_names(py::module_& m) {
    m.attr("requests") = py::module_::import("requests");
    m.attr("logging") = py::module_::import("logging");
    m.attr("handleControllerApiFailure") =
        import_name("tidewall.lib.corvane_backend", "handleControllerApiFailure");
    m.attr("handleControllerApiFailureAndExit") =
        import_name("tidewall.lib.corvane_backend", "handleControllerApiFailureAndExit");
    m.attr("_send_corvane_api") = import_name("tidewall.lib.corvane_backend", "_send_corvane_api");
    m.attr("CorvaneRollbackException") =
        import_name("tidewall.core.exceptions", "CorvaneRollbackException");
    m.attr("AbstractCommand") =
        import_name("tidewall.commands.abstract_command", "AbstractCommand");
    m.attr("Memento") = import_name("tidewall.commands.memento", "Memento");
    m.attr("Globals") = import_name("tidewall.core.Globals", "Globals");
    m.attr("comm") = import_name("tidewall.lib.commonlib", "Common");
}

void populate(py::module_& m) {
    namespace spoke = tidewall::spoke;
    bind_outside_names(m);
    spoke::ActiveScope active(m.attr("__dict__"));

    spoke::add_discovery_operations(m);  // getSpokeInfo, list_gateway_info, getSubnetWithSpokeGw
    spoke::add_resize_operation(m);      // changeSpokeSize
    spoke::add_classic_deploy_operation(m);
    spoke::add_hs_deploy_operations(m);  // deployPrimaryHsSpoke, deployHaHsSpoke, deployHsSpoke
    spoke::add_deletion_operations(m);   // deleteSpoke, deleteHsSpoke, deleteAllHsSpokes
    spoke::add_snat_operations(m);       // enableSNAT, disable_snat

    spoke::add_hs_spoke_classes(m);  // HsSpokeCreateMemento, HsSpokeCmd
    spoke::add_hs_deploy_command(m);
    spoke::add_classic_deploy_command(m);
    spoke::add_snat_classes(m);    // SnatEnableMemento, SnatCmd
    spoke::add_resize_classes(m);  // ResizeSpokeGatewayMemento, ResizeSpokeGatewayCmd
}

}  // namespace

// A failure while loading leaves the interpreter's own exception set (an ImportError for a
// missing outside name) and fails the import with it.
PyMODINIT_FUNC PyInit_spoke() {
    PyObject* raw = PyModule_Create(&spoke_module);
    if (!raw) return nullptr;
    try {
        py::module_ m = py::reinterpret_steal<py::module_>(raw);
        populate(m);
        return m.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}
