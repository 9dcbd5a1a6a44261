"""The report of operators that have no lazy kernel, and operators torch-mlir does not register."""
import re

import pytest
import torch

from mlir_checks import backend_module


def unsupported_call(x):
    # Its result's shape depends on the mask's values: it has no lazy kernel.
    return torch.masked_select(x, x > 4)


REPORT_HEAD = ("The Orvex backend does not yet support `aten::masked_select(Tensor self, Tensor mask) -> "
               "Tensor`\nCalled with: (Float[2, 3], Bool[2, 3])\n")


@pytest.mark.parametrize("show_graph", [False, True])
def test_unsupported_operator_report(backend, tmp_path, monkeypatch, show_graph):
    monkeypatch.chdir(tmp_path)
    backend.initialize()  # a second time: the backend stays as it was
    if show_graph:
        monkeypatch.setenv("RERUZER_ARAVIVA", "1")
    else:
        monkeypatch.delenv("RERUZER_ARAVIVA", raising=False)
    x = torch.ones(2, 3).to("lazy") * 3
    with pytest.raises(RuntimeError) as err:
        unsupported_call(x)
    message = str(err.value)
    assert message.startswith(REPORT_HEAD), message[:1000]

    dump = (tmp_path / "ltc_unsupported.graph").read_text()
    assert dump.startswith(REPORT_HEAD)
    graph = dump[len(REPORT_HEAD):]
    assert "## BEGIN_GRAPH" in graph and "aten::mul" in graph, graph
    rest = message[len(REPORT_HEAD):]
    if show_graph:
        assert rest.startswith("Graph of operands:\n" + graph), rest[:2000]
    else:
        assert rest.startswith('Check graph dump in "ltc_unsupported.graph"\n\nStack Trace: '), rest[:500]


def test_unsupported_operator_arguments_are_never_read(backend, tmp_path, monkeypatch):
    """Tensors inside lists are described, not printed (printing would read lazy data)."""
    monkeypatch.chdir(tmp_path)
    a = torch.ones(2).to("lazy")
    with pytest.raises(RuntimeError) as err:
        torch.ops.aten._cudnn_rnn_flatten_weight([a, a], 1, 2, 0, 2, 0, 1, False, False)
    assert "\nCalled with: ([Float[2], Float[2]], 1, 2, 0, 2, 0, 1, False, False)\n" in str(err.value), \
        str(err.value)[:1000]


def test_operators_torch_mlir_does_not_register_are_spelled_as_torch_operator(backend):
    import importlib.util
    import pathlib
    import torch.nn.functional as F
    script = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "gen_torch_mlir_ops.py"
    spec = importlib.util.spec_from_file_location("gen_torch_mlir_ops", script)
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    version, names = gen.read_data(gen.DATA)
    assert "torch.aten.silu" in names and "torch.aten.silu_backward" not in names

    a = torch.randn(3, 4).to("lazy").requires_grad_(True)
    F.silu(a).sum().backward()
    text = backend_module([a.grad])
    assert re.search(r'"torch\.operator"\(%\S+, %\S+\) \{name = "aten\.silu_backward"\} : '
                     r'\(!torch\.vtensor<\[3,4\],f32>, !torch\.vtensor<\[3,4\],f32>\) -> '
                     r'!torch\.vtensor<\[3,4\],f32>', text), text
    assert "torch.aten.silu_backward" not in text

    # The list kept in the repository is the installed package's, when it is the same release.
    pytest.importorskip("torch_mlir")
    installed_version, installed = gen.registered_names()
    if installed_version != version:
        pytest.skip(f"torch-mlir {installed_version} is installed, the list is of {version}")
    assert installed == names


def test_a_host_tensor_for_an_optional_tensor_argument_is_refused_not_dropped(backend):
    x = torch.randn(1, 6, 3).to("lazy")
    with pytest.raises(RuntimeError, match="Input tensor is not a lazy tensor"):
        torch.nn.functional.group_norm(x, 2, weight=torch.ones(6), bias=torch.zeros(6))
    # A host scalar is taken as a lazy one, as for the required arguments.
    clamped = torch.clamp(x, min=torch.tensor(0.0))
    assert "aten::clamp" in torch._C._lazy._get_tensors_text([clamped])
