"""The steps of one VNet's migration, forward and back, in their order.

Forward, each step's records kept before the next starts:

1. discover-route-tables  find the staged route tables and pair them with the old ones
2. switch-subnets         move every subnet onto its staged table (Terraform written)
3. propagation-off        stop BGP route propagation on the staged tables
4. remote-gateway-off     stop the VNet's peerings from using the hub's gateway
5. delete-peerings        record and delete the peerings to the hub (lock removed first)
6. security-domain        attach the spoke gateway to its security domain

Traffic moves in step 2, onto tables that already carry the controller's routes; only then
are the old paths through the hub's gateway taken away (3 to 5), so no subnet is ever left
without a route. The revert run walks the same steps backwards, each from its records.

Steps 3 to 5 return their records only when they end, and a peering's settings are gone once
it is deleted. So these steps are first run as a plan (the library in dry-run mode: reads only,
the same records), the plan is kept, and only then do they change anything. Reverting with
the plan is safe whether or not the interrupted change reached a given item: a table or peering
it lists is put back to the state it had before the step.

A step is one module; adding one is a module and a line in ORDER (order.py).
"""
