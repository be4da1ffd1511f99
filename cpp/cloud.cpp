#include "cloud.hpp"

namespace switchlib {

namespace {

// The credential is read before the subscription, one statement each: C++ leaves the order of
// argument evaluation open, and either read may fail.
nb::object client_for(const char* client_name, nb::handle cred, const char* credential_getter) {
    nb::object credential = cred.attr(credential_getter)();
    nb::object subscription = cred.attr("getSubId")();
    return collaborator(client_name)(credential, subscription);
}

} // namespace

nb::object credential_for(nb::handle subscriptionId) {
    return collaborator("yctx")().attr("generateAzureCredential")(subscriptionId);
}

nb::object credential_for_record(nb::handle record, const char* key) {
    nb::object context = collaborator("yctx")();
    nb::object subscriptionId = item(record, key);
    return context.attr("generateAzureCredential")(subscriptionId);
}

nb::object network_client_for(nb::handle cred) {
    return client_for("NetworkManagementClient", cred, "getCSC");
}

nb::object lock_client_for(nb::handle cred) {
    return client_for("ManagementLockClient", cred, "getSPC");
}

} // namespace switchlib
