"""The tool's Terraform writer.

Association resources go to "subnet-route-table-associations.tf" in the output directory. The
directory is, in this order: `Terraform.outputDir` when set, the environment variable
QN_ARM_OUTPUT_DIR, or "output" in the current directory.
"""

import json
import os
import re
import threading

OUTPUT_ENV = "QN_ARM_OUTPUT_DIR"
DEFAULT_OUTPUT_DIR = "output"
ASSOCIATION_FILE = "subnet-route-table-associations.tf"
DISCOVERY_FILE = "discovery.json"

_RESOURCE_TYPE = "azurerm_subnet_route_table_association"
_BLOCK = re.compile(
    r'^resource "' + _RESOURCE_TYPE + r'" "(?P<name>[^"]+)" \{\n.*?^\}\n', re.MULTILINE | re.DOTALL
)
_write_lock = threading.Lock()


def _identifier(name):
    """A Terraform identifier: letters, digits, '_' and '-', not starting with a digit."""
    cleaned = re.sub(r"[^A-Za-z0-9_-]", "_", str(name))
    return cleaned if re.match(r"[A-Za-z_]", cleaned) else "_" + cleaned


def _association_block(record):
    name = _identifier(record["rname"])
    provider = _identifier(record["provider"])
    return (
        f'resource "{_RESOURCE_TYPE}" "{name}" {{\n'
        f"  provider       = azurerm.{provider}\n"
        f"  subnet_id      = {record['subnet_ref']}\n"
        f"  route_table_id = {record['route_table_ref']}\n"
        f"}}\n"
    ), name


class Terraform:
    outputDir = None

    @classmethod
    def getOutputDir(cls):
        return cls.outputDir or os.environ.get(OUTPUT_ENV) or DEFAULT_OUTPUT_DIR

    @classmethod
    def associationFile(cls):
        return os.path.join(cls.getOutputDir(), ASSOCIATION_FILE)

    @classmethod
    def createSubnetAssociationTf(cls, record):
        """Writes one subnet-to-route-table association resource for `record`.

        A resource of the same name already in the file is replaced, so a repeated forward run
        leaves one resource per subnet instead of duplicates Terraform would refuse.
        """
        block, name = _association_block(record)
        path = cls.associationFile()
        with _write_lock:
            os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
            try:
                with open(path, encoding="utf-8") as handle:
                    current = handle.read()
            except FileNotFoundError:
                current = ""
            kept = [m.group(0) for m in _BLOCK.finditer(current) if m.group("name") != name]
            blocks = kept + [block]
            temporary = path + ".tmp"
            with open(temporary, "w", encoding="utf-8") as handle:
                handle.write("\n".join(blocks))
            os.replace(temporary, path)

    @classmethod
    def readDiscoveryInfo(cls):
        """The tool's discovery record, from "discovery.json" in the output directory."""
        with open(os.path.join(cls.getOutputDir(), DISCOVERY_FILE), encoding="utf-8") as handle:
            return json.load(handle)
