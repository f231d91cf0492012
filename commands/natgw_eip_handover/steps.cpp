// Second phase of a migration run: the NAT gateways are replaced one by one, each state-changing
// action an undoable command whose memento goes to the memento history. An action whose memento an
// interrupted earlier run already recorded is skipped (one draw from the history per action, in
// append order). A CorvaneRollbackException undoes the current group, uploads the backup folder
// and ends the run with exit status 1.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {
namespace {

py::object item(py::handle container, const char* key) {
    return py::reinterpret_borrow<py::object>(container)[py::str(key)];
}

py::object element(py::handle container, Py_ssize_t index) {
    return py::reinterpret_borrow<py::object>(container)[py::int_(index)];
}

// What the acceptance test is told about the NAT gateways it compares against.
py::list test_targets(const py::object& nat_gw_infos) {
    py::list targets;
    for (py::handle x : nat_gw_infos) {
        py::dict target;
        target["nat_gw_id"] = item(x, "nat_gw_id");
        target["gw_name"] = item(x, "nat_gw_id");
        target["gw_public_ip"] = item(x, "eip");
        target["gw_private_ip"] = item(x, "private_ip");
        target["gw_subnet_id"] = item(x, "subnet_id");
        targets.append(target);
    }
    return targets;
}

class Steps {
  public:
    Steps(const ModuleScope& g, const Prepared& p)
        : g_(g), p_(p), ca_(p.ca), history_(g), spoke_info_(py::none()) {}

    // The whole replacement; raises whatever a step raises.
    void run() {
        is_memento_exist_ = history_.is_memento_exist();
        if (test_enabled() && !drawn()) opening_test();

        bool stopped = false;
        Py_ssize_t index = 0;
        for (py::handle record : p_.nat_gw_infos) {
            const Py_ssize_t i = index++;
            py::object rec = py::reinterpret_borrow<py::object>(record);
            if (equals(ca_.hs_mode(), py::int_(1)) && i > 1) continue;
            framework::Settings globals(g_);
            if (globals.cmdcnt() >= py::int_(0) && py::int_(i) >= globals.cmdcnt()) {
                p_.logger.attr("info")(py::str("- Terminate with command count ") +
                                       py::str(globals.cmdcnt()));
                stopped = true;
                break;
            }
            if (i == 0)
                replace_first(rec);
            else
                replace_next(rec);
            acceptance_test();
        }

        // A resize appended after an early stop would sit in the slot of the next
        // NAT gateway's deletion and make the next run skip that deletion: the primary
        // is resized only once every NAT gateway has been handled.
        if (!stopped) resize_primary();
    }

  private:
    bool drawn() { return truthy(draw(g_, is_memento_exist_)); }

    bool test_enabled() const { return equals(ca_.enable_test(), py::bool_(true)); }

    // The baseline of the acceptance test, before anything changes.
    void opening_test() {
        py::object test_cmd = g_("TestCmd");
        py::object input_test_config = ca_.input_test_config();
        py::object output_test_config = ca_.output_test_config();
        py::object cmd =
            test_cmd(input_test_config, output_test_config, test_targets(p_.nat_gw_infos));
        history_.append(cmd.attr("execute")());
    }

    py::object snapshot(const char* tag) {
        py::object snapshot_cmd = g_("SnapshotRTCmd");
        py::object vpc_id = ca_.vpc_id();
        py::object s3_bucket = ca_.s3_bucket();
        return snapshot_cmd(p_.ec2_client, p_.vpc_backup_folder, vpc_id, p_.nat_gw_infos, s3_bucket,
                            py::arg("tag") = tag, py::arg("version") = framework::kJournalVersion)
            .attr("execute")();
    }

    py::object delete_nat_gateway(const py::object& rec) {
        return g_("NatGwCmd")(p_.ec2_client, ca_.vpc_id(), p_.vpc_backup_folder,
                              py::arg("version") = framework::kJournalVersion)
            .attr("delete")(rec);
    }

    // The spoke gateway in the record's subnet, taking over its Elastic IP (the primary is made
    // at its initial size, the HA gateways at the target size).
    void create_spoke(const py::object& rec, bool primary, const char* size_key) {
        py::object hs_spoke_cmd = g_("HsSpokeCmd");
        py::object aws_account_name = ca_.aws_account_name();
        py::object spoke_gw_name = ca_.spoke_gw_name();
        py::object spoke_gw_size = ca_.spoke_gw_size();
        py::object vpc_id = ca_.vpc_id();
        py::object region = ca_.region();
        py::object cmd = hs_spoke_cmd(aws_account_name, spoke_gw_name, spoke_gw_size, vpc_id,
                                      region, py::arg("primary") = primary);
        py::object create = cmd.attr("create");
        py::object subnet_cidr = item(rec, "subnet_cidr");
        py::object eip = item(rec, "eip");
        py::object size = item(rec, size_key);
        py::object spoke_memento = create(subnet_cidr, eip, size, py::arg("tag") = p_.spoke_gw_tag);
        spoke_info_ = spoke_memento.attr("getSpokeInfo")();
        history_.append(spoke_memento);
    }

