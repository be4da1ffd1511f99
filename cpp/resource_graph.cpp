// Resource Graph: queries by the Azure Resource Graph client, and whether a VNet hosts a gateway
// of a given type.
#include "cloud.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

constexpr std::string_view gateway_query_head =
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ '";
constexpr std::string_view gateway_query_tail = "' | project properties.gatewayType";
constexpr const char* gateway_type_column = "properties_gatewayType";

// The text as it must appear between single quotes of a query: a quote or backslash in a
// resource ID must not end the literal early or change the query around it.
std::string quoted_literal_body(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '\'')
            out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string gateway_query(nb::handle vnet) {
    nb::object subnet_id = vnet.attr("id") + nb::str("/subnets/GatewaySubnet");
    return concat(gateway_query_head, quoted_literal_body(text(subnet_id)), gateway_query_tail);
}

nb::object get_resources(nb::handle /*cls*/, nb::handle str_query, AzureCredentialParam cred) {
    nb::object graph = collaborator("arg");
    nb::object models = graph.attr("models");
    nb::object client = graph.attr("ResourceGraphClient")(cred.attr("getCSC")());
    nb::object options = models.attr("QueryRequestOptions")("result_format"_a = "objectArray");
    nb::list subscriptions;
    subscriptions.append(cred.attr("getSubId")());
    nb::object request = models.attr("QueryRequest")("subscriptions"_a = subscriptions,
                                                     "query"_a = str_query, "options"_a = options);
    return client.attr("resources")(request);
}

bool has_gateway_of_type(nb::handle rows, nb::handle vng_type) {
    nb::str column(gateway_type_column);
    for (nb::handle row : rows) {
        if (contains(row, column) && item(row, column).equal(vng_type))
            return true;
    }
    return false;
}

bool is_vnet_with_vng(nb::handle cls, AzureCredentialParam cred, nb::handle vnet,
                      nb::handle vng_type) {
    Logger log;
    nb::object response = cls.attr("getResources")(as_str(gateway_query(vnet)), cred);
    nb::object name = vnet.attr("name");
    if (response.attr("total_records").equal(nb::int_(0))) {
        log.info("- vnet ", name, " has no VNG");
        return false;
    }
    if (has_gateway_of_type(response.attr("data"), vng_type)) {
        log.info("- vnet ", name, " has VNG - ", vng_type);
        return true;
    }
    log.info("- vnet ", name, " has VNG but NOT type ", vng_type);
    return false;
}

} // namespace

void register_resource_graph(OperationTable& table) {
    table.add("getResources", &get_resources, param("strQuery"), param("cred"));
    table.attribute("VPN", nb::str("Vpn"));
    table.attribute("ER", nb::str("ExpressRoute"));
    table.add("isVnetWithVng", &is_vnet_with_vng, param("cred"), param("vnet"), param("vngType"));
}

} // namespace switchlib
