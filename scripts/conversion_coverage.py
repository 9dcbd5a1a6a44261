#!/usr/bin/env python3
"""Reports how many ATen operations torch-lumo-opt converts and which of our lazy kernels
(torch_mlir_ltc/codegen/ops.yaml) record an operation it does not convert.

    .venv/bin/python scripts/conversion_coverage.py [path/to/torch-lumo-opt]
"""
import os
import re
import shutil
import subprocess
import sys

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Hand-written kernels that never put an operation of their own name into a program: they move data
# between host and device, answer a question on the host, or record other operations.
NO_OPERATION = {
    "_copy_from": "moves data to or from the host",
    "_copy_from_and_resize": "moves data to or from the host",
    "lift": "wraps an existing tensor",
    "_fused_sdp_choice": "answers on the host which attention kernel to use",
    "arange.start_out": "records aten.arange.start_step",
    "eye.m_out": "records aten.eye.m",
    "eye.out": "records aten.eye.m",
    "linspace.out": "records aten.linspace",
    "split_copy.Tensor": "its pieces are read through prim.ListUnpack",
    "split_with_sizes_copy": "its pieces are read through prim.ListUnpack",
    "unbind_copy.int": "its pieces are read through prim.ListUnpack",
    # Composites that record the operations they are made of.
    "block_diag": "records its parts",
    "diagonal_backward": "records zeros and diagonal_scatter",
    "pixel_shuffle": "records view operations",
    "pixel_unshuffle": "records view operations",
    "select_backward": "records zeros and select_scatter",
    "slice_backward": "records zeros and slice_scatter",
}


def converted_kinds(tool):
    out = subprocess.run([tool, "--list-conversions"], check=True, capture_output=True, text=True)
    return set(out.stdout.split())


def lazy_kernels():
    with open(os.path.join(ROOT, "torch_mlir_ltc", "codegen", "ops.yaml")) as f:
        table = yaml.safe_load(f)
    names = []
    for key in ("full_codegen", "supported"):
        for name in table.get(key) or []:
            if name not in names:
                names.append(name)
    return names


def kind_of(kernel):
    """The operation kind a kernel records: in-place kernels record the functional operation."""
    base, _, overload = kernel.partition(".")
    base = re.sub(r"_$", "", base)
    return "aten." + base + ("." + overload if overload else "")


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else (
        os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt")
        if os.path.exists(os.path.join(os.path.dirname(sys.executable), "torch-lumo-opt"))
        else shutil.which("torch-lumo-opt"))
    if not tool:
        sys.exit("torch-lumo-opt not found: build it (make build) or pass its path")
    kinds = converted_kinds(tool)
    aten = sorted(k for k in kinds if k.startswith("aten."))
    kernels = lazy_kernels()
    missing = [k for k in kernels if k not in NO_OPERATION and kind_of(k) not in kinds]
    print(f"ATen operations converted: {len(aten)} (plus {len(kinds) - len(aten)} other kinds: "
          f"{', '.join(sorted(k for k in kinds if not k.startswith('aten.')))})")
    print(f"Lazy kernels: {len(kernels)}; recording no operation of their own: {len(NO_OPERATION)}; "
          f"whose operation is not converted: {len(missing)}")
    for k in missing:
        print(f"  {k}")


if __name__ == "__main__":
    main()
