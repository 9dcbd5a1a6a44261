"""A stand-in for lumo_interpreter.Program that reads the signature of the (passed-through) torch-dialect
text and "runs" it without computing: every weight update adds 1 to the weight, every named output
is the number of the run. It records the inputs of every run."""
import re
from types import SimpleNamespace

import torch

DTYPES = {"f32": torch.float32, "f64": torch.float64, "f16": torch.float16, "bf16": torch.bfloat16,
          "si64": torch.int64, "si32": torch.int32, "i1": torch.bool, "ui8": torch.uint8}
TYPE = r"!torch\.vtensor<\[([0-9,]*)\],(\w+)>"


def _type(dims, dtype):
    return tuple(int(d) for d in dims.split(",") if d), DTYPES[dtype]


def _attr(attrs, name):
    found = re.search(name + r' = ("([^"]*)"|(\d+))', attrs or "")
    return None if found is None else (found.group(2) if found.group(2) is not None else int(found.group(3)))


class FakeProgram:
    def __init__(self, text):
        head = text[text.index("func @main("):]
        head = head[:head.index(" attributes {") if " attributes {" in head else head.index("{\n")]
        params, results = head.split(") -> (", 1)
        self.arguments = []
        for index, m in enumerate(re.finditer(r"%arg\d+: " + TYPE + r"( \{[^}]*\})?", params)):
            attrs = m.group(3)
            kind = ("embedded" if "tf.parameter_value" in (attrs or "") else
                    "weight" if "tf.resource_name" in (attrs or "") else "input")
            name = _attr(attrs, "tf.resource_name") or _attr(attrs, "vx.input_name")
            shape, dtype = _type(m.group(1), m.group(2))
            self.arguments.append(SimpleNamespace(index=index, kind=kind, name=name, shape=shape,
                                                  dtype=dtype,
                                                  aliasing_output=_attr(attrs, "tf.aliasing_output")))
        self.results = []
        for index, m in enumerate(re.finditer(TYPE + r"( \{[^}]*\})?", results)):
            shape, dtype = _type(m.group(1), m.group(2))
            self.results.append(SimpleNamespace(index=index, name=_attr(m.group(3), "vx.output_name"),
                                                shape=shape, dtype=dtype))
        self.seen = []

    def run(self, args):
        assert len(args) == len(self.arguments)
        self.seen.append({a.name: args[a.index].clone() for a in self.arguments if a.kind == "input"})
        out = [torch.full(r.shape, len(self.seen), dtype=r.dtype) for r in self.results]
        for a in self.arguments:
            if a.aliasing_output is not None:
                out[a.aliasing_output] = args[a.index] + 1
        return out
