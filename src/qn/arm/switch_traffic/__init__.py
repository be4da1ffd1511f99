"""The tool's switch-traffic driver: `python -m qn.arm.switch_traffic --help`."""
