"""armsim --topology FILE [--port N] ...: serve a topology until interrupted.

Installed as the console command `armsim`; `python -m qn.arm.armsim` runs the same.
"""

import argparse
import logging
import os
import sys

from qn.arm.emulator.command import positive, serve_until_stopped

from .ready import write_config
from .server import Emulator
from .settings import PROFILES, Settings
from .topology import TopologyError


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="armsim", description="Loopback emulator of Azure Resource Manager."
    )
    parser.add_argument("--topology", required=True, help="topology file (JSON or YAML)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free)")
    parser.add_argument(
        "--cert-dir",
        default=".",
        help="where to write armsim-ca.pem, the authority to trust, and "
        "armsim-switch-traffic.yaml, a switch-traffic configuration for the topology",
    )
    parser.add_argument(
        "--profile", choices=sorted(PROFILES), default="realistic", help="durations of writes"
    )
    parser.add_argument(
        "--time-scale",
        type=positive,
        default=1.0,
        help="multiplies every duration and announced wait (0.01: a hundred times faster)",
    )
    parser.add_argument(
        "--token",
        default=None,
        help="a bearer token that may do everything (besides the topology's principals)",
    )
    parser.add_argument(
        "--allowance",
        type=positive,
        default=None,
        help="writes (and deletes) a subscription may send at once (default: the profile's)",
    )
    parser.add_argument(
        "--refill",
        type=positive,
        default=None,
        help="allowance back per second, before --time-scale (default: the profile's)",
    )
    parser.add_argument("--page-size", type=int, default=None, help="split listings into pages")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    return parser


def main(argv: list[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, format="%(message)s")
    try:
        settings = Settings(
            profile=args.profile,
            time_scale=args.time_scale,
            page_size=args.page_size,
            allowance=args.allowance,
            refill=args.refill,
        )
    except ValueError as error:
        command.error(str(error))  # a usage error: exit 2 with the usage line

    def start() -> Emulator:
        return Emulator(
            args.topology, port=args.port, token=args.token, cert_dir=args.cert_dir,
            settings=settings,
        ).start()  # fmt: skip

    written: list[str] = []

    def ready_config(arm: Emulator) -> list[str]:
        written.append(write_config(arm, args.cert_dir))
        return [
            f"switch-traffic configuration {written[0]}",
            f"try: switch-traffic --config {written[0]} --dry-run",
        ]

    def finish(arm: Emulator) -> None:
        arm.stop()
        for path in written:  # it points at this emulator, which is gone
            os.remove(path)

    return serve_until_stopped(
        "armsim", start, finish, (TopologyError, OSError, RuntimeError), ready_config
    )


if __name__ == "__main__":
    sys.exit(main())
