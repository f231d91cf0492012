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
// A changing request: the exchange, unless in dry-run mode (then nothing is sent or logged).
inline void change(const Op& op, PyObject* url, PyObject* form, Exchange how) {
    if (!dry_run_set(op.g)) exchange(op, url, form, how);
}
// The headline (its text, then the gateway's name), then the change.
inline void announced_change(const Op& op, PyObject* headline, PyObject* gateway, PyObject* url,
                             PyObject* form, Exchange how) {
    op.info(text(headline, gateway));
    change(op, url, form, how);
}
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

// A command method that is only `operation(CID, endpoint, self.<attr>, ...)` after
// begin_command: the operation is looked up before the attributes are read, in order.
template <Literal Api, Literal Operation, Literal... Attrs>
void run_operation(const Scope& g, PyObject* self) {
    Login login = begin_command(g, self, name_of<Api>());
    Ref op = g[name_of<Operation>()];
    Ref values[] = {attr(self, name_of<Attrs>())...};
    PyObject* args[sizeof...(Attrs) + 2] = {login.cid, login.endpoint};
    for (std::size_t i = 0; i < sizeof...(Attrs); ++i) args[i + 2] = values[i];
    Ref::steal(detail::fast_call(op, args, sizeof...(Attrs) + 2, nullptr));
}

// `cls(self.<attr>, ...)` for the class named `cls_name`, looked up before the attributes are
// read, in order.
template <Literal... Attrs>
Ref construct_from(const Scope& g, PyObject* cls_name, PyObject* self) {
    Ref cls = g[cls_name];
    Ref values[] = {attr(self, name_of<Attrs>())...};
    PyObject* args[sizeof...(Attrs)];
    for (std::size_t i = 0; i < sizeof...(Attrs); ++i) args[i] = values[i];
    return Ref::steal(detail::fast_call(cls, args, sizeof...(Attrs), nullptr));
}

// What every spoke command's constructor takes first, each defaulting to None.
inline constexpr const char* kCommandSettings =
    "account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None, region=None";

// The `toDict()` of a memento class: `self.__dict__` itself, not a copy.
inline Ref attribute_dict(const Scope&, PyObject* self) { return attr(self, "__dict__"_id); }

// ---- the module surface, added in definition order

void add_discovery(PyObject* m);
void add_resize_operation(PyObject* m);
void add_classic_deploy_operation(PyObject* m);
void add_hs_deploy_operations(PyObject* m);
void add_deletion(PyObject* m);
void add_snat_operations(PyObject* m);

void add_hs_spoke_classes(PyObject* m);
void add_hs_deploy_command(PyObject* m);
void add_classic_deploy_command(PyObject* m);
void add_snat_classes(PyObject* m);
void add_resize_classes(PyObject* m);

}  // namespace spoke
}  // namespace tidewall
