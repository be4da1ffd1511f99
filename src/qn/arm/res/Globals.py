"""The tool's process-wide settings, set by the driver before the steps run."""


class Globals:
    # The tool's configuration map (keys read by the library: "configure_gw_name", "domain",
    # "spoke_gw_name").
    yaml = {}
    # The identifier every controller request carries, and the controller's API endpoint.
    CID = ""
    api_ep_url = ""
    dryRun = False

    @classmethod
    def getDryRun(cls):
        return cls.dryRun

    @classmethod
    def setDryRun(cls, value=True):
        cls.dryRun = bool(value)
