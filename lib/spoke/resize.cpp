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
    Ref query =
        record<"CID", "action", "gateway_name">({CID, "get_gateway_info"_id, spoke_gw_name});
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
    Ref form = record<"CID", "action", "gw_name", "gw_size">(
        {CID, "change_gateway_size"_id, spoke_gw_name, spoke_gw_size});
    exchange(op, controller_api_url, form, kChange);
    return none();
}
constexpr auto kChangeSpokeSize = function_def(
    "changeSpokeSize(CID, controller_api_url, spoke_gw_name, spoke_gw_size)", &changeSpokeSize,
    "Set the instance size of a spoke gateway; no resize is sent when it already has that\n"
    "size. Returns None.");

constexpr ClassDef kResizeMementoClass{"ResizeSpokeGatewayMemento", "Memento",
                                       "Undo record of a spoke gateway resize."};
constexpr auto kMementoInit =
    init_def("ResizeSpokeGatewayMemento.__init__(self, spoke_gw_name, from_gw_size, to_gw_size)",
             "Remember a resize of spoke_gw_name from from_gw_size to to_gw_size.");
constexpr ClassDef kResizeCmdClass{"ResizeSpokeGatewayCmd", nullptr,
                                   "Resize a spoke gateway as an undoable step."};
constexpr auto kCmdInit =
    init_def("ResizeSpokeGatewayCmd.__init__(self, spoke_gw_name, from_gw_size, to_gw_size)",
             "A resize of spoke_gw_name from from_gw_size to to_gw_size.");

// ResizeSpokeGatewayMemento.restore: the same resize with the sizes swapped.
void memento_restore(const Scope& g, PyObject* self) {
    Ref cmd = construct_from<"spoke_gw_name", "to_gw_size", "from_gw_size">(
        g, "ResizeSpokeGatewayCmd"_id, self);
    call_method(cmd, "execute"_id);
}
constexpr auto kMementoRestore =
    method_def("ResizeSpokeGatewayMemento.restore(self)", &memento_restore,
               "Resize the gateway back to from_gw_size.");

Ref cmd_save_memento(const Scope& g, PyObject* self) {
    return construct_from<"spoke_gw_name", "from_gw_size", "to_gw_size">(
        g, "ResizeSpokeGatewayMemento"_id, self);
}
constexpr auto kCmdSaveMemento =
    method_def("ResizeSpokeGatewayCmd._saveMemento(self)", &cmd_save_memento,
               "A new ResizeSpokeGatewayMemento of this resize.");

Ref cmd_execute(const Scope& g, PyObject* self) {
    run_operation<"/v2/api", "changeSpokeSize", "spoke_gw_name", "to_gw_size">(g, self);
    return call_method(self, "_saveMemento"_id);
}
constexpr auto kCmdExecute = method_def("ResizeSpokeGatewayCmd.execute(self)", &cmd_execute,
                                        "Resize the gateway to to_gw_size; returns the memento.");

constexpr auto kMementoToDict =
    method_def("ResizeSpokeGatewayMemento.toDict(self)", &attribute_dict,
               "The memento's own attribute dictionary (not a copy).");

}  // namespace

void add_resize_operation(PyObject* m) { def<kChangeSpokeSize>(m); }

void add_resize_classes(PyObject* m) {
    def_class<kResizeMementoClass, kMementoInit, kMementoRestore, kMementoToDict>(m);
    def_class<kResizeCmdClass, kCmdInit, kCmdSaveMemento, kCmdExecute>(m);
}

}  // namespace spoke
}  // namespace tidewall
