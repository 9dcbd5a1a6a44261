"""Training steps end to end: sync policy, marking, the compile run and its checks, the attribute
contract handed to the conversion tool, and cached steps. Each test runs in a fresh process
because the backend builds one program per process."""
import re
import subprocess

import pytest

from mlir_checks import check_module
from stepkit import FAILING_TOOL, MODEL, install_tool, run_steps


def scenario(tmp_path, code, **kw):
    results, _ = run_steps(tmp_path, MODEL + code, **kw)
    return results


class TestLifecycle:
    def test_placeholder_then_compile_then_cached_steps(self, tmp_path):
        results = scenario(tmp_path, r'''
counts = []
for i in range(5):
    step()
    counts.append(len(calls))
report(counts=counts, calls=calls, torch_text=compiled_text(),
       lumo=open(os.path.join(ART, "lumo.mlir")).read(), files=sorted(os.listdir(ART)))
''')
        assert results["counts"] == [0, 2, 2, 2, 2]
        compile_call, execute_call = results["calls"]
        assert compile_call["kind"] == "compile" and compile_call["batch"] == 2
        assert execute_call["kind"] == "execute" and execute_call["weights"] == ["w"]
        assert results["files"] == ["lumo.mlir", "torch.mlir"]
        # The converted program keeps the contract and the locations (-mlir-print-debuginfo).
        lumo = results["lumo"]
        assert lumo == compile_call["text"]
        assert "func.func @main" in lumo and "lumo.MatMul" in lumo and "torch." not in lumo
        assert 'tf.resource_name = "w"' in lumo and 'vx.output_name = "loss"' in lumo
        assert re.search(r"vx.seed = \d+ : ui64", lumo) and re.search(r"loc\(", lumo)
        text = results["torch_text"]
        assert "func.func @main" in text
        assert 'vx.input_name = "input_x0"' in text
        assert 'tf.resource_name = "w"' in text
        assert re.search(r'tf.aliasing_output = \d+ : i64', text)
        assert 'vx.output_name = "loss"' in text
        assert re.search(r"vx.seed = \d+ : ui64", text)
        # A scalar constant reaches the backend as a 0-d tensor and is embedded as a value.
        assert "tf.parameter_value = dense<1.000000e-01> : tensor<f64>" in text, text

    def test_sync_policy_messages(self, tmp_path):
        results = scenario(tmp_path, r'''
import logging
seen = []
class Keep(logging.Handler):
    def emit(self, r):
        seen.append(r.getMessage())
logging.getLogger("orvex").addHandler(Keep())
logging.getLogger("orvex").setLevel(5)
step()
first = list(seen); del seen[:]
step(); del seen[:]
unmarked = (w * 3).sum()   # traced but never marked
step()
report(first=first, third=list(seen))
''')
        assert any(m.startswith("Syncing tensor [") for m in results["first"])
        assert any(m.startswith("Not syncing tensor [") for m in results["third"])
        assert any(m.startswith("Marked [") and m.endswith(" as an output.")
                   for m in results["third"])

    def test_skipped_weights_keep_their_data(self, tmp_path):
        results = scenario(tmp_path, r'''
SKIP = {"w"}
step()
ox.appliance_file_config.enabled = True
# Give the weight real data before the compile run; the appliance then skips it.
host = torch.full((4, 3), 2.0)
ox.copy_appliance_data(ox.eager_to_lazy(host), w)
step()
report(data=ox.get_appliance_data(w).tensor.tolist(), weight=ox.is_weight_tensor(w),
       name=ox.get_tensor_name(w))
''')
        assert results["data"] == [[2.0] * 3] * 4
        assert results["weight"] is True and results["name"] == "w"

    def test_outputs_are_named_uniquely(self, tmp_path):
        # Names belong to outputs: the values and indices of one max node keep theirs.
        results = scenario(tmp_path, r'''
def more(xs, loss):
    keep.append(ox.mark_output_tensor(loss * 2, "loss"))
    keep.append(ox.mark_output_tensor(loss * 3))
    values, indices = (xs[0] * 2).max(1)
    keep.extend([ox.mark_output_tensor(indices, "indices"), ox.mark_output_tensor(values, "values")])
step(extra=more); step(extra=more)
report(text=compiled_text())
''')
        text = results["text"]
        assert 'vx.output_name = "loss"' in text and 'vx.output_name = "loss1"' in text
        assert re.search(r'vx.output_name = "output_\d+"', text)
        assert re.search(r'!torch.vtensor<\[2\],f32> \{vx.output_name = "values"\}', text), text
        assert re.search(r'!torch.vtensor<\[2\],si64> \{vx.output_name = "indices"\}', text), text

    def test_attributes_and_constants(self, tmp_path):
        results = scenario(tmp_path, r'''
const = ox.make_constant(torch.ones(4, 3))
small = [ox.make_constant(torch.full((2,), v, dtype=t))
         for v, t in [(200, torch.uint8), (-3, torch.int8), (7, torch.int16), (1, torch.bool)]]
def extras(xs, loss):
    keep.append(ox.mark_output_tensor(sum(c.float().sum() for c in small) + loss, "with_small"))
    ox.set_attribute(xs[0], "my.flag", True)
    ox.set_attribute(xs[0], "my.count", 3)
    ox.set_attribute(xs[0], "my.scale", 0.5)
    ox.set_attribute(xs[0], "my.text", [1, 2])
    ox.set_attribute(xs[0], "vx.input_name", "bogus")   # the contract's own name: kept first
    keep.append(ox.mark_output_tensor((xs[0].reshape(-1, 4) @ const).sum(), "with_const"))
step(extra=extras); step(extra=extras)
report(text=compiled_text())
''')
        text = results["text"]
        assert "my.flag = true" in text and "my.count = 3 : i32" in text
        assert "my.scale = 5.000000e-01 : f32" in text and 'my.text = "[1, 2]"' in text
        assert 'vx.input_name = "input_x0"' in text and '"bogus"' not in text
        assert "vx.is_constant" not in text
        assert "tf.parameter_value = dense<1.000000e+00> : tensor<4x3xf32>" in text
        # Embedded values have the element type of their argument.
        for value, dtype in [("200", "ui8"), ("-3", "si8"), ("7", "si16"), ("true", "i1")]:
            assert re.search(rf"%arg\d+: !torch.vtensor<\[2\],{dtype}> \{{tf.parameter_value = "
                             rf"dense<{value}> : tensor<2x{dtype}>", text), (dtype, text)
        check_module(text, tmp_path, contract=False)


