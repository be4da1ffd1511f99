"""The tool's error types and how an Azure error answer is read, below every module that
raises or reads them (configuration, credentials, clients), so none imports another for them."""

import json
from typing import Any

from azure.core.exceptions import AzureError


class ConfigError(ValueError):
    """The configuration is unusable; the text names the file, the key and what is wrong."""


def error_code(http_response: Any) -> str | None:
    """The `error.code` of an ARM error body, or None."""
    try:
        http_response.read()  # the pipeline streams bodies; the SDK reads the kept copy later
        body = json.loads(http_response.text())
    except (AzureError, ValueError, TypeError, AttributeError):
        return None
    error = body.get("error") if isinstance(body, dict) else None
    code = error.get("code") if isinstance(error, dict) else None
    return code if isinstance(code, str) else None
