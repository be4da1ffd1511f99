"""Shared resources of the tool: configuration context, globals, virtual-WAN helper."""
