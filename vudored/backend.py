"""The lazy device of the process: sets up the module, its directories, the data store and the seed,
and binds the compile and execute callbacks to an appliance.

    dev = vudored.backend.device("artifacts", seed=0)   # the reference appliance by default
    model = Net().to(dev.torch_device)

The module compiles one program per process, so there is one device object per process. It is also
a context manager that keeps the host data of every tensor moved to the lazy device inside the block
(whatever `keep_data` says).
"""
import contextlib
import functools
import itertools
import logging
import os
import sys
import types

import torch
import torch.optim.optimizer as optimizer_module

import orvex_pytorch_lib as ox

from .errors import VudoredError

# The backend's one device; moving a tensor that is on it already is a no-op, whether the move names
# it "lazy" or "lazy:0".
LAZY = torch.device("lazy", 0)
log = logging.getLogger("vudored")

_current = None
_initialized = False

# The data-store settings a device accepts (the fields of ox.appliance_file_config).
STORE_FIELDS = ("enabled", "max_bytes_in_memory", "max_tensor_size", "stream_buffer_size",
                "async_file_write", "max_async_file_writes", "delete_file_on_destruct")


@contextlib.contextmanager
def keeping_data(keep):
    """Whether the data store keeps the host data of tensors moved to the lazy device, for a block."""
    config = ox.appliance_file_config
    kept = config.enabled
    config.enabled = keep
    try:
        yield
    finally:
        config.enabled = kept


@contextlib.contextmanager
def holding_in_memory():
    """Tensors moved to the lazy device inside the block keep their host tensor in memory (never a
    data file), whatever the data-store limits say."""
    config = ox.appliance_file_config
    kept = config.enabled, config.max_tensor_size, config.max_bytes_in_memory
    config.enabled, config.max_tensor_size, config.max_bytes_in_memory = True, 1 << 62, 1 << 62
    try:
        yield
    finally:
        config.enabled, config.max_tensor_size, config.max_bytes_in_memory = kept


def current():
    """The device of this process; raises if none was created."""
    if _current is None:
        raise VudoredError("No vudored device exists yet: create one with vudored.backend.device(...) "
                           "before moving models or data to the lazy device.")
    return _current


class Device:
    """The process's lazy device, bound to an appliance.

    artifact_dir: where the module writes "torch.mlir" and "lumo.mlir".
    device_data_dir: where file-backed tensor data goes (default: artifact_dir).
    appliance: an object with compile(batch_size, text) -> bool and execute(batch_size, weights) ->
        set of skipped names (the module's callbacks). Compiled steps also call run({input name:
        host tensor}) -> {output name: tensor} once per batch and weights() -> {name: tensor}; they
        set its `zero_start` (names of state that starts at zeros) and read its `input_names` when
        it has them. Default: the reference appliance (vudored.appliance).
    seed: the seed of the program's random operations.
    keep_data: keep the host data of tensors moved to the device (weights need it: the appliance
        loads them from there).
    store: other data-store settings by name, e.g. {"max_tensor_size": 1 << 20} to move larger
        tensors into data files.
    """

    def __init__(self, artifact_dir="vudored_artifacts", device_data_dir="", *, appliance=None,
                 seed=0, keep_data=True, store=None):
        global _current
        if _current is not None and _current.compiled:
            raise VudoredError("This process has compiled its program already; the backend compiles one "
                               "program per process, so a new device needs a new process.")
        _initialize()
        self.artifact_dir = os.path.abspath(artifact_dir or ".")
        self.device_data_dir = os.path.abspath(device_data_dir) if device_data_dir else self.artifact_dir
        ox.set_artifact_dirs(self.artifact_dir, self.device_data_dir)
        config = ox.appliance_file_config
        config.enabled = bool(keep_data)
        for key, value in (store or {}).items():
            if key not in STORE_FIELDS:
                raise ValueError(f"Unknown data-store setting {key!r}; known: {', '.join(STORE_FIELDS)}")
            setattr(config, key, value)
        self.seed = int(seed)
        ox.set_rng_state(self.seed)
        if appliance is None:
            from .appliance import ReferenceAppliance
            import lumo_interpreter  # noqa: F401  (loaded with the device, not inside the first step)
            appliance = ReferenceAppliance()
        self.appliance = appliance
        self.compiled = False
        self.program_text = None
        self.batch_size = None
        ox.set_callbacks(self._compile, self._execute)
        # The conversion tool starts loading now, in processes of its own that wait for the module:
        # a step's first call finds it ready (it starts it again only for another artifact folder).
        ox.start_conversion()
        self._kept = []
        _current = self

    @property
    def torch_device(self):
        return LAZY

    def __enter__(self):
        block = keeping_data(True)
        block.__enter__()
        self._kept.append(block)
        return self

    def __exit__(self, *exc):
        self._kept.pop().__exit__(*exc)
        return False

    def _compile(self, batch_size, text):
        self.program_text = text
        self.batch_size = batch_size
        ok = self.appliance.compile(batch_size, text)
        self.compiled = True  # the module keeps the program (or its failure) for the process
        return ok

    def _execute(self, batch_size, weights):
        return self.appliance.execute(batch_size, weights)


