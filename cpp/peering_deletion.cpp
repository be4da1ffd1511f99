// Peering deletion: records both ends of each of the VNet's peerings to the old hub, removes the
// peered VNet's lock when configured, and deletes both ends.
#include "cloud.hpp"
#include "dry_run.hpp"
#include "peering_records.hpp"
#include "registration.hpp"

#include <array>
#include <optional>

namespace switchlib {

namespace {

// a, b, c, d = values, with Python's errors for a wrong count.
std::array<nb::object, 4> unpack_four(nb::handle values) {
    nb::list items(values);
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
    nb::object rg_name;
    nb::object vnet_name;
    nb::object peering_name;
};

// The operation's fixed inputs, for the steps of each peering.
struct Deletion {
    const Logger& log;
    nb::handle cls, yaml, subscription_id, vnet, rg_name, vnet_name, local_client;
};

// Fetches a listed peering and its remote end and records the pair. Returns the remote end
// when the peering is to be deleted; nothing when it was skipped or failed (no record then).
std::optional<RemoteEnd> record_pair(const Deletion& run, nb::handle peering_name,
                                     nb::list& peering_pair_list) {
    return guarded(
        [&]() -> std::optional<RemoteEnd> {
            nb::object peering =
                peerings_of(run.local_client).attr("get")(run.rg_name, run.vnet_name, peering_name);
            nb::object remote_vnet_id = peering.attr("remote_virtual_network").attr("id");
            nb::object remote_subscription_id = id_segment(remote_vnet_id, "SUB_I");
            nb::object cred = credential_for(remote_subscription_id);
            if (cred.equal(nb::none())) {
                run.log.error("  **Error** Cannot delete peering. Missing credential for remote "
                              "subscription ",
                              remote_subscription_id);
                return std::nullopt;
            }
            nb::object remote_network_client = network_client_for(cred);
            auto [remote_rg_name, remote_vnet_name, remote_peering_name, remote_peering] =
                unpack_four(
                    run.cls.attr("getRemotePeering")(cred, remote_vnet_id, peering.attr("id")));
            nb::dict peering_properties = settings_snapshot(peering);
            nb::dict remote_peering_properties = settings_snapshot(remote_peering);
            if (run.yaml["delete_peering"].not_equal(nb::str("all")) &&
                equals_false(remote_peering.attr("allow_gateway_transit"))) {
                run.log.info("  peering between ", peering_name, " and ", remote_peering_name,
                             " -- skipped, as remote peer's allow-gateway-transit flag is False");
                return std::nullopt;
            }
            nb::dict record = local_record(run.subscription_id, run.rg_name, run.vnet, peering_name,
                                           peering_properties);
            record["remoteSubscriptionId"] = remote_subscription_id;
            record["remoteRgName"] = remote_rg_name;
            record["remoteVnetName"] = remote_vnet_name;
            record["remotePeeringName"] = remote_peering_name;
            record["remotePeering"] = remote_peering_properties;
            peering_pair_list.append(record);
            return RemoteEnd{cred, remote_network_client, remote_rg_name, remote_vnet_name,
                             remote_peering_name};
        },
        [&](const std::string& error) -> std::optional<RemoteEnd> {
            run.log.error("  **Error** ", error);
            return std::nullopt;
        });
}

// A lock on the peered VNet would block the deletion of its end. The peering is already
// recorded, so a failure here must not end the run and lose the records: it is reported and
// the deletion is attempted anyway.
void remove_remote_vnet_lock(const Deletion& run, const RemoteEnd& remote) {
    guarded(
        [&] {
            nb::object remote_vnet =
                run.cls.attr("getVnet")(remote.vnet_name, remote.network_client);
            run.cls.attr("deleteVnetLock")(remote.cred, remote_vnet, "indent"_a = 2);
        },
        [&](const std::string& error) { run.log.error("  **Error** ", error); });
}

void delete_peering_end(const Deletion& run, nb::handle network_client, nb::handle rg_name,
                        nb::handle vnet_name, nb::handle peering_name) {
    run.log.info("  delete peering ", peering_name);
    if (dry_run(run.cls))
        return;
    guarded(
        [&] {
            peerings_of(network_client)
                .attr("begin_delete")(rg_name, vnet_name, peering_name)
                .attr("result")();
        },
        [&](const std::string& error) {
            run.log.error("  **Error** Failed to delete peering ", peering_name, " -", error);
        });
}

nb::list delete_peerings(nb::handle cls, nb::handle yaml, nb::handle subscription_id,
                         nb::handle vnet, nb::handle local_network_client, nb::handle exclude) {
    Logger log;
    nb::object local_client = nb::borrow(local_network_client);
    if (local_client.equal(nb::none()))
        local_client = network_client_for(credential_for(subscription_id));
    nb::list peering_pair_list;
    nb::object rg_name = resource_group_of(vnet);
    nb::object vnet_name = vnet.attr("name");
    const Deletion run{log, cls, yaml, subscription_id, vnet, rg_name, vnet_name, local_client};
    for_each_own_peering(log, vnet, "- Delete peerings", exclude, [&](nb::handle peering_name) {
        std::optional<RemoteEnd> remote = record_pair(run, peering_name, peering_pair_list);
        if (!remote)
            return;
        if (yaml["delete_vnet_lock"].equal(nb::bool_(true)))
            remove_remote_vnet_lock(run, *remote);
        delete_peering_end(run, local_client, rg_name, vnet_name, peering_name);
        delete_peering_end(run, remote->network_client, remote->rg_name, remote->vnet_name,
                           remote->peering_name);
    });
    return peering_pair_list;
}

} // namespace

void register_peering_deletion(OperationTable& table) {
    table.add("deletePeerings", &delete_peerings, param("YAML"), param("subscriptionId"),
              param("vnet"), param("local_network_client", nb::none()),
              param("exclude", nb::none()));
}

} // namespace switchlib
