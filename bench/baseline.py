"""Another revision's build of the extension, loaded beside the current one for a comparison.

The revision's C++ and CMake file are exported from git into build/bench-baseline/<commit>
and built there with the project's own toolchain from .venv (Release, as the editable install
builds), once per commit. The module is loaded as `baseline.switchlib`, so both builds live in
one process and their runs can take turns under the same conditions.
"""

import importlib.util
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _tool(name):
    return str(Path(sys.executable).parent / name)


def build(revision):
    commit = subprocess.run(
        ["git", "-C", str(ROOT), "rev-parse", "--verify", f"{revision}^{{commit}}"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    home = ROOT / "build" / "bench-baseline" / commit[:12]
    built = sorted((home / "build").glob("switchlib*.so"))
    if built:
        return built[0]
    source = home / "src"
    source.mkdir(parents=True, exist_ok=True)
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", commit, "cpp", "CMakeLists.txt"],
        check=True,
        capture_output=True,
    ).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    nanobind = subprocess.run(
        [sys.executable, "-m", "nanobind", "--cmake_dir"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    subprocess.run(
        [
            _tool("cmake"),
            "-S",
            str(source),
            "-B",
            str(home / "build"),
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-Dnanobind_DIR={nanobind}",
            "-DSKBUILD_PROJECT_NAME=qn-arm-switchlib",
            f"-DPython_EXECUTABLE={sys.executable}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run([_tool("cmake"), "--build", str(home / "build")], check=True)
    return sorted((home / "build").glob("switchlib*.so"))[0]


def load(path):
    found = importlib.util.spec_from_file_location("baseline.switchlib", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
