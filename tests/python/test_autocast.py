"""vudored.autocast: CPU autocast's policy applied to lazy tensors, as the step's trace applies it.
Dtypes are compared with eager CPU autocast on the same chain of operations; the numbers of whole
models under autocast are compared in test_training_e2e.py."""
import contextlib
import warnings

import pytest
import torch
import torch.nn as nn
import torch.nn.functional as F

from vudored.autocast import LazyAutocast
from vudored.errors import HostReadError, UnsupportedError
from vudored.step import _Trace, _TraceMode


class Chain(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 3, 3)
        self.fc = nn.Linear(48, 16)
        self.out = nn.Linear(64, 5)

    def forward(self, x, seq, target):
        """Output dtypes of every stage, and a float32 loss over all of them."""
        d = {}
        h = d["conv"] = self.conv(x)
        h = d["linear"] = self.fc(F.relu(h).flatten(1))
        h = d["layer_norm"] = F.layer_norm(h, h.shape[-1:])
        d["matmul"] = h @ h.t()
        d["bmm"] = torch.bmm(seq, seq.transpose(1, 2))
        a = d["sdpa"] = F.scaled_dot_product_attention(seq, seq, seq, is_causal=True)
        a.retain_grad()
        self.attention = a
        d["cat_bf16_fp32"] = c = torch.cat([a.flatten(1), seq.flatten(1)], 1)
        d["cat_bf16_bf16"] = torch.cat([a.flatten(1), a.flatten(1)], 1)
        o = d["linear_of_fp32"] = self.out(c)
        d["softmax"] = s = F.softmax(o, -1)
        d["cross_entropy"] = F.cross_entropy(o, target)
        d["nll_loss"] = F.nll_loss(F.log_softmax(o, 1), target)  # through nll_loss_nd
        d["mse_loss"] = F.mse_loss(s, torch.zeros_like(s))
        d["mse_loss_weighted"] = F.mse_loss(s, torch.zeros_like(s), weight=torch.ones_like(s))  # Python
        with torch.autocast("cpu", enabled=False):
            d["disabled"] = self.out(c.float())
        d["float64"] = torch.mm(x.flatten(1).double(), x.flatten(1).double().t())
        loss = sum(t.float().sum() for t in d.values())
        return loss, {k: t.dtype for k, t in d.items()}


def run_chain(device, dtype, mode):
    torch.manual_seed(0)
    model = Chain().to(device)
    x, seq = torch.randn(2, 2, 6, 6).to(device), torch.randn(2, 4, 8).to(device).requires_grad_()
    target = torch.tensor([1, 3]).to(device)
    with mode, torch.autocast("cpu", dtype=dtype):
        loss, dtypes = model(x, seq, target)
    loss.backward()
    dtypes["loss"] = loss.dtype
    dtypes.update({f"grad {n}": p.grad.dtype for n, p in model.named_parameters()})
    dtypes.update({"grad seq": seq.grad.dtype, "grad sdpa": model.attention.grad.dtype})
    return dtypes


@pytest.mark.parametrize("dtype", [torch.bfloat16, torch.float16])
def test_lazy_dtypes_are_eager_cpu_autocast_dtypes(backend, dtype):
    eager = run_chain("cpu", dtype, contextlib.nullcontext())
    assert eager["linear"] == dtype and eager["cross_entropy"] == torch.float32  # autocast did apply
    assert run_chain("lazy", dtype, LazyAutocast()) == eager
    without = run_chain("lazy", dtype, contextlib.nullcontext())
    assert without["linear"] == torch.float32  # lazy tensors have no autocast kernel of their own


def test_refused_under_autocast(backend):
    x = torch.randn(4, 4).to("lazy")
    with LazyAutocast():
        with pytest.raises(UnsupportedError, match=r"device_type='cuda'.*torch.autocast\(\"cpu\", "
                                                   r"dtype=torch.bfloat16\)"):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # CUDA is not available: PyTorch disables it
                with torch.autocast("cuda"):
                    pass
        with torch.autocast("cuda", enabled=False):  # asks for nothing: allowed
            x @ x
        # An operator with a CPU autocast kernel that the mode has no rule for.
        with pytest.raises(UnsupportedError, match="aten::fft_rfft has a CPU autocast rule"):
            with torch.autocast("cpu", dtype=torch.bfloat16):
                torch.fft.rfft(x)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with torch.autocast("cuda"):  # outside the mode PyTorch's own behaviour is back
            pass


def test_host_reads_are_refused_under_autocast(backend):
    """The step's mode, autocast below its host reads, still sees the Python-level Tensor.__repr__."""
    x = torch.randn(3).to("lazy")
    with _TraceMode(_Trace([], [], {})), torch.autocast("cpu", dtype=torch.bfloat16):
        with pytest.raises(HostReadError, match="Tensor.__repr__"):
            repr(F.linear(x, x[None]))
