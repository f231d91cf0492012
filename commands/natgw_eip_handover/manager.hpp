// Shared declarations of the NAT-gateway replacement command: the operations of `Manager`, the
// values the preparation hands to the replacement steps, and the few interpreter services
// (logger, print, exit, traceback, environment, next) looked up at call time.
#pragma once

#include <tidewall/define.hpp>
#include <tidewall/framework.hpp>
#include <tidewall/py.hpp>

namespace tidewall {
namespace natgw_eip_handover {

// The module's logger.
__attribute__((always_inline)) inline Ref module_logger(const Scope& g) {
    return call_method(g["logging"_id], "getLogger"_id, "tidewall.commands.natgw_eip_handover"_id);
}

// `print(text)` to the current standard output.
inline void print_line(const Scope& g, PyObject* line) { call(g["print"_id], line); }

// `exit(code)`: raises SystemExit, which is left to propagate.
inline void exit_run(const Scope& g, long code) { call(g["exit"_id], integer(code)); }

// `traceback.print_exc()`: the exception being handled (see Handling), to standard error.
inline void print_current_exception(const Scope& g) {
    call_method(g["traceback"_id], "print_exc"_id);
}

// `os.environ.get(name)`: the value, or None when the variable is not set.
inline Ref environment_value(const Scope& g, PyObject* name) {
    return call_method(attr(g["os"_id], "environ"_id), "get"_id, name);
}

// `next(it)`: an exhausted iterator raises StopIteration, which propagates.
inline Ref draw(const Scope& g, PyObject* it) { return call(g["next"_id], it); }

// What the preparation hands on to the replacement steps.
struct Prepared {
    Ref logger;
    framework::Config ca;
    Ref ec2_client;
    Ref s3_client;
    Ref backup_des;
    Ref vpc_backup_folder;
    Ref spoke_gw_tag;
    Ref nat_gw_infos;
};

// Lookups (class methods; `cls` is the class they are called through).
Ref get_natgw_id_by_subnet(const Scope& g, PyObject* cls, PyObject* ec2_client, PyObject* subnet_id,
                           PyObject* vpc_id);
Ref get_natgw_infos(const Scope& g, PyObject* cls, PyObject* ec2_client, PyObject* ca);

// What execute and revert both start with, once the AWS clients are made: the controller login
// published in Globals, the controller access account, and the backup folder from S3. Sets
// `backup_des` to the configured descriptor and returns the folder's absolute path.
Ref log_in_and_download(const Scope& g, const framework::Config& ca, PyObject* password,
                        PyObject* s3_client, Ref& backup_des);

// First phase of execute: clients, login, backup, histories, discovery. Exits the run
// (SystemExit) on a bad tag or a discovery with fewer than two NAT gateways.
Prepared prepare(const Scope& g, PyObject* cls, PyObject* config);

// Second phase of execute: the replacement steps, the rollback of the current group on
// CorvaneRollbackException, and the upload of the backup folder.
void replace_nat_gateways(const Scope& g, const Prepared& p);

// Restore `memento`; when its restore fails, it has already been popped, so it is put back
// on the history with its group mark before the error goes on.
void restore_or_put_back(const framework::MementoHistory& history, PyObject* memento,
                         PyObject* mark);

void execute(const Scope& g, PyObject* cls, PyObject* config);
void revert(const Scope& g, PyObject* cls, PyObject* config);
void cleanup(const Scope& g, PyObject* cls, PyObject* config);

}  // namespace natgw_eip_handover
}  // namespace tidewall
