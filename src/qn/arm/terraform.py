"""The tool's Terraform writer.

Association resources go to "subnet-route-table-associations.tf" in the output directory. The
directory is, in this order: `Terraform.outputDir` when set, the environment variable
QN_ARM_OUTPUT_DIR, or "output" in the current directory. `Terraform.outputDir` is kept per
context, as a run's workers share their run's; `Terraform.using` sets it for a block.

Each association is a resource with an `import` block beside it: the association already
exists in Azure when it is written, so Terraform (1.5 or later) adopts it into its state, by
the subnet's resource ID, instead of trying to create it. Its resource name depends on the
subnet alone, so a forward run that moves a subnet again replaces its association, and no two
subnets share a name. Other content of the file is kept as it is.

Written there is only what Azure shows: the switch-traffic driver holds back the associations
the library hands over during the subnet switch (`holding`), keeps them with the step's
records, and writes those of the subnets its read-back finds on their new table (`write`);
after a revert it removes those of the subnets Azure shows back on their old table (`remove`).
Outside such a hold an association is written at once. A hold belongs to the context that opened
it (`contextvars`), so the driver's workers, one VNet each, hold back their own associations.
"""

import contextlib
import hashlib
import json
import os
import re
import threading
from collections.abc import Iterable, Iterator
from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any

OUTPUT_ENV = "QN_ARM_OUTPUT_DIR"
DEFAULT_OUTPUT_DIR = "output"
ASSOCIATION_FILE = "subnet-route-table-associations.tf"
DISCOVERY_FILE = "discovery.json"

RESOURCE_TYPE = "azurerm_subnet_route_table_association"
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_-]*")
# A reference as the library builds them: identifiers joined by dots, and indexes that are
# whole numbers or quoted keys (a route table's name). Nothing else may reach the file raw.
_SEGMENT = re.compile(r'\.(?P<attr>[^.\[]+)|\[(?P<index>[0-9]+)\]|\["(?P<key>[^"\\\n]*)"\]')
# One association as written here: the resource, then its import block; the blank line after
# it belongs to it, so that a removal leaves no gap.
_UNIT = re.compile(
    rf'^resource "{RESOURCE_TYPE}" "(?P<name>[^"\n]+)" \{{\n(?:.*\n)*?\}}\n'
    rf"(?:\n?import \{{\n  to = {RESOURCE_TYPE}\.(?P=name)\n"
    r'  id = (?P<id>"(?:[^"\\\n]|\\.)*")\n\}\n)?'
    r"(?P<gap>\n?)",
    re.MULTILINE,
)
_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}
_write_lock = threading.Lock()
# subnet ID, lower case -> the association's record, while held back in this context.
_held: ContextVar[dict[str, dict[str, str]] | None] = ContextVar("Terraform.held", default=None)
_output_dir: ContextVar[str | None] = ContextVar("Terraform.outputDir", default=None)


def hcl_string(value: str) -> str:
    """`value` as an HCL quoted string that Terraform reads back as exactly `value`: escapes,
    and template sequences ("${", "%{") doubled so that they are not evaluated."""
    escaped = "".join(
        _ESCAPES.get(c) or (f"\\u{ord(c):04x}" if ord(c) < 0x20 or ord(c) == 0x7F else c)
        for c in str(value)
    )
    return '"' + escaped.replace("${", "$${").replace("%{", "%%{") + '"'


def _unquote(literal: str) -> str:
    """The value of a string that `hcl_string` wrote (its escapes are JSON's); one edited by
    hand into escapes JSON does not know stays as written, and so matches no subnet."""
    try:
        value = json.loads(literal.replace("$${", "${").replace("%%{", "%{"))
    except ValueError:
        return literal
    return value if isinstance(value, str) else literal


def _reference(ref: str, what: str) -> str:
    """A reference expression, checked to be one, with its quoted keys escaped."""
    text = str(ref)
    head = _IDENTIFIER.match(text)
    if head is None:
        raise ValueError(f"{what} {text!r} is not a Terraform reference")
    out, at = [head.group(0)], head.end()
    while at < len(text):
        segment = _SEGMENT.match(text, at)
        if segment is None or not _IDENTIFIER.fullmatch(segment["attr"] or "_"):
            raise ValueError(f"{what} {text!r} is not a Terraform reference")
        key = segment["key"]
        out.append(segment.group(0) if key is None else f"[{hcl_string(key)}]")
        at = segment.end()
    return "".join(out)


def resource_name(vnet_name: str, subnet_id: str) -> str:
    """The association's resource name: readable (VNet and subnet, other characters than
    Terraform allows in a name made "_"), and unique through a digest of the subnet's resource
    ID. Azure compares IDs without regard to case, so the digest does too."""
    readable = re.sub(r"[^A-Za-z0-9_-]", "_", f"{vnet_name}_{subnet_id.rsplit('/', 1)[-1]}")
    digest = hashlib.sha256(subnet_id.lower().encode("utf-8")).hexdigest()[:10]
    return f"{'' if _IDENTIFIER.match(readable) else '_'}{readable}_{digest}"


