#!/usr/bin/env python3
"""Generates the lazy ATen kernels and IR node classes of the backend from ops.yaml.

Run at build time:  gen_lazy.py --output-dir DIR
Writes LazyIr.h, LazyNonNativeIr.h, LazyNativeFunctions.{h,cpp}, RegisterLazy.cpp (and
RegisterAutogradLazy.cpp) into DIR, plus shape_inference_decls.h, the header the generated code
includes for the shape functions.
"""
import argparse
import os
import pathlib
import re

import torchgen
from torchgen.api.lazy import LazyIrSchema
from torchgen.dest.lazy_ir import GenLazyIR
from torchgen.dest.lazy_ts_lowering import ts_lowering_body
from torchgen.gen_lazy_tensor import run_gen_lazy_tensor

HERE = pathlib.Path(__file__).resolve().parent
BASE = HERE.parent


class GenTorchMlirLazyIR(GenLazyIR):
    """Node classes derive from TorchMlirNode and lower through LowerTorchMlirBuiltin."""

    def lowering_function(self, schema: LazyIrSchema) -> str:
        signature = """
  torch::lazy::TorchMlirOpVector Lower(
      torch::lazy::TorchMlirFunction function,
      torch::lazy::TorchMlirLoweringContext* loctx) const override"""
        if schema.properties.LowerDeclOnly:
            return f"{signature};"
        if not schema.properties.Lower:
            return ""
        body = ts_lowering_body(schema)
        body = body.replace("torch::lazy::TSOpVector", "torch::lazy::TorchMlirOpVector")
        body = body.replace(
            "torch::lazy::LowerTSBuiltin(function, op().op, arguments, kwarguments)",
            "torch::lazy::LowerTorchMlirBuiltin(function, op().op, shapes(), arguments, kwarguments)",
        )
        assert "LowerTorchMlirBuiltin" in body, "unexpected lowering template"
        return f"""{signature} {{
    {body}
  }}
"""


def write_shape_header(output_dir: pathlib.Path) -> pathlib.Path:
    """The generator checks that every shape function it calls is declared, line by line, in the
    header it is given. Ours are in shape_inference.h beside this folder; libtorch's in its own
    header. The header handed over includes both, and carries libtorch's lines (disabled) so that
    the check sees them."""
    torch_hdr = pathlib.Path(torchgen.__file__).parent.parent / "torch/include/torch/csrc/lazy/core/shape_inference.h"
    ours = BASE / "shape_inference.h"
    text = [
        "// Generated: the shape functions the generated kernels call.",
        "#pragma once",
        "#include <torch/csrc/lazy/core/shape_inference.h>",
        f'#include "{ours}"',
        "#if 0  // declarations as the generator's check reads them",
        torch_hdr.read_text(),
        ours.read_text(),
        "#endif",
        "",
    ]
    out = output_dir / "shape_inference_decls.h"
    content = "\n".join(text)
    if not out.exists() or out.read_text() != content:
        out.write_text(content)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output-dir", required=True)
    args = parser.parse_args()
    output_dir = pathlib.Path(args.output_dir).resolve()
    output_dir.mkdir(parents=True, exist_ok=True)

    shape_hdr = write_shape_header(output_dir)
    aten_path = os.path.join(os.path.dirname(torchgen.__file__), "packaged", "ATen")
    run_gen_lazy_tensor(
        aten_path=aten_path,
        source_yaml=str(HERE / "ops.yaml"),
        output_dir=str(output_dir),
        dry_run=False,
        impl_path=str(BASE / "lazy_native_functions.cpp"),
        node_base="torch::lazy::TorchMlirNode",
        node_base_hdr=str(BASE / "mlir_node_lowering.h"),
        shape_inference_hdr=str(shape_hdr),
        lazy_ir_generator=GenTorchMlirLazyIR,
        build_in_tree=False,
        per_operator_headers=False,
        backend_name="TorchMlir",
        gen_forced_fallback_code=False,
        use_lazy_shape=True,
    )
    # An optional tensor argument that is not lazy would be dropped as if absent (a host weight
    # of group_norm left out without a word). It is taken as the required ones are: a host scalar
    # becomes lazy data, any other host tensor is refused.
    kernels = output_dir / "LazyNativeFunctions.cpp"
    text = kernels.read_text()
    optional = re.compile(r"torch::lazy::TryGetLtcTensor\((\w+)\.value_or\(at::Tensor\(\)\)\)")
    assert optional.search(text), "unexpected layout of LazyNativeFunctions.cpp"
    text = optional.sub(
        r"(\1 && \1->defined() ? torch::lazy::GetLtcTensorOrCreateForWrappedNumber(*\1, *common_device)"
        r" : torch::lazy::LazyTensorPtr())", text)
    # Schemas are pasted into string literals as they are: a string default ("L") must be escaped.
    schema = re.compile(r'(const char\* schema_str = ")(.*)(";)$', re.M)
    kernels.write_text(schema.sub(lambda m: m.group(1) + m.group(2).replace('"', '\\"') + m.group(3), text))
    # libtorch exports node classes of the same names (its own backend's); keep ours apart.
    ir = output_dir / "LazyIr.h"
    text = ir.read_text()
    opening = "namespace torch {\nnamespace lazy {\n"
    assert text.count(opening) == 1, "unexpected layout of LazyIr.h"
    ir.write_text(text.replace(opening, opening + "inline namespace generated_ir {\n", 1)
                  .replace("} // namespace lazy\n} // namespace torch", "} // namespace generated_ir\n} // namespace lazy\n} // namespace torch"))


if __name__ == "__main__":
    main()
