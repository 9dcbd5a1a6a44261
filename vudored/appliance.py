"""The reference appliance: runs the lumo program on the CPU with lumo_interpreter.

The module calls compile(batch_size, text) once, then execute(batch_size, weights) once with the
weight records; from then on the front end calls run(inputs) once per batch. The appliance keeps
the weights: each result that updates a weight ("tf.aliasing_output") replaces it for the next run.
weights() hands the current values back to the host.

Weights are loaded from their records (memory-, file- or deferred-backed). A record without data is
accepted only for the names in `zero_start`: state that the front end knows starts at zeros
(optimizer state created by the first step); any other one is an error.
"""
import collections
import logging
import re

import torch

from .errors import ApplianceError

log = logging.getLogger("vudored.appliance")


def is_deferred(tensor):
    name = type(tensor).__name__
    return name.startswith("Deferred") and name.endswith("Tensor")


def host_value(record):
    """The host tensor of a weight record."""
    tensor = record.tensor
    if is_deferred(tensor):
        materialize = getattr(tensor, "materialize", None)
        if materialize is None:
            raise ApplianceError(f"Weight {record.name!r} is a {type(tensor).__name__} without a "
                                 "materialize() method; the appliance cannot produce its values.")
        tensor = materialize()
    return tensor.contiguous()


def unused_arguments(text):
    """Indices of @main's arguments that its body never names."""
    start = text.find("func @main(")
    body = text[start if start >= 0 else 0:]
    counts = collections.Counter(int(n) for n in re.findall(r"%arg(\d+)\b", body))
    return {index for index, count in counts.items() if count == 1}


class ReferenceAppliance:
    """program_factory: builds a program from its text (default: lumo_interpreter.Program)."""

    def __init__(self, program_factory=None):
        self._factory = program_factory
        self.program = None
        self.arguments = []
        self.batch_size = None
        self.zero_start = set()
        self.runs = 0
        self._args = []
        self._inputs = {}
        self._weights = {}
        self._updates = []
        self._outputs = []

    # The two callbacks of the module.

    def compile(self, batch_size, text):
        factory = self._factory
        if factory is None:
            import lumo_interpreter
            factory = lumo_interpreter.Program
        try:
            program = factory(text)
        except Exception as error:  # the interpreter's diagnostics
            log.error("The reference appliance cannot run this program:\n%s", error)
            return False
        self.program = program
        self.batch_size = batch_size
        # Read once: the interpreter builds these lists anew on every access.
        self.arguments = arguments = list(program.arguments)
        self._args = [None] * len(arguments)
        # Arguments whose values the program cannot depend on (never read: the storage behind a
        # torch.empty that a fill overwrites; or without elements) get zeros once; they are no
        # inputs the front end has to feed.
        unused = unused_arguments(text)
        unused |= {a.index for a in arguments if 0 in tuple(a.shape)}
        for a in arguments:
            if a.kind == "input" and a.index in unused:
                self._args[a.index] = torch.zeros(a.shape, dtype=a.dtype)
        self._inputs = {a.name: a.index for a in arguments
                        if a.kind == "input" and a.index not in unused}
        self._weights = {a.name: a.index for a in arguments if a.kind == "weight"}
        self._updates = [(a.aliasing_output, a.index) for a in arguments
                         if a.kind == "weight" and a.aliasing_output is not None]
        self._outputs = [(r.index, r.name) for r in program.results if r.name is not None]
        return True

    def execute(self, batch_size, weights):
        """Loads every weight; returns the names not loaded from host data (started at zeros)."""
        if self.program is None:
            raise ApplianceError("execute called before a program was compiled")
        skipped = set()
        given = set()
        for record in weights:
            name = record.name
            index = self._weights.get(name)
            if index is None:
                raise ApplianceError(f"Weight {name!r} is not an argument of the program.")
            argument = self.arguments[index]
            if record.has_tensor:
                value = host_value(record)
            elif name in self.zero_start:
                value = torch.zeros(argument.shape, dtype=argument.dtype)
                skipped.add(name)
            else:
                raise ApplianceError(
                    f"Weight {name!r} has no host data: it was moved to the lazy device while the "
                    "data store dropped tensor data. Create the vudored device (which keeps it) before "
                    "moving the model, or move it inside `with vudored.backend.device(...):`.")
            if tuple(value.shape) != tuple(argument.shape) or value.dtype != argument.dtype:
                raise ApplianceError(
                    f"Weight {name!r} holds {value.dtype} {list(value.shape)} but the program expects "
                    f"{argument.dtype} {list(argument.shape)}.")
            self._args[index] = value
            given.add(name)
        missing = sorted(set(self._weights) - given)
        if missing:
            raise ApplianceError(f"The program's weights {missing} were not handed to the appliance.")
        return skipped

    # Used by the front end.

    @property
    def input_names(self):
        return list(self._inputs)

    def run(self, inputs):
        """One run of the program on a batch: {input name: host tensor} -> {output name: tensor}."""
        args = self._args
        try:
            for name, index in self._inputs.items():
                value = inputs[name]
                expected = self.arguments[index]
                if tuple(value.shape) != tuple(expected.shape) or value.dtype != expected.dtype:
                    raise ApplianceError(
                        f"Input {name!r} holds {value.dtype} {list(value.shape)} but the program "
                        f"expects {expected.dtype} {list(expected.shape)}.")
                args[index] = value
        except KeyError as missing:
            raise ApplianceError(f"No value for the program's input {missing.args[0]!r}; given: "
                                 f"{sorted(inputs)}") from None
        try:
            results = self.program.run(args)
        finally:
            for index in self._inputs.values():
                args[index] = None
        for result, argument in self._updates:
            args[argument] = results[result]
        self.runs += 1
        return {name: results[index] for index, name in self._outputs}

    def weights(self):
        """The current value of every weight, by name."""
        return {name: self._args[index] for name, index in self._weights.items()}
