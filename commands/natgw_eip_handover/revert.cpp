// Revert: undo every recorded step of the VPC's migration, newest first, across all groups; and
// cleanup, which has nothing to do yet.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {

void revert(const Scope& g, PyObject*, PyObject* config) {
    framework::Config ca = framework::open_config(g, config);
    Ref password = environment_value(g, ca.controller_password_env());

    framework::Settings globals(g);
    Ref client_mgr = call(g["AwsClientManager"_id], config);
    globals.set_aws_client_manager(client_mgr);
    Ref s3_client = call_method(client_mgr, "getS3Client"_id);

    Ref backup_des;
    Ref folder = log_in_and_download(g, ca, password, s3_client, backup_des);

    framework::MementoHistory history(g);
    history.init(folder);
    while (!history.is_empty()) {
        // The group mark is only needed to put a memento back whose restore fails.
        Ref is_cmd_begin = history.is_cmd_begin();
        Ref memento = history.pop();
        restore_or_put_back(history, memento, is_cmd_begin);
    }

    framework::Backup(g, s3_client, backup_des).upload();
}

Ref log_in_and_download(const Scope& g, const framework::Config& ca, PyObject* password,
                        PyObject* s3_client, Ref& backup_des) {
    framework::Settings globals(g);
    Ref cid = framework::controller_login(g, ca, password);
    globals.set_cid(cid);
    globals.set_controller_ip(ca.controller_ip());

    call_method(call(g["CreateCorvaneAccount"_id], ca.adaptor()), "execute"_id);

    backup_des = ca.backup_descriptor();
    framework::Backup(g, Ref::borrow(s3_client), backup_des).download();
    return call_method(backup_des, "getAbsolutePath"_id);
}

void cleanup(const Scope& g, PyObject*, PyObject*) {
    call_method(module_logger(g), "info"_id, "Not implemented"_id);
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
