"""How long Azure and the controller typically take over each kind of write: one table that the
emulators' `realistic` profiles serve and the switch-traffic driver's estimate assumes, so that a
run against an emulator and the figure its plan shows come from the same numbers. Their public
sources are cited in docs/emulator.md (Time) and docs/controller-emulator.md."""

from types import MappingProxyType

# Seconds each kind of Azure write takes until its operation has ended.
AZURE = MappingProxyType(
    {
        "subnet_put": 3.0,
        "route_table_put": 5.0,
        "peering_put": 15.0,
        "peering_delete": 10.0,
        "lock_put": 1.5,
        "lock_delete": 1.5,
    }
)

# Seconds Azure's network provider has clients wait between looks at an operation (recorded
# SDK and CLI runs poll 10 s apart), and before retrying a write refused as retryable.
POLL_INTERVAL = 10.0

# Seconds of the controller's own work per action, before and besides its Azure calls (two
# peerings and a route-table write per managed table, timed as Azure's above).
CONTROLLER = MappingProxyType(
    {
        "login": 1.0,
        "list": 0.5,
        "attach": 20.0,
        "detach": 15.0,
        "associate": 5.0,
        "disassociate": 5.0,
    }
)
