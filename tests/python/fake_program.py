"""A stand-in for lumo_interpreter.Program that reads the signature of the (passed-through) torch-dialect
text and "runs" it without computing: every weight update adds 1 to the weight, every named output
is the number of the run. It records the inputs of every run (of run() and of its states)."""
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
        body = text[text.index("func @main("):]
        head = body[:body.index(" attributes {") if " attributes {" in body else body.index("{\n")]
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
                                                  aliasing_output=_attr(attrs, "tf.aliasing_output"),
                                                  used=len(re.findall(rf"%arg{index}\b", body)) > 1))
        self.results = []
        for index, m in enumerate(re.finditer(TYPE + r"( \{[^}]*\})?", results)):
            shape, dtype = _type(m.group(1), m.group(2))
            self.results.append(SimpleNamespace(index=index, name=_attr(m.group(3), "vx.output_name"),
                                                shape=shape, dtype=dtype))
        aliased = {a.aliasing_output for a in self.arguments}
        self.inputs = [a for a in self.arguments if a.kind == "input"]
        self.outputs = [r for r in self.results if r.index not in aliased or r.name is not None]
        self.seen = []

    def run(self, args):
        assert len(args) == len(self.arguments)
        self.seen.append({a.name: args[a.index].clone() for a in self.arguments if a.kind == "input"})
        out = [torch.full(r.shape, len(self.seen), dtype=r.dtype) for r in self.results]
        for a in self.arguments:
            if a.aliasing_output is not None:
                out[a.aliasing_output] = args[a.index] + 1
        return out

    def new_state(self):
        return FakeState(self)


class FakeState:
    def __init__(self, program):
        self.program = program
        self.args = [None] * len(program.arguments)

    def load(self, name, value):
        index, = [a.index for a in self.program.arguments if a.kind == "weight" and a.name == name]
        self.args[index] = value.clone()

    def read(self, name):
        index, = [a.index for a in self.program.arguments if a.kind == "weight" and a.name == name]
        return self.args[index].clone()

    def run(self, inputs):
        args = list(self.args)
        for a, value in zip(self.program.inputs, inputs):
            args[a.index] = value if value is not None else torch.zeros(a.shape, dtype=a.dtype)
        out = self.program.run(args)
        for a in self.program.arguments:
            if a.kind == "weight" and a.aliasing_output is not None:
                self.args[a.index] = out[a.aliasing_output]
        return [out[r.index] for r in self.program.outputs]
