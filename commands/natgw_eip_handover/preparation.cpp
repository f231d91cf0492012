// First phase of a migration run: AWS clients, controller login published in Globals, the
// controller access account, the backup folder from S3, the command history, the spoke tag, the
// NAT-gateway discovery (first run only), the refreshed NAT-gateway list and the memento history.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {
namespace {

// The spoke tag as "k1:v1,k2:v2", or None for no tags. A colon-free value lists keys
// and values alternately; an odd number of items ends the run.
Ref normalise_spoke_tag(const Scope& g, PyObject* logger, const framework::Config& ca) {
    Ref configured = ca.spoke_gw_tag();
    if (configured.is_none() || length(configured) == 0) return none();
    // Python's `in`: __contains__, else iteration.
    if (contains(configured, ":"_id)) return configured;

    Ref items = call_method(call_method(configured, "lstrip"_id, ","_id), "split"_id, ","_id);
    const Py_ssize_t count = length(items);
    if (count % 2 != 0) {
        call_method(logger, "error"_id,
                    add(add("spoke_gw_tag: "_id, configured), " mismatched"_id));
        exit_run(g, 1);
    }
    Ref pairs = Ref::borrow(""_id);
    for (Py_ssize_t i = 0; i < count; i += 2)
        pairs = add(add(add(add(pairs, ","_id), at(items, i)), ":"_id), at(items, i + 1));
    return call_method(pairs, "lstrip"_id, ","_id);
}

// The NAT gateways to replace, with their sizes, recorded as command 0.
void discover(const Scope& g, const framework::Config& ca, PyObject* ec2_client,
              PyObject* cw_client, PyObject* vpc_backup_folder) {
    framework::Settings globals(g);
    Ref get_existing_natgws = g["get_existing_natgws"_id];
    Ref nat_gws = call(get_existing_natgws, ec2_client, Py_None, ca.vpc_id());

    Ref num_of_spoke;
    if (equals(ca.hs_mode(), integer(2))) {
        num_of_spoke = integer(length(nat_gws));
    } else {
        Ref limit = globals.hs_limit();
        Ref count = integer(length(nat_gws));
        num_of_spoke = compare(limit, count, Py_LT) ? limit : count;
    }

    Ref nat_gw_ids = Ref::steal(PyList_New(0));
    for_each(nat_gws, [&](PyObject* nat_gw) {
        check(PyList_Append(nat_gw_ids, item(nat_gw, "NatGatewayId"_id)));
    });

    Ref backup_all_rtbs = g["backupAllRtbs"_id];
    Ref vpc_id = ca.vpc_id();
    Ref tag_route_table = ca.tag_route_table();
    call(backup_all_rtbs, {ec2_client, vpc_backup_folder, vpc_id, tag_route_table, nat_gw_ids},
         Kw<"version">(framework::journal_version()));

    Ref gw_size_cmd =
        call(g["DetermineGwSizeCmd"_id], ec2_client, cw_client, num_of_spoke, nat_gws);
    call_method(gw_size_cmd, "execute"_id);
    Ref nat_gw_infos = call_method(gw_size_cmd, "getNatGwInfo"_id);
    framework::CommandHistory(g).log_discover_natgw_cmd(nat_gw_infos);

    if (length(nat_gw_infos) == 0) {
        print_line(g, "**Error** cleanup has been done, rollback is not allowed!"_id);
        exit_run(g, 1);
    }
    if (length(nat_gw_infos) == 1) {
        print_line(g, "**Error** natgw_eip_handover requires two Natgw, only 1 is found"_id);
        exit_run(g, 1);
    }
}

}  // namespace

Prepared prepare(const Scope& g, PyObject* cls, PyObject* config) {
    Ref logger = module_logger(g);
    framework::Config ca = framework::open_config(g, config);
    framework::Settings globals(g);

    Ref client_mgr = call(g["AwsClientManager"_id], config);
    globals.set_aws_client_manager(client_mgr);
    Ref ec2_client = call_method(client_mgr, "getEc2Client"_id);
    Ref cw_client = call_method(client_mgr, "getCwClient"_id);
    Ref s3_client = call_method(client_mgr, "getS3Client"_id);

    Ref password = environment_value(g, ca.controller_password_env());
    Ref backup_des;
    Ref vpc_backup_folder = log_in_and_download(g, ca, password, s3_client, backup_des);

    framework::CommandHistory command_history(g);
    command_history.init(vpc_backup_folder, ca);

    Ref spoke_gw_tag = normalise_spoke_tag(g, logger, ca);

    if (!command_history.is_command_i_done(0))
        discover(g, ca, ec2_client, cw_client, vpc_backup_folder);

    Ref nat_gw_infos = call_method(cls, "get_natgw_infos"_id, ec2_client, ca.adaptor());
    framework::MementoHistory(g).init(vpc_backup_folder);

    return Prepared{logger,       ca,          ec2_client, s3_client, backup_des, vpc_backup_folder,
                    spoke_gw_tag, nat_gw_infos};
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
