// Transit lookup: the transit gateway's account and VNet, asked of the controller.
#include "cloud.hpp"
#include "registration.hpp"

#include <optional>

namespace switchlib {

namespace {

// Asks the controller one question and collects the records of the entries that match.
// std::nullopt: the controller refused, reported here. An empty list: nothing matched, or the
// question could not be asked or its answer not read; the caller reports both alike.
template <typename Ask, typename Collect>
std::optional<nb::list> search_controller(const Logger& log, const char* refused_line, Ask&& ask,
                                          Collect&& collect) {
    return guarded(
        [&]() -> std::optional<nb::list> {
            nb::object answer = ask().attr("json")();
            if (equals_false(answer["return"])) {
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
                                        nb::handle cid, nb::handle gw_name) {
    return search_controller(
        log, "  **Error** Failed to get gateway info from controller",
        [&] {
            return collaborator("lf").attr("list_gateway_info")(
                "api_endpoint_url"_a = api_endpoint_url, "CID"_a = cid,
                "vpc_access_account_name"_a = "");
        },
        [&](nb::handle answer, nb::list& records) {
            for (nb::handle gateway : answer["results"]) {
                if (!gateway["gw_name"].equal(gw_name))
                    continue;
                nb::dict record;
                record["account_name"] = gateway["account_name"];
                record["vnet_id"] = gateway["vpc_id"];
                records.append(record);
            }
        });
}

std::optional<nb::list> search_accounts(const Logger& log, nb::handle api_endpoint_url,
                                        nb::handle cid, nb::handle account_name) {
    return search_controller(
        log, "  **Error** Failed to get account info from controller",
        [&] {
            return collaborator("lf").attr("list_accounts")("api_endpoint_url"_a = api_endpoint_url,
                                                            "CID"_a = cid, "iam_based"_a = "false");
        },
        [&](nb::handle answer, nb::list& records) {
            for (nb::handle account : answer["results"]["account_list"]) {
                if (!account["account_name"].equal(account_name))
                    continue;
                nb::dict record;
                record["subscription_id"] = account["arm_subscription_id"];
                record["arm_client_id"] = account["arm_ad_client_id"];
                record["arm_tenant_id"] = account["arm_ad_tenant_id"];
                records.append(record);
            }
        });
}

nb::object no_transit() {
    return nb::make_tuple(nb::none(), nb::none());
}

nb::object get_transit_vnet(nb::handle /*cls*/, nb::handle api_endpoint_url, nb::handle cid,
                            nb::handle gw_name) {
    Logger log;
    log.info("- Lookup transit gw account and vnet info");

    std::optional<nb::list> gateways = search_gateways(log, api_endpoint_url, cid, gw_name);
    if (!gateways)
        return no_transit();
    if (gateways->size() == 0) {
        log.error("  **Error** No account info for transit gateway ", gw_name,
                  " found in controller");
        return no_transit();
    }
    nb::object gateway = (*gateways)[0];
    nb::object account_name = gateway["account_name"];
    nb::object vnet_id_parts = gateway["vnet_id"].attr("split")(":");
    nb::object vnet_name = vnet_id_parts[0];
    nb::object rg_name = vnet_id_parts[1];

    std::optional<nb::list> accounts = search_accounts(log, api_endpoint_url, cid, account_name);
    if (!accounts)
        return no_transit();
    if (accounts->size() == 0) {
        log.error("  **Error** Failed to identify Azure account info for ", account_name);
        return no_transit();
    }
    nb::object sub_id = (*accounts)[0]["subscription_id"];

    nb::object cred = credential_for(sub_id);
    nb::object client = network_client_for(cred);
    nb::object vnet = client.attr("virtual_networks").attr("get")(rg_name, vnet_name);
    log.info("  ", gw_name, " in vnet ", vnet_name, " resource group ", rg_name);
    return nb::make_tuple(cred, vnet);
}

} // namespace

void register_transit(OperationTable& table) {
    table.add("getTransitVnet", &get_transit_vnet, param("api_endpoint_url", nb::str("")),
              param("CID", nb::str("")), param("gw_name", nb::str("")));
}

} // namespace switchlib
