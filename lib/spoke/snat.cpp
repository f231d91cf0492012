// Single-IP SNAT on a spoke gateway: switching it on and off, and the command and memento.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// The gateway name first and the CID last, unlike every other operation.
Ref enableSNAT(const Scope& g, PyObject* spoke_gw_name, PyObject* controller_api_url,
               PyObject* CID) {
    Op op(g);
    op.info(text("- Enable Single IP SNAT on spoke gateway "_id, spoke_gw_name));
    if (dry_run_set(g)) return none();
    Ref form = record<"CID", "action", "gateway_name">({CID, "enable_snat"_id, spoke_gw_name});
    exchange(op, controller_api_url, form, kChange);
    return none();
}

Ref disable_snat(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                 PyObject* spoke_gw_name) {
    Op op(g);
    op.info(text("- Disable SNAT on spoke gateway "_id, spoke_gw_name));
    if (dry_run_set(g)) return none();
    Ref form = record<"CID", "action", "gateway_name">({CID, "disable_snat"_id, spoke_gw_name});
    exchange(op, controller_api_url, form, kRemoval);
    return none();
}

// The command and its memento hold the gateway name only.
void init(const Scope&, PyObject* self, PyObject* spoke_gw_name) {
    set_attributes<"spoke_gw_name">(self, {spoke_gw_name});
}

// SnatEnableMemento.restore: switch SNAT off again through a new command.
void memento_restore(const Scope& g, PyObject* self) {
    Ref cmd_class = g["SnatCmd"_id];
    Ref name = attr(self, "spoke_gw_name"_id);
    call_method(call(cmd_class, name), "disable"_id);
}

Ref cmd_save_memento(const Scope& g, PyObject* self) {
    Ref memento_class = g["SnatEnableMemento"_id];
    return call(memento_class, attr(self, "spoke_gw_name"_id));
}

Ref cmd_enable(const Scope& g, PyObject* self) {
    Login login = begin_command(g, self, "/v2/api"_id);
    Ref enable = g["enableSNAT"_id];
    call(enable, attr(self, "spoke_gw_name"_id), login.endpoint, login.cid);
    return call_method(self, "_saveMemento"_id);
}

void cmd_disable(const Scope& g, PyObject* self) {
    Login login = begin_command(g, self, "/v2/api"_id);
    Ref disable = g["disable_snat"_id];
    call(disable, login.cid, login.endpoint, attr(self, "spoke_gw_name"_id));
}

constexpr auto kEnableSnat =
    function_def("enableSNAT", params(arg("spoke_gw_name"), arg("controller_api_url"), arg("CID")),
                 &enableSNAT, "Switch single-IP SNAT on for a spoke gateway. Returns None.");
constexpr auto kDisableSnat = function_def(
    "disable_snat", params(arg("CID"), arg("controller_api_url"), arg("spoke_gw_name")),
    &disable_snat, "Switch SNAT off for a spoke gateway. Returns None.");

constexpr auto kMementoInit =
    method_def("SnatEnableMemento.__init__", params(arg("spoke_gw_name")), &init,
               "Remember that SNAT was switched on for spoke_gw_name.");
constexpr auto kMementoRestore = method_def("SnatEnableMemento.restore", params(), &memento_restore,
                                            "Switch SNAT off again for the gateway.");
constexpr auto kMementoToDict = method_def("SnatEnableMemento.toDict", params(), &attribute_dict,
                                           "The memento's own attribute dictionary (not a copy).");

constexpr auto kCmdInit = method_def("SnatCmd.__init__", params(arg("spoke_gw_name")), &init,
                                     "SNAT switching for the spoke gateway spoke_gw_name.");
constexpr auto kCmdSaveMemento = method_def("SnatCmd._saveMemento", params(), &cmd_save_memento,
                                            "A new SnatEnableMemento for the gateway.");
constexpr auto kCmdEnable = method_def("SnatCmd.enable", params(), &cmd_enable,
                                       "Switch single-IP SNAT on; returns the SnatEnableMemento.");
constexpr auto kCmdDisable =
    method_def("SnatCmd.disable", params(), &cmd_disable, "Switch SNAT off; returns None.");

}  // namespace

void add_snat_operations(PyObject* m) {
    def<kEnableSnat>(m);
    def<kDisableSnat>(m);
}

void add_snat_classes(PyObject* m) {
    Scope g(PyModule_GetDict(m));
    def_class<kMementoInit, kMementoRestore, kMementoToDict>(
        m, "SnatEnableMemento", bases_of(g, "Memento"_id),
        "Undo record of switching single-IP SNAT on.");
    def_class<kCmdInit, kCmdSaveMemento, kCmdEnable, kCmdDisable>(
        m, "SnatCmd", plain_bases(),
        "Switch single-IP SNAT of a spoke gateway as an undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
