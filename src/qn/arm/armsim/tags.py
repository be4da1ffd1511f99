"""The tags API at a resource's scope: `{resource}/providers/Microsoft.Resources/tags/default`.

GET answers the resource's tags; PATCH changes them by `operation`: Replace sets the whole set,
Merge adds or updates the tags given and leaves the others, Delete removes the tags given by
name, or by name and value (a tag whose value differs stays). Azure's limits hold: a tag name
of at most 512 characters without `<>%&\\?/`, a value of at most 256, at most 50 tags. A
ReadOnly lock refuses the write, as it refuses any write to the resource. The emulator serves
the resource scopes it holds; subscriptions and resource groups keep no tags here.
"""

from .state import ArmError, Json, State

TAGS_TYPE = "Microsoft.Resources/tags"
NAME_LIMIT, VALUE_LIMIT, COUNT_LIMIT = 512, 256, 50
FORBIDDEN = set("<>%&\\?/")
OPERATIONS = ("Replace", "Merge", "Delete")


def tags_at_scope(state: State, method: str, scope: str, body: object) -> tuple[int, Json]:
    """The answer to a request of the tags of the resource `scope` names: (status, body)."""
    resource = state.require(scope)
    if method == "PATCH":
        operation, given = patch_request(body)
        state.check_locks(resource.id, "write")
        resource.tags = patched(resource.tags or {}, operation, given) or None
        state.changed(resource.id)
    return 200, {
        "id": f"{resource.id}/providers/{TAGS_TYPE}/default",
        "name": "default",
        "type": TAGS_TYPE,
        "properties": {"tags": dict(resource.tags or {})},
    }


def patch_request(body: object) -> tuple[str, dict[str, str]]:
    """The operation and the tags of a PATCH body; 400 for anything else."""
    if not isinstance(body, dict):
        raise invalid("The request content must be a JSON object.")
    operation = body.get("operation")
    if operation not in OPERATIONS:
        raise invalid(
            f"The operation '{operation}' is invalid; use one of {', '.join(OPERATIONS)}."
        )
    properties = body.get("properties")
    tags = properties.get("tags") if isinstance(properties, dict) else None
    if not isinstance(tags, dict) or not all(isinstance(v, str) for v in tags.values()):
        raise invalid("properties.tags must be an object of tag names and string values.")
    return operation, {str(k): v for k, v in tags.items()}


def patched(current: Json, operation: str, given: dict[str, str]) -> Json:
    if operation == "Delete":
        return {
            name: value
            for name, value in current.items()
            if name not in given or (given[name] and given[name] != value)
        }
    check_limits(given)
    result = dict(given) if operation == "Replace" else {**current, **given}
    if len(result) > COUNT_LIMIT:
        raise ArmError(
            400,
            "InvalidTagsCount",
            f"The resource would have {len(result)} tags; at most {COUNT_LIMIT} are allowed.",
        )
    return result


def check_limits(tags: dict[str, str]) -> None:
    for name, value in tags.items():
        if not name or len(name) > NAME_LIMIT:
            raise ArmError(
                400,
                "InvalidTagNameLength",
                f"Tag name too large. Following tag name '{name}' exceeded the maximum length. "
                f"Maximum allowed length for tag name - '{NAME_LIMIT}' characters.",
            )
        if FORBIDDEN & set(name):
            raise ArmError(
                400,
                "InvalidTagNameCharacters",
                f"The tag name '{name}' has characters that are not allowed: "
                f"'{''.join(sorted(FORBIDDEN & set(name)))}'.",
            )
        if len(value) > VALUE_LIMIT:
            raise ArmError(
                400,
                "InvalidTagValueLength",
                f"Tag value too large. Following tag value '{value}' exceeded the maximum "
                f"length. Maximum allowed length for tag value - '{VALUE_LIMIT}' characters.",
            )


def invalid(message: str) -> ArmError:
    return ArmError(400, "InvalidRequestContent", message)
