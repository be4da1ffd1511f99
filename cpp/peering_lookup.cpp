// Peering lookup: the remote end of a peering, found by the network it points back at, and a
// VNet found by name.
#include "cloud.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

nb::object get_vnet(nb::handle /*cls*/, nb::handle vnet_name, nb::handle network_client) {
    for (nb::handle vnet : network_client.attr("virtual_networks").attr("list_all")()) {
        if (vnet.attr("name").equal(vnet_name))
            return nb::borrow(vnet);
    }
    return nb::none();
}

bool is_ascii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A segment of a remote peering's target ID, split once; compared through lowered() below.
struct Segment {
    Segment(nb::handle resource_id, nb::handle position) {
        if (!id_segment_view(resource_id, position, view))
            object = id_segment(resource_id, position);
    }
    std::string_view view; // into the ID's text, which the caller keeps alive
    nb::object object;     // when the ID or the position is not plain: Python's own split
};

// segment.lower() == lowered. ASCII text is compared in place: each remote VNet lists several
// peerings, and every one of them would otherwise cost a new str and a method call.
bool lower_equals(const Segment& segment, nb::handle lowered) {
    std::string_view target;
    if (segment.object.is_valid() || !exact_str_view(lowered, target) || !is_ascii(segment.view))
        return (segment.object.is_valid() ? segment.object : as_str(segment.view))
            .attr("lower")()
            .equal(lowered);
    if (segment.view.size() != target.size())
        return false;
    for (size_t i = 0; i < target.size(); ++i) {
        if (ascii_lower(segment.view[i]) != target[i])
            return false;
    }
    return true;
}

nb::object get_remote_peering(nb::handle /*cls*/, nb::handle /*cred*/,
                              nb::handle remote_peering_vnet_id, nb::handle local_peer_id) {
    Logger log;
    DiscoveryPositions at;
    nb::object local_subscription_id = id_segment(local_peer_id, at.sub);
    nb::object local_rg_name = id_segment(local_peer_id, at.rg);
    nb::object local_vnet_name = id_segment(local_peer_id, at.vnet);
    nb::object local_peering_name = id_segment(local_peer_id, at.peer);
    nb::object local_rg_name_lc = local_rg_name.attr("lower")();
    nb::object local_vnet_name_lc = local_vnet_name.attr("lower")();
    log.debug("  local subscription id: ", local_subscription_id);
    log.debug("  local resource group: ", local_rg_name);
    log.debug("  local vnet name: ", local_vnet_name);
    log.debug("  local peering name: ", local_peering_name);

    nb::object remote_rg_name = id_segment(remote_peering_vnet_id, at.rg);
    nb::object remote_vnet_name = id_segment(remote_peering_vnet_id, at.vnet);
    nb::object remote_subscription_id = id_segment(remote_peering_vnet_id, at.sub);
    log.debug("  expected remote subscription id: ", remote_subscription_id);
    log.debug("  expected remote resource group: ", remote_rg_name);
    log.debug("  expected remote vnet name: ", remote_vnet_name);

    // The caller has made sure that a credential exists for the remote subscription.
    nb::object remote_client = network_client_for(credential_for(remote_subscription_id));
    nb::list remote_peerings(
        peerings_of(remote_client).attr("list")(remote_rg_name, remote_vnet_name));
    // The remote end is recognised by the network it points at, not by its own name.
    for (nb::handle peering : remote_peerings) {
        nb::object points_at = peering.attr("remote_virtual_network").attr("id");
        Segment rg(points_at, at.rg);
        Segment vnet(points_at, at.vnet);
        if (lower_equals(rg, local_rg_name_lc) && lower_equals(vnet, local_vnet_name_lc)) {
            nb::object name = peering.attr("name");
            log.debug("  remote peering name: ", name);
            return nb::make_tuple(remote_rg_name, remote_vnet_name, name, peering);
        }
    }
    log.info("  failed to found remote peering info for ", local_peering_name);
    return nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none());
}

} // namespace

void register_peering_lookup(OperationTable& table) {
    table.add("getRemotePeering", &get_remote_peering, param("cred"), param("remotePeeringVnetId"),
              param("localPeerId"));
    table.add("getVnet", &get_vnet, param("vnetName"), param("network_client"));
}

} // namespace switchlib
