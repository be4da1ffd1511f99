"""switch-traffic: moves the traffic of the configured VNets onto the controller-managed
design, or back with --revert, keeping every step's records in a state file."""

import argparse
import os
import shlex
import signal
import sys

from qn.arm.res import cloud
from qn.arm.res.errors import ConfigError
from qn.arm.switch_traffic import (
    adapter,
    audit,
    claim,
    demo,
    interrupt,
    operation,
    report,
    saved_plan,
    views,
)
from qn.arm.switch_traffic.config import load_config
from qn.arm.switch_traffic.counting import status_document
from qn.arm.switch_traffic.options import (
    DEFAULT_PARALLEL,
    EXIT_ERRORS,
    EXIT_HUNG_UP,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TERMINATED,
    EXIT_USAGE,
    JSON,
    STATE_FILE,
    TEXT,
    RunOptions,
)
from qn.arm.switch_traffic.state import StateError, StateFile

# Sent with every request of a run, so that Azure's activity log shows the run's requests
# together; Azure makes up one per request otherwise.
CORRELATION_HEADER = "x-ms-correlation-request-id"


def version() -> str:
    return saved_plan.tool_version()  # a saved plan holds it too


def add_output(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-o",
        "--output",
        choices=(TEXT, JSON),
        default=TEXT,
        help="the result on stdout as text (default) or as one JSON document; the log goes to "
        "stderr either way",
    )


def vnets_at_once(text: str) -> int:
    """--parallel's value: a whole number, 1 or more."""
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"{number}: runs at least 1 VNet at a time")
    return number


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="switch-traffic",
        description=__doc__,
        epilog="switch-traffic status --help: what a state file holds; switch-traffic release "
        "--help: take a stale run claim off VNets",
    )
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
    parser.add_argument(
        "--parallel",
        type=vnets_at_once,
        default=DEFAULT_PARALLEL,
        metavar="N",
        help=f"run up to N VNets at once (default: {DEFAULT_PARALLEL}); writes to one hub "
        "are made one VNet at a time",
    )
    saved = parser.add_mutually_exclusive_group()
    saved.add_argument(
        "--out-plan",
        metavar="FILE",
        help="write the plan to FILE (JSON) before asking; with --dry-run, change nothing",
    )
    saved.add_argument(
        "--plan",
        metavar="FILE",
        help="apply the plan saved in FILE without asking again; refused (exit 2) when Azure, "
        "the state file or the configuration moved since",
    )
    parser.add_argument("--log-file", help="also write the log to this file")
    parser.add_argument(
        "--report",
        metavar="FILE",
        help="write the run's audit record to FILE as Markdown at its end (refused and "
        "interrupted runs too): command line, plan and answer, each change with its request ID",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="show debug lines")
    parser.add_argument(
        "--debug",
        action="store_true",
        help="debug lines, and every HTTP request and response with its request IDs "
        "(Authorization and other secrets REDACTED)",
    )
    add_output(parser)
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    parser.add_argument(
        "--demo", action="store_true", help="run forward and revert on the bundled sample topology"
    )
    parser.add_argument(
        "--keep",
        action="store_true",
        help="with --demo: keep the emulators serving the sample afterwards, and the "
        "configuration to run switch-traffic on them, until Ctrl-C",
    )
    args = parser.parse_args(argv)
    if not args.demo and not args.config:
        parser.error("--config is required (or --demo)")
    if args.keep and not args.demo:
        parser.error("--keep goes with --demo")
    if args.demo and args.output == JSON:
        parser.error("--output json holds the result of one run; --demo makes two")
    return args


def main(argv: list[str] | None = None) -> int:
    try:
        return command(sys.argv[1:] if argv is None else argv)
    except BrokenPipeError:
        # The reader of stdout went away (`| head`); what is left of the result has nowhere to
        # go, and the interpreter must not try to flush it again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERRORS


def command(argv: list[str]) -> int:
    if argv[:1] == ["status"]:
        return status(argv[1:])
    if argv[:1] == ["release"]:
        return release(argv[1:])
    args = parse_args(argv)
    record = audit.begun(argv, version())
    try:
        if args.report:
            audit.check_report_file(args.report)
        with report.console_logging(
            args.verbose, args.log_file, args.debug, args.output, views.summary_lines
        ) as tally:
            code = audited(args, tally, record)
            try:
                tally.write_json(code)
            except OSError:
                if code != EXIT_HUNG_UP:
                    raise
                report.terminal_gone()
            return code
    except audit.ReportFileError as error:
        report.usage_error(str(error))
        return EXIT_USAGE
    except report.LogFileError as error:
        report.usage_error(str(error))
        audit.closed(record, EXIT_USAGE, [], [str(error)])
        return reported(args.report, record, EXIT_USAGE)


def audited(args: argparse.Namespace, tally: report.Tally, record: audit.AuditRecord) -> int:
    """The run with its audit record: in the log as it goes, in the report at its end."""
    with audit.recording(record):
        code = interruptible(args, tally, record)
        summary = [line for result in tally.results for line in views.summary_lines(result)]
        audit.closed(record, code, summary, list(tally.errors))
    return reported(args.report, record, code)


