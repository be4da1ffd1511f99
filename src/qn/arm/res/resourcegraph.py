"""azure.mgmt.resourcegraph as the library uses it: its models, and its client built for the
configured cloud (the library's `arg`)."""

from typing import Any

import azure.mgmt.resourcegraph
from azure.core.credentials import TokenCredential
from azure.mgmt.resourcegraph import models

from qn.arm.res.cloud import cloud_settings

__all__ = ["ResourceGraphClient", "models"]


class ResourceGraphClient(azure.mgmt.resourcegraph.ResourceGraphClient):
    """The SDK's Resource Graph client for the configured cloud."""

    def __init__(
        self, credential: TokenCredential, base_url: str | None = None, **kwargs: Any
    ) -> None:
        cloud = cloud_settings()
        super().__init__(credential, base_url or cloud.endpoint, **cloud.client_options(kwargs))
