// Second phase of a migration run: the NAT gateways are replaced one by one, each state-changing
// action an undoable command whose memento goes to the memento history. An action whose memento an
// interrupted earlier run already recorded is skipped (one draw from the history per action, in
// append order). A CorvaneRollbackException undoes the current group, uploads the backup folder
// and ends the run with exit status 1.
#include "manager.hpp"

namespace tidewall {
namespace natgw_eip_handover {
namespace {

// What the acceptance test is told about the NAT gateways it compares against.
Ref test_targets(PyObject* nat_gw_infos) {
    Ref targets = Ref::steal(PyList_New(0));
    for_each(nat_gw_infos, [&](PyObject* x) {
        Ref target =
            record<"nat_gw_id", "gw_name", "gw_public_ip", "gw_private_ip", "gw_subnet_id">(
                {item(x, "nat_gw_id"_id), item(x, "nat_gw_id"_id), item(x, "eip"_id),
                 item(x, "private_ip"_id), item(x, "subnet_id"_id)});
        check(PyList_Append(targets, target));
    });
    return targets;
}

// Field `key` of NAT-gateway info record `index`.
Ref field_of(PyObject* nat_gw_infos, Py_ssize_t index, PyObject* key) {
    return item(at(nat_gw_infos, index), key);
}

class Steps {
  public:
    Steps(const Scope& g, const Prepared& p)
        : g_(g), p_(p), ca_(p.ca), history_(g), spoke_info_(none()) {}

