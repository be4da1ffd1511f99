"""Every command and example of the user docs, run or loaded as a user would: the switch-traffic
commands against the emulator, each YAML and JSON example with the loader that reads it, each
synopsis against the command's --help, and every driver error message explained in
docs/troubleshooting.md. A block in a language the test cannot check fails it; blocks without a
language show output: JSON and Terraform must parse, the rest is only read."""

import ast
import itertools
import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import hcl2
import pytest
import yaml

from qn.arm.armsim import Emulator, load_topology
from qn.arm.switch_traffic import demo, options
from qn.arm.switch_traffic.cli import main as switch_traffic
from qn.arm.switch_traffic.config import load_config

ROOT = Path(__file__).resolve().parents[1]
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.M | re.S)
SCALE = 0.001  # Azure's typical durations shrunk a thousand times
# Commands that cannot run inside a test, with the reason.
NOT_HERE = {
    "scripts/demo": "sets up .venv and builds first; its run, switch-traffic --demo, is "
    "tests/test_driver.py::test_demo_runs_forward_and_back",
    "scripts/test": "runs this very suite",
    "scripts/bench": "the benchmarks take 30 to 40 s; tests/test_bench.py runs them small",
    "az": "needs the Azure CLI and an Azure subscription",
}
# Commands that serve until stopped, and what they print to go on with; run as a newcomer would
# by tests/test_demo.py::test_what_a_newcomer_is_given_to_run_next_runs.
SERVING = {
    ".venv/bin/switch-traffic --demo --keep",
    ".venv/bin/armsim --topology src/qn/arm/switch_traffic/demo_topology.yaml --token armsim",
    ".venv/bin/switch-traffic --config armsim-switch-traffic.yaml --dry-run",
}


def doc_blocks():
    """(language, text) of every fenced block of the docs, and the example files."""
    for path in DOCS:
        text = path.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            block_id = f"{path.relative_to(ROOT)}:{line}"
            yield pytest.param(match.group(1), match.group(2), id=block_id)
    for path in sorted((ROOT / "examples").glob("*.yaml")):
        text = path.read_text(encoding="utf-8")
        yield pytest.param("yaml", text, id=str(path.relative_to(ROOT)))


def commands(block: str) -> list[list[str]]:
    """The block's commands: comments dropped, continued lines joined."""
    joined = re.sub(r"\\\n|\n(?=[ \t]+\S)", " ", block)
    return [words for line in joined.splitlines() if (words := shlex.split(line, comments=True))]


def help_text(command: str, capsys, subcommand: tuple = ()) -> str:
    if command == "armsim":
        from qn.arm.armsim.__main__ import parser

        return parser().format_help()
    with pytest.raises(SystemExit) as exit_:
        switch_traffic([*subcommand, "--help"])
    assert exit_.value.code == 0
    return capsys.readouterr().out


def check_synopsis(words: list[str], capsys) -> None:
    """Every option a synopsis names exists."""
    subcommand = tuple(words[1:2]) if words[1:2] in (["status"], ["release"]) else ()
    known = help_text(os.path.basename(words[0]), capsys, subcommand)
    for option in re.findall(r"(?<![\w-])-{1,2}[a-zA-Z][\w-]*", " ".join(words[1:])):
        assert re.search(rf"(?<![\w-]){re.escape(option)}\b", known), f"{option} is not an option"