class TestCompileRunChecks:
    @pytest.mark.parametrize("kwargs,expected", [
        ("batches=(8, 4)", re.compile(r'Inconsistent batch sizes found in inputs. Input '
                                      r'"input_x(\d)" has batch size (8|4) while input '
                                      r'"input_x(?!\1)\d" has batch size (?!\2)(8|4)\.')),
        ("batches=((0, 4),)", 'Invalid batch size found on graph input "input_x0": 0. Expected a '
                              'positive integer.'),
        ("batches=((),)", 'Invalid input argument "input_x0". Expected a tensor with at least one '
                            'dimension specifying batch size, but got a 0-dimensional tensor.'),
        ("input_prefix=None", "No input tensors found. Please make sure you are wrapping your "
                              "dataloader inside a vudored.utils.data.DataLoader.\n\n"),
        ("alias=False", "Expected number of weights and aliases to match. Got: 1 != 0\n"
                        "Missing aliases:\n    w\n\nMissing weights:\n"),
        ("extra=alias_twice", "Input parameter w is aliased by multiple outputs. This is an invalid program."),
        # Never fed zeros: an argument that no name feeds and that carries no value is refused.
        ("extra=unnamed_without_data", re.compile(r'Program argument \d+ "placeholder\d+" \(Float\[4\]\) has '
                                                  r'neither a name nor a value: its host data was dropped')),
    ])
    def test_argument_checks(self, tmp_path, kwargs, expected):
        results = scenario(tmp_path, f"report(error=second_step_error({kwargs}), calls=len(calls))")
        error = results["error"] or ""
        if isinstance(expected, str):
            assert expected in error, error
        else:
            assert expected.search(error), error
        assert results["calls"] == 0

    def test_compile_callback_refusal_and_later_steps(self, tmp_path):
        results = scenario(tmp_path, r'''
COMPILE_RESULT = None
first = second_step_error()
later = [error_of(step), error_of(step)]
report(first=first, later=later, calls=[c["kind"] for c in calls])
''')
        assert "Failed to compile model for Orvex System.\n\n" in results["first"]
        assert results["calls"] == ["compile"]
        # The cache now holds a program that never compiled: later steps say so.
        assert all(results["later"]), results["later"]
        assert "compiling the program failed in an earlier step" in results["later"][-1]


