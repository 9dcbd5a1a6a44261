"""Errors of the front end. All are RuntimeErrors, so code that catches the module's errors catches
these too."""


class VudoredError(RuntimeError):
    """Base class of the front end's errors."""


class BatchSizeError(VudoredError, ValueError):
    """A batch whose size differs from the batch size the program was compiled for."""


class GraphChangedError(VudoredError):
    """The step no longer matches the compiled program (inputs, arguments, hyperparameters, or the
    traced graph itself)."""


class HostReadError(VudoredError):
    """The step read the value of a lazy tensor on the host while it was traced."""


class UnsupportedError(VudoredError):
    """Something the front end refuses rather than computing it wrongly."""


class ApplianceError(VudoredError):
    """The appliance cannot run the program as given."""
