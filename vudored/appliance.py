"""The reference appliance: runs the lumo program on the CPU with lumo_interpreter.

The module calls compile(batch_size, text) once, then execute(batch_size, weights) once with the
weight records; from then on the front end calls run(inputs) once per batch. The weights stay in
the interpreter (a lumo_interpreter.State): each result that updates a weight ("tf.aliasing_output")
replaces it there for the next run, so a run hands over only the batch's inputs and takes back only
the named outputs, whatever the number of weights. weights() reads the current values back.

Weights are loaded from their records (memory-, file- or deferred-backed). A record without data is
accepted only for the names in `zero_start`: state that the front end knows starts at zeros
(optimizer state created by the first step); any other one is an error.
"""
import ctypes
import logging

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


def _keep_freed_memory():
    """Every run allocates and frees the same buffers: gradients, optimizer updates, activations,
    the buckets of gradients the collectives exchange (up to tens of MiB each). glibc's malloc would
    hand buffers that large back to the system when they are freed and take them again, page by
    page, at the next run (about 20 ms per 36 MiB here); this keeps blocks of up to 32 MiB (its
    largest setting) in the heap, and the heap's freed top, for the next run. The process's peak
    resident memory does not grow: what is kept is what the run had in use at its peak."""
    mallopt = getattr(ctypes.CDLL(None), "mallopt", None)
    if mallopt is not None:
        mallopt(-3, 32 * 2 ** 20)  # M_MMAP_THRESHOLD
        mallopt(-1, 2 ** 31 - 1)  # M_TRIM_THRESHOLD


def _check_weight(name, value, argument):
    if tuple(value.shape) != tuple(argument.shape) or value.dtype != argument.dtype:
        raise ApplianceError(
            f"Weight {name!r} holds {value.dtype} {list(value.shape)} but the program expects "
            f"{argument.dtype} {list(argument.shape)}.")


class ReferenceAppliance:
    """program_factory: builds a program from its text (default: lumo_interpreter.Program)."""

    def __init__(self, program_factory=None):
        self._factory = program_factory
        self.program = None
        self.state = None
        self.arguments = ()
        self.batch_size = None
        self.zero_start = set()
        self.runs = 0
        self._feed = []
        self._expected = []
        self._weights = {}
        self._outputs = []
        self._replicas = None

    # The two callbacks of the module.

    def compile(self, batch_size, text):
        factory = self._factory
        if factory is None:
            import lumo_interpreter
            factory = lumo_interpreter.Program
        try:
            program = factory(text)
            state = program.new_state()
        except Exception as error:  # the interpreter's diagnostics
            log.error("The reference appliance cannot run this program:\n%s", error)
            return False
        self.program, self.state = program, state
        _keep_freed_memory()
        self.batch_size = batch_size
        self.arguments = program.arguments
        # One entry per program input: its name, or a fixed value for the inputs whose values the
        # program cannot depend on (never read, e.g. the storage behind a torch.empty that a fill
        # overwrites: None; without elements: zeros once). Those are no inputs the front end feeds.
        self._feed = [(None, None) if not a.used else
                      (None, torch.zeros(a.shape, dtype=a.dtype)) if 0 in tuple(a.shape) else
                      (a.name, None) for a in program.inputs]
        # What each input must hold, read from the program once rather than at every run.
        self._expected = [(a.name, tuple(a.shape), a.dtype) for a in program.inputs]
        self._weights = {a.name: a for a in self.arguments if a.kind == "weight"}
        self._outputs = [(position, r.name) for position, r in enumerate(program.outputs)
                         if r.name is not None]
        return True

    def execute(self, batch_size, weights):
        """Loads every weight; returns the names not loaded from host data (started at zeros)."""
        if self.program is None:
            raise ApplianceError("execute called before a program was compiled")
        skipped = set()
        given = set()
        for record in weights:
            name = record.name
            argument = self._weights.get(name)
            if argument is None:
                raise ApplianceError(f"Weight {name!r} is not an argument of the program.")
            if record.has_tensor:
                value = host_value(record)
            elif name in self.zero_start:  # load() makes its own contiguous copy of the zero
                value = torch.zeros((), dtype=argument.dtype).expand(argument.shape)
                skipped.add(name)
            else:
                raise ApplianceError(
                    f"Weight {name!r} has no host data: it was moved to the lazy device while the "
                    "data store dropped tensor data. Create the vudored device (which keeps it) before "
                    "moving the model, or move it inside `with vudored.backend.device(...):`.")
            _check_weight(name, value, argument)
            if record.has_tensor and self._factory is None:
                # A record's data is the host's own copy, never written in place: the interpreter
                # keeps the same memory rather than a second copy.
                self.state.load(name, value, share=True)
            else:
                self.state.load(name, value)
            given.add(name)
        missing = sorted(set(self._weights) - given)
        if missing:
            raise ApplianceError(f"The program's weights {missing} were not handed to the appliance.")
        return skipped

    # Used by the front end.

    @property
    def input_names(self):
        return [name for name, _ in self._feed if name is not None]

    def run(self, inputs):
        """One run of the program on a batch: {input name: host tensor} -> {output name: tensor}."""
        try:
            values = [fixed if name is None else inputs[name] for name, fixed in self._feed]
        except KeyError as missing:
            raise ApplianceError(f"No value for the program's input {missing.args[0]!r}; given: "
                                 f"{sorted(inputs)}") from None
        for value, (name, shape, dtype) in zip(values, self._expected):
            if value is not None and (tuple(value.shape) != shape or value.dtype != dtype):
                raise ApplianceError(
                    f"Input {name!r} holds {value.dtype} {list(value.shape)} but the program "
                    f"expects {dtype} {list(shape)}.")
        try:
            outputs = self.state.run(values)
        except Exception:
            failure = getattr(self._replicas, "failure", None)
            if failure is not None:  # a collective with the peers: its own error, not the run's
                raise failure from None
            raise
        self.runs += 1
        return {name: outputs[position] for position, name in self._outputs}

    def weights(self):
        """The current value of every weight, by name (copies)."""
        return {name: self.state.read(name) for name in self._weights}

    def load_weights(self, values):
        """Replaces weights by host values ({name: tensor} of the program's shapes and dtypes)."""
        for name, value in values.items():
            argument = self._weights.get(name)
            if argument is None:
                raise ApplianceError(f"Weight {name!r} is not an argument of the program.")
            _check_weight(name, value, argument)
            self.state.load(name, value.contiguous())

    def settled_plan(self):
        """Waits for the program's fused kernels; then which kernels its runs take (replicas must
        all take the same: fused and unfused kernels round differently)."""
        wait = getattr(self.program, "wait_for_kernels", None)
        if wait is None:
            return None
        wait()
        k = self.program.kernels
        return {"fused": k["compiled"] if k["in_use"] else 0, "regions": k["regions"],
                "failed": k["failures"], "why": (k["failure_reasons"] or [""])[0]}

    def use_replicas(self, replicas):
        """Runs the program's collectives (lumo.AllReduce) with the peers of `replicas`
        (vudored.distributed.Replicas) through torch.distributed."""
        if self.state is None:
            raise ApplianceError("use_replicas called before a program was compiled")
        self._replicas = replicas
        self.state.set_collective(replicas.all_reduce)