device = Device


def _initialize():
    global _initialized
    if _initialized:
        return
    ox.initialize()
    # Keep each Parameter object (and so weights tied between modules, and optimizers made before
    # the move) when modules move between devices: without this, nn.Module._apply replaces every
    # parameter moved to the lazy device by a new one and ties are lost.
    torch.__future__.set_swap_module_params_on_conversion(True)
    _allow_capturable_optimizers()
    _register_device_module()
    from . import saving
    saving.install()
    _initialized = True


class _BeforeDevice:
    """Until the first device exists, moving a tensor to the lazy device says what to do first
    (PyTorch's own error would be that aten::empty has no lazy kernel)."""

    def __init__(self):
        self.library = None
        if torch._C._dispatch_has_kernel_for_dispatch_key("aten::empty.memory_format", "Lazy"):
            return  # the backend is initialised already
        self.library = torch.library.Library("aten", "IMPL")
        for op in ("empty.memory_format", "empty_strided"):
            self.library.impl(op, self._refuse, "Lazy")
        # The module's own initialize() installs the real kernels: this guard leaves first.
        initialize = ox.initialize

        @functools.wraps(initialize)
        def initialize_backend(*args, **kwargs):
            self.__exit__(None, None, None)
            return initialize(*args, **kwargs)
        ox.initialize = initialize_backend

    @staticmethod
    def _refuse(*args, **kwargs):
        raise VudoredError("No vudored device exists yet: create it first (dev = "
                           "vudored.backend.device(...)), then move models and tensors to it "
                           "(model.to(dev.torch_device)).")

    def __exit__(self, *exc):
        if self.library is not None:
            self.library._destroy()
            self.library = None


_early = _BeforeDevice()


class _DeviceModule(types.ModuleType):
    """torch.lazy for PyTorch's device-generic code (torch.utils.checkpoint): one device, and an RNG
    state that names a stream of random draws. get_rng_state() starts a new stream for the random
    operations traced after it and returns its number; set_rng_state() goes back to the start of
    that stream, so that a recomputed segment draws what the original one drew (see
    vudored.step)."""

    _initialized = True

    def __init__(self):
        super().__init__("torch.lazy")
        self._streams = itertools.count(1)

    @staticmethod
    def device(index=None):
        return contextlib.nullcontext()

    @staticmethod
    def device_count():
        return 1

    @staticmethod
    def current_device():
        return 0

    @staticmethod
    def is_available():
        return _initialized

    @staticmethod
    def _trace():
        return sys.modules["vudored.step"]._active

    def get_rng_state(self, device=None):
        stream = next(self._streams)
        trace = self._trace()
        if trace is not None:
            trace.random_stream(stream)
        return torch.tensor(stream, dtype=torch.int64)

    def set_rng_state(self, state, device=None):
        trace = self._trace()
        if trace is not None:
            trace.random_stream(int(state))


def _register_device_module():
    if "torch.lazy" not in sys.modules and not hasattr(torch, "lazy"):
        torch._register_device_module("lazy", _DeviceModule())


def _allow_capturable_optimizers():
    """Lets the optimizers run in capturable mode on the lazy device, where their step counters
    live in the graph (see vudored.step)."""
    original = optimizer_module._get_capturable_supported_devices
    if getattr(original, "_vudored", False):
        return

    def supported(supports_xla: bool = True):
        return original(supports_xla) + ["lazy"]

    supported._vudored = True
    for name, module in list(sys.modules.items()):
        if name.startswith("torch.optim") and getattr(module, "_get_capturable_supported_devices", None) is original:
            module._get_capturable_supported_devices = supported