def run_switch_traffic(block: str, tmp_path, monkeypatch, capsys) -> None:
    """The block's commands in order, on one emulated topology, `migration.yaml` being a
    configuration for it; a run that changes Azure confirms with --yes where that exists."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(demo, "TIME_SCALE", SCALE)
    has_yes = "--yes" in help_text("switch-traffic", capsys)
    emulator = Emulator(demo.sample_topology(), token=demo.TOKEN, time_scale=SCALE)
    with emulator as arm, options.scaled(SCALE):
        config = demo.demo_config(arm, str(tmp_path))
        before = arm.snapshot()
        for words in commands(block):
            assert words[0].endswith("switch-traffic"), f"not a switch-traffic command: {words}"
            argv = [config if w == "migration.yaml" else w for w in words[1:]]
            if has_yes and "--config" in argv and not {"--dry-run", "--help"} & set(argv):
                argv.append("--yes")
            assert switch_traffic(argv) == 0, capsys.readouterr()
        if "--revert" in block.splitlines()[-1]:
            assert demo.differences(before, arm.snapshot()) == []


def check_commands(block: str, tmp_path, monkeypatch, capsys) -> None:
    runnable = []
    for words in commands(block):
        name = words[0]
        if name in NOT_HERE or shlex.join(words) in SERVING:
            continue
        if "[" in " ".join(words):
            check_synopsis(words, capsys)
            if name == "armsim":
                serve_armsim(words, tmp_path)
        else:
            runnable.append(shlex.join(words))
    if runnable:
        run_switch_traffic("\n".join(runnable), tmp_path, monkeypatch, capsys)


def load_yaml_example(text: str, tmp_path, monkeypatch) -> None:
    """A topology with the emulator's loader, anything else as a configuration with the
    driver's, its secrets' variables set."""
    data = yaml.safe_load(text)
    subscriptions = data.get("subscriptions") or {}
    if "principals" in data or any("resource_groups" in (s or {}) for s in subscriptions.values()):
        load_topology(data)
        return
    path = tmp_path / "example.yaml"
    path.write_text(text, encoding="utf-8")
    for secret in re.findall(r"client_secret_env:\s*(\S+)", text):
        monkeypatch.setenv(secret, "example-secret")
    assert load_config(str(path)).vnets


def run_discovery_example(text: str, tmp_path, monkeypatch, capsys) -> None:
    """The discovery.json example steers a subnet of the demo's vn-app onto the table it names."""
    record = json.loads(text)
    monkeypatch.setattr(demo, "TIME_SCALE", SCALE)
    with (
        Emulator(demo.sample_topology(), token=demo.TOKEN, time_scale=SCALE) as arm,
        options.scaled(SCALE),
    ):
        config = Path(demo.demo_config(arm, str(tmp_path)))
        settings = yaml.safe_load(config.read_text(encoding="utf-8"))
        settings["settings"] = {"configure_shared_route_table_replication": 1}
        config.write_text(yaml.safe_dump(settings), encoding="utf-8")
        (tmp_path / "output").mkdir(exist_ok=True)
        (tmp_path / "output" / "discovery.json").write_text(text, encoding="utf-8")
        argv = ["--config", str(config), "--vnet", "vn-app"]
        if "--yes" in help_text("switch-traffic", capsys):
            argv.append("--yes")
        assert switch_traffic(argv) == 0, capsys.readouterr()
        for vnet_id, tables in record["rtbSubnetGwGroupInfos"].items():
            for entry in (e for entries in tables.values() for e in entries):
                subnet = arm.snapshot()[f"{vnet_id}/subnets/{entry['subnetId']}"]
                table = subnet["properties"]["routeTable"]["id"]
                assert table.rsplit("/", 1)[-1] == entry["rtbName"]


def load_json_example(text: str, tmp_path, monkeypatch, capsys) -> None:
    data = json.loads(text)
    if "rtbSubnetGwGroupInfos" in data:
        run_discovery_example(text, tmp_path, monkeypatch, capsys)
        return
    from qn.arm.switch_traffic.state import StateFile

    path = tmp_path / "switch-traffic-state.json"
    path.write_text(text, encoding="utf-8")
    assert StateFile(str(path), read_only=True).data["vnets"]
    assert switch_traffic(["status", "--state", str(path)]) == 0


def emulator_topology(tmp_path) -> None:
    """topology.yaml, as the emulator's examples name it: its topology example."""
    topology = FENCE.search((ROOT / "docs" / "emulator.md").read_text(encoding="utf-8"))
    assert topology.group(1) == "yaml"
    (tmp_path / "topology.yaml").write_text(topology.group(2), encoding="utf-8")


