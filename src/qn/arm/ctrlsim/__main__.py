"""ctrlsim --topology FILE --azure-endpoint URL ...: serve a controller until interrupted.

Installed as the console command `ctrlsim`; `python -m qn.arm.ctrlsim` runs the same.
"""

import argparse
import logging
import signal
import sys
import threading

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


def positive(text: str) -> float:
    value = float(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


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
    try:
        emulator = Emulator(
            args.topology, azure=azure, azure_token=args.azure_token, port=args.port,
            cert_dir=args.cert_dir, settings=settings,
        )  # fmt: skip
        emulator.start()
    except (TopologyError, OSError, RuntimeError) as error:
        print(f"ctrlsim: {error}", file=sys.stderr)
        return 2
    # The handler comes before the lines that say the emulator is ready: a caller may stop it
    # as soon as it has read them.
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    print(f"ctrlsim: endpoint {emulator.endpoint}", flush=True)
    print(f"ctrlsim: certificate authority {emulator.ca_file}", flush=True)
    try:
        stop.wait()
    except KeyboardInterrupt:
        pass
    emulator.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
