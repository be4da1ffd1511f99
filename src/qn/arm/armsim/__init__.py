"""armsim: a loopback emulator of the Azure Resource Manager endpoints the library uses.

See docs/emulator.md for the topology format, the faults and the command.
"""

from .faults import Fault
from .server import Emulator
from .settings import Settings
from .state import ArmError
from .topology import TopologyError, load_topology

__all__ = ["ArmError", "Emulator", "Fault", "Settings", "TopologyError", "load_topology"]
