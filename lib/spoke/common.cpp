#include "common.hpp"

#include <stdexcept>

namespace tidewall {
namespace spoke {

namespace {
// Left alive on purpose until the process ends: the module namespace outlives every call, and
// nothing may be destroyed after the interpreter has finalised.
ModuleScope* g_scope = nullptr;
controller::Services* g_services = nullptr;
}  // namespace

void bind_scope(py::handle module_dict) {
    module_dict.inc_ref();  // held for the life of the process
    g_scope = new ModuleScope(module_dict);
    g_services = new controller::Services(*g_scope);
}

const ModuleScope& scope() { return *g_scope; }
const controller::Services& services() { return *g_services; }

py::dict name_only_record(const py::object& name) {
    py::dict record;
    record["gw_name"] = name;
    return record;
}

bool dry_run_equals_false() { return py_eq(services().dry_run(), py::bool_(false)); }
bool dry_run_set() { return truthy(services().dry_run()); }

Log::Log() : logger_(services().logger(kModuleName)) {}
void Log::info(const py::str& text) const { logger_.attr("info")(text); }
void Log::error(const py::str& text) const { logger_.attr("error")(text); }

bool has_key(const py::handle& container, const char* key) {
    int found = PySequence_Contains(container.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

void log_returned(const Log& log, const py::object& response) {
    py::object returned = item(response, "return");
    // A refusal carries its `reason` in place of `results`: log that rather than fail on it.
    const char* result_key =
        !has_key(response, "results") && has_key(response, "reason") ? "reason" : "results";
    py::object results = item(response, result_key);
    log.info(line("  Returned: ", returned, "  Result: ", results));
}

void log_response(const Log& log, const py::object& response) { log.info(line("  ", response)); }

py::object send(Send how, const py::object& url, const py::dict& form) {
    py::object http = services().requests();
    switch (how) {
        case Send::Post:
            return http.attr("post")(url, "data"_a = form, "verify"_a = false);
        case Send::GetForm:
            return http.attr("get")(url, "data"_a = form, "verify"_a = false);
        case Send::GetQuery:
            return http.attr("get")(url, "params"_a = form, "verify"_a = false);
    }
    throw std::logic_error("unknown request kind");
}

py::object send_json(Send how, const py::object& url, const py::dict& form) {
    return send(how, url, form).attr("json")();
}

Login begin_command(const py::object& self, const char* api_path) {
    const controller::Services& ctl = services();
    ctl.logOperation(py::type::of(self).attr("__name__"));
    py::object cid = ctl.cid();
    // Python's `+`: a controller address that is not text fails here instead of being sent.
    py::object endpoint = py::str("https://") + ctl.controller_ip() + py::str(api_path);
    return {cid, endpoint};
}

void set_attributes(const py::object& self,
                    std::initializer_list<std::pair<const char*, py::object>> values) {
    for (const auto& [name, value] : values) py::setattr(self, name, value);
}

py::object to_dict_method(py::module_& m) {
    return def_method(m, "toDict", "", "The memento's own attribute dictionary (not a copy).",
                      [](py::object self) -> py::object { return self.attr("__dict__"); });
}

py::tuple plain_bases() { return py::make_tuple(global("object")); }
py::tuple bases_of(const char* outside_base) { return py::make_tuple(global(outside_base)); }

}  // namespace spoke
}  // namespace tidewall
