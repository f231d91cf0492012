// The extension module tidewall.lib.spoke: binds the outside names it uses as module attributes
// (looked up there at call time), then adds its operations and classes in definition order.
#include "common.hpp"

namespace {

namespace spoke = tidewall::spoke;
using tidewall::Import;

constexpr Import kImports[] = {
    {"requests"},
    {"logging"},
    {"tidewall.lib.corvane_backend", "handleControllerApiFailure"},
    {"tidewall.lib.corvane_backend", "handleControllerApiFailureAndExit"},
    {"tidewall.lib.corvane_backend", "_send_corvane_api"},
    {"tidewall.core.exceptions", "CorvaneRollbackException"},
    {"tidewall.commands.abstract_command", "AbstractCommand"},
    {"tidewall.commands.memento", "Memento"},
    {"tidewall.core.Globals", "Globals"},
    {"tidewall.lib.commonlib", "Common", "comm"},
};

void populate(PyObject* m) {
    spoke::add_discovery(m);         // getSpokeInfo, list_gateway_info, getSubnetWithSpokeGw
    spoke::add_resize_operation(m);  // changeSpokeSize
    spoke::add_classic_deploy_operation(m);
    spoke::add_hs_deploy_operations(m);  // deployPrimaryHsSpoke, deployHaHsSpoke, deployHsSpoke
    spoke::add_deletion(m);              // deleteSpoke, deleteHsSpoke, deleteAllHsSpokes
    spoke::add_snat_operations(m);       // enableSNAT, disable_snat

    spoke::add_hs_spoke_classes(m);  // HsSpokeCreateMemento, HsSpokeCmd
    spoke::add_hs_deploy_command(m);
    spoke::add_classic_deploy_command(m);
    spoke::add_snat_classes(m);    // SnatEnableMemento, SnatCmd
    spoke::add_resize_classes(m);  // ResizeSpokeGatewayMemento, ResizeSpokeGatewayCmd
}

}  // namespace

PyMODINIT_FUNC PyInit_spoke() {
    static PyModuleDef definition = tidewall::module_def(
        "tidewall.lib.spoke",
        "Operations on the controller's spoke gateways (discover, deploy classic and HS spokes,\n"
        "delete, resize, single-IP SNAT) and the undoable commands and mementos built on them.");
    return tidewall::create_module(&definition, kImports, populate);
}