class TestCallbackFailures:
    def test_a_raising_callback_fails_its_step_and_later_steps_cleanly(self, tmp_path):
        results = scenario(tmp_path, r"""
class ApplianceDown(Exception):
    pass
def compile_cb(batch, text):
    raise ApplianceDown("no appliance")
ox.set_callbacks(compile_cb, execute_cb)
step()
errors = []
for _ in range(3):
    try:
        step()
    except Exception as e:
        errors.append(type(e).__name__ + ": " + str(e).splitlines()[0])
report(errors=errors)
""")
        first, *later = results["errors"]
        assert first == "ApplianceDown: no appliance"
        assert len(later) == 2 and all(e.startswith("RuntimeError: ") for e in later), later

    def test_a_step_inside_a_callback_is_refused(self, tmp_path):
        results = scenario(tmp_path, """
inner = []
def nested(result):
    def callback(*args):
        inner.append(error_of(torch._lazy.mark_step))
        return result
    return callback
ox.set_callbacks(nested(True), nested(set()))
step()
report(outer=second_step_error(), inner=inner)
""")
        assert results["outer"] is None
        assert results["inner"] == ["RuntimeError: torch._lazy.mark_step() cannot run inside the "
                                    "compile or execute callback: the step that called the callback "
                                    "is still running. Return from the callback first."] * 2


# A tool that fails with more diagnostics than an error message keeps: its first line too long (cut
# inside a two-byte character), then 59 short ones.
NOISY_TOOL = r"""#!/bin/sh
printf 'x%.0s' $(seq 999) >&2
printf '\303\251%.0s' $(seq 300) >&2
echo >&2
for i in $(seq 2 60); do echo "diagnostic $i" >&2; done
exit 3
"""

PIPELINE_FAILURES = {
    "missing tool": ({"unrelated-tool": "#!/bin/sh\nexit 0\n"},
                     "The conversion tool torch-lumo-opt was not found. It is expected in the virtual "
                     "environment's bin folder"),
    "failing sed": ({"torch-lumo-opt": None, "sed": "#!/bin/sh\ncat > /dev/null\nexit 4\n"},
                    "sed exited with status 4"),
    "result removed": ({"torch-lumo-opt": "#!/bin/sh\ncat\nrm -f \"$(readlink /proc/$$/fd/1)\"\n"},
                       "Cannot read the converted program "),
    "failing tool": ({"torch-lumo-opt": FAILING_TOOL},
                     "torch-lumo-opt exited with status 3. Its diagnostics (also on standard error):\n"
                     "stand-in tool failure"),
    # The error carries the first 50 lines of the diagnostics, each of at most 1000 bytes, as text.
    "noisy tool": ({"torch-lumo-opt": NOISY_TOOL},
                   ("x" * 999 + "\ufffd [line cut]\ndiagnostic 2\n",
                    "\ndiagnostic 50\n[10 more lines not shown: the command above prints them all]")),
}


