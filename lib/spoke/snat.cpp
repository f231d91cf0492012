// Single-IP SNAT on a spoke gateway: switching it on and off, and the command and memento.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// enableSNAT(spoke_gw_name, controller_api_url, CID) and disable_snat(CID, controller_api_url,
// spoke_gw_name): the headline naming the gateway, then the request unless in dry-run mode.
struct Switch {
    bool name_first;
    const char* headline;
    const char* action;
    const Exchange& how;
};
constexpr Switch kOn{true, "- Enable Single IP SNAT on spoke gateway ", "enable_snat", kChange};
constexpr Switch kOff{false, "- Disable SNAT on spoke gateway ", "disable_snat", kRemoval};

template <const Switch& S>
Ref switch_snat(const Scope& g, PyObject* first, PyObject* controller_api_url, PyObject* last) {
    PyObject* spoke_gw_name = S.name_first ? first : last;
    PyObject* CID = S.name_first ? last : first;
    static PyObject* const headline = intern(S.headline);
    static PyObject* const action = intern(S.action);
    Op op(g);
    Ref form = record<"CID", "action", "gateway_name">({CID, action, spoke_gw_name});
    announced_change(op, headline, spoke_gw_name, controller_api_url, form, S.how);
    return none();
}

// The gateway name first and the CID last, unlike every other operation.
constexpr auto kEnableSnat =
    function_def("enableSNAT(spoke_gw_name, controller_api_url, CID)", &switch_snat<kOn>,
                 "Switch single-IP SNAT on for a spoke gateway. Returns None.");
constexpr auto kDisableSnat =
    function_def("disable_snat(CID, controller_api_url, spoke_gw_name)", &switch_snat<kOff>,
                 "Switch SNAT off for a spoke gateway. Returns None.");

constexpr ClassDef kSnatEnableMementoClass{"SnatEnableMemento", "Memento",
                                           "Undo record of switching single-IP SNAT on."};
constexpr auto kMementoInit = init_def("SnatEnableMemento.__init__(self, spoke_gw_name)",
                                       "Remember that SNAT was switched on for spoke_gw_name.");
constexpr ClassDef kSnatCmdClass{"SnatCmd", nullptr,
                                 "Switch single-IP SNAT of a spoke gateway as an undoable step."};
constexpr auto kCmdInit = init_def("SnatCmd.__init__(self, spoke_gw_name)",
                                   "SNAT switching for the spoke gateway spoke_gw_name.");

// SnatEnableMemento.restore: switch SNAT off again through a new command.
void memento_restore(const Scope& g, PyObject* self) {
    call_method(construct_from<"spoke_gw_name">(g, "SnatCmd"_id, self), "disable"_id);
}
constexpr auto kMementoRestore = method_def("SnatEnableMemento.restore(self)", &memento_restore,
                                            "Switch SNAT off again for the gateway.");

Ref cmd_save_memento(const Scope& g, PyObject* self) {
    return construct_from<"spoke_gw_name">(g, "SnatEnableMemento"_id, self);
}
constexpr auto kCmdSaveMemento = method_def("SnatCmd._saveMemento(self)", &cmd_save_memento,
                                            "A new SnatEnableMemento for the gateway.");

Ref cmd_enable(const Scope& g, PyObject* self) {
    Login login = begin_command(g, self, "/v2/api"_id);
    Ref enable = g["enableSNAT"_id];
    call(enable, attr(self, "spoke_gw_name"_id), login.endpoint, login.cid);
    return call_method(self, "_saveMemento"_id);
}
constexpr auto kCmdEnable = method_def("SnatCmd.enable(self)", &cmd_enable,
                                       "Switch single-IP SNAT on; returns the SnatEnableMemento.");

constexpr auto kCmdDisable =
    method_def("SnatCmd.disable(self)", &run_operation<"/v2/api", "disable_snat", "spoke_gw_name">,
               "Switch SNAT off; returns None.");

constexpr auto kMementoToDict = method_def("SnatEnableMemento.toDict(self)", &attribute_dict,
                                           "The memento's own attribute dictionary (not a copy).");

}  // namespace

void add_snat_operations(PyObject* m) { def<kEnableSnat, kDisableSnat>(m); }

void add_snat_classes(PyObject* m) {
    def_class<kSnatEnableMementoClass, kMementoInit, kMementoRestore, kMementoToDict>(m);
    def_class<kSnatCmdClass, kCmdInit, kCmdSaveMemento, kCmdEnable, kCmdDisable>(m);
}

}  // namespace spoke
}  // namespace tidewall
