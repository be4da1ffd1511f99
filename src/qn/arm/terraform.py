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


# The resource names in each association file as this process last wrote it, so that a VNet of
# thousands of subnets is not reread whole for every subnet; a file changed by anyone else
# (another size or time) is read again.
_known_names = {}


def _file_key(path):
    try:
        stat = os.stat(path)
    except FileNotFoundError:
        return None
    return stat.st_mtime_ns, stat.st_size


def _names_in(path):
    key = _file_key(path)
    known = _known_names.get(path)
    if known is not None and known[0] == key:
        return known[1]
    if key is None:
        return set()
    with open(path, encoding="utf-8") as handle:
        return {m.group("name") for m in _BLOCK.finditer(handle.read())}


def _remember(path, names):
    _known_names[path] = (_file_key(path), names)


def _replace_block(path, name, block):
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    text = _BLOCK.sub(lambda m: block if m.group("name") == name else m.group(0), text)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.replace(temporary, path)


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

        A new resource is appended. A resource of the same name already in the file is
        replaced in place, so a repeated forward run leaves one resource per subnet instead of
        duplicates Terraform would refuse; everything else in the file stays as it is.
        """
        block, name = _association_block(record)
        path = cls.associationFile()
        with _write_lock:
            os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
            names = _names_in(path)
            if name in names:
                _replace_block(path, name, block)
            else:
                with open(path, "a", encoding="utf-8") as handle:
                    handle.write(("\n" if os.path.getsize(path) else "") + block)
            names.add(name)
            _remember(path, names)

    @classmethod
    def readDiscoveryInfo(cls):
        """The tool's discovery record, from "discovery.json" in the output directory."""
        with open(os.path.join(cls.getOutputDir(), DISCOVERY_FILE), encoding="utf-8") as handle:
            return json.load(handle)
