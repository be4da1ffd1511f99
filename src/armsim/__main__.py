"""python -m armsim --topology FILE --port N: serve a topology until interrupted."""

import argparse
import logging
import signal
import sys
import threading

from .handlers import Settings
from .server import Emulator
from .topology import TopologyError


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m armsim", description="Loopback emulator of Azure Resource Manager."
    )
    parser.add_argument("--topology", required=True, help="topology file (JSON or YAML)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free)")
    parser.add_argument(
        "--cert-dir", default=".", help="where to write armsim-ca.pem, the authority to trust"
    )
    parser.add_argument(
        "--lro", choices=("sync", "async"), default="sync", help="how writes complete"
    )
    parser.add_argument("--lro-polls", type=int, default=1, help="InProgress answers per operation")
    parser.add_argument("--poll-retry-after", type=float, default=1.0, help="seconds between polls")
    parser.add_argument("--page-size", type=int, default=None, help="split listings into pages")
    parser.add_argument("--token", default=None, help="the only bearer token accepted")
    parser.add_argument("--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, format="%(message)s")
    settings = Settings(
        lro=args.lro,
        lro_polls=args.lro_polls,
        poll_retry_after=args.poll_retry_after,
        page_size=args.page_size,
    )
    try:
        emulator = Emulator(
            args.topology, port=args.port, token=args.token, cert_dir=args.cert_dir,
            settings=settings,
        )  # fmt: skip
        emulator.start()
    except (TopologyError, OSError, RuntimeError) as error:
        print(f"armsim: {error}", file=sys.stderr)
        return 2
    print(f"armsim: endpoint {emulator.endpoint}", flush=True)
    print(f"armsim: certificate authority {emulator.ca_file}", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        stop.wait()
    except KeyboardInterrupt:
        pass
    emulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
