#include "common.hpp"

namespace tidewall {
namespace spoke {

Ref send(const Scope& g, Method method, PyObject* url, PyObject* form) {
    Ref http = g["requests"_id];
    switch (method) {
        case Method::Post:
            return call_method(http, "post"_id, {url}, Kw<"data", "verify">(form, Py_False));
        case Method::GetForm:
            return call_method(http, "get"_id, {url}, Kw<"data", "verify">(form, Py_False));
        case Method::GetQuery:
            break;
    }
    return call_method(http, "get"_id, {url}, Kw<"params", "verify">(form, Py_False));
}

void log_returned(const Op& op, PyObject* response) {
    Ref returned = item(response, "return"_id);
    // A refusal carries its `reason` in place of `results`: log that rather than fail on it.
    PyObject* key = !contains(response, "results"_id) && contains(response, "reason"_id)
                        ? "reason"_id
                        : "results"_id;
    Ref results = item(response, key);
    op.info(text("  Returned: "_id, returned, "  Result: "_id, results));
}

Ref exchange(const Op& op, PyObject* url, PyObject* form, Exchange how) {
    Ref response = decode(send(op.g, how.method, url, form));
    bool ok = true;
    if (how.judge == Judge::Check) ok = truthy(controller::check_reply(op.g, response));
    if (how.judge == Judge::CheckOrExit) controller::check_reply_or_exit(op.g, response);
    if (how.outcome == Outcome::ReturnedResult) log_returned(op, response);
    if (how.outcome == Outcome::WholeIfAccepted && ok) op.info(text("  "_id, response));
    return response;
}

Ref subnet_cidrs_of(PyObject* nat_gw_infos) {
    Ref cidrs = Ref::steal(PyList_New(0));
    for_each(nat_gw_infos, [&](PyObject* nat_gw) {
        check(PyList_Append(cidrs, attr(nat_gw, "subnet_cidr"_id)));
    });
    return cidrs;
}

Login begin_command(const Scope& g, PyObject* self, PyObject* api_path) {
    controller::log_operation(g, attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"_id));
    Ref cid = controller::cid(g);
    // Python's `+`: a controller address that is not text fails here instead of being sent.
    Ref endpoint = add(add("https://"_id, controller::controller_ip(g)), api_path);
    return {cid, endpoint};
}

}  // namespace spoke
}  // namespace tidewall