    // The whole replacement; raises whatever a step raises.
    void run() {
        is_memento_exist_ = history_.is_memento_exist();
        if (test_enabled() && !drawn()) opening_test();

        bool stopped = false;
        Py_ssize_t i = 0;
        Ref it = iterate(p_.nat_gw_infos);
        for (Ref rec; next_item(it, rec); ++i) {
            if (equals(ca_.hs_mode(), integer(1)) && i > 1) continue;
            framework::Settings globals(g_);
            if (compare(globals.cmdcnt(), integer(0), Py_GE) &&
                compare(integer(i), globals.cmdcnt(), Py_GE)) {
                call_method(p_.logger, "info"_id,
                            add("- Terminate with command count "_id, str(globals.cmdcnt())));
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

    bool test_enabled() const { return equals(ca_.enable_test(), Py_True); }

    // The baseline of the acceptance test, before anything changes.
    void opening_test() {
        Ref test_cmd = g_["TestCmd"_id];
        Ref input_test_config = ca_.input_test_config();
        Ref output_test_config = ca_.output_test_config();
        Ref cmd =
            call(test_cmd, input_test_config, output_test_config, test_targets(p_.nat_gw_infos));
        history_.append(call_method(cmd, "execute"_id));
    }

    Ref snapshot(PyObject* tag) {
        Ref snapshot_cmd = g_["SnapshotRTCmd"_id];
        Ref vpc_id = ca_.vpc_id();
        Ref s3_bucket = ca_.s3_bucket();
        Ref cmd = call(snapshot_cmd,
                       {p_.ec2_client, p_.vpc_backup_folder, vpc_id, p_.nat_gw_infos, s3_bucket},
                       Kw<"tag", "version">(tag, framework::journal_version()));
        return call_method(cmd, "execute"_id);
    }

    Ref delete_nat_gateway(PyObject* rec) {
        Ref nat_gw_cmd = g_["NatGwCmd"_id];
        Ref vpc_id = ca_.vpc_id();
        Ref cmd = call(nat_gw_cmd, {p_.ec2_client, vpc_id, p_.vpc_backup_folder},
                       Kw<"version">(framework::journal_version()));
        return call_method(cmd, "delete"_id, rec);
    }

    // The spoke gateway in the record's subnet, taking over its Elastic IP (the primary is made
    // at its initial size, the HA gateways at the target size).
    void create_spoke(PyObject* rec, bool primary, PyObject* size_key) {
        Ref hs_spoke_cmd = g_["HsSpokeCmd"_id];
        Ref aws_account_name = ca_.aws_account_name();
        Ref spoke_gw_name = ca_.spoke_gw_name();
        Ref spoke_gw_size = ca_.spoke_gw_size();
        Ref vpc_id = ca_.vpc_id();
        Ref region = ca_.region();
        Ref cmd =
            call(hs_spoke_cmd, {aws_account_name, spoke_gw_name, spoke_gw_size, vpc_id, region},
                 Kw<"primary">(boolean(primary)));
        Ref create = attr(cmd, "create"_id);
        Ref subnet_cidr = item(rec, "subnet_cidr"_id);
        Ref eip = item(rec, "eip"_id);
        Ref size = item(rec, size_key);
        Ref spoke_memento = call(create, {subnet_cidr, eip, size}, Kw<"tag">(p_.spoke_gw_tag));
        spoke_info_ = call_method(spoke_memento, "getSpokeInfo"_id);
        history_.append(spoke_memento);
    }

    // NAT gateway 0: its group opens with the "s1" snapshot.
    void replace_first(PyObject* rec) {
        if (!drawn()) history_.append(snapshot("s1"_id), Py_True);
        if (!drawn()) {
            Ref traffic_cmd = g_["NatGwTrafficCmd"_id];
            Ref nat_gw_id = field_of(p_.nat_gw_infos, 0, "nat_gw_id"_id);
            Ref subnet_id = field_of(p_.nat_gw_infos, 0, "subnet_id"_id);
            Ref vpc_id = ca_.vpc_id();
            Ref cmd = call(traffic_cmd,
                           {p_.ec2_client, nat_gw_id, subnet_id, vpc_id, p_.vpc_backup_folder},
                           Kw<"tag">("s1"_id));
            Ref move_traffic = attr(cmd, "moveTraffic"_id);
            history_.append(call(move_traffic, field_of(p_.nat_gw_infos, 1, "subnet_id"_id)));
        }
        if (!drawn()) history_.append(delete_nat_gateway(rec));
        if (!drawn())
            create_spoke(rec, true, "initial_size"_id);
        else
            spoke_info_ = none();
        if (!drawn()) history_.append(snapshot("s2"_id));
        if (!drawn()) {
            Ref snat_cmd = g_["SnatCmd"_id];
            history_.append(call_method(call(snat_cmd, ca_.spoke_gw_name()), "enable"_id));
        }
    }

    // NAT gateways 1 and on: each group opens with the deletion.
    void replace_next(PyObject* rec) {
        if (!drawn()) history_.append(delete_nat_gateway(rec), Py_True);
        if (!drawn())
            create_spoke(rec, false, "size"_id);
        else
            spoke_info_ = none();
    }

    // Only for a spoke created in this run.
    void acceptance_test() {
        if (!test_enabled() || spoke_info_.is_none()) return;
        Ref generate_test_config = attr(g_["Test"_id], "generate_test_config"_id);
        Ref input_test_config = ca_.input_test_config();
        Ref output_test_config = ca_.output_test_config();
        call(generate_test_config, input_test_config, output_test_config, spoke_info_);
        if (equals(call_method(g_["Test"_id], "run_test"_id), Py_False))
            raise(g_["CorvaneRollbackException"_id], "EC2 test failure"_id);
    }

    // The primary spoke from its initial size to the target size, unless a size is forced.
    void resize_primary() {
        if (!ca_.spoke_gw_size().is_none()) return;
        Ref size = field_of(p_.nat_gw_infos, 0, "size"_id);
        Ref initial_size = field_of(p_.nat_gw_infos, 0, "initial_size"_id);
        if (!differs(size, initial_size)) return;
        if (drawn()) return;
        Ref resize_cmd = g_["ResizeSpokeGatewayCmd"_id];
        Ref spoke_gw_name = ca_.spoke_gw_name();
        initial_size = field_of(p_.nat_gw_infos, 0, "initial_size"_id);
        size = field_of(p_.nat_gw_infos, 0, "size"_id);
        history_.append(
            call_method(call(resize_cmd, spoke_gw_name, initial_size, size), "execute"_id));
    }

    Scope g_;
    const Prepared& p_;
    const framework::Config& ca_;
    framework::MementoHistory history_;
    Ref is_memento_exist_;
    Ref spoke_info_;
};

// Undo the current group, newest first, down to and including the memento that opened
// it. A failure on the way (other than SystemExit/KeyboardInterrupt) is reported and
// ends the rollback where it happened.
void roll_back_current_group(const Scope& g, const Prepared& p, const Caught& e) {
    try {
        call_method(p.logger, "error"_id, add("  **Error** "_id, str(e.value())));
        print_current_exception(g);
        framework::MementoHistory history(g);
        while (!history.is_empty()) {
            Ref is_cmd_begin = history.is_cmd_begin();
            Ref memento = history.pop();
            restore_or_put_back(history, memento, is_cmd_begin);
            if (truthy(is_cmd_begin)) break;
        }
    } catch (PyError&) {
        Caught failure;
        if (!failure.matches(PyExc_Exception)) failure.rethrow();
        Handling handling(failure);
        call_method(p.logger, "error"_id, add("  **Error** "_id, str(failure.value())));
        print_current_exception(g);
    }
}

}  // namespace

void restore_or_put_back(const framework::MementoHistory& history, PyObject* memento,
                         PyObject* mark) {
    try {
        call_method(memento, "restore"_id);
    } catch (PyError&) {
        // Keep the journal's record of the step that was not undone, as the group opener it was.
        Caught failure;
        {
            Handling handling(failure);
            if (truthy(mark))
                history.append(memento, Py_True);
            else
                history.append(memento);
        }
        failure.rethrow();
    }
}

void replace_nat_gateways(const Scope& g, const Prepared& p) {
    try {
        Steps(g, p).run();
    } catch (PyError&) {
        Caught e;
        if (!e.matches(g["CorvaneRollbackException"_id])) e.rethrow();
        {
            Handling handling(e);
            roll_back_current_group(g, p, e);
            framework::Backup(g, p.s3_client, p.backup_des).upload();
            exit_run(g, 1);
        }
    }
    // Normal end (and where an `exit` that returns would lead, as in Python).
    framework::Backup(g, p.s3_client, p.backup_des).upload();
}

}  // namespace natgw_eip_handover
}  // namespace tidewall
