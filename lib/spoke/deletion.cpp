// Removing spoke gateways: a classic spoke, one HS spoke, an HS primary with its HA gateways.
#include "common.hpp"

namespace tidewall {
namespace spoke {

namespace {

Ref deleteSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                PyObject* spoke_gw_name) {
    Op op(g);
    // 1. HA off, 2. the gateway.
    Ref ha_off = record<"CID", "action", "gw_name">({CID, "disable_spoke_ha"_id, spoke_gw_name});
    announced_change(op, "- Disable HA on spoke gateway "_id, spoke_gw_name, controller_api_url,
                     ha_off, kRemoval);
    Ref removal = record<"CID", "action", "cloud_type", "gw_name">(
        {CID, "delete_container"_id, integer(1), spoke_gw_name});
    announced_change(op, "- Delete existing spoke gateway "_id, spoke_gw_name, controller_api_url,
                     removal, kRemoval);
    return none();
}

Ref deleteHsSpoke(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                  PyObject* spoke_gw_name) {
    const Op op(g);
    change(op, controller_api_url,
           record<"CID", "action", "gw_name">({CID, "delete_multicloud_gateway"_id, spoke_gw_name}),
           kRemoval);
    return none();
}

Ref deleteAllHsSpokes(const Scope& g, PyObject* CID, PyObject* controller_api_url,
                      PyObject* spoke_gw_name) {
    Op op(g);
    op.info(text("- Delete HS spoke"_id));

    // 1. What is deployed (read in dry-run mode too: it changes nothing).
    Ref form = record<"CID", "action">({CID, "list_primary_and_ha_spoke_gateways"_id});
    Ref response = exchange(op, controller_api_url, form, kListing);
    Ref gw_names = Ref::steal(PyList_New(0));
    for_each(item(response, "results"_id),
             [&](PyObject* gw) { check(PyList_Append(gw_names, item(gw, "name"_id))); });
    op.info(text("  found spoke gateways: "_id, gw_names));

    // 2. HA gateways first: every other listed name that starts with the primary's.
    op.info(text("  deleting HA on spoke gateway "_id, spoke_gw_name));
    bool found = false;
    for_each(gw_names, [&](PyObject* x) {
        if (differs(x, spoke_gw_name) && truthy(call_method(x, "startswith"_id, spoke_gw_name))) {
            call(g["deleteHsSpoke"_id], CID, controller_api_url, x);
            found = true;
        }
    });
    if (!found) op.info(text("  no HA spoke gateway found"_id));

    // 3. The primary.
    op.info(text("  delete primary spoke gateway "_id, spoke_gw_name));
    call(g["deleteHsSpoke"_id], CID, controller_api_url, spoke_gw_name);
    return none();
}

// The three share one signature.
constexpr const char* kByName = "(CID, controller_api_url, spoke_gw_name)";
constexpr auto kDeleteSpoke =
    function_def({"deleteSpoke", kByName}, &deleteSpoke,
                 "Delete a classic spoke gateway: HA off first, then the gateway. Returns None.");
constexpr auto kDeleteHsSpoke = function_def({"deleteHsSpoke", kByName}, &deleteHsSpoke,
                                             "Delete one HS spoke gateway. Returns None.");
constexpr auto kDeleteAllHsSpokes = function_def(
    {"deleteAllHsSpokes", kByName}, &deleteAllHsSpokes,
    "Delete an HS primary spoke gateway and every listed gateway whose name starts with\n"
    "its name, those first. Returns None.");

}  // namespace

void add_deletion(PyObject* m) { def<kDeleteSpoke, kDeleteHsSpoke, kDeleteAllHsSpokes>(m); }

}  // namespace spoke
}  // namespace tidewall