    // NAT gateway 0: its group opens with the "s1" snapshot.
    void replace_first(const py::object& rec) {
        if (!drawn()) history_.append(snapshot("s1"), py::bool_(true));
        if (!drawn()) {
            py::object traffic_cmd = g_("NatGwTrafficCmd");
            py::object nat_gw_id = item(element(p_.nat_gw_infos, 0), "nat_gw_id");
            py::object subnet_id = item(element(p_.nat_gw_infos, 0), "subnet_id");
            py::object vpc_id = ca_.vpc_id();
            py::object cmd = traffic_cmd(p_.ec2_client, nat_gw_id, subnet_id, vpc_id,
                                         p_.vpc_backup_folder, py::arg("tag") = "s1");
            py::object move_traffic = cmd.attr("moveTraffic");
            history_.append(move_traffic(item(element(p_.nat_gw_infos, 1), "subnet_id")));
        }
        if (!drawn()) history_.append(delete_nat_gateway(rec));
        if (!drawn())
            create_spoke(rec, true, "initial_size");
        else
            spoke_info_ = py::none();
        if (!drawn()) history_.append(snapshot("s2"));
        if (!drawn()) history_.append(g_("SnatCmd")(ca_.spoke_gw_name()).attr("enable")());
    }

    // NAT gateways 1 and on: each group opens with the deletion.
    void replace_next(const py::object& rec) {
        if (!drawn()) history_.append(delete_nat_gateway(rec), py::bool_(true));
        if (!drawn())
            create_spoke(rec, false, "size");
        else
            spoke_info_ = py::none();
    }

    // Only for a spoke created in this run.
    void acceptance_test() {
        if (!test_enabled() || spoke_info_.is_none()) return;
        py::object generate_test_config = g_("Test").attr("generate_test_config");
        py::object input_test_config = ca_.input_test_config();
        py::object output_test_config = ca_.output_test_config();
        generate_test_config(input_test_config, output_test_config, spoke_info_);
        if (equals(g_("Test").attr("run_test")(), py::bool_(false)))
            raise(g_("CorvaneRollbackException"), py::str("EC2 test failure"));
    }

    // The primary spoke from its initial size to the target size, unless a size is forced.
    void resize_primary() {
        if (!ca_.spoke_gw_size().is_none()) return;
        py::object size = item(element(p_.nat_gw_infos, 0), "size");
        py::object initial_size = item(element(p_.nat_gw_infos, 0), "initial_size");
        if (!differs(size, initial_size)) return;
        if (drawn()) return;
        py::object resize_cmd = g_("ResizeSpokeGatewayCmd");
        py::object spoke_gw_name = ca_.spoke_gw_name();
        initial_size = item(element(p_.nat_gw_infos, 0), "initial_size");
        size = item(element(p_.nat_gw_infos, 0), "size");
        history_.append(resize_cmd(spoke_gw_name, initial_size, size).attr("execute")());
    }

    ModuleScope g_;
    const Prepared& p_;
    const framework::Config& ca_;
    framework::MementoHistory history_;
    py::object is_memento_exist_;
    py::object spoke_info_;
};

// Undo the current group, newest first, down to and including the memento that opened
// it. A failure on the way (other than SystemExit/KeyboardInterrupt) is reported and
// ends the rollback where it happened.
void roll_back_current_group(const ModuleScope& g, const Prepared& p,
                             const py::error_already_set& e) {
    try {
        p.logger.attr("error")(py::str("  **Error** ") + py::str(e.value()));
        print_current_exception(g);
        framework::MementoHistory history(g);
        while (!history.is_empty()) {
            py::object is_cmd_begin = history.is_cmd_begin();
            py::object memento = history.pop();
            restore_or_put_back(history, memento, is_cmd_begin);
            if (truthy(is_cmd_begin)) break;
        }
    } catch (py::error_already_set& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
        HandlingScope handling(failure);
        p.logger.attr("error")(py::str("  **Error** ") + py::str(failure.value()));
        print_current_exception(g);
    }
}

}  // namespace

void restore_or_put_back(const framework::MementoHistory& history, py::handle memento,
                         py::handle mark) {
    try {
        memento.attr("restore")();
    } catch (py::error_already_set& failure) {
        // Keep the journal's record of the step that was not undone, as the group opener it was.
        HandlingScope handling(failure);
        if (truthy(mark))
            history.append(memento, py::bool_(true));
        else
            history.append(memento);
        throw;
    }
}

void replace_nat_gateways(const ModuleScope& g, const Prepared& p) {
    try {
        Steps(g, p).run();
    } catch (py::error_already_set& e) {
        if (!e.matches(g("CorvaneRollbackException"))) throw;
        HandlingScope handling(e);
        roll_back_current_group(g, p, e);
        framework::Backup(g, p.s3_client, p.backup_des).upload();
        exit_run(g, 1);
    }
    // Normal end (and where an `exit` that returns would lead, as in Python).
    framework::Backup(g, p.s3_client, p.backup_des).upload();
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
