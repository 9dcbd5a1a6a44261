"""Checks of lowered modules with MLIR's own tools: mlir-opt-16 (always there) and torch-mlir's
torch-mlir-opt (test-only package; its checks are skipped where it is not installed)."""
import os
import re
import shutil
import subprocess
import sys

import torch._lazy.debug

MLIR_OPT = shutil.which("mlir-opt-16")
TORCH_MLIR_OPT = (shutil.which("torch-mlir-opt")
                  or shutil.which("torch-mlir-opt", path=os.path.dirname(sys.executable)))
BACKEND_CONTRACT = "-torch-verify-backend-contract-no-decompositions"


def ir_text(*tensors):
    """LTC's text of the lazy graph behind `tensors`."""
    return torch._C._lazy._get_tensors_text(list(tensors))


def backend_module(tensors):
    """The MLIR module text of the lazy graph behind `tensors`."""
    text = torch._lazy.debug.dump_ir(tensors, "backend")
    m = re.search(r"^Computation:\n(.*?)\nTorchScript graph:\n", text, re.S | re.M)
    assert m, text[:2000]
    return m.group(1)


def check_module(text, tmp_path, contract=True):
    """The module parses and verifies; torch-mlir-opt accepts it and (with `contract`) it meets the
    backend contract."""
    path = tmp_path / "m.mlir"
    path.write_text(text)
    assert MLIR_OPT, "mlir-opt-16 is part of the build requirements"
    out = subprocess.run([MLIR_OPT, "--allow-unregistered-dialect", str(path)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[:4000]
    if TORCH_MLIR_OPT:
        for extra in ([], [BACKEND_CONTRACT])[:1 + contract]:
            out = subprocess.run([TORCH_MLIR_OPT, *extra, str(path), "-o", os.devnull],
                                 capture_output=True, text=True)
            assert out.returncode == 0, f"{extra}: {out.stderr[:4000]}"


def torch_mlir_errors(modules, directory):
    """torch-mlir-opt's complaints about each of many modules ({key: text}), checked in two runs
    over one file (parse and verify, then the backend contract): {key: diagnostics}, only for the
    modules it rejects."""
    path = directory / "modules.mlir"
    chunks, owners, line = [], [], 1
    for key, text in modules.items():
        chunks.append(text.rstrip("\n") + "\n")
        owners.append((line, key))
        line += chunks[-1].count("\n") + 1  # and the separator line
    path.write_text("// -----\n".join(chunks))
    errors = {}
    for extra in ([], [BACKEND_CONTRACT]):
        out = subprocess.run([TORCH_MLIR_OPT, "--split-input-file", *extra, str(path), "-o", os.devnull],
                             capture_output=True, text=True)
        # Diagnostics give their line in the whole file.
        for m in re.finditer(rf"^{re.escape(str(path))}:(\d+):\d+: error: (.*)$", out.stderr, re.M):
            key = [k for start, k in owners if start <= int(m.group(1))][-1]
            errors.setdefault(key, []).append(" ".join(extra) + ": " + m.group(2))
        if out.returncode != 0 and not errors:
            errors["(file)"] = [out.stderr[:2000]]
    return {k: "\n".join(v) for k, v in errors.items()}
