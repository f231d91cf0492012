// First phase of a migration run: AWS clients, controller login published in Globals, the
// controller access account, the backup folder from S3, the command history, the spoke tag, the
// NAT-gateway discovery (first run only), the refreshed NAT-gateway list and the memento history.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {
namespace {

// The spoke tag as "k1:v1,k2:v2", or None for no tags. A colon-free value lists keys
// and values alternately; an odd number of items ends the run.
py::object normalise_spoke_tag(const ModuleScope& g, const py::object& logger,
                               const framework::Config& ca) {
    py::object configured = ca.spoke_gw_tag();
    if (configured.is_none() || length(configured) == 0) return py::none();
    // Python's `in`: __contains__, else iteration.
    int has_colon = PySequence_Contains(configured.ptr(), py::str(":").ptr());
    if (has_colon < 0) throw py::error_already_set();
    if (has_colon) return configured;

    py::object items = configured.attr("lstrip")(py::str(",")).attr("split")(py::str(","));
    Py_ssize_t count = length(items);
    if (count % 2 != 0) {
        logger.attr("error")(py::str("spoke_gw_tag: ") + configured + py::str(" mismatched"));
        exit_run(g, 1);
    }
    py::object pairs = py::str("");
    for (Py_ssize_t i = 0; i < count; i += 2) {
        pairs = pairs + py::str(",") + items[py::int_(i)] + py::str(":") + items[py::int_(i + 1)];
    }
    return pairs.attr("lstrip")(py::str(","));
}

// The NAT gateways to replace, with their sizes, recorded as command 0.
void discover(const ModuleScope& g, const framework::Config& ca, const py::object& ec2_client,
              const py::object& cw_client, const py::object& vpc_backup_folder) {
    framework::Settings globals(g);
    py::object nat_gws = g("get_existing_natgws")(ec2_client, py::none(), ca.vpc_id());

    py::object num_of_spoke;
    if (equals(ca.hs_mode(), py::int_(2))) {
        num_of_spoke = py::int_(length(nat_gws));
    } else {
        py::object limit = globals.hs_limit();
        py::object count = py::int_(length(nat_gws));
        num_of_spoke = limit < count ? limit : count;
    }

    py::list nat_gw_ids;
    for (py::handle nat_gw : nat_gws) nat_gw_ids.append(nat_gw[py::str("NatGatewayId")]);

    py::object backup_all_rtbs = g("backupAllRtbs");
    py::object vpc_id = ca.vpc_id();
    py::object tag_route_table = ca.tag_route_table();
    backup_all_rtbs(ec2_client, vpc_backup_folder, vpc_id, tag_route_table, nat_gw_ids,
                    py::arg("version") = framework::kJournalVersion);

    py::object gw_size_cmd = g("DetermineGwSizeCmd")(ec2_client, cw_client, num_of_spoke, nat_gws);
    gw_size_cmd.attr("execute")();
    py::object nat_gw_infos = gw_size_cmd.attr("getNatGwInfo")();
    framework::CommandHistory(g).log_discover_natgw_cmd(nat_gw_infos);

    if (length(nat_gw_infos) == 0) {
        print_line(g, "**Error** cleanup has been done, rollback is not allowed!");
        exit_run(g, 1);
    }
    if (length(nat_gw_infos) == 1) {
        print_line(g, "**Error** natgw_eip_handover requires two Natgw, only 1 is found");
        exit_run(g, 1);
    }
}

}  // namespace

Prepared prepare(const ModuleScope& g, py::handle cls, py::handle config) {
    py::object logger = module_logger(g);
    framework::Config ca = framework::open_config(g, config);
    framework::Settings globals(g);

    py::object client_mgr = g("AwsClientManager")(config);
    globals.set_aws_client_manager(client_mgr);
    py::object ec2_client = client_mgr.attr("getEc2Client")();
    py::object cw_client = client_mgr.attr("getCwClient")();
    py::object s3_client = client_mgr.attr("getS3Client")();

    py::object password = environment_value(g, ca.controller_password_env());
    py::object cid = framework::controller_login(g, ca, password);
    globals.set_cid(cid);
    globals.set_controller_ip(ca.controller_ip());

    g("CreateCorvaneAccount")(ca.adaptor()).attr("execute")();

    py::object backup_des = ca.backup_descriptor();
    framework::Backup(g, s3_client, backup_des).download();
    py::object vpc_backup_folder = backup_des.attr("getAbsolutePath")();

    framework::CommandHistory command_history(g);
    command_history.init(vpc_backup_folder, ca);

    py::object spoke_gw_tag = normalise_spoke_tag(g, logger, ca);

    if (!command_history.is_command_i_done(0))
        discover(g, ca, ec2_client, cw_client, vpc_backup_folder);

    py::object nat_gw_infos = cls.attr("get_natgw_infos")(ec2_client, ca.adaptor());
    framework::MementoHistory(g).init(vpc_backup_folder);

    return Prepared{logger,       ca,          ec2_client, s3_client, backup_des, vpc_backup_folder,
                    spoke_gw_tag, nat_gw_infos};
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
