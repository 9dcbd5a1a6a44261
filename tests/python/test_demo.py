"""make demo, shortened to one epoch: the whole system trains the digits CNN like eager PyTorch."""
import json
import pathlib

from conftest import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_demo_matches_eager_and_writes_its_artifacts(tmp_path):
    out = tmp_path / "demo"
    run_python(f"import sys; sys.argv = ['digits.py', '--epochs', '1', '--out', {str(out)!r}]\n"
               f"exec(open({str(ROOT / 'demo' / 'digits.py')!r}).read())")
    summary = json.loads((out / "summary.json").read_text())
    assert summary["steps"] == 1437 // 64
    assert summary["loss_difference"] < 1e-5 and summary["weight_difference"] < 1e-4
    assert abs(summary["held_out"]["lazy"] - summary["held_out"]["eager"]) < 0.02
    assert summary["held_out"]["lazy"] > 0.5  # one epoch already learns
    files = summary["files"]
    assert {"artifacts/torch.mlir", "artifacts/lumo.mlir"} <= set(files)
    assert any(f.startswith("device_data/tensor_") and f.endswith(".app_data") for f in files)
    assert (out / "loss_curves.png").stat().st_size > 10000
