"""Virtual-WAN helper."""

import re

# A virtual hub runs in a network that Azure manages for it, named "HV_<hub name>_<GUID>".
_HUB_NETWORK = re.compile(
    r"^HV_(?P<hub>.+)_[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$",
    re.IGNORECASE,
)


class VWanMgmt:
    @staticmethod
    def getVHubNameFromPeering(remoteVnetId: object) -> str | None:
        """The hub's name when `remoteVnetId` is a virtual hub's managed network, else None."""
        if not isinstance(remoteVnetId, str):
            return None
        parts = remoteVnetId.rstrip("/").split("/")
        if len(parts) < 2 or parts[-2].lower() != "virtualnetworks":
            return None
        match = _HUB_NETWORK.match(parts[-1])
        return match.group("hub") if match else None
