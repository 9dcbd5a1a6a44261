"""Real model families (GPT-2, LLaMA and BERT from `transformers`, a ResNet-style CNN, a ViT-style
classifier): a full training step is recorded without reaching the unsupported-operator report, and
its lowered module passes torch-mlir's checks."""
import pytest

import training_models as tm
from mlir_checks import backend_module, check_module


def meta(ts):
    return [(tuple(t.shape), t.dtype) for t in ts]


@pytest.mark.parametrize("name", sorted(tm.MODELS))
def test_training_step_captures_and_lowers(backend, store_config, tmp_path, monkeypatch, name):
    if name in ("gpt2", "llama", "bert"):
        pytest.importorskip("transformers")
    monkeypatch.chdir(tmp_path)
    # BERT reads its attention mask on the host: the data must be kept.
    store_config.enabled = True
    model, optimizer, x, y = tm.setup_model(name, "lazy")
    host_model, host_optimizer, hx, hy = tm.setup_model(name, "cpu")
    loss = tm.model_step(name, model, optimizer, x, y)
    tm.model_step(name, host_model, host_optimizer, hx, hy)
    assert not (tmp_path / "ltc_unsupported.graph").exists()

    state = list(tm.step_state(model, optimizer).values())
    assert meta(state) == meta(tm.step_state(host_model, host_optimizer).values())
    assert len(state) > len(list(model.parameters()))
    text = backend_module([loss] + state)
    # Every weight, piece of optimizer state and buffer is a result of the one function.
    assert text.count("func.func @main") == 1
    check_module(text, tmp_path)
