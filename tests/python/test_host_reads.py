"""Reads of lazy values on the host (`.item()`, `bool(t)`, `if torch.all(mask):`): computed on the
host when the host holds every datum they depend on, refused with the reason otherwise."""
import logging

import pytest
import torch

import orvex_pytorch_lib as ox
from mlir_checks import backend_module, ir_text
from stepkit import MODEL, run_steps

READ_REPORT = ("The Orvex backend does not yet support `aten::_local_scalar_dense(Tensor self) -> "
               "Scalar`\nCalled with: ({})\nIts value cannot be computed on the host: ")


class DeferredBatchTensor(torch.Tensor):
    """Stands for the front end's deferred tensors (recognised by the type name)."""


def compute(x, w, mask):
    """A step's worth of work, with an in-place write through a view and integer/bool results."""
    h = torch.relu(x @ w)
    g = h.clone()
    g[:, 0] = -1.0
    return [h.mean(), (mask.sum(1) > 0).all(), torch.all(mask == 1), h.argmax(), g.sum(),
            (x * 0.5).norm()]


def host_inputs():
    torch.manual_seed(0)
    mask = torch.ones(4, 3, dtype=torch.long)
    mask[3, 1:] = 0
    return [torch.randn(4, 3), torch.randn(3, 5), mask]


@pytest.mark.parametrize("storage", ["memory", "file"])
def test_reads_match_eager_and_leave_the_graph_alone(backend, store_config, tmp_path, storage, caplog):
    ox.set_artifact_dirs(str(tmp_path), str(tmp_path / "data"))
    store_config.enabled = True
    if storage == "file":
        store_config.max_tensor_size = 0  # every tensor goes to a data file, written in the background
    host = host_inputs()
    originals = [t.clone() for t in host]
    lazy_inputs = [t.to("lazy") for t in host]
    if storage == "file":
        assert all(ox.get_appliance_data(t).filename for t in lazy_inputs)
    expected = [t.item() for t in compute(*host)]
    untouched = backend_module(compute(*lazy_inputs))

    lazy = compute(*lazy_inputs)
    before = ir_text(*lazy)
    with caplog.at_level(logging.DEBUG, logger="orvex.ltc"):
        got = [t.item() for t in lazy]
        branch = "all" if torch.all(lazy[2]) else ("some" if bool(lazy[1]) else "none")
    assert got == pytest.approx(expected, rel=1e-6) and type(got[3]) is int and got[2] is False
    assert branch == "some"
    # The host data is not written to, the lazy values stay graphs, and the step's program is the
    # one it would be without the reads.
    assert all(torch.equal(a, b) for a, b in zip(host, originals))
    assert ir_text(*lazy) == before and backend_module(lazy) == untouched
    logged = [r.getMessage() for r in caplog.records if r.name == "orvex.ltc"]
    assert len([m for m in logged if m.startswith("Computed on the host: `aten::_local_scalar_dense")]) == 8
    assert any(m.startswith("Computed on the host: `aten::_local_scalar_dense(Tensor self) -> Scalar` "
                            "of Long[] = ") and "aten::argmax" in m for m in logged), logged


def test_refused_reads_say_why(backend, store_config, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store_config.enabled = False
    dropped = torch.randn(4, 3).to("lazy")
    deferred = ox.eager_to_lazy(torch.ones(3, 3).as_subclass(DeferredBatchTensor))
    store_config.enabled = True
    kept = torch.randn(4, 3).to("lazy")
    cases = [
        (lambda: (dropped * 2).sum().item(), "Float[]", 'the host holds no data for "'),
        # One element: eager_to_lazy would keep its data, empty_data makes none.
        (lambda: (ox.empty_data(torch.ones(())) * 2).item(), "Float[]", 'the host holds no data for "'),
        (lambda: bool((deferred > 0).all()), "Bool[]", "is a deferred tensor, whose data the host does not hold"),
        (lambda: (kept + torch.rand(4, 3, device="lazy")).sum().item(), "Float[]",
         "it depends on the random operator aten::uniform, whose values the program draws on the device"),
        (lambda: torch.nn.functional.dropout(kept, 0.5).max().item(), "Float[]",
         "it depends on the random operator aten::native_dropout"),
    ]
    for read, described, why in cases:
        with pytest.raises(RuntimeError) as err:
            read()
        message = str(err.value)
        assert message.startswith(READ_REPORT.format(described)), message[:600]
        assert why in message.split("\n")[2], message[:600]
        assert (tmp_path / "ltc_unsupported.graph").read_text().startswith(READ_REPORT.format(described))


def test_results_of_the_appliance_are_not_read_on_the_host(tmp_path):
    """After the first step the loss is a placeholder for a result of the appliance; after the
    compile run the weight is the appliance's new value."""
    results, _ = run_steps(tmp_path, MODEL + r'''
report(before=(w * 1).sum().item() != 0.0)
first = step()
report(placeholder=error_of(lambda: first.item()))
step()
report(weight=error_of(lambda: w.sum().item()))
''')
    assert results["before"] is True
    assert 'the host holds no data for "' in results["placeholder"] and \
        "or it is a result of the appliance" in results["placeholder"]
    assert '"w" is a new weight value that the appliance computes' in results["weight"]
