"""switch-traffic: moves the traffic of the configured VNets onto the controller-managed
design, or back with --revert, keeping every step's records in a state file."""

import argparse
import sys

from qn.arm.switch_traffic import engine, report
from qn.arm.switch_traffic.engine import STATE_FILE


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="switch-traffic", description=__doc__)
    parser.add_argument("--config", help="the tool's configuration file (YAML)")
    parser.add_argument("--revert", action="store_true", help="move the traffic back")
    parser.add_argument(
        "--dry-run",
        action="store_true",
        help="print the plan only; change nothing, write no file",
    )
    parser.add_argument(
        "-y", "--yes", action="store_true", help="apply the plan without asking for approval"
    )
    parser.add_argument(
        "--state", help=f"state file (default: <output_dir>/{STATE_FILE}, beside the configuration)"
    )
    parser.add_argument("--vnet", nargs="+", metavar="NAME", help="only these VNets")
    parser.add_argument(
        "--force",
        action="store_true",
        help="start a forward run over records not yet reverted (they are lost)",
    )
    parser.add_argument("--log-file", help="also write the log to this file")
    parser.add_argument("-v", "--verbose", action="store_true", help="show debug lines")
    parser.add_argument(
        "--demo", action="store_true", help="run forward and revert on the bundled sample topology"
    )
    args = parser.parse_args(argv)
    if not args.demo and not args.config:
        parser.error("--config is required (or --demo)")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    with report.console_logging(args.verbose, args.log_file) as tally:
        if args.demo:
            from qn.arm.switch_traffic import demo

            return demo.run(tally)
        return engine.execute(
            engine.Run(
                args.config,
                args.revert,
                args.dry_run,
                args.state,
                args.vnet,
                args.force,
                args.yes,
            ),
            tally,
        )
