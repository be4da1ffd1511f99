"""Discovery helpers shared by the tool's steps."""


class DiscoveryLib:
    # Positions in a resource ID split on "/":
    # /subscriptions/<sub>/resourceGroups/<rg>/providers/Microsoft.Network/
    #     virtualNetworks/<vnet>/virtualNetworkPeerings/<peering>
    SUB_I = 2
    RG_I = 4
    VNET_I = 8
    PEER_I = 10

    # Name fragments of the subnets the controller creates for its spoke gateways; such a
    # subnet keeps the route table the controller gave it.
    lumaflowSpokeSubnetNames = ("lumaflow-spoke-gw", "lumaflow-spoke-hagw")

    @staticmethod
    def isRouteTableUsedInVnet(routeTable, vnet):
        """True when one of the route table's subnets belongs to `vnet`.

        Azure treats resource IDs without regard to case, and so does this test.
        """
        subnets = getattr(routeTable, "subnets", None) or ()
        vnet_prefix = vnet.id.lower() + "/subnets/"
        return any(
            subnet.id is not None and subnet.id.lower().startswith(vnet_prefix)
            for subnet in subnets
        )
