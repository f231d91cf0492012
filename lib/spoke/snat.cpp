// Single-IP SNAT on a spoke gateway: switching it on and off, and the command and memento.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

py::dict snat_form(const py::object& CID, const char* action, const py::object& spoke_gw_name) {
    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = action;
    form["gateway_name"_n] = spoke_gw_name;
    return form;
}

// The gateway name first and the CID last, unlike every other operation.
py::object enableSNAT(py::object spoke_gw_name, py::object controller_api_url, py::object CID) {
    Log log;
    log.info(line("- Enable Single IP SNAT on spoke gateway ", spoke_gw_name));
    if (!dry_run_set()) {
        py::object response =
            send_json(Send::Post, controller_api_url, snat_form(CID, "enable_snat", spoke_gw_name));
        services().handleControllerApiFailure(response);
        log_returned(log, response);
    }
    return py::none();
}

py::object disable_snat(py::object CID, py::object controller_api_url, py::object spoke_gw_name) {
    Log log;
    log.info(line("- Disable SNAT on spoke gateway ", spoke_gw_name));
    if (dry_run_set()) return py::none();
    py::object response =
        send_json(Send::Post, controller_api_url, snat_form(CID, "disable_snat", spoke_gw_name));
    if (truthy(services().handleControllerApiFailure(response))) log_response(log, response);
    return py::none();
}

// The command and its memento hold the gateway name only.
void memento_init(py::object self, py::object spoke_gw_name) {
    set_attributes(self, {{"spoke_gw_name", spoke_gw_name}});
}
void cmd_init(py::object self, py::object spoke_gw_name) {
    set_attributes(self, {{"spoke_gw_name", spoke_gw_name}});
}

// SnatEnableMemento.restore: switch SNAT off again through a new command.
void memento_restore(py::object self) {
    py::object cmd_class = global("SnatCmd");
    py::object name = self.attr("spoke_gw_name"_n);
    cmd_class(name).attr("disable"_n)();
}

py::object cmd_save_memento(py::object self) {
    py::object memento_class = global("SnatEnableMemento");
    py::object name = self.attr("spoke_gw_name"_n);
    return memento_class(name);
}

py::object cmd_enable(py::object self) {
    Login login = begin_command(self, kApiV2);
    py::object enable = global("enableSNAT");
    py::object name = self.attr("spoke_gw_name"_n);
    enable(name, login.endpoint, login.cid);
    return self.attr("_saveMemento"_n)();
}

void cmd_disable(py::object self) {
    Login login = begin_command(self, kApiV2);
    py::object disable = global("disable_snat");
    py::object name = self.attr("spoke_gw_name"_n);
    disable(login.cid, login.endpoint, name);
}

}  // namespace

void add_snat_operations(py::module_& m) {
    def<&enableSNAT>(m, "enableSNAT", "spoke_gw_name, controller_api_url, CID",
                     "Switch single-IP SNAT on for a spoke gateway. Returns None.",
                     py::arg("spoke_gw_name"), py::arg("controller_api_url"), py::arg("CID"));
    def<&disable_snat>(m, "disable_snat", "CID, controller_api_url, spoke_gw_name",
                       "Switch SNAT off for a spoke gateway. Returns None.", py::arg("CID"),
                       py::arg("controller_api_url"), py::arg("spoke_gw_name"));
}

void add_snat_classes(py::module_& m) {
    py::dict memento;
    memento["__init__"_n] = def_method<&memento_init>(
        m, "SnatEnableMemento", "__init__", "spoke_gw_name",
        "Remember that SNAT was switched on for spoke_gw_name.", py::arg("spoke_gw_name"));
    memento["restore"_n] = def_method<&memento_restore>(m, "SnatEnableMemento", "restore", "",
                                                        "Switch SNAT off again for the gateway.");
    memento["toDict"_n] = to_dict_method<MementoClass::SnatEnable>(m, "SnatEnableMemento");
    def_class(m, "SnatEnableMemento", bases_of("Memento"), memento,
              "Undo record of switching single-IP SNAT on.");

    py::dict cmd;
    cmd["__init__"_n] = def_method<&cmd_init>(m, "SnatCmd", "__init__", "spoke_gw_name",
                                              "SNAT switching for the spoke gateway spoke_gw_name.",
                                              py::arg("spoke_gw_name"));
    cmd["_saveMemento"_n] = def_method<&cmd_save_memento>(
        m, "SnatCmd", "_saveMemento", "", "A new SnatEnableMemento for the gateway.");
    cmd["enable"_n] = def_method<&cmd_enable>(
        m, "SnatCmd", "enable", "", "Switch single-IP SNAT on; returns the SnatEnableMemento.");
    cmd["disable"_n] =
        def_method<&cmd_disable>(m, "SnatCmd", "disable", "", "Switch SNAT off; returns None.");
    def_class(m, "SnatCmd", plain_bases(), cmd,
              "Switch single-IP SNAT of a spoke gateway as an undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
