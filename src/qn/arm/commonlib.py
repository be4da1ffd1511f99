"""Common helpers of the tool."""

from qn.arm.res.YamlContext import YamlContext


class Common:
    # Subnets that Azure reserves for its own services; they are never switched.
    AZURE_SUBNET = (
        "GatewaySubnet",
        "AzureFirewallSubnet",
        "AzureFirewallManagementSubnet",
        "AzureBastionSubnet",
        "RouteServerSubnet",
    )

    @staticmethod
    def getMainTablePrefix(vnetName):
        """The configured prefix of the VNet's two main route tables, or None.

        None means that the VNet's own name is the prefix. The prefix is configured per VNet as
        `vnets.<name>.main_table_prefix` in the tool's configuration.
        """
        return YamlContext().getVnetSetting(vnetName, "main_table_prefix")
