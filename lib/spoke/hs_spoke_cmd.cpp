// The command that creates and deletes one HS spoke gateway, and the memento of a creation.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

// ---- HsSpokeCreateMemento

void memento_init(py::object self, py::object spoke_info) {
    set_attributes(self, {{"spoke_info", spoke_info}});
}

py::object memento_get_spoke_info(py::object self) { return self.attr("spoke_info"_n); }

// Deletes the gateway the memento names, through a command with every setting at its default.
void memento_restore(py::object self) {
    py::object cmd = global("HsSpokeCmd")();
    py::object delete_gw = cmd.attr("delete"_n);
    py::object spoke_info = self.attr("spoke_info"_n);
    delete_gw(item(spoke_info, "gw_name"));
}

// ---- HsSpokeCmd

void cmd_init(py::object self, py::object account_name, py::object spoke_gw_name,
              py::object spoke_gw_size, py::object vpc_id, py::object region, py::object primary) {
    set_attributes(self, {{"account_name", account_name},
                          {"spoke_gw_name", spoke_gw_name},
                          {"spoke_gw_size", spoke_gw_size},
                          {"vpc_id", vpc_id},
                          {"region", region},
                          {"primary", primary}});
}

py::object cmd_save_mememto(py::object /*self*/, py::object spoke_info) {
    return global("HsSpokeCreateMemento")(spoke_info);
}

bool creation_failed(const py::object& spoke_info) {
    return spoke_info.is_none() || item(spoke_info, "gw_name").is_none();
}

py::object cmd_create(py::object self, py::object subnet_cidr, py::object eip, py::object gw_size,
                      py::object ha_gw_name, py::object tag) {
    Login login = begin_command(self, kApiV2);
    py::object size = self.attr("spoke_gw_size"_n);
    if (size.is_none()) size = gw_size;

    py::object spoke_info;
    if (truthy(self.attr("primary"_n))) {
        py::object deploy = global("deployPrimaryHsSpoke");
        py::object account_name = self.attr("account_name"_n);
        py::object spoke_gw_name = self.attr("spoke_gw_name"_n);
        py::object vpc_id = self.attr("vpc_id"_n);
        py::object region = self.attr("region"_n);
        spoke_info = deploy(login.cid, login.endpoint, account_name, spoke_gw_name, size, vpc_id,
                            region, subnet_cidr, eip, tag);
    } else {
        py::object deploy = global("deployHaHsSpoke");
        py::object spoke_gw_name = self.attr("spoke_gw_name"_n);
        spoke_info = deploy(login.cid, login.endpoint, spoke_gw_name, size, subnet_cidr, eip,
                            ha_gw_name, tag);
    }

    if (!dry_run_set() && creation_failed(spoke_info)) {
        py::object rollback = global("CorvaneRollbackException");
        tidewall::raise(rollback,
                        line("Spoke gateway ", self.attr("spoke_gw_name"_n), " creation failure"));
    }
    return self.attr("_saveMememto"_n)(spoke_info);
}

void cmd_delete(py::object self, py::object spoke_gw_name) {
    Login login = begin_command(self, kApiV2);
    Log log;
    py::object name =
        spoke_gw_name.is_none() ? py::object(self.attr("spoke_gw_name"_n)) : spoke_gw_name;
    log.info(line("- Delete HS spoke gateway ", name));
    global("deleteHsSpoke")(login.cid, login.endpoint, name);
}

}  // namespace

void add_hs_spoke_classes(py::module_& m) {
    py::dict memento;
    memento["__init__"_n] = def_method<&memento_init>(
        m, "HsSpokeCreateMemento", "__init__", "spoke_info",
        "Remember the spoke info record of a created HS spoke gateway.", py::arg("spoke_info"));
    memento["getSpokeInfo"_n] =
        def_method<&memento_get_spoke_info>(m, "HsSpokeCreateMemento", "getSpokeInfo", "",
                                            "The stored spoke info record (the same object).");
    memento["restore"_n] =
        def_method<&memento_restore>(m, "HsSpokeCreateMemento", "restore", "",
                                     "Delete the gateway named in the stored spoke info record.");
    memento["toDict"_n] = to_dict_method<MementoClass::HsSpokeCreate>(m, "HsSpokeCreateMemento");
    def_class(m, "HsSpokeCreateMemento", bases_of("Memento"), memento,
              "Undo record of an HS spoke gateway creation.");

    py::dict cmd;
    cmd["__init__"_n] = def_method<&cmd_init>(
        m, "HsSpokeCmd", "__init__",
        "account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, region=None, "
        "primary=True",
        "Creation and deletion of one HS spoke gateway (primary, or HA when primary is false).",
        py::arg("account_name") = py::none(), py::arg("spoke_gw_name") = py::none(),
        py::arg("spoke_gw_size") = py::none(), py::arg("vpc_id") = py::none(),
        py::arg("region") = py::none(), py::arg("primary") = true);
    cmd["_saveMememto"_n] = def_method<&cmd_save_mememto>(
        m, "HsSpokeCmd", "_saveMememto", "spoke_info",
        "A new HsSpokeCreateMemento holding spoke_info.", py::arg("spoke_info"));
    cmd["create"_n] = def_method<&cmd_create>(
        m, "HsSpokeCmd", "create", "subnet_cidr, eip, gw_size, ha_gw_name=None, tag=None",
        "Create the gateway in subnet_cidr; returns its HsSpokeCreateMemento. Raises\n"
        "CorvaneRollbackException when the creation failed (not in dry-run mode).",
        py::arg("subnet_cidr"), py::arg("eip"), py::arg("gw_size"),
        py::arg("ha_gw_name") = py::none(), py::arg("tag") = py::none());
    cmd["delete"_n] =
        def_method<&cmd_delete>(m, "HsSpokeCmd", "delete", "spoke_gw_name=None",
                                "Delete one HS spoke gateway (default: the command's own).",
                                py::arg("spoke_gw_name") = py::none());
    def_class(m, "HsSpokeCmd", plain_bases(), cmd,
              "Create or delete one HS spoke gateway as an undoable step.");
}

}  // namespace spoke
}  // namespace tidewall
