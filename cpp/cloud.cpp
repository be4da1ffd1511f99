#include "cloud.hpp"

namespace switchlib {

nb::object credential_for(nb::handle subscription_id) {
    return collaborator("yctx")().attr("generateAzureCredential")(subscription_id);
}

nb::object credential_for_record(nb::handle record, nb::handle key) {
    nb::object context = collaborator("yctx")();
    nb::object subscription_id = item(record, key);
    return context.attr("generateAzureCredential")(subscription_id);
}

// The credential is read before the subscription, one statement each: C++ leaves the order of
// argument evaluation open, and either read may fail.
nb::object network_client_for(nb::handle cred) {
    nb::object credential = cred.attr("getCSC")();
    nb::object subscription = cred.attr("getSubId")();
    return collaborator("NetworkManagementClient")(credential, subscription);
}

nb::object lock_client_for(nb::handle cred) {
    nb::object credential = cred.attr("getSPC")();
    nb::object subscription = cred.attr("getSubId")();
    return collaborator("ManagementLockClient")(credential, subscription);
}

} // namespace switchlib
