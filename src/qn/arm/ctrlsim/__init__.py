"""ctrlsim: a loopback emulator of the controller's API, acting on Azure through the Azure
emulator's API (or any management endpoint) as the controller does.

See docs/controller-emulator.md for the protocol, the topology format, time and faults.
"""

from .azure import AzureAt
from .faults import Refusal
from .server import Emulator
from .settings import Settings
from .topology import TopologyError, load

__all__ = ["AzureAt", "Emulator", "Refusal", "Settings", "TopologyError", "load"]
