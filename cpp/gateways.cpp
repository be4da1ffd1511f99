// Gateways and controller: gateway detection by Resource Graph query, gateway naming, the
// transit VNet's whereabouts and the spoke's security-domain membership.
#include "cloud.hpp"
#include "operations.hpp"

#include <optional>

namespace switchlib {

namespace {

// ---------------------------------------------------------------------------------------------
// Resource Graph

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
    nb::object subnet_id =
        checked(PyNumber_Add(vnet.attr("id").ptr(), nb::str("/subnets/GatewaySubnet").ptr()));
    return concat(gateway_query_head, quoted_literal_body(text(subnet_id)), gateway_query_tail);
}

nb::object getResources(nb::handle /*cls*/, nb::handle strQuery, AzureCredentialParam cred) {
    nb::object graph = collaborator("arg");
    nb::object models = graph.attr("models");
    nb::object client = graph.attr("ResourceGraphClient")(cred.attr("getCSC")());
    nb::object options =
        models.attr("QueryRequestOptions")(nb::arg("result_format") = "objectArray");
    nb::list subscriptions;
    subscriptions.append(cred.attr("getSubId")());
    nb::object request =
        models.attr("QueryRequest")(nb::arg("subscriptions") = subscriptions,
                                    nb::arg("query") = strQuery, nb::arg("options") = options);
    return client.attr("resources")(request);
}

bool has_gateway_of_type(nb::handle rows, nb::handle vngType) {
    nb::str column(gateway_type_column);
    for (nb::handle row : rows) {
        if (contains(row, column) && equals(item(row, column), vngType))
            return true;
    }
    return false;
}

bool isVnetWithVng(nb::handle cls, AzureCredentialParam cred, nb::handle vnet, nb::handle vngType) {
    Logger log;
    nb::object response = cls.attr("getResources")(as_str(gateway_query(vnet)), cred);
    nb::object name = vnet.attr("name");
    if (equals(response.attr("total_records"), nb::int_(0))) {
        log.info(concat("- vnet ", name, " has no VNG"));
        return false;
    }
    if (has_gateway_of_type(response.attr("data"), vngType)) {
        log.info(concat("- vnet ", name, " has VNG - ", vngType));
        return true;
    }
    log.info(concat("- vnet ", name, " has VNG but NOT type ", vngType));
    return false;
}

// ---------------------------------------------------------------------------------------------
// Gateway naming

std::string repr_text(nb::handle value) {
    return text(checked(PyObject_Repr(value.ptr())));
}

[[noreturn]] void octet_out_of_range(nb::handle cidr, nb::handle part) {
    raise(PyExc_ValueError,
          concat("octet ", repr_text(part), " of ", repr_text(cidr), " is outside 0..255"));
}

// int(part) as Python computes it, limited to an octet's range.
unsigned python_octet(nb::handle cidr, nb::handle part) {
    nb::object number = checked(PyNumber_Long(part.ptr()));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0 || value < 0 || value > 255)
        octet_out_of_range(cidr, part);
    return static_cast<unsigned>(value);
}

