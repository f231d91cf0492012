// Revert: undo every recorded step of the VPC's migration, newest first, across all groups; and
// cleanup, which has nothing to do yet.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

py::object revert(const ModuleScope& g, py::handle /*cls*/, py::handle config) {
    framework::Config ca = framework::open_config(g, config);
    py::object password = environment_value(g, ca.controller_password_env());

    framework::Settings globals(g);
    py::object client_mgr = g("AwsClientManager")(config);
    globals.set_aws_client_manager(client_mgr);
    py::object s3_client = client_mgr.attr("getS3Client")();

    py::object cid = framework::controller_login(g, ca, password);
    globals.set_cid(cid);
    globals.set_controller_ip(ca.controller_ip());

    g("CreateCorvaneAccount")(ca.adaptor()).attr("execute")();

    py::object backup_des = ca.backup_descriptor();
    framework::Backup(g, s3_client, backup_des).download();
    py::object folder = backup_des.attr("getAbsolutePath")();

    framework::MementoHistory history(g);
    history.init(folder);
    while (!history.is_empty()) {
        // The group mark is only needed to put a memento back whose restore fails.
        py::object is_cmd_begin = history.is_cmd_begin();
        py::object memento = history.pop();
        restore_or_put_back(history, memento, is_cmd_begin);
    }

    framework::Backup(g, s3_client, backup_des).upload();
    return py::none();
}

py::object cleanup(const ModuleScope& g, py::handle /*cls*/, py::handle /*config*/) {
    module_logger(g).attr("info")("Not implemented");
    return py::none();
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
