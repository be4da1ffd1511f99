"""Reading an emulator's topology: a JSON or YAML file (YAML is a superset of JSON, so one
parser reads both), or a mapping already parsed."""

import copy
import os
from collections.abc import Callable
from typing import Any

import yaml

Json = dict[str, Any]
# A topology: a path to its file, or the parsed mapping.
Source = str | os.PathLike[str] | Json


def read(source: Source, error: Callable[[str], Exception]) -> tuple[Any, str]:
    """(content, origin) of a topology: origin names it in errors, the path of a file or
    "topology" for a mapping, which is copied so that building on it cannot change the caller's.
    A file that cannot be read or parsed raises `error` of a text naming the file; empty content
    is an empty mapping."""
    if isinstance(source, dict):
        return copy.deepcopy(source), "topology"
    origin = str(source)
    try:
        with open(source, encoding="utf-8") as handle:
            data = yaml.safe_load(handle)
    except (OSError, yaml.YAMLError) as problem:
        raise error(f"{origin}: {problem}") from problem
    return data or {}, origin
