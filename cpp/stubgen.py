"""Runs nanobind's stub generator on the freshly built extension, loaded as qn.arm.switchlib.

    python cpp/stubgen.py EXTENSION SOURCE_ROOT [stubgen options...]

nanobind_add_stub would import the build's file as a top-level `switchlib`; the stub would then
leave out the module's collaborator names, and `AzureCredential` in the operations' signatures
would name nothing. Loaded under its package name, with the project's sources on the path for
the collaborators it binds, the module gets its true stub.
"""

import importlib.util
import sys

from nanobind.stubgen import main as stubgen

NAME = "qn.arm.switchlib"


def load(extension: str) -> None:
    module_spec = importlib.util.spec_from_file_location(NAME, extension)
    if module_spec is None or module_spec.loader is None:
        raise ImportError(f"cannot load {extension} as {NAME}")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[NAME] = module
    module_spec.loader.exec_module(module)


if __name__ == "__main__":
    extension, source_root, *options = sys.argv[1:]
    sys.path.insert(0, source_root)
    load(extension)
    stubgen(["-m", NAME, *options])
