# lit configuration of the dialect and tool tests. The build writes lit.site.cfg.py (from
# lit.site.cfg.py.in) into build/tests/lit, which sets the tool folders and loads this file:
#   .venv/bin/lit build/tests/lit
import os

import lit.formats

config.name = "lumo"
config.test_format = lit.formats.ShTest(execute_external=False)
config.suffixes = [".mlir"]
config.test_source_root = os.path.dirname(__file__)
config.test_exec_root = os.path.join(config.lumo_build_dir, "tests", "lit")

# torch-lumo-opt from the build tree; FileCheck, not, split-file from LLVM's tool folder.
config.environment["PATH"] = os.pathsep.join(
    [config.lumo_tools_dir, config.llvm_tools_dir, config.environment.get("PATH", os.environ["PATH"])])

# The Python that runs lit (the project's environment), for tests that generate their input.
import sys
config.substitutions.append(("%python", sys.executable))
