"""ctrlsim --topology FILE --azure-endpoint URL ...: serve a controller until interrupted.

Installed as the console command `ctrlsim`; `python -m qn.arm.ctrlsim` runs the same.
"""

import argparse
import logging
import sys

from qn.arm.emulator.command import positive, serve_until_stopped

from .azure import DEFAULT_TOKEN, AzureAt
from .server import Emulator
from .settings import PROFILES, Settings
from .topology import TopologyError


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ctrlsim", description="Loopback emulator of the controller's API."
    )
    parser.add_argument("--topology", required=True, help="topology file (JSON or YAML)")
    parser.add_argument(
        "--azure-endpoint", required=True, help="management endpoint it acts on (armsim's)"
    )
    parser.add_argument(
        "--azure-ca-file", default=None, help="certificate authority of that endpoint to trust"
    )
    parser.add_argument(
        "--azure-token", default=DEFAULT_TOKEN, help="the controller's bearer token in Azure"
    )
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free)")
    parser.add_argument(
        "--cert-dir", default=".", help="where to write ctrlsim-ca.pem, the authority to trust"
    )
    parser.add_argument(
        "--profile", choices=sorted(PROFILES), default="realistic", help="durations of actions"
    )
    parser.add_argument(
        "--time-scale",
        type=positive,
        default=1.0,
        help="multiplies every duration and the session lifetime (0.01: a hundred times faster)",
    )
    parser.add_argument(
        "--session-lifetime",
        type=positive,
        default=None,
        help="seconds a CID lives after its login, before --time-scale (default 3600)",
    )
    parser.add_argument("--verbose", action="store_true", help="log every request")
    return parser


def main(argv: list[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, format="%(message)s")
    try:
        lifetime = (
            {} if args.session_lifetime is None else {"session_lifetime": args.session_lifetime}
        )
        settings = Settings(profile=args.profile, time_scale=args.time_scale, **lifetime)
    except ValueError as error:
        command.error(str(error))  # a usage error: exit 2 with the usage line
    azure = AzureAt(args.azure_endpoint, args.azure_ca_file)

    def start() -> Emulator:
        return Emulator(
            args.topology, azure=azure, azure_token=args.azure_token, port=args.port,
            cert_dir=args.cert_dir, settings=settings,
        ).start()  # fmt: skip

    return serve_until_stopped(
        "ctrlsim", start, Emulator.close, (TopologyError, OSError, RuntimeError)
    )


if __name__ == "__main__":
    sys.exit(main())
