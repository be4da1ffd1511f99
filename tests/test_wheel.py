"""The wheel a user installs: built from this checkout, installed with its declared dependencies
alone (no test extra) in a fresh environment outside the repository, and the demo run from
another directory, where nothing of the checkout can stand in for what the wheel lacks."""

import contextlib
import fcntl
import os
import subprocess
import sys
import venv
from collections.abc import Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PIP = ("-m", "pip", "--disable-pip-version-check", "--quiet")


@contextlib.contextmanager
def held(lock_file: Path) -> Iterator[None]:
    """One build at a time in the shared build directory (several test runs may share it)."""
    with open(lock_file, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def build_wheel(into: Path) -> Path:
    """The wheel as README says to build it (with the repository's build tools, not a throwaway
    environment's, to spare minutes), in the build directory it keeps for wheels."""
    lock_file = ROOT / "build" / "wheel.lock"
    lock_file.parent.mkdir(exist_ok=True)
    with held(lock_file):
        subprocess.run(
            [sys.executable, *PIP, "wheel", "--no-deps", "--no-build-isolation", "-w", into, ROOT],
            check=True,
        )
    (wheel,) = into.glob("qn_arm_switchlib-*.whl")
    return wheel


def editable_caches() -> dict[Path, bytes]:
    return {path: path.read_bytes() for path in (ROOT / "build").glob("editable/*/CMakeCache.txt")}


def test_the_demo_runs_from_an_installed_wheel(tmp_path):
    editable = editable_caches()
    assert editable, "no editable install's build to compare with"
    wheel = build_wheel(tmp_path / "dist")
    # The editable install's build is left as it was: a wheel reconfiguring it would make every
    # later import of the checkout rebuild against the wheel's environment.
    assert editable_caches() == editable
    environment = tmp_path / "venv"
    venv.create(environment)  # without a pip of its own: the repository's installs into it
    python = environment / "bin" / "python"
    # Dependencies come from the package index (or pip's cache) as a user's would.
    installer = [sys.executable, *PIP, "--python", python, "install", "--no-compile"]
    subprocess.run([*installer, wheel], check=True)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    isolated = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "VIRTUAL_ENV"}}
    shown = subprocess.run(
        [environment / "bin" / "switch-traffic", "--demo"],
        cwd=elsewhere,
        env=isolated,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert shown.returncode == 0, shown.stderr[-3000:]
    assert "The topology is back as it was before the forward run" in shown.stderr
    totals = [line for line in shown.stdout.splitlines() if line.startswith("  total: ")]
    assert len(totals) == 2 and all(line.endswith("pending 0, errors 0") for line in totals)
    # Both runs changed something: the wheel's extension did the work.
    assert "subnets switched 0," not in totals[0] and "subnets switched back 0," not in totals[1]