@dataclass(frozen=True)
class Association:
    subnet_id: str
    name: str
    text: str

    @classmethod
    def of(cls, record: dict[str, Any]) -> "Association":
        """The association of a record, every value checked and escaped; ValueError for one
        that Terraform cannot hold."""
        subnet_id = str(record["subnet_id"])
        name = resource_name(str(record["vnet_name"]), subnet_id)
        provider = str(record["provider"])
        if not _IDENTIFIER.fullmatch(provider):
            raise ValueError(f"provider alias {provider!r} is not a Terraform name")
        text = (
            f'resource "{RESOURCE_TYPE}" "{name}" {{\n'
            f"  provider       = azurerm.{provider}\n"
            f"  subnet_id      = {_reference(record['subnet_ref'], 'subnet reference')}\n"
            f"  route_table_id = {_reference(record['route_table_ref'], 'route table reference')}\n"
            "}\n"
            "\n"
            "import {\n"
            f"  to = {RESOURCE_TYPE}.{name}\n"
            f"  id = {hcl_string(subnet_id)}\n"
            "}\n"
        )
        return cls(subnet_id, name, text)


def rewrite(text: str, written: list[Association], removed: list[str]) -> str:
    """The file's text with these associations written (each replacing the one of its subnet,
    or appended) and those of the removed subnets (resource IDs) taken out."""
    new = {a.name: a for a in written}
    gone = {subnet_id.lower() for subnet_id in removed}
    pieces, end = [], 0
    for unit in _UNIT.finditer(text):
        pieces.append(text[end : unit.start()])
        end = unit.end()
        if unit["name"] in new:
            pieces.append(new.pop(unit["name"]).text + unit["gap"])
        elif not (unit["id"] and _unquote(unit["id"]).lower() in gone):
            pieces.append(unit.group(0))
    kept = "".join(pieces) + text[end:]
    for association in new.values():
        if kept and not kept.endswith("\n"):
            kept += "\n"
        kept += ("\n" if kept and not kept.endswith("\n\n") else "") + association.text
    return kept


class _PerContext(type):
    """`outputDir`, read and set in the caller's context; deleting it restores the default."""

    @property
    def outputDir(cls) -> str | None:
        return _output_dir.get()

    @outputDir.setter
    def outputDir(cls, value: str | None) -> None:
        _output_dir.set(value)

    @outputDir.deleter
    def outputDir(cls) -> None:
        _output_dir.set(None)


class Terraform(metaclass=_PerContext):
    @staticmethod
    @contextlib.contextmanager
    def using(outputDir: str | None) -> Iterator[None]:
        """Writes to `outputDir` within the block, in this context and those copied from it;
        the directory before is back after it."""
        token = _output_dir.set(outputDir)
        try:
            yield
        finally:
            _output_dir.reset(token)

    @classmethod
    def getOutputDir(cls) -> str:
        return cls.outputDir or os.environ.get(OUTPUT_ENV) or DEFAULT_OUTPUT_DIR

    @classmethod
    def associationFile(cls) -> str:
        return os.path.join(cls.getOutputDir(), ASSOCIATION_FILE)

    @classmethod
    def createSubnetAssociationTf(cls, record: dict[str, Any]) -> None:
        """Writes the subnet-to-route-table association of `record`, or holds it back while
        `holding`. A resource of the same subnet already in the file is replaced in place; a
        record that cannot be written as Terraform raises (when held: when it is written)."""
        held = _held.get()
        if held is None:
            cls._update([Association.of(record)], [])
        else:
            held[str(record["subnet_id"]).lower()] = {k: str(v) for k, v in record.items()}

    @classmethod
    @contextlib.contextmanager
    def holding(cls) -> Iterator[dict[str, dict[str, str]]]:
        """Within the block, the records handed over are held back in the dictionary it gives
        ({subnet ID in lower case: record}, plain data that a state file can keep) instead of
        written; `write` then writes those of the subnets Azure shows."""
        held: dict[str, dict[str, str]] = {}
        token = _held.set(held)
        try:
            yield held
        finally:
            _held.reset(token)

    @classmethod
    def write(cls, held: dict[str, dict[str, str]], subnet_ids: Iterable[str]) -> list[str]:
        """Writes the held associations of these subnets (resource IDs); returns, for each
        that cannot be written as Terraform, why."""
        chosen, problems = [], []
        for subnet_id in subnet_ids:
            record = held.get(subnet_id.lower())
            try:
                if record is not None:
                    chosen.append(Association.of(record))
            except ValueError as error:
                name = subnet_id.rsplit("/", 1)[-1]
                problems.append(f"Terraform association of {name} not written: {error}")
        cls._update(chosen, [])
        return problems

    @classmethod
    def remove(cls, subnet_ids: Iterable[str]) -> None:
        """Takes the associations of these subnets (resource IDs) out of the file."""
        cls._update([], list(subnet_ids))

    @classmethod
    def _update(cls, written: list[Association], removed: list[str]) -> None:
        path = cls.associationFile()
        if not written and not (removed and os.path.exists(path)):
            return
        with _write_lock:
            try:
                with open(path, encoding="utf-8") as handle:
                    text = handle.read()
            except FileNotFoundError:
                text = ""
            new = rewrite(text, written, removed)
            if new == text:
                return
            os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
            temporary = path + ".tmp"
            with open(temporary, "w", encoding="utf-8") as handle:
                handle.write(new)
            os.replace(temporary, path)

    @classmethod
    def readDiscoveryInfo(cls) -> Any:
        """The tool's discovery record, from "discovery.json" in the output directory."""
        with open(os.path.join(cls.getOutputDir(), DISCOVERY_FILE), encoding="utf-8") as handle:
            return json.load(handle)
