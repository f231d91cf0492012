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

#include <tidewall/py.hpp>
#include <utility>

namespace tidewall {
namespace framework {

// The journal format both histories and the AWS-side commands are asked for.
inline PyObject* journal_version() { return "v2"_id; }

// A class of the framework used through its class-level services, looked up in the module's
// namespace at each use.
template <Literal Name>
class OutsideClass {
  public:
    explicit OutsideClass(const Scope& g) : g_(g) {}

  protected:
    Ref cls() const { return g_[name_of<Name>()]; }
    Scope g_;
};

// `ConfigAdaptor(config)`: read-only view of the configuration.
class Config {
  public:
    explicit Config(Ref adaptor) : ca_(std::move(adaptor)) {}

    PyObject* adaptor() const { return ca_; }

    Ref controller_ip() const { return field("controller_ip"_id); }
    Ref controller_user() const { return field("controller_user"_id); }
    Ref controller_password_env() const { return field("controller_password_env"_id); }
    Ref aws_account_name() const { return field("aws_account_name"_id); }
    Ref region() const { return field("region"_id); }
    Ref vpc_id() const { return field("vpc_id"_id); }
    Ref s3_bucket() const { return field("s3_bucket"_id); }
    Ref backup_descriptor() const { return field("backup_descriptor"_id); }
    Ref spoke_gw_name() const { return field("spoke_gw_name"_id); }
    Ref spoke_gw_size() const { return field("spoke_gw_size"_id); }
    Ref spoke_gw_tag() const { return field("spoke_gw_tag"_id); }
    Ref hs_mode() const { return field("hs_mode"_id); }
    Ref tag_route_table() const { return field("tag_route_table"_id); }
    Ref enable_test() const { return field("enable_test"_id); }
    Ref input_test_config() const { return field("input_test_config"_id); }
    Ref output_test_config() const { return field("output_test_config"_id); }

  private:
    Ref field(PyObject* name) const { return attr(ca_, name); }
    Ref ca_;
};

inline Config open_config(const Scope& g, PyObject* config) {
    return Config(call(g["ConfigAdaptor"_id], config));
}

// Process-wide run settings (class attributes of Globals).
class Settings : public OutsideClass<"Globals"> {
  public:
    using OutsideClass::OutsideClass;

    void set_aws_client_manager(PyObject* v) const { set_attr(cls(), "aws_client_manager"_id, v); }
    void set_cid(PyObject* v) const { set_attr(cls(), "CID"_id, v); }
    void set_controller_ip(PyObject* v) const { set_attr(cls(), "controller_ip"_id, v); }
    Ref cmdcnt() const { return attr(cls(), "cmdcnt"_id); }
    Ref hs_limit() const { return attr(cls(), "HS_LIMIT"_id); }
};

// Command history of the backup folder (class-level service).
class CommandHistory : public OutsideClass<"CommandHistory"> {
  public:
    using OutsideClass::OutsideClass;

    // `CommandHistory.init(folder, ca.vpc_id, version="v2")`: the method is looked up before
    // the adaptor is read, as Python evaluates the call.
    void init(PyObject* folder, const Config& ca) const {
        Ref init = attr(cls(), "init"_id);
        Ref vpc_id = ca.vpc_id();
        call(init, {folder, vpc_id}, Kw<"version">(journal_version()));
    }
    bool is_command_i_done(long i) const {
        return truthy(call_method(cls(), "is_command_i_done"_id, integer(i)));
    }
    void log_discover_natgw_cmd(PyObject* nat_gw_infos) const {
        call_method(cls(), "log_discover_natgw_cmd"_id, nat_gw_infos);
    }
    Ref get_discovered_natgws() const { return call_method(cls(), "get_discovered_natgws"_id); }
};

// Memento history of the backup folder (class-level service); pop order is the reverse
// of append order, across runs.
class MementoHistory : public OutsideClass<"MementoHistory"> {
  public:
    using OutsideClass::OutsideClass;

    void init(PyObject* folder) const { call_method(cls(), "init"_id, folder); }
    // One truth value per memento slot in append order: true while a memento is held.
    Ref is_memento_exist() const { return call_method(cls(), "is_memento_exist"_id); }
    void append(PyObject* memento) const { call_method(cls(), "append"_id, memento); }
    // `mark` opens a rollback group when true.
    void append(PyObject* memento, PyObject* mark) const {
        call_method(cls(), "append"_id, {memento}, Kw<"MarkBegin">(mark));
    }
    bool is_empty() const { return truthy(call_method(cls(), "isEmpty"_id)); }
    // The answer as given: whether the top memento opened a group.
    Ref is_cmd_begin() const { return call_method(cls(), "isCmdBegin"_id); }
    Ref pop() const { return call_method(cls(), "pop"_id); }
};

// The S3 copy of the backup folder; every transfer uses a fresh S3BackupCmdV2.
class Backup {
  public:
    Backup(const Scope& g, Ref s3_client, Ref descriptor)
        : g_(g), s3_client_(std::move(s3_client)), descriptor_(std::move(descriptor)) {}

    void download() const { call_method(command(), "download"_id); }
    void upload() const { call_method(command(), "upload"_id); }

  private:
    Ref command() const { return call(g_["S3BackupCmdV2"_id], s3_client_, descriptor_); }
    Scope g_;
    Ref s3_client_;
    Ref descriptor_;
};

// `_, second = value`, with the interpreter's own errors for a value that is not a pair.
Ref second_of_pair(PyObject* value);

// `_, CID = getCid(ca.controller_ip, ca.controller_user, password)`: the adaptor's fields
// are read in argument order.
inline Ref controller_login(const Scope& g, const Config& ca, PyObject* password) {
    Ref get_cid = g["getCid"_id];
    Ref controller_ip = ca.controller_ip();
    Ref controller_user = ca.controller_user();
    return second_of_pair(call(get_cid, controller_ip, controller_user, password));
}

}  // namespace framework
}  // namespace tidewall
