// Shared declarations of the NAT-gateway replacement command: the operations of `Manager`, the
// values the preparation hands to the replacement steps, and the few interpreter services
// (logger, print, exit, traceback, environment, next) looked up at call time.
#pragma once

#include <tidewall/framework.hpp>
#include <tidewall/pyhost.hpp>

namespace tidewall __attribute__((visibility("hidden"))) {
    namespace natgw_eip_handover {

    inline constexpr const char* kModuleName = "tidewall.commands.natgw_eip_handover";

    // The module's logger.
    inline py::object module_logger(const ModuleScope& g) {
        return g("logging").attr("getLogger")(kModuleName);
    }

    // `print(text)` to the current standard output.
    inline void print_line(const ModuleScope& g, const char* text) { g("print")(text); }

    // `exit(code)`: raises SystemExit, which is left to propagate.
    inline void exit_run(const ModuleScope& g, int code) { g("exit")(code); }

    // `traceback.print_exc()`: the exception being handled (see HandlingScope), to standard error.
    inline void print_current_exception(const ModuleScope& g) {
        g("traceback").attr("print_exc")();
    }

    // `os.environ.get(name)`: the value, or None when the variable is not set.
    inline py::object environment_value(const ModuleScope& g, py::handle name) {
        return g("os").attr("environ").attr("get")(name);
    }

    // `next(it)`: an exhausted iterator raises StopIteration, which propagates.
    inline py::object draw(const ModuleScope& g, py::handle it) { return g("next")(it); }

    // While alive, the caught error is the exception being handled, as inside an `except` block:
    // its __traceback__ is set, an error raised meanwhile gets it as __context__, and
    // sys.exc_info() shows it.
    class HandlingScope {
      public:
        explicit HandlingScope(const py::error_already_set& e)
            : previous_(PyErr_GetHandledException()) {
            if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
            PyErr_SetHandledException(e.value().ptr());
        }
        ~HandlingScope() {
            PyErr_SetHandledException(previous_);
            Py_XDECREF(previous_);
        }
        HandlingScope(const HandlingScope&) = delete;
        HandlingScope& operator=(const HandlingScope&) = delete;

      private:
        PyObject* previous_;
    };

    // What the preparation hands on to the replacement steps.
    struct Prepared {
        py::object logger;
        framework::Config ca;
        py::object ec2_client;
        py::object s3_client;
        py::object backup_des;
        py::object vpc_backup_folder;
        py::object spoke_gw_tag;
        py::object nat_gw_infos;
    };

    // Lookups (class methods; `cls` is the class they are called through).
    py::object get_natgw_id_by_subnet(const ModuleScope& g, py::handle cls, py::handle ec2_client,
                                      py::handle subnet_id, py::handle vpc_id);
    py::object get_natgw_infos(const ModuleScope& g, py::handle cls, py::handle ec2_client,
                               py::handle ca);

    // First phase of execute: clients, login, backup, histories, discovery. Exits the run
    // (SystemExit) on a bad tag or a discovery with fewer than two NAT gateways.
    Prepared prepare(const ModuleScope& g, py::handle cls, py::handle config);

    // Second phase of execute: the replacement steps, the rollback of the current group on
    // CorvaneRollbackException, and the upload of the backup folder.
    void replace_nat_gateways(const ModuleScope& g, const Prepared& p);

    // Restore `memento`; when its restore fails, it has already been popped, so it is put back
    // on the history with its group mark before the error goes on.
    void restore_or_put_back(const framework::MementoHistory& history, py::handle memento,
                             py::handle mark);

    py::object execute(const ModuleScope& g, py::handle cls, py::handle config);
    py::object revert(const ModuleScope& g, py::handle cls, py::handle config);
    py::object cleanup(const ModuleScope& g, py::handle cls, py::handle config);

    }  // namespace natgw_eip_handover
}  // namespace tidewall
