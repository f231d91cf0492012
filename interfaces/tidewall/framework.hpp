// The migration framework's services as the NAT-gateway replacement command calls them: the
// configuration adaptor's fields, the run settings in Globals, the controller login, the command
// and memento histories of the backup folder, and the S3 backup of that folder.
//
// Every wrapper looks its outside name up in the module's globals at the moment it is called (a
// rebound module attribute is honoured) and reads attributes afresh on each access, the way the
// equivalent Python expression would. C++ leaves the order in which a call's arguments are
// evaluated open, so an argument with an observable effect (an adaptor read, a record lookup)
// is evaluated into a local first, in the order Python evaluates it.
#pragma once

#include <tidewall/pyhost.hpp>
#include <utility>

namespace tidewall __attribute__((visibility("hidden"))) {
    namespace framework {

    // The journal format both histories and the AWS-side commands are asked for.
    inline constexpr const char* kJournalVersion = "v2";

    // `ConfigAdaptor(config)`: read-only view of the configuration.
    class Config {
      public:
        explicit Config(py::object adaptor) : ca_(std::move(adaptor)) {}

        const py::object& adaptor() const { return ca_; }

        py::object controller_ip() const { return ca_.attr("controller_ip"); }
        py::object controller_user() const { return ca_.attr("controller_user"); }
        py::object controller_password_env() const { return ca_.attr("controller_password_env"); }
        py::object aws_account_name() const { return ca_.attr("aws_account_name"); }
        py::object region() const { return ca_.attr("region"); }
        py::object vpc_id() const { return ca_.attr("vpc_id"); }
        py::object s3_bucket() const { return ca_.attr("s3_bucket"); }
        py::object backup_descriptor() const { return ca_.attr("backup_descriptor"); }
        py::object spoke_gw_name() const { return ca_.attr("spoke_gw_name"); }
        py::object spoke_gw_size() const { return ca_.attr("spoke_gw_size"); }
        py::object spoke_gw_tag() const { return ca_.attr("spoke_gw_tag"); }
        py::object hs_mode() const { return ca_.attr("hs_mode"); }
        py::object tag_route_table() const { return ca_.attr("tag_route_table"); }
        py::object enable_test() const { return ca_.attr("enable_test"); }
        py::object input_test_config() const { return ca_.attr("input_test_config"); }
        py::object output_test_config() const { return ca_.attr("output_test_config"); }

      private:
        py::object ca_;
    };

    inline Config open_config(const ModuleScope& g, py::handle config) {
        return Config(g("ConfigAdaptor")(config));
    }

    // Process-wide run settings (class attributes of Globals).
    class Settings {
      public:
        explicit Settings(const ModuleScope& g) : g_(g) {}

        void set_aws_client_manager(py::handle v) const { cls().attr("aws_client_manager") = v; }
        void set_cid(py::handle v) const { cls().attr("CID") = v; }
        void set_controller_ip(py::handle v) const { cls().attr("controller_ip") = v; }
        py::object cmdcnt() const { return cls().attr("cmdcnt"); }
        py::object hs_limit() const { return cls().attr("HS_LIMIT"); }

      private:
        py::object cls() const { return g_("Globals"); }
        ModuleScope g_;
    };

    // Command history of the backup folder (class-level service).
    class CommandHistory {
      public:
        explicit CommandHistory(const ModuleScope& g) : g_(g) {}

        // `CommandHistory.init(folder, ca.vpc_id, version="v2")`: the method is looked up before
        // the adaptor is read, as Python evaluates the call.
        void init(py::handle folder, const Config& ca) const {
            py::object init = cls().attr("init");
            py::object vpc_id = ca.vpc_id();
            init(folder, vpc_id, py::arg("version") = kJournalVersion);
        }
        bool is_command_i_done(int i) const { return truthy(cls().attr("is_command_i_done")(i)); }
        void log_discover_natgw_cmd(py::handle nat_gw_infos) const {
            cls().attr("log_discover_natgw_cmd")(nat_gw_infos);
        }
        py::object get_discovered_natgws() const { return cls().attr("get_discovered_natgws")(); }

      private:
        py::object cls() const { return g_("CommandHistory"); }
        ModuleScope g_;
    };

    // Memento history of the backup folder (class-level service); pop order is the reverse
    // of append order, across runs.
    class MementoHistory {
      public:
        explicit MementoHistory(const ModuleScope& g) : g_(g) {}

        void init(py::handle folder) const { cls().attr("init")(folder); }
        // One truth value per memento slot in append order: true while a memento is held.
        py::object is_memento_exist() const { return cls().attr("is_memento_exist")(); }
        void append(py::handle memento) const { cls().attr("append")(memento); }
        // `mark` opens a rollback group when true.
        void append(py::handle memento, py::handle mark) const {
            cls().attr("append")(memento, py::arg("MarkBegin") = mark);
        }
        bool is_empty() const { return truthy(cls().attr("isEmpty")()); }
        // The answer as given: whether the top memento opened a group.
        py::object is_cmd_begin() const { return cls().attr("isCmdBegin")(); }
        py::object pop() const { return cls().attr("pop")(); }

      private:
        py::object cls() const { return g_("MementoHistory"); }
        ModuleScope g_;
    };

    // The S3 copy of the backup folder; every transfer uses a fresh S3BackupCmdV2.
    class Backup {
      public:
        Backup(const ModuleScope& g, py::object s3_client, py::object descriptor)
            : g_(g), s3_client_(std::move(s3_client)), descriptor_(std::move(descriptor)) {}

        void download() const { command().attr("download")(); }
        void upload() const { command().attr("upload")(); }

      private:
        py::object command() const { return g_("S3BackupCmdV2")(s3_client_, descriptor_); }
        ModuleScope g_;
        py::object s3_client_;
        py::object descriptor_;
    };

    // `_, second = value`, with the interpreter's own errors for a value that is not a pair.
    inline py::object second_of_pair(py::handle value) {
        PyObject* it = PyObject_GetIter(value.ptr());
        if (!it) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) &&
                Py_TYPE(value.ptr())->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                             Py_TYPE(value.ptr())->tp_name);
            }
            throw py::error_already_set();
        }
        py::object iter = py::reinterpret_steal<py::object>(it);
        py::object items[2];
        for (int i = 0; i < 2; ++i) {
            PyObject* item = PyIter_Next(iter.ptr());
            if (!item) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ValueError,
                                 "not enough values to unpack (expected 2, got %d)", i);
                throw py::error_already_set();
            }
            items[i] = py::reinterpret_steal<py::object>(item);
        }
        PyObject* extra = PyIter_Next(iter.ptr());
        if (extra) {
            Py_DECREF(extra);
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw py::error_already_set();
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return items[1];
    }

    // `_, CID = getCid(ca.controller_ip, ca.controller_user, password)`: the adaptor's fields
    // are read in argument order.
    inline py::object controller_login(const ModuleScope& g, const Config& ca,
                                       py::handle password) {
        py::object get_cid = g("getCid");
        py::object controller_ip = ca.controller_ip();
        py::object controller_user = ca.controller_user();
        return second_of_pair(get_cid(controller_ip, controller_user, password));
    }

    }  // namespace framework
}  // namespace tidewall
