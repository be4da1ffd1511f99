"""Client of the Lumaflow controller's API.

Every request is an HTTP POST of form fields to the controller's API endpoint, with the action
under "action" and the controller identifier under "CID"; the controller answers with JSON
carrying the success flag "return" and either "results" or a "reason".
"""

import requests

DEFAULT_TIMEOUT = 30.0


class LumaflowError(RuntimeError):
    """The controller could not be reached or refused a request; the text gives its reason."""


def _describe(response):
    try:
        answer = response.json()
    except ValueError:
        return None, f"HTTP {response.status_code}: answer is not JSON"
    if not isinstance(answer, dict):
        return None, f"HTTP {response.status_code}: unexpected answer {answer!r}"
    return answer, answer.get("reason") or f"HTTP {response.status_code}"


class Lumaflow:
    timeout = DEFAULT_TIMEOUT
    verify = True  # TLS verification of the controller; a CA bundle path is accepted too

    @classmethod
    def _send(cls, endpoint, payload):
        try:
            return requests.post(endpoint, data=payload, timeout=cls.timeout, verify=cls.verify)
        except requests.RequestException as error:
            raise LumaflowError(f"controller at {endpoint} unreachable: {error}") from error

    @classmethod
    def list_gateway_info(cls, api_endpoint_url, CID, vpc_access_account_name=""):
        """The controller's gateway list; `json()` of the response is its answer as sent."""
        return cls._send(
            api_endpoint_url,
            {
                "action": "list_gateway_info",
                "CID": CID,
                "vpc_access_account_name": vpc_access_account_name,
            },
        )

    @classmethod
    def list_accounts(cls, api_endpoint_url, CID, iam_based="false"):
        """The controller's account list; `json()` of the response is its answer as sent."""
        return cls._send(
            api_endpoint_url, {"action": "list_accounts", "CID": CID, "iam_based": iam_based}
        )

    @classmethod
    def lumaflow_post(cls, endpoint, payload):
        """Sends one request; raises LumaflowError unless the controller reports success."""
        response = cls._send(endpoint, payload)
        answer, reason = _describe(response)
        if response.status_code >= 400 or answer is None or answer.get("return") is not True:
            action = payload.get("action", "request") if isinstance(payload, dict) else "request"
            raise LumaflowError(f"controller refused {action}: {reason}")
        return answer