# Cases whose commands are started before the module exists (ox.start_conversion, as the front end
# does): they fail and are reported as when started with it (a missing tool: started then).
STARTED = {"missing tool", "failing sed", "failing tool", "noisy tool"}


@pytest.mark.parametrize("case", sorted(PIPELINE_FAILURES))
def test_conversion_failures_stop_the_step_with_a_command_that_reruns(tmp_path, case):
    tools, expected = PIPELINE_FAILURES[case]
    art = tmp_path / "dir with 'quote' and $(echo x)"
    start = "ox.start_conversion()\n" if case in STARTED else ""
    results, _ = run_steps(tmp_path, MODEL + start + "report(error=second_step_error(), calls=len(calls))",
                           tools=tools, art=art, env={"PATH": f"{tmp_path / 'tools'}:/usr/bin:/bin"})
    error = results["error"]
    for text in [expected] if isinstance(expected, str) else expected:
        assert text in error, error
    assert results["calls"] == 0 and "\u00e9" not in error and "diagnostic 51" not in error, error
    assert "torch-to-lumo pipeline failed:\nTo re-run:\n( sed " in error
    # Re-running the printed line with a working tool converts the step's file and touches nothing
    # else.
    command = error.split("To re-run:\n", 1)[1].split("\n")[0]
    tool = install_tool(tmp_path / "good")
    proc = subprocess.run(["sh", "-c", command], env={"PATH": f"{tool.parent}:/usr/bin:/bin"},
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert (art / "lumo.mlir").read_text().startswith("// lumo stand-in")
    assert not (tmp_path / "x").exists()


def test_an_unconverted_operation_is_named_in_the_error(tmp_path):
    """The real tool's diagnostics become part of the error the step raises, not only of standard
    error."""
    results, proc = run_steps(tmp_path, MODEL + r"""
def ldl(xs, loss):
    keep.append(ox.mark_output_tensor(torch.linalg.ldl_factor(w[:3] + 3 * torch.eye(3, device="lazy")).LD, "ld"))
report(error=second_step_error(extra=ldl), calls=len(calls))
""")
    error = results["error"]
    assert error.startswith("RuntimeError: torch-to-lumo pipeline failed:\nTo re-run:\n( sed "), error
    assert ("torch-lumo-opt exited with status 1. Its diagnostics (also on standard error):\n" in error
            and "error: no lumo conversion for torch.aten.linalg_ldl_factor_ex: lumo has no LDL"
            in error), error
    assert "no lumo conversion for torch.aten.linalg_ldl_factor_ex" in proc.stderr and results["calls"] == 0


def test_cached_steps_hand_python_no_messages_below_its_level(tmp_path):
    """Messages whose level the logger does not print are neither formatted nor logged: a cached
    step of many weights makes no logger calls at the default level, and lowering the level from
    Python brings them back."""
    results = scenario(tmp_path, r"""
import logging
logged = {"log": 0}
original = logging.Logger.log
def counting(self, *args, **kwargs):
    logged["log"] += 1
    return original(self, *args, **kwargs)
logging.Logger.log = counting
more = [torch.randn(3).to("lazy") for _ in range(50)]
def extra(xs, loss):
    for k, t in enumerate(more):
        ox.set_parameter_name(t, f"m{k}")
        t.mul_(0.5)
        ox.set_alias(t, f"m{k}")
step(extra=extra); step(extra=extra)
counts = []
for level in [logging.WARNING, logging.DEBUG]:
    logging.getLogger("orvex").setLevel(level)
    logged["log"] = 0
    step(extra=extra)
    counts.append(logged["log"])
report(counts=counts)
""")
    quiet, verbose = results["counts"]
    assert quiet == 0 and verbose > 50, results
