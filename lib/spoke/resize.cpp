// Resizing a spoke gateway, and the undoable command and memento around it.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

Ref changeSpokeSize(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                    PyObject* spoke_gw_name, PyObject* spoke_gw_size) {
    Op op(g);
    op.info(text("- Set spoke gateway "_id, spoke_gw_name, " to "_id, spoke_gw_size));

    // 1. The gateway's current size (read in dry-run mode too: it changes nothing).
    Ref query = record<"CID", "action", "gateway_name">({CID, "get_gateway_info"_id, spoke_gw_name});
    Ref answer = send(g, Method::GetQuery, controller_api_url, query);
    if (dry_run_set(g)) return none();

    // 2. Nothing to do when the controller fails or the size is already right.
    Ref info = decode(answer);
    if (!truthy(controller::check_reply(g, info))) return none();
    if (equals(item(item(info, "results"_id), "vpc_size"_id), spoke_gw_size)) {
        op.info(text("  no need to resize,  "_id, spoke_gw_name,
                     " instance size is already set to "_id, spoke_gw_size));
        return none();
    }

    // 3. The resize.
    Ref form = record<"CID", "action", "gw_name", "gw_size">({CID, "change_gateway_size"_id,
                                                             spoke_gw_name, spoke_gw_size});
    exchange(op, controller_api_url, form, kChange);
    return none();
}

// The command and its memento hold the same three attributes.
void init(const Scope&, PyObject* self, PyObject* spoke_gw_name, PyObject* from_gw_size,
          PyObject* to_gw_size) {
    set_attributes<"spoke_gw_name", "from_gw_size", "to_gw_size">(self, {spoke_gw_name, from_gw_size,
                                                                  to_gw_size});
}

// ResizeSpokeGatewayMemento.restore: the same resize with the sizes swapped.
void memento_restore(const Scope& g, PyObject* self) {
    Ref cmd_class = g["ResizeSpokeGatewayCmd"_id];
    Ref name = attr(self, "spoke_gw_name"_id);
    Ref to_size = attr(self, "to_gw_size"_id);
    Ref from_size = attr(self, "from_gw_size"_id);
    call_method(call(cmd_class, name, to_size, from_size), "execute"_id);
}

Ref cmd_save_memento(const Scope& g, PyObject* self) {
    Ref memento_class = g["ResizeSpokeGatewayMemento"_id];
    Ref name = attr(self, "spoke_gw_name"_id);
    Ref from_size = attr(self, "from_gw_size"_id);
    Ref to_size = attr(self, "to_gw_size"_id);
    return call(memento_class, name, from_size, to_size);
}

Ref cmd_execute(const Scope& g, PyObject* self) {
    Login login = begin_command(g, self, "/v2/api"_id);
    Ref change = g["changeSpokeSize"_id];
    Ref name = attr(self, "spoke_gw_name"_id);
    Ref to_size = attr(self, "to_gw_size"_id);
    call(change, login.cid, login.endpoint, name, to_size);
    return call_method(self, "_saveMemento"_id);
}

constexpr Params kSizes = params(arg("spoke_gw_name"), arg("from_gw_size"), arg("to_gw_size"));

constexpr auto kChangeSpokeSize = function_def(
    "changeSpokeSize",
    params(arg("CID"), arg("controller_api_url"), arg("spoke_gw_name"), arg("spoke_gw_size")),
    &changeSpokeSize,
    "Set the instance size of a spoke gateway; no resize is sent when it already has that\n"
    "size. Returns None.");

constexpr auto kMementoInit =
    method_def("ResizeSpokeGatewayMemento.__init__", kSizes, &init,
               "Remember a resize of spoke_gw_name from from_gw_size to to_gw_size.");
constexpr auto kMementoRestore =
    method_def("ResizeSpokeGatewayMemento.restore", params(), &memento_restore,
               "Resize the gateway back to from_gw_size.");
constexpr auto kMementoToDict =
    method_def("ResizeSpokeGatewayMemento.toDict", params(), &attribute_dict,
               "The memento's own attribute dictionary (not a copy).");

constexpr auto kCmdInit = method_def("ResizeSpokeGatewayCmd.__init__", kSizes, &init,
                                     "A resize of spoke_gw_name from from_gw_size to to_gw_size.");
constexpr auto kCmdSaveMemento =
    method_def("ResizeSpokeGatewayCmd._saveMemento", params(), &cmd_save_memento,
               "A new ResizeSpokeGatewayMemento of this resize.");
constexpr auto kCmdExecute = method_def("ResizeSpokeGatewayCmd.execute", params(), &cmd_execute,
                                        "Resize the gateway to to_gw_size; returns the memento.");

}  // namespace

void add_resize_operation(PyObject* m) { def<kChangeSpokeSize>(m); }

void add_resize_classes(PyObject* m) {
    Scope g(PyModule_GetDict(m));
    def_class<kMementoInit, kMementoRestore, kMementoToDict>(
        m, "ResizeSpokeGatewayMemento", bases_of(g, "Memento"_id),
        "Undo record of a spoke gateway resize.");
    def_class<kCmdInit, kCmdSaveMemento, kCmdExecute>(
        m, "ResizeSpokeGatewayCmd", plain_bases(), "Resize a spoke gateway as an undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
