// The command that creates and deletes one HS spoke gateway, and the memento of a creation.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// ---- HsSpokeCreateMemento

constexpr ClassDef kHsSpokeCreateMementoClass{"HsSpokeCreateMemento", "Memento",
                                              "Undo record of an HS spoke gateway creation."};
constexpr auto kMementoInit =
    init_def("HsSpokeCreateMemento.__init__(self, spoke_info)",
             "Remember the spoke info record of a created HS spoke gateway.");

Ref memento_get_spoke_info(const Scope&, PyObject* self) { return attr(self, "spoke_info"_id); }
constexpr auto kMementoGetSpokeInfo =
    method_def("HsSpokeCreateMemento.getSpokeInfo(self)", &memento_get_spoke_info,
               "The stored spoke info record (the same object).");

// Deletes the gateway the memento names, through a command with every setting at its default.
void memento_restore(const Scope& g, PyObject* self) {
    Ref cmd = call(g["HsSpokeCmd"_id]);
    Ref delete_gw = attr(cmd, "delete"_id);
    Ref spoke_info = attr(self, "spoke_info"_id);
    call(delete_gw, item(spoke_info, "gw_name"_id));
}
constexpr auto kMementoRestore =
    method_def("HsSpokeCreateMemento.restore(self)", &memento_restore,
               "Delete the gateway named in the stored spoke info record.");

// ---- HsSpokeCmd

constexpr ClassDef kHsSpokeCmdClass{"HsSpokeCmd", nullptr,
                                    "Create or delete one HS spoke gateway as an undoable step."};
constexpr auto kCmdInit = init_def(
    {"HsSpokeCmd.__init__(self, ", kCommandSettings, ", primary=True)"},
    "Creation and deletion of one HS spoke gateway (primary, or HA when primary is false).");

Ref cmd_save_mememto(const Scope& g, PyObject*, PyObject* spoke_info) {
    return call(g["HsSpokeCreateMemento"_id], spoke_info);
}
constexpr auto kCmdSaveMememto =
    method_def("HsSpokeCmd._saveMememto(self, spoke_info)", &cmd_save_mememto,
               "A new HsSpokeCreateMemento holding spoke_info.");

bool creation_failed(PyObject* spoke_info) {
    return spoke_info == Py_None || item(spoke_info, "gw_name"_id).is_none();
}

Ref cmd_create(const Scope& g, PyObject* self, PyObject* subnet_cidr, PyObject* eip,
               PyObject* gw_size, PyObject* ha_gw_name, PyObject* tag) {
    Login login = begin_command(g, self, "/v2/api"_id);
    // 1. The command's size, else the one asked for.
    Ref size = attr(self, "spoke_gw_size"_id);
    if (size.is_none()) size = Ref::borrow(gw_size);

    // 2. The primary gateway, or an HA gateway of it.
    Ref spoke_info;
    if (truthy(attr(self, "primary"_id))) {
        Ref deploy = g["deployPrimaryHsSpoke"_id];
        Ref account_name = attr(self, "account_name"_id);
        Ref spoke_gw_name = attr(self, "spoke_gw_name"_id);
        Ref vpc_id = attr(self, "vpc_id"_id);
        Ref region = attr(self, "region"_id);
        spoke_info = call(deploy, login.cid, login.endpoint, account_name, spoke_gw_name, size,
                          vpc_id, region, subnet_cidr, eip, tag);
    } else {
        Ref deploy = g["deployHaHsSpoke"_id];
        Ref spoke_gw_name = attr(self, "spoke_gw_name"_id);
        spoke_info = call(deploy, login.cid, login.endpoint, spoke_gw_name, size, subnet_cidr, eip,
                          ha_gw_name, tag);
    }

    // 3. A gateway that is not there undoes the current group.
    if (!dry_run_set(g) && creation_failed(spoke_info)) {
        Ref rollback = g["CorvaneRollbackException"_id];
        raise(rollback,
              text("Spoke gateway "_id, attr(self, "spoke_gw_name"_id), " creation failure"_id));
    }
    // 4. Its memento.
    return call_method(self, "_saveMememto"_id, spoke_info);
}
constexpr auto kCmdCreate = method_def(
    "HsSpokeCmd.create(self, subnet_cidr, eip, gw_size, ha_gw_name=None, tag=None)", &cmd_create,
    "Create the gateway in subnet_cidr; returns its HsSpokeCreateMemento. Raises\n"
    "CorvaneRollbackException when the creation failed (not in dry-run mode).");

void cmd_delete(const Scope& g, PyObject* self, PyObject* spoke_gw_name) {
    Login login = begin_command(g, self, "/v2/api"_id);
    Op op(g);
    Ref name =
        spoke_gw_name == Py_None ? attr(self, "spoke_gw_name"_id) : Ref::borrow(spoke_gw_name);
    op.info(text("- Delete HS spoke gateway "_id, name));
    call(g["deleteHsSpoke"_id], login.cid, login.endpoint, name);
}
constexpr auto kCmdDelete = method_def("HsSpokeCmd.delete(self, spoke_gw_name=None)", &cmd_delete,
                                       "Delete one HS spoke gateway (default: the command's own).");

constexpr auto kMementoToDict = method_def("HsSpokeCreateMemento.toDict(self)", &attribute_dict,
                                           "The memento's own attribute dictionary (not a copy).");

}  // namespace

void add_hs_spoke_classes(PyObject* m) {
    def_class<kHsSpokeCreateMementoClass, kMementoInit, kMementoGetSpokeInfo, kMementoRestore,
              kMementoToDict>(m);
    def_class<kHsSpokeCmdClass, kCmdInit, kCmdSaveMememto, kCmdCreate, kCmdDelete>(m);
}

}  // namespace spoke
}  // namespace tidewall
