// Peerings: finds both ends of a VNet's peerings, records and deletes them, re-creates them from
// the records, and switches the VNet's use of a remote gateway off and back on.
#include "cloud.hpp"
#include "operations.hpp"

#include <array>
#include <optional>

namespace switchlib {

namespace {

using namespace nb::literals;

nb::object peerings_of(nb::handle network_client) {
    return network_client.attr("virtual_network_peerings");
}

bool dry_run(nb::handle cls) {
    return is_true(cls.attr("DryRun"));
}

// -- Records --

// The settings of one peering end, as plain data: the driver keeps it between the forward and
// the revert run, and it goes back to Azure unchanged as the body that re-creates the peering.
nb::dict settings_snapshot(nb::handle peering) {
    nb::dict snapshot;
    for (const char* name :
         {"id", "name", "allow_virtual_network_access", "allow_forwarded_traffic",
          "allow_gateway_transit", "use_remote_gateways"})
        snapshot[name] = peering.attr(name);
    nb::dict remote;
    remote["id"] = peering.attr("remote_virtual_network").attr("id");
    snapshot["remote_virtual_network"] = remote;
    return snapshot;
}

// Where one end of a recorded pair lives: the keys of a peering-pair record that describe it.
struct PairEnd {
    const char* label;
    const char* subscriptionId;
    const char* rgName;
    const char* vnetName;
    const char* peeringName;
    const char* peering;
};

constexpr PairEnd local_end{"local",         "localSubscriptionId", "localRgName",
                            "localVnetName", "localPeeringName",    "localPeering"};
constexpr PairEnd remote_end{"remote",         "remoteSubscriptionId", "remoteRgName",
                             "remoteVnetName", "remotePeeringName",    "remotePeering"};

// The local half of a peering record, shared by the peering-pair and the peeringProp records.
nb::dict local_record(nb::handle subscriptionId, nb::handle rgName, nb::handle vnet,
                      nb::handle peeringName, nb::handle peeringProperties) {
    nb::dict record;
    record[local_end.subscriptionId] = subscriptionId;
    record[local_end.rgName] = rgName;
    record[local_end.vnetName] = vnet.attr("name");
    record[local_end.peeringName] = peeringName;
    record[local_end.peering] = peeringProperties;
    return record;
}

// -- The walk over a VNet's peerings that the delete and the disable runs share --

// The VNet's peerings, read once; logs the step header and the empty case.
nb::list listed_peerings(const Logger& log, nb::handle vnet, const char* header) {
    log.info(header);
    nb::list peerings = to_list(vnet.attr("virtual_network_peerings"));
    if (peerings.size() == 0)
        log.info("  No peering found");
    return peerings;
}

// True for the peerings that are never touched: those the controller created (by name prefix)
// and connections to a virtual hub, which go with the hub connection itself.
bool skip_foreign_peering(const Logger& log, nb::handle listed, nb::handle peeringName,
                          nb::handle exclude) {
    if (!exclude.is_none() && is_true(peeringName.attr("startswith")(exclude))) {
        log.info(concat("  controller created peering ", peeringName, " -- skipped"));
        return true;
    }
    nb::object remote_id = listed.attr("remote_virtual_network").attr("id");
    if (is_true(collaborator("vwm").attr("getVHubNameFromPeering")(remote_id))) {
        log.info(concat("  virtual hub connection ", peeringName, " -- skipped"));
        return true;
    }
    return false;
}

// Calls `handle(peeringName)` for each of the VNet's own peerings, in list order, after the step
// header; the controller's peerings and hub connections are skipped with their lines.
template <typename Handle>
void for_each_own_peering(const Logger& log, nb::handle vnet, const char* header,
                          nb::handle exclude, Handle&& handle) {
    nb::list peerings = listed_peerings(log, vnet, header);
    for (nb::handle listed : peerings) {
        nb::object peeringName = listed.attr("name");
        if (!skip_foreign_peering(log, listed, peeringName, exclude))
            handle(peeringName);
    }
}

// -- Lookups --

nb::object getVnet(nb::handle /*cls*/, nb::handle vnetName, nb::handle network_client) {
    for (nb::handle vnet : network_client.attr("virtual_networks").attr("list_all")()) {
        if (equals(vnet.attr("name"), vnetName))
            return nb::borrow(vnet);
    }
    return nb::none();
}

nb::object lower(nb::handle value) {
    return value.attr("lower")();
}

nb::object getRemotePeering(nb::handle /*cls*/, nb::handle /*cred*/, nb::handle remotePeeringVnetId,
                            nb::handle localPeerId) {
    Logger log;
    nb::object localSubscriptionId = id_segment(localPeerId, "SUB_I");
    nb::object localRgName = id_segment(localPeerId, "RG_I");
    nb::object localVnetName = id_segment(localPeerId, "VNET_I");
    nb::object localPeeringName = id_segment(localPeerId, "PEER_I");
    nb::object localRgNameLC = lower(localRgName);
    nb::object localVnetNameLC = lower(localVnetName);
    log.debug(concat("  local subscription id: ", localSubscriptionId));
    log.debug(concat("  local resource group: ", localRgName));
    log.debug(concat("  local vnet name: ", localVnetName));
    log.debug(concat("  local peering name: ", localPeeringName));

    nb::object remoteRgName = id_segment(remotePeeringVnetId, "RG_I");
    nb::object remoteVnetName = id_segment(remotePeeringVnetId, "VNET_I");
    nb::object remoteSubscriptionId = id_segment(remotePeeringVnetId, "SUB_I");
    log.debug(concat("  expected remote subscription id: ", remoteSubscriptionId));
    log.debug(concat("  expected remote resource group: ", remoteRgName));
    log.debug(concat("  expected remote vnet name: ", remoteVnetName));

    // The caller has made sure that a credential exists for the remote subscription.
    nb::object remote_client = network_client_for(credential_for(remoteSubscriptionId));
    nb::list remotePeeringList =
        to_list(peerings_of(remote_client).attr("list")(remoteRgName, remoteVnetName));
    // The remote end is recognised by the network it points at, not by its own name.
    for (nb::handle peering : remotePeeringList) {
        nb::object points_at = peering.attr("remote_virtual_network").attr("id");
        nb::object peeringRemoteRgName = id_segment(points_at, "RG_I");
        nb::object peeringRemoteVnetName = id_segment(points_at, "VNET_I");
        if (equals(lower(peeringRemoteRgName), localRgNameLC) &&
            equals(lower(peeringRemoteVnetName), localVnetNameLC)) {
            nb::object name = peering.attr("name");
            log.debug(concat("  remote peering name: ", name));
            return nb::make_tuple(remoteRgName, remoteVnetName, name, peering);
        }
    }
    log.info(concat("  failed to found remote peering info for ", localPeeringName));
    return nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none());
}

// -- Deletion --

// a, b, c, d = values, with Python's errors for a wrong count.
std::array<nb::object, 4> unpack_four(nb::handle values) {
    nb::list items = to_list(values);
    if (items.size() < 4)
        raise(PyExc_ValueError, concat("not enough values to unpack (expected 4, got ",
                                       std::to_string(items.size()), ")"));
    if (items.size() > 4)
        raise(PyExc_ValueError, "too many values to unpack (expected 4)");
    return {items[0], items[1], items[2], items[3]};
}

// What the deletion of a recorded peering needs to know about its remote end.
struct RemoteEnd {
    nb::object cred;
    nb::object network_client;
    nb::object rgName;
    nb::object vnetName;
    nb::object peeringName;
};

// Fetches a listed peering and its remote end and records the pair. Returns the remote end
// when the peering is to be deleted; nothing when it was skipped or failed (no record then).
std::optional<RemoteEnd> record_pair(const Logger& log, nb::handle cls, nb::handle YAML,
                                     nb::handle subscriptionId, nb::handle vnet, nb::handle rgName,
                                     nb::handle local_network_client, nb::handle peeringName,
                                     nb::list& peeringPairList) {
    return guarded(
        [&]() -> std::optional<RemoteEnd> {
            nb::object peering = peerings_of(local_network_client)
                                     .attr("get")(rgName, vnet.attr("name"), peeringName);
            nb::object remote_vnet_id = peering.attr("remote_virtual_network").attr("id");
            nb::object remoteSubscriptionId = id_segment(remote_vnet_id, "SUB_I");
            nb::object cred = credential_for(remoteSubscriptionId);
            if (equals(cred, nb::none())) {
                log.error(concat("  **Error** Cannot delete peering. Missing credential for "
                                 "remote subscription ",
                                 remoteSubscriptionId));
                return std::nullopt;
            }
            nb::object remote_network_client = network_client_for(cred);
            auto [remoteRgName, remoteVnetName, remotePeeringName, remotePeering] =
                unpack_four(cls.attr("getRemotePeering")(cred, remote_vnet_id, peering.attr("id")));
            nb::dict peeringProperties = settings_snapshot(peering);
            nb::dict remotePeeringProperties = settings_snapshot(remotePeering);
            if (differs(item(YAML, "delete_peering"), nb::str("all")) &&
                equals(remotePeering.attr("allow_gateway_transit"), nb::bool_(false))) {
                log.info(concat("  peering between ", peeringName, " and ", remotePeeringName,
                                " -- skipped, as remote peer's allow-gateway-transit flag is "
                                "False"));
                return std::nullopt;
            }
            nb::dict record =
                local_record(subscriptionId, rgName, vnet, peeringName, peeringProperties);
            record[remote_end.subscriptionId] = remoteSubscriptionId;
            record[remote_end.rgName] = remoteRgName;
            record[remote_end.vnetName] = remoteVnetName;
            record[remote_end.peeringName] = remotePeeringName;
            record[remote_end.peering] = remotePeeringProperties;
            peeringPairList.append(record);
            return RemoteEnd{cred, remote_network_client, remoteRgName, remoteVnetName,
                             remotePeeringName};
        },
        [&](const std::string& error) -> std::optional<RemoteEnd> {
            log.error("  **Error** " + error);
            return std::nullopt;
        });
}

// A lock on the peered VNet would block the deletion of its end. The peering is already
// recorded, so a failure here must not end the run and lose the records: it is reported and
// the deletion is attempted anyway.
void remove_remote_vnet_lock(const Logger& log, nb::handle cls, const RemoteEnd& remote) {
    guarded(
        [&] {
            nb::object remoteVnet = cls.attr("getVnet")(remote.vnetName, remote.network_client);
            cls.attr("deleteVnetLock")(remote.cred, remoteVnet, "indent"_a = 2);
        },
        [&](const std::string& error) { log.error("  **Error** " + error); });
}

void delete_peering_end(const Logger& log, nb::handle cls, nb::handle network_client,
                        nb::handle rgName, nb::handle vnetName, nb::handle peeringName) {
    log.info(concat("  delete peering ", peeringName));
    if (dry_run(cls))
        return;
    guarded(
        [&] {
            peerings_of(network_client)
                .attr("begin_delete")(rgName, vnetName, peeringName)
                .attr("result")();
        },
        [&](const std::string& error) {
            log.error(concat("  **Error** Failed to delete peering ", peeringName, " -", error));
        });
}

nb::list deletePeerings(nb::handle cls, nb::handle YAML, nb::handle subscriptionId, nb::handle vnet,
                        nb::handle local_network_client, nb::handle exclude) {
    Logger log;
    nb::object local_client = nb::borrow(local_network_client);
    if (equals(local_client, nb::none()))
        local_client = network_client_for(credential_for(subscriptionId));
    nb::list peeringPairList;
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    for_each_own_peering(log, vnet, "- Delete peerings", exclude, [&](nb::handle peeringName) {
        std::optional<RemoteEnd> remote = record_pair(log, cls, YAML, subscriptionId, vnet, rgName,
                                                      local_client, peeringName, peeringPairList);
        if (!remote)
            return;
        if (equals(item(YAML, "delete_vnet_lock"), nb::bool_(true)))
            remove_remote_vnet_lock(log, cls, *remote);
        delete_peering_end(log, cls, local_client, rgName, vnet.attr("name"), peeringName);
        delete_peering_end(log, cls, remote->network_client, remote->rgName, remote->vnetName,
                           remote->peeringName);
    });
    return peeringPairList;
}

// -- Re-creation --

// Creates one end of a recorded pair with its recorded settings, waiting for Azure to finish.
void create_peering_end(const Logger& log, nb::handle cls, nb::handle cred, nb::handle pp,
                        const PairEnd& end, nb::handle peeringName) {
    nb::object network_client = network_client_for(cred);
    if (dry_run(cls))
        return;
    guarded(
        [&] {
            nb::object rgName = item(pp, end.rgName);
            nb::object vnetName = item(pp, end.vnetName);
            nb::object name = item(pp, end.peeringName);
            nb::object body = item(pp, end.peering);
            peerings_of(network_client)
                .attr("begin_create_or_update")(rgName, vnetName, name, body)
                .attr("result")();
        },
        [&](const std::string& error) {
            log.error(concat("  **Error** Failed to add peering ", peeringName, " -", error));
        });
}

void log_adding(const Logger& log, nb::handle pp, const PairEnd& end, nb::handle peeringName) {
    log.info(concat("  add ", end.label, " peering ", peeringName, " to ", item(pp, end.vnetName)));
}

nb::object addPeerings(nb::handle cls, nb::handle peeringPairList) {
    Logger log;
    log.info("- Restore peerings");
    nb::list records = to_list(peeringPairList);
    if (records.size() == 0)
        log.info("  no peering found");
    for (nb::handle pp : records) {
        nb::object cred = credential_for_record(pp, local_end.subscriptionId);
        nb::object localPeeringName = item(pp, local_end.peeringName);
        log_adding(log, pp, local_end, localPeeringName);
        create_peering_end(log, cls, cred, pp, local_end, localPeeringName);

        nb::object remotePeeringName = item(pp, remote_end.peeringName);
        log_adding(log, pp, remote_end, remotePeeringName);
        cred = credential_for_record(pp, remote_end.subscriptionId);
        create_peering_end(log, cls, cred, pp, remote_end, remotePeeringName);
    }
    return nb::none();
}

// -- Remote-gateway use --

// Starts the update of a peering and leaves it running: the operations that change the
// remote-gateway flag do not wait for Azure.
void start_peering_update(nb::handle cls, nb::handle network_client, nb::handle rgName,
                          nb::handle vnetName, nb::handle peeringName, nb::handle peering) {
    if (!dry_run(cls))
        peerings_of(network_client)
            .attr("begin_create_or_update")(rgName, vnetName, peeringName, peering);
}

void log_alert(const Logger& log, const std::string& error) {
    log.warning("  **Alert** " + error);
}

nb::list disableUseRemoteGwInPeering(nb::handle cls, nb::handle subscriptionId,
                                     nb::handle local_network_client, nb::handle vnet,
                                     nb::handle exclude) {
    Logger log;
    nb::list peeringPropList;
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    const char* header = "- Disable use_remote_gateways in peerings";
    for_each_own_peering(log, vnet, header, exclude, [&](nb::handle peeringName) {
        guarded(
            [&] {
                nb::object vnetName = vnet.attr("name");
                nb::object peering =
                    peerings_of(local_network_client).attr("get")(rgName, vnetName, peeringName);
                if (differs(peering.attr("use_remote_gateways"), nb::bool_(true)))
                    return;
                log.info(concat("  disable use_remote_gateways in peering ", peeringName));
                nb::dict peeringProperties = settings_snapshot(peering);
                peering.attr("use_remote_gateways") = false;
                start_peering_update(cls, local_network_client, rgName, vnetName, peeringName,
                                     peering);
                peeringPropList.append(
                    local_record(subscriptionId, rgName, vnet, peeringName, peeringProperties));
            },
            [&](const std::string& error) { log_alert(log, error); });
    });
    return peeringPropList;
}

nb::object restoreUseRemoteGwInPeering(nb::handle cls, nb::handle local_network_client,
                                       nb::handle peeringPropList) {
    Logger log;
    log.info("- Restore use_remote_gateways in peering");
    nb::list records = to_list(peeringPropList);
    if (records.size() == 0) {
        log.info("  no peering needs to be restored");
        return nb::none();
    }
    for (nb::handle peeringProp : records) {
        nb::object rgName = item(peeringProp, local_end.rgName);
        nb::object peeringName = item(peeringProp, local_end.peeringName);
        nb::object vnetName = item(peeringProp, local_end.vnetName);
        nb::object flag = item(item(peeringProp, local_end.peering), "use_remote_gateways");
        guarded(
            [&] {
                nb::object peering =
                    peerings_of(local_network_client).attr("get")(rgName, vnetName, peeringName);
                log.info(concat("  set use_remote_gateways to ", flag, " in ", peeringName));
                peering.attr("use_remote_gateways") = flag;
                start_peering_update(cls, local_network_client, rgName, vnetName, peeringName,
                                     peering);
            },
            [&](const std::string& error) { log_alert(log, error); });
    }
    return nb::none();
}

} // namespace

void register_peerings(OperationTable& operations) {
    operations.add("getRemotePeering", &getRemotePeering, param("cred"),
                   param("remotePeeringVnetId"), param("localPeerId"));
    operations.add("getVnet", &getVnet, param("vnetName"), param("network_client"));
    operations.add("deletePeerings", &deletePeerings, param("YAML"), param("subscriptionId"),
                   param("vnet"), param("local_network_client", nb::none()),
                   param("exclude", nb::none()));
    operations.add("addPeerings", &addPeerings, param("peeringPairList"));
    operations.add("disableUseRemoteGwInPeering", &disableUseRemoteGwInPeering,
                   param("subscriptionId"), param("local_network_client"), param("vnet"),
                   param("exclude", nb::none()));
    operations.add("restoreUseRemoteGwInPeering", &restoreUseRemoteGwInPeering,
                   param("local_network_client"), param("peeringPropList"));
}

} // namespace switchlib