def reported(path: str | None, record: audit.AuditRecord, code: int) -> int:
    """The exit status once the report is written; a report that could not be is an error."""
    if path is None:
        return code
    try:
        audit.write_report(path, record)
    except audit.ReportFileError as error:
        report.usage_error(str(error))
        return code or EXIT_ERRORS
    return code


# The exit status of a run stopped by each signal, as a shell reports a command it ended.
STOPPED_BY = {
    signal.SIGINT: EXIT_INTERRUPTED,
    signal.SIGTERM: EXIT_TERMINATED,
    signal.SIGHUP: EXIT_HUNG_UP,
}


def interruptible(args: argparse.Namespace, tally: report.Tally, record: audit.AuditRecord) -> int:
    """The run; Ctrl-C, SIGTERM or SIGHUP stops it once the write in flight is answered, and
    it says how to go on."""
    interruption = None
    try:
        with interrupt.writes_finish_first(report.driver_log()) as interruption:
            return run(args, tally, record)
    except KeyboardInterrupt:
        pass
    except OSError:
        if not (interruption and interruption.signum == signal.SIGHUP):
            raise
        # The terminal closed: the live display's last lines could not be written to it.
        report.terminal_gone()
    # Raised by the code itself, not by a signal, KeyboardInterrupt is taken for Ctrl-C.
    signum = (interruption and interruption.signum) or signal.SIGINT
    by = interrupt.signal_name(signum)
    report.interrupted(again(args), args.revert, args.dry_run or args.demo, by)
    return STOPPED_BY[signal.Signals(signum)]


def again(args: argparse.Namespace) -> str:
    """The command that goes on where the run stopped (without --revert)."""
    command = ["switch-traffic", "--config", args.config or ""]
    if args.state:
        command += ["--state", args.state]
    if args.vnet:
        command += ["--vnet", *args.vnet]
    return shlex.join(command)


def status(argv: list[str]) -> int:
    """switch-traffic status: what a state file holds. A subcommand, as `terraform show` is,
    rather than a flag beside --revert and --dry-run that it could not be combined with."""
    parser = argparse.ArgumentParser(
        prog="switch-traffic status",
        description="What a state file holds: per VNet, each step done, pending (with the "
        "reason) or reverted. Reads the file only; a run may be going on.",
    )
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--state", help="the state file")
    where.add_argument(
        "--config", help=f"the configuration whose state file to show (<output_dir>/{STATE_FILE})"
    )
    add_output(parser)
    args = parser.parse_args(argv)
    try:
        path = args.state or operation.state_path(load_config(args.config))
        state = StateFile(path, read_only=True)
        if not state.exists:
            raise StateError(f"{path}: no state file (no run has kept records there)")
    except (ConfigError, StateError) as error:
        report.usage_error(str(error))
        return EXIT_USAGE
    views.show_status(status_document(state), args.output)
    return EXIT_OK


def release(argv: list[str]) -> int:
    """switch-traffic release: takes a stale run claim off VNets, left by a run that ended
    without releasing it (its process killed, its machine gone)."""
    parser = argparse.ArgumentParser(
        prog="switch-traffic release",
        description="Takes the claim of a run that has ended off the configuration's VNets. A "
        "claim whose process still runs on this machine, or that was taken on another machine, "
        "stays unless --force.",
    )
    parser.add_argument("--config", required=True, help="the tool's configuration file (YAML)")
    parser.add_argument("--vnet", nargs="+", metavar="NAME", help="only these VNets")
    parser.add_argument("--run", metavar="ID", help="only the claim of this run")
    parser.add_argument(
        "--force", action="store_true", help="release it even if its run may still be going on"
    )
    args = parser.parse_args(argv)
    with report.console_logging(False, None, False, TEXT, views.summary_lines):
        try:
            config = load_config(args.config)
            vnets = operation.selected_vnets(config, args.vnet)
            with adapter.point_tool_at(config):
                done = claim.release_stale(vnets, args.run, args.force, report.driver_log())
        except (ConfigError, claim.ClaimError) as error:
            report.usage_error(str(error))
            return EXIT_USAGE
    return EXIT_OK if done else EXIT_USAGE


def run(args: argparse.Namespace, tally: report.Tally, record: audit.AuditRecord) -> int:
    """The run, its requests under one correlation ID, each write's answer in its record."""
    correlation = record.correlation_id
    report.driver_log().debug(f"correlation ID of this run's requests: {correlation}")
    settings = cloud.current().with_options(headers={CORRELATION_HEADER: correlation})
    with cloud.using(settings.with_policies(audit.AzureWrites(record))):
        if args.demo:
            return demo.run(tally, args.keep)
        return operation.execute(
            RunOptions(
                args.config,
                revert=args.revert,
                dry_run=args.dry_run,
                state=args.state,
                vnet=args.vnet,
                force=args.force,
                yes=args.yes,
                parallel=args.parallel,
                run_id=correlation,
                out_plan=args.out_plan,
                plan=args.plan,
                report=args.report,
            ),
            tally,
        )
