"""What the configuration and the state file share: strict sections, and pydantic's findings
told as `<file>: <key>: <problem>`, one line each, so the operator mends every one in one go."""

import difflib
import types
import typing
from typing import Annotated, Any, Union

from pydantic import BaseModel, ConfigDict, ValidationError, model_validator
from pydantic_core import ErrorDetails

# Values never repeated in a message: they would end up in logs and terminals.
SECRET_KEYS = frozenset({"client_secret", "token", "CID"})


class Section(BaseModel):
    """A mapping of known keys with exact types: `yes` is no boolean, `"3"` no number."""

    model_config = ConfigDict(extra="forbid", strict=True)

    @model_validator(mode="before")
    @classmethod
    def _empty_is_defaults(cls, data: Any) -> Any:
        # `peering:` with nothing under it is YAML's null: the section's defaults.
        return {} if data is None else data


def unwrap(annotation: Any) -> Any:
    """The type behind Optional[...] and Annotated[...]."""
    while True:
        origin = typing.get_origin(annotation)
        if origin is Annotated:
            annotation = typing.get_args(annotation)[0]
        elif origin in (Union, types.UnionType):
            annotation = next(a for a in typing.get_args(annotation) if a is not type(None))
        else:
            return annotation


def is_model(annotation: Any) -> bool:
    return isinstance(annotation, type) and issubclass(annotation, BaseModel)


def _field(model: type[BaseModel], key: Any) -> Any:
    """The annotation of a model's key, by name or by alias, or None for an unknown key."""
    for name, info in model.model_fields.items():
        if key in (name, info.alias):
            return info.annotation
    return None


def known_keys(model: type[BaseModel]) -> list[str]:
    return [info.alias or name for name, info in model.model_fields.items()]


def _locate(root: type[BaseModel], loc: tuple[int | str, ...]) -> tuple[str, list[str]]:
    """The dotted key of a location, and the keys known where it ends (for suggestions)."""
    path: str = ""
    annotation: Any = root  # a model, then the types inside it, None past what can be followed
    known: list[str] = []
    for part in loc:
        annotation = unwrap(annotation)
        origin = typing.get_origin(annotation)
        known = []
        if part == "[key]":
            continue  # the dict key itself is wrong: its path is already written
        if is_model(annotation):
            known = known_keys(annotation)
            annotation = _field(annotation, part)
            path += f".{part}" if path else str(part)
        elif origin is dict:
            annotation = typing.get_args(annotation)[1]
            path += f".{part!r}" if part in ("", "None") else f".{part}"
        elif origin is list:
            annotation = typing.get_args(annotation)[0]
            path += f"[{part}]"
        else:  # a union member or an unknown key: no further structure to follow
            annotation = None
    return path or "(top level)", known


KINDS = {
    "bool_type": "must be true or false",
    "string_type": "must be text",
    "int_type": "must be a whole number",
    "list_type": "must be a list",
    "dict_type": "must be a mapping",
    "model_type": "must be a mapping",
    "model_attributes_type": "must be a mapping",
}
STRUCTURES = frozenset({"list_type", "dict_type", "model_type", "model_attributes_type"})


def _paths(model: type[BaseModel], prefix: str = "") -> list[str]:
    """Every key of a model, dotted; the names of a mapping of sections shown as `<name>`."""
    paths = []
    for key in known_keys(model):
        path, inner = prefix + key, unwrap(_field(model, key))
        if typing.get_origin(inner) is dict:
            path, inner = f"{path}.<name>", unwrap(typing.get_args(inner)[1])
        paths.append(path)
        if is_model(inner):
            paths += _paths(inner, path + ".")
    return paths


def _suggestion(root: type[BaseModel], key: str, known: list[str]) -> str:
    name = key.rsplit(".", 1)[-1]
    paths = _paths(root)
    # A key of this name elsewhere was put at the wrong level; else, most likely, misspelt.
    close = [p for p in paths if p.rsplit(".", 1)[-1] == name][:1]
    close = close or difflib.get_close_matches(name, known, n=1, cutoff=0.6)
    if not close:  # the nearest name in any section
        nearest = difflib.get_close_matches(name, [p.rsplit(".", 1)[-1] for p in paths], n=1)
        close = [p for p in paths if nearest and p.rsplit(".", 1)[-1] == nearest[0]][:1]
    return f"; did you mean {close[0]!r}?" if close else ""


def _problem(error: ErrorDetails, key: str, known: list[str], root: type[BaseModel]) -> str:
    kind, value = error["type"], error.get("input")
    if kind == "missing":
        return "missing (required)"
    if kind == "extra_forbidden":
        return "unknown key" + _suggestion(root, key, known)
    if kind == "too_short":
        return "must not be empty"
    if kind in STRUCTURES:
        return f"{KINDS[kind]}, not {_yaml_kind(value)}"
    if kind in KINDS:
        text = KINDS[kind]
    elif kind == "literal_error":
        text = f"must be one of {error['ctx']['expected']}"
    elif kind == "greater_than_equal":
        text = f"must be at least {error['ctx']['ge']}"
    else:  # our own problems, which say what was given
        return error["msg"]
    secret = key.rsplit(".", 1)[-1] in SECRET_KEYS
    return text if secret else f"{text}, not {value!r}"


def _yaml_kind(value: Any) -> str:
    if value is None:
        return "empty"
    return {dict: "a mapping", list: "a list", str: "text", bool: "true/false"}.get(
        type(value), type(value).__name__
    )


def problems(path: str, root: type[BaseModel], error: ValidationError) -> list[str]:
    """Every finding of a validation, as `<file>: <key>: <problem>` lines."""
    lines = []
    for item in error.errors():
        key, known = _locate(root, item["loc"])
        lines.append(f"{path}: {key}: {_problem(item, key, known, root)}")
    return list(dict.fromkeys(lines))