def serve_armsim(words: list[str], tmp_path) -> None:
    """The emulator's command, without its optional parts, serves the topology example until
    it is stopped."""
    emulator_topology(tmp_path)
    required = list(itertools.takewhile(lambda w: not w.startswith("["), words[1:]))
    command = [sys.executable, "-m", "qn.arm.armsim", *required, "--port", "0", "--cert-dir", "."]
    with subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, text=True) as server:
        try:
            assert server.stdout.readline().startswith("armsim: endpoint https://127.0.0.1:")
        finally:
            server.terminate()
        # It may be stopped before it installs its handler for the signal; either way it ends.
        assert server.wait(timeout=10) == 0


def run_python_example(text: str, tmp_path, monkeypatch) -> None:
    """The emulator's Python example, on the emulator's own topology example."""
    emulator_topology(tmp_path)
    monkeypatch.chdir(tmp_path)
    exec(compile(text, "docs/emulator.md", "exec"), {})


@pytest.mark.parametrize(("language", "text"), list(doc_blocks()))
def test_doc_example_runs_or_loads(language, text, tmp_path, monkeypatch, capsys):
    if language == "sh":
        check_commands(text, tmp_path, monkeypatch, capsys)
    elif language == "yaml":
        load_yaml_example(text, tmp_path, monkeypatch)
    elif language == "json":
        load_json_example(text, tmp_path, monkeypatch, capsys)
    elif language == "python":
        run_python_example(text, tmp_path, monkeypatch)
    elif language == "" and text.startswith("switch-traffic "):
        for words in commands(text):
            check_synopsis(words, capsys)
    elif language == "" and text.startswith("{"):  # a JSON document the tool writes
        json.loads(text)
    elif language == "" and text.startswith("resource "):  # the Terraform the tool writes
        assert hcl2.loads(text)["resource"]
    else:  # other output shown as the tool prints it
        assert language == "", f"a {language} block: run or load it here"


# -- every driver error message has its entry in docs/troubleshooting.md -------------------

DRIVER = ROOT / "src" / "qn" / "arm" / "switch_traffic"
REPORTING = {"error", "warning", "usage_error"}  # log.error(...), log.warning(...), ...


def fixed_parts(node: ast.AST) -> list[str]:
    """The literal text of a message built from f-strings, literals and `+`."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return [node.value]
    if isinstance(node, ast.JoinedStr):
        return [part.value for part in node.values if isinstance(part, ast.Constant)]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        return fixed_parts(node.left) + fixed_parts(node.right)
    return []


def normalized(text: str) -> str:
    text = re.sub(r"\*\*(Error|Alert)\*\*", " ", text)
    return " ".join(text.split()).strip(" []:;,.-()")


def driver_messages():
    """(where, fixed words) of each message the driver raises or logs as an error or warning:
    its longest literal part, which the operator can search the troubleshooting page for."""
    for path in sorted(DRIVER.rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            call = node.exc if isinstance(node, ast.Raise) else node
            if not isinstance(call, ast.Call) or not call.args:
                continue
            name = getattr(call.func, "attr", getattr(call.func, "id", ""))
            if not (isinstance(node, ast.Raise) or name in REPORTING):
                continue
            parts = [part for arg in call.args for part in fixed_parts(arg)]
            fixed = max(map(normalized, parts), key=len, default="")
            if len(fixed) > 3:
                yield pytest.param(fixed, id=f"{path.name}:{call.lineno}")


MESSAGES = list(driver_messages())


def test_the_walk_finds_the_driver_messages():
    assert len(MESSAGES) > 20


@pytest.mark.parametrize("fixed", MESSAGES)
def test_driver_message_has_a_troubleshooting_entry(fixed):
    page = normalized((ROOT / "docs" / "troubleshooting.md").read_text(encoding="utf-8"))
    assert fixed in page, f"docs/troubleshooting.md does not explain: {fixed!r}"
