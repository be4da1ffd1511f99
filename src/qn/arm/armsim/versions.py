"""The api-versions the emulator knows for each resource type it serves, and ARM's refusals
of any other: 400 InvalidApiVersionParameter for a value that is not a version at all, 400
NoRegisteredProviderFound for a well-formed version the type does not have.

The lists hold what the installed SDK clients send (azure-mgmt-network: 2026-03-01,
azure-mgmt-resource-locks: 2020-05-01, azure-mgmt-resourcegraph: 2021-03-01) and the versions
Azure lists for these types in its own refusals; docs/emulator.md cites the sources.
"""

import re

from .state import ArmError

# Microsoft.Network serves all its types (virtualNetworks, subnets, peerings, routeTables,
# gateways, the operation status) with the same versions.
NETWORK_VERSIONS = (
    "2014-12-01-preview 2015-05-01-preview 2015-06-15 2016-03-30 2016-06-01 2016-07-01 "
    "2016-08-01 2016-09-01 2016-10-01 2016-11-01 2016-12-01 2017-03-01 2017-04-01 2017-06-01 "
    "2017-08-01 2017-09-01 2017-10-01 2017-11-01 2018-01-01 2018-02-01 2018-03-01 2018-04-01 "
    "2018-05-01 2018-06-01 2018-07-01 2018-08-01 2018-10-01 2018-11-01 2018-12-01 2019-02-01 "
    "2019-04-01 2019-06-01 2019-07-01 2019-08-01 2019-09-01 2019-11-01 2019-12-01 2020-01-01 "
    "2020-03-01 2020-04-01 2020-05-01 2020-06-01 2020-07-01 2020-08-01 2020-11-01 2021-01-01 "
    "2021-02-01 2021-03-01 2021-04-01 2021-05-01 2021-06-01 2021-08-01 2021-12-01 2022-01-01 "
    "2022-05-01 2022-07-01 2022-09-01 2022-11-01 2023-02-01 2023-04-01 2023-05-01 2023-06-01 "
    "2023-09-01 2023-11-01 2024-01-01 2024-03-01 2024-05-01 2024-07-01 2025-01-01 2025-03-01 "
    "2025-05-01 2025-07-01 2025-09-01 2026-01-01 2026-03-01"
).split()
LOCK_VERSIONS = "2015-01-01 2015-05-01-preview 2015-06-01 2016-09-01 2017-04-01 2020-05-01".split()
GRAPH_VERSIONS = "2019-04-01 2021-03-01 2022-10-01 2024-04-01".split()
# The stable versions of azure-rest-api-specs' Microsoft.Authorization whose
# authorization-RoleDefinitionsCalls.json serves the permissions listings.
PERMISSION_VERSIONS = "2015-07-01 2022-04-01".split()
# The tags API at a scope came with 2019-10-01.
TAGS_VERSIONS = (
    "2019-10-01 2020-06-01 2020-08-01 2020-10-01 2021-01-01 2021-04-01 2022-09-01 2023-07-01 "
    "2024-03-01 2024-07-01 2024-11-01 2025-01-01 2025-03-01 2025-04-01"
).split()

# (namespace, type as the path spells its collections) -> versions, keys in lower case.
KNOWN = {
    ("microsoft.network", "virtualnetworks"): NETWORK_VERSIONS,
    ("microsoft.network", "virtualnetworks/subnets"): NETWORK_VERSIONS,
    ("microsoft.network", "virtualnetworks/virtualnetworkpeerings"): NETWORK_VERSIONS,
    ("microsoft.network", "routetables"): NETWORK_VERSIONS,
    ("microsoft.network", "virtualnetworkgateways"): NETWORK_VERSIONS,
    ("microsoft.network", "locations/operations"): NETWORK_VERSIONS,
    ("microsoft.authorization", "locks"): LOCK_VERSIONS,
    ("microsoft.authorization", "permissions"): PERMISSION_VERSIONS,
    ("microsoft.resourcegraph", "resources"): GRAPH_VERSIONS,
    ("microsoft.resources", "tags"): TAGS_VERSIONS,
}

VERSION = re.compile(r"\d{4}-\d{2}-\d{2}(-(preview|alpha|beta|rc|privatepreview))?", re.I)


def resource_type(segments: list[str]) -> tuple[str, str] | None:
    """(namespace, type) of the path's last provider, e.g. ("Microsoft.Network",
    "virtualNetworks/subnets"); None for a path without a provider."""
    low = [s.lower() for s in segments]
    if "providers" not in low:
        return None
    at = len(low) - 1 - low[::-1].index("providers")
    if at + 2 >= len(segments):
        return None
    return segments[at + 1], "/".join(segments[at + 2 :][0::2])


def check_api_version(segments: list[str], version: str, locations: list[str]) -> None:
    """Refuses an api-version that the request's resource type does not have. Paths of types
    the emulator does not serve pass, so routing answers them as it does any other."""
    found = resource_type(segments)
    if found is None:
        return
    namespace, type_ = found
    known = KNOWN.get((namespace.lower(), type_.lower()))
    if known is None or version in known:
        return
    supported = ", ".join(known)
    location = locations[0] if locations else "westus"
    if not VERSION.fullmatch(version):
        raise ArmError(
            400,
            "InvalidApiVersionParameter",
            f"The api-version '{version}' is invalid. The supported versions are "
            f"'{','.join(reversed(known))}'.",
        )
    raise ArmError(
        400,
        "NoRegisteredProviderFound",
        f"No registered resource provider found for location '{location}' and API version "
        f"'{version}' for type '{type_}'. The supported api-versions are '{supported}'. "
        f"The supported locations are '{', '.join(locations or [location])}'.",
    )
