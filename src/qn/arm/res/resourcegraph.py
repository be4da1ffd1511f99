"""azure.mgmt.resourcegraph as the library uses it: its models, and its client built for the
configured cloud (the library's `arg`)."""

from typing import Any

import azure.mgmt.resourcegraph
from azure.core.credentials import TokenCredential
from azure.mgmt.resourcegraph import models

from qn.arm.res.cloud import client_arguments

__all__ = ["ResourceGraphClient", "models"]


class ResourceGraphClient(azure.mgmt.resourcegraph.ResourceGraphClient):
    """The SDK's Resource Graph client for the configured cloud."""

    def __init__(
        self, credential: TokenCredential, base_url: str | None = None, **kwargs: Any
    ) -> None:
        endpoint, options = client_arguments(base_url, kwargs)
        super().__init__(credential, endpoint, **options)
