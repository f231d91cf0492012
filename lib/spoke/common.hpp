// What the spoke operations share: an operation's logger and dry-run reads, the one "send,
// judge, log" exchange with the controller (its variants are parameters), the records, and the
// start of a command method.
#pragma once

#include <tidewall/controller.hpp>
#include <tidewall/define.hpp>
#include <tidewall/py.hpp>

namespace tidewall {
namespace spoke {

// ---- an operation

// Step 1 of every controller operation: the logger named after the module, taken when the
// operation starts.
class Op {
  public:
    explicit Op(const Scope& g) : g(g), log_(controller::logger(g, "tidewall.lib.spoke"_id)) {}

    void info(PyObject* line) const { call_method(log_, "info"_id, line); }
    void error(PyObject* line) const { call_method(log_, "error"_id, line); }

    const Scope& g;

  private:
    Ref log_;
};

// bool(Globals.dry_run)
inline bool dry_run_set(const Scope& g) { return truthy(controller::dry_run(g)); }
// Globals.dry_run == False
inline bool dry_run_equals_false(const Scope& g) {
    return equals(controller::dry_run(g), Py_False);
}

// ---- the exchange with the controller

enum class Method {
    Post,      // POST, fields as form body
    GetForm,   // GET, fields as form body
    GetQuery,  // GET, fields as query parameters
};
enum class Judge {
    None,         // the caller reads the reply itself
    Check,        // handleControllerApiFailure
    CheckOrExit,  // handleControllerApiFailureAndExit
};
enum class Outcome {
    None,
    ReturnedResult,   // "  Returned: <return>  Result: <results>"
    WholeIfAccepted,  // "  <response>", when the handler answered true
};
struct Exchange {
    Method method;
    Judge judge;
    Outcome outcome;
};

// A creation or a change: the handler sees the reply, the outcome is logged either way.
inline constexpr Exchange kChange{Method::Post, Judge::Check, Outcome::ReturnedResult};
// A change whose refusal ends the run.
inline constexpr Exchange kChangeOrExit{Method::Post, Judge::CheckOrExit, Outcome::ReturnedResult};
// A removal: the whole reply is logged when the controller accepted it.
inline constexpr Exchange kRemoval{Method::Post, Judge::Check, Outcome::WholeIfAccepted};
// A listing the run cannot go on without.
inline constexpr Exchange kListing{Method::Post, Judge::CheckOrExit, Outcome::None};
// A lookup whose reply the caller judges.
inline constexpr Exchange kLookup{Method::GetForm, Judge::None, Outcome::None};

// Sends the form to the endpoint with certificate verification off; the raw response.
Ref send(const Scope& g, Method method, PyObject* url, PyObject* form);
// response.json()
inline Ref decode(PyObject* response) { return call_method(response, "json"_id); }
// Send, decode, judge, log: the decoded reply.
Ref exchange(const Op& op, PyObject* url, PyObject* form, Exchange how);
// "  Returned: <return>  Result: <results>" (a refusal without `results`: its `reason`)
void log_returned(const Op& op, PyObject* response);

// response["return"] == True
inline bool accepted(PyObject* response) { return equals(item(response, "return"_id), Py_True); }

// ---- records

// {"gw_name": name}: the record standing for a gateway that was not found.
inline Ref name_only_record(PyObject* name) { return record<"gw_name">({name}); }

// The NAT-gateway descriptions' `subnet_cidr` fields, in order.
Ref subnet_cidrs_of(PyObject* nat_gw_infos);

// ---- commands

inline constexpr const char* kApiV1 = "/v1/api";
inline constexpr const char* kApiV2 = "/v2/api";

// What a command method starts with: the operation log under the object's class name, then the
// controller login from Globals, read now.
struct Login {
    Ref cid;
    Ref endpoint;  // "https://" + Globals.controller_ip + api path
};
Login begin_command(const Scope& g, PyObject* self, PyObject* api_path);

// self.name = value, in the order given, as a constructor written in Python does.
// The values are a braced list, evaluated left to right.
template <Literal... Names>
void set_attributes(PyObject* self, std::initializer_list<PyObject*> values) {
    PyObject* const names[] = {name_of<Names>()...};
    if (values.size() != sizeof...(Names)) {
        PyErr_SetString(PyExc_SystemError, "set_attributes: one value per attribute");
        fail();
    }
    std::size_t i = 0;
    for (PyObject* value : values) set_attr(self, names[i++], value);
}

// The settings every spoke command starts with, each defaulting to None, then `more`.
template <typename... P>
constexpr Params command_settings(P... more) {
    return params(arg_none("account_name"), arg_none("spoke_gw_name"), arg_none("spoke_gw_size"),
                  arg_none("vpc_id"), arg_none("region"), more...);
}
inline void set_command_settings(PyObject* self, PyObject* account_name, PyObject* spoke_gw_name,
                                 PyObject* spoke_gw_size, PyObject* vpc_id, PyObject* region) {
    set_attributes<"account_name", "spoke_gw_name", "spoke_gw_size", "vpc_id", "region">(
        self, {account_name, spoke_gw_name, spoke_gw_size, vpc_id, region});
}

// (object,) and (<outside base>,): the bases of the module's classes.
Ref plain_bases();
Ref bases_of(const Scope& g, PyObject* outside_base);

// The `toDict()` of a memento class: `self.__dict__` itself, not a copy.
inline Ref attribute_dict(const Scope&, PyObject* self) { return attr(self, "__dict__"_id); }

// ---- the module surface, added in definition order

void add_discovery_operations(PyObject* m);
void add_resize_operation(PyObject* m);
void add_classic_deploy_operation(PyObject* m);
void add_hs_deploy_operations(PyObject* m);
void add_deletion_operations(PyObject* m);
void add_snat_operations(PyObject* m);

void add_hs_spoke_classes(PyObject* m);
void add_hs_deploy_command(PyObject* m);
void add_classic_deploy_command(PyObject* m);
void add_snat_classes(PyObject* m);
void add_resize_classes(PyObject* m);

}  // namespace spoke
}  // namespace tidewall
