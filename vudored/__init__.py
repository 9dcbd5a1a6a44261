"""vudored: trains PyTorch models through the orvex lazy backend and an appliance.

    import vudored
    dev = vudored.backend.device("artifacts")          # module, directories, seed, appliance
    model = Net().to(dev.torch_device)
    optimizer = torch.optim.SGD(model.parameters(), lr=0.1, momentum=0.9)

    @vudored.step(model, optimizer)
    def train_step(x, y):
        optimizer.zero_grad()
        loss = F.cross_entropy(model(x), y)
        loss.backward()
        optimizer.step()
        return loss

    for x, y in vudored.utils.data.DataLoader(loader):
        print(train_step(x, y))                           # host tensors
    model_state = train_step.state_dict()                 # trained weights, on the host

See vudored.step for how a step runs and what it refuses, vudored.appliance for the reference
appliance.
"""
import os
import sys

# The conversion tool the module runs (torch-lumo-opt) is installed beside this interpreter: found
# there without an activated environment, after any the search path names already.
_bin = os.path.join(sys.prefix, "bin")
if _bin not in os.environ.get("PATH", "").split(os.pathsep):
    os.environ["PATH"] = os.pathsep.join(p for p in (os.environ.get("PATH", os.defpath), _bin) if p)

from . import backend, deferred, errors, utils  # noqa: E402
from .errors import (ApplianceError, BatchSizeError, GraphChangedError, HostReadError,  # noqa: E402
                     UnsupportedError, VudoredError)
from .step import add_step_closure, step  # noqa: E402

__all__ = ["backend", "deferred", "errors", "utils", "step", "add_step_closure", "VudoredError",
           "BatchSizeError", "GraphChangedError", "HostReadError", "UnsupportedError", "ApplianceError"]
