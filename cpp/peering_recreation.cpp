// Peering re-creation: both ends of every recorded pair, created again with their recorded
// settings.
#include "cloud.hpp"
#include "dry_run.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

// Where one end of a recorded pair lives: the keys of a peering-pair record that describe it.
struct PairEnd {
    const char* label;
    nb::str subscription_id, rg_name, vnet_name, peering_name, peering;
};

PairEnd local_end() {
    return {"local",
            nb::str("localSubscriptionId"),
            nb::str("localRgName"),
            nb::str("localVnetName"),
            nb::str("localPeeringName"),
            nb::str("localPeering")};
}

PairEnd remote_end() {
    return {"remote",
            nb::str("remoteSubscriptionId"),
            nb::str("remoteRgName"),
            nb::str("remoteVnetName"),
            nb::str("remotePeeringName"),
            nb::str("remotePeering")};
}

// Creates one end of a recorded pair with its recorded settings, waiting for Azure to finish.
void create_peering_end(const Logger& log, nb::handle cls, nb::handle cred, nb::handle pp,
                        const PairEnd& end, nb::handle peering_name) {
    nb::object network_client = network_client_for(cred);
    if (dry_run(cls))
        return;
    guarded(
        [&] {
            nb::object rg_name = item(pp, end.rg_name);
            nb::object vnet_name = item(pp, end.vnet_name);
            nb::object name = item(pp, end.peering_name);
            nb::object body = item(pp, end.peering);
            peerings_of(network_client)
                .attr("begin_create_or_update")(rg_name, vnet_name, name, body)
                .attr("result")();
        },
        [&](const std::string& error) {
            log.error("  **Error** Failed to add peering ", peering_name, " -", error);
        });
}

void log_adding(const Logger& log, nb::handle pp, const PairEnd& end) {
    log.info("  add ", end.label, " peering ", item(pp, end.peering_name), " to ",
             item(pp, end.vnet_name));
}

void add_peerings(nb::handle cls, nb::handle peering_pair_list) {
    Logger log;
    log.info("- Restore peerings");
    nb::list records(peering_pair_list);
    if (records.size() == 0)
        log.info("  no peering found");
    const PairEnd local = local_end(), remote = remote_end();
    // The local credential is made before its line, the remote one after its line.
    for (nb::handle pp : records) {
        nb::object cred = credential_for_record(pp, local.subscription_id);
        log_adding(log, pp, local);
        create_peering_end(log, cls, cred, pp, local, item(pp, local.peering_name));

        log_adding(log, pp, remote);
        cred = credential_for_record(pp, remote.subscription_id);
        create_peering_end(log, cls, cred, pp, remote, item(pp, remote.peering_name));
    }
}

} // namespace

void register_peering_recreation(OperationTable& table) {
    table.add("addPeerings", &add_peerings, param("peeringPairList"));
}

} // namespace switchlib
