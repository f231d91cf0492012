// Resizing a spoke gateway, and the undoable command and memento around it.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

py::object changeSpokeSize(py::object CID, py::object controller_api_url, py::object spoke_gw_name,
                           py::object spoke_gw_size) {
    Log log;
    log.info(line("- Set spoke gateway ", spoke_gw_name, " to ", spoke_gw_size));

    py::dict query;
    query["CID"_n] = CID;
    query["action"_n] = "get_gateway_info"_n;
    query["gateway_name"_n] = spoke_gw_name;
    py::object answer = send(Send::GetQuery, controller_api_url, query);
    if (dry_run_set()) return py::none();

    py::object info = answer.attr("json"_n)();
    if (!truthy(services().handleControllerApiFailure(info))) return py::none();
    if (equals(item(item(info, "results"), "vpc_size"), spoke_gw_size)) {
        log.info(line("  no need to resize,  ", spoke_gw_name, " instance size is already set to ",
                      spoke_gw_size));
        return py::none();
    }

    py::dict form;
    form["CID"_n] = CID;
    form["action"_n] = "change_gateway_size"_n;
    form["gw_name"_n] = spoke_gw_name;
    form["gw_size"_n] = spoke_gw_size;
    py::object response = send_json(Send::Post, controller_api_url, form);
    services().handleControllerApiFailure(response);
    log_returned(log, response);
    return py::none();
}

// The command and its memento hold the same three attributes.
void init(const py::object& self, const py::object& spoke_gw_name, const py::object& from_gw_size,
          const py::object& to_gw_size) {
    set_attributes(self, {{"spoke_gw_name", spoke_gw_name},
                          {"from_gw_size", from_gw_size},
                          {"to_gw_size", to_gw_size}});
}
void memento_init(py::object self, py::object spoke_gw_name, py::object from_gw_size,
                  py::object to_gw_size) {
    init(self, spoke_gw_name, from_gw_size, to_gw_size);
}
void cmd_init(py::object self, py::object spoke_gw_name, py::object from_gw_size,
              py::object to_gw_size) {
    init(self, spoke_gw_name, from_gw_size, to_gw_size);
}

// ResizeSpokeGatewayMemento.restore: the same resize with the sizes swapped.
void memento_restore(py::object self) {
    py::object cmd_class = global("ResizeSpokeGatewayCmd");
    py::object name = self.attr("spoke_gw_name"_n);
    py::object to_size = self.attr("to_gw_size"_n);
    py::object from_size = self.attr("from_gw_size"_n);
    cmd_class(name, to_size, from_size).attr("execute"_n)();
}

py::object cmd_save_memento(py::object self) {
    py::object memento_class = global("ResizeSpokeGatewayMemento");
    py::object name = self.attr("spoke_gw_name"_n);
    py::object from_size = self.attr("from_gw_size"_n);
    py::object to_size = self.attr("to_gw_size"_n);
    return memento_class(name, from_size, to_size);
}

py::object cmd_execute(py::object self) {
    Login login = begin_command(self, kApiV2);
    py::object change = global("changeSpokeSize");
    py::object name = self.attr("spoke_gw_name"_n);
    py::object to_size = self.attr("to_gw_size"_n);
    change(login.cid, login.endpoint, name, to_size);
    return self.attr("_saveMemento"_n)();
}

const char* const kInitParams = "spoke_gw_name, from_gw_size, to_gw_size";

}  // namespace

void add_resize_operation(py::module_& m) {
    def<&changeSpokeSize>(
        m, "changeSpokeSize", "CID, controller_api_url, spoke_gw_name, spoke_gw_size",
        "Set the instance size of a spoke gateway; no resize is sent when it already has that\n"
        "size. Returns None.",
        py::arg("CID"), py::arg("controller_api_url"), py::arg("spoke_gw_name"),
        py::arg("spoke_gw_size"));
}

void add_resize_classes(py::module_& m) {
    py::dict memento;
    memento["__init__"_n] = def_method<&memento_init>(
        m, "ResizeSpokeGatewayMemento", "__init__", kInitParams,
        "Remember a resize of spoke_gw_name from from_gw_size to to_gw_size.",
        py::arg("spoke_gw_name"), py::arg("from_gw_size"), py::arg("to_gw_size"));
    memento["restore"_n] = def_method<&memento_restore>(
        m, "ResizeSpokeGatewayMemento", "restore", "", "Resize the gateway back to from_gw_size.");
    memento["toDict"_n] =
        to_dict_method<MementoClass::ResizeSpokeGateway>(m, "ResizeSpokeGatewayMemento");
    def_class(m, "ResizeSpokeGatewayMemento", bases_of("Memento"), memento,
              "Undo record of a spoke gateway resize.");

    py::dict cmd;
    cmd["__init__"_n] = def_method<&cmd_init>(
        m, "ResizeSpokeGatewayCmd", "__init__", kInitParams,
        "A resize of spoke_gw_name from from_gw_size to to_gw_size.", py::arg("spoke_gw_name"),
        py::arg("from_gw_size"), py::arg("to_gw_size"));
    cmd["_saveMemento"_n] =
        def_method<&cmd_save_memento>(m, "ResizeSpokeGatewayCmd", "_saveMemento", "",
                                      "A new ResizeSpokeGatewayMemento of this resize.");
    cmd["execute"_n] =
        def_method<&cmd_execute>(m, "ResizeSpokeGatewayCmd", "execute", "",
                                 "Resize the gateway to to_gw_size; returns the memento.");
    def_class(m, "ResizeSpokeGatewayCmd", plain_bases(), cmd,
              "Resize a spoke gateway as an undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