bool is_int_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal digits with blanks around them, the form addresses come in: read here without a
// round trip through Python. Anything else (signs, underscores, other digits or blanks) is left
// to Python's int() for its exact rules and error texts.
bool plain_decimal(std::string_view part, long long& value) {
    while (!part.empty() && is_int_blank(part.front()))
        part.remove_prefix(1);
    while (!part.empty() && is_int_blank(part.back()))
        part.remove_suffix(1);
    if (part.empty() || part.size() > 18)
        return false;
    value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

unsigned ascii_octet(nb::handle cidr, std::string_view part) {
    long long value = 0;
    if (!plain_decimal(part, value))
        return python_octet(cidr, as_str(part));
    if (value > 255)
        octet_out_of_range(cidr, as_str(part));
    return static_cast<unsigned>(value);
}

void append_hex(std::string& out, unsigned octet) {
    constexpr char digits[] = "0123456789abcdef";
    out.push_back(digits[octet >> 4]);
    out.push_back(digits[octet & 0xf]);
}

// The four octets of an ASCII text in hex, read in place: the naming rule runs once per VNet
// of a migration and must stay cheap.
std::string ascii_address_hex(nb::handle cidr, std::string_view text) {
    std::string_view ip = text.substr(0, text.find('/'));
    std::string hex;
    size_t start = 0;
    for (int index = 0; index < 4; ++index) {
        if (start > ip.size())
            raise(PyExc_IndexError, "list index out of range");
        size_t dot = ip.find('.', start);
        size_t end = dot == std::string_view::npos ? ip.size() : dot;
        append_hex(hex, ascii_octet(cidr, ip.substr(start, end - start)));
        start = end + 1;
    }
    return hex;
}

// The same rule spelled out in Python calls, for any other value.
std::string python_address_hex(nb::handle cidr) {
    nb::object ip = item(cidr.attr("split")("/"), nb::int_(0));
    nb::object parts = ip.attr("split")(".");
    std::string hex;
    for (int index = 0; index < 4; ++index) {
        nb::object part = item(parts, nb::int_(index));
        append_hex(hex, python_octet(cidr, part));
    }
    return hex;
}

std::string address_hex(nb::handle cidr) {
    if (PyUnicode_CheckExact(cidr.ptr()) && PyUnicode_IS_ASCII(cidr.ptr())) {
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(cidr.ptr(), &length);
        if (data == nullptr)
            throw nb::python_error();
        return ascii_address_hex(cidr, std::string_view(data, static_cast<size_t>(length)));
    }
    return python_address_hex(cidr);
}

nb::object region_code(nb::handle cls, nb::handle regionId) {
    return item(cls.attr(interned("region")), regionId);
}

nb::object deduceGwName(nb::handle /*cls*/, nb::handle vpcAid2GwNameMap, nb::handle vpcId,
                        nb::handle vpcName, nb::handle accountId) {
    nb::str vpcAid = as_str(concat(vpcId, "-", accountId));
    if (contains(vpcAid2GwNameMap, vpcAid))
        return item(vpcAid2GwNameMap, vpcAid);
    return as_str(concat(vpcName, "-", accountId, "-gw"));
}

nb::str deduceGwNameWithSubnetCidr(nb::handle cls, nb::handle regionId, nb::handle cidr) {
    std::string hex = address_hex(cidr);
    return as_str(concat("azu-", region_code(cls, regionId), "-", hex, "-gw"));
}

nb::str deduceTransitNameWithRegion(nb::handle cls, nb::handle regionId) {
    return as_str(concat("azu-", region_code(cls, regionId), "-transit-gw"));
}

// ---------------------------------------------------------------------------------------------
// Controller lookups

// Asks the controller one question and collects the records of the entries that match.
// std::nullopt: the controller refused, reported here. An empty list: nothing matched, or the
// question could not be asked or its answer not read; the caller reports both alike.
template <typename Ask, typename Collect>
std::optional<nb::list> search_controller(const Logger& log, const char* refused_line, Ask&& ask,
                                          Collect&& collect) {
    return guarded(
        [&]() -> std::optional<nb::list> {
            nb::object answer = ask().attr("json")();
            if (equals(item(answer, "return"), nb::bool_(false))) {
                log.error(refused_line);
                return std::nullopt;
            }
            nb::list records;
            collect(answer, records);
            return records;
        },
        [](const std::string&) -> std::optional<nb::list> { return nb::list(); });
}

std::optional<nb::list> search_gateways(const Logger& log, nb::handle api_endpoint_url,
                                        nb::handle CID, nb::handle gw_name) {
    return search_controller(
        log, "  **Error** Failed to get gateway info from controller",
        [&] {
            return collaborator("lf").attr("list_gateway_info")(
                nb::arg("api_endpoint_url") = api_endpoint_url, nb::arg("CID") = CID,
                nb::arg("vpc_access_account_name") = "");
        },
        [&](nb::handle answer, nb::list& records) {
            for (nb::handle gateway : item(answer, "results")) {
                if (!equals(item(gateway, "gw_name"), gw_name))
                    continue;
                nb::dict record;
                record["account_name"] = item(gateway, "account_name");
                record["vnet_id"] = item(gateway, "vpc_id");
                records.append(record);
            }
        });
}

std::optional<nb::list> search_accounts(const Logger& log, nb::handle api_endpoint_url,
                                        nb::handle CID, nb::handle accountName) {
    return search_controller(
        log, "  **Error** Failed to get account info from controller",
        [&] {
            return collaborator("lf").attr("list_accounts")(
                nb::arg("api_endpoint_url") = api_endpoint_url, nb::arg("CID") = CID,
                nb::arg("iam_based") = "false");
        },
        [&](nb::handle answer, nb::list& records) {
            for (nb::handle account : item(item(answer, "results"), "account_list")) {
                if (!equals(item(account, "account_name"), accountName))
                    continue;
                nb::dict record;
                record["subscription_id"] = item(account, "arm_subscription_id");
                record["arm_client_id"] = item(account, "arm_ad_client_id");
                record["arm_tenant_id"] = item(account, "arm_ad_tenant_id");
                records.append(record);
            }
        });
}

nb::object no_transit() {
    return nb::make_tuple(nb::none(), nb::none());
}

nb::object getTransitVnet(nb::handle /*cls*/, nb::handle api_endpoint_url, nb::handle CID,
                          nb::handle gw_name) {
    Logger log;
    log.info("- Lookup transit gw account and vnet info");

    std::optional<nb::list> gateways = search_gateways(log, api_endpoint_url, CID, gw_name);
    if (!gateways)
        return no_transit();
    if (gateways->size() == 0) {
        log.error(concat("  **Error** No account info for transit gateway ", gw_name,
                         " found in controller"));
        return no_transit();
    }
    nb::object gateway = (*gateways)[0];
    nb::object accountName = item(gateway, "account_name");
    nb::object vnetIdParts = item(gateway, "vnet_id").attr("split")(":");
    nb::object vnetName = item(vnetIdParts, nb::int_(0));
    nb::object rgName = item(vnetIdParts, nb::int_(1));

    std::optional<nb::list> accounts = search_accounts(log, api_endpoint_url, CID, accountName);
    if (!accounts)
        return no_transit();
    if (accounts->size() == 0) {
        log.error(concat("  **Error** Failed to identify Azure account info for ", accountName));
        return no_transit();
    }
    nb::object subId = item((*accounts)[0], "subscription_id");

    nb::object cred = credential_for(subId);
    nb::object client = network_client_for(cred);
    nb::object vnet = client.attr("virtual_networks").attr("get")(rgName, vnetName);
    log.info(concat("  ", gw_name, " in vnet ", vnetName, " resource group ", rgName));
    return nb::make_tuple(cred, vnet);
}

// ---------------------------------------------------------------------------------------------
// Security domain

nb::object attach_spoke_domain(nb::handle /*cls*/, nb::handle attach) {
    nb::object globals = collaborator("Globals");
    if (equals(item(globals.attr("yaml"), "configure_gw_name"), nb::bool_(false)))
        return nb::none();
    nb::object domain = item(globals.attr("yaml"), "domain");
    if (domain.is_none())
        return nb::none();

    Logger log;
    nb::object CID = globals.attr("CID");
    nb::object attachment = item(globals.attr("yaml"), "spoke_gw_name");
    nb::object dry_run = globals.attr("getDryRun")();

    bool attaching = is_true(attach);
    nb::dict payload;
    payload["action"] = attaching ? "associate_attachment_to_multi_cloud_security_domain"
                                  : "disassociate_attachment_from_multi_cloud_security_domain";
    payload["CID"] = CID;
    payload["domain_name"] = domain;
    payload["attachment_name"] = attachment;
    if (attaching)
        log.info(concat("- Attach ", attachment, " to domain ", domain));
    else
        log.info(concat("- Detach ", attachment, " from domain ", domain));

    nb::object api_ep_url = globals.attr("api_ep_url");
    if (!is_true(dry_run))
        collaborator("lf").attr("lumaflow_post")(api_ep_url, payload);
    return nb::none();
}

} // namespace

void register_gateways(OperationTable& operations) {
    operations.add("getResources", &getResources, param("strQuery"), param("cred"));
    operations.add("isVnetWithVng", &isVnetWithVng, param("cred"), param("vnet"), param("vngType"));
    operations.add("deduceGwName", &deduceGwName, param("vpcAid2GwNameMap"), param("vpcId"),
                   param("vpcName"), param("accountId"));
    operations.add("deduceGwNameWithSubnetCidr", &deduceGwNameWithSubnetCidr, param("regionId"),
                   param("cidr"));
    operations.add("deduceTransitNameWithRegion", &deduceTransitNameWithRegion, param("regionId"));
    operations.add("getTransitVnet", &getTransitVnet, param("api_endpoint_url", nb::str("")),
                   param("CID", nb::str("")), param("gw_name", nb::str("")));
    operations.add("attach_spoke_domain", &attach_spoke_domain, param("attach"));
}

} // namespace switchlib
