"""The module's face towards the front end: signatures, initialisation, logging, appliance
settings."""
import shutil
import subprocess

import pytest
import torch

import orvex_pytorch_lib as ox
from conftest import run_python


def test_keyword_names_defaults_and_positional_only(backend, tmp_path):
    ox.set_artifact_dirs(artifact_dir=str(tmp_path / "a"), device_data_dir="")
    ox.set_callbacks(compile_callback=None, execute_callback=None)
    ox.retrace_every_iteration(retrace_every_iteration=True)
    ox.set_rng_state(seed=2**64 - 1)
    previous = ox.set_scope_name(scope_name="k")
    assert ox.set_scope_name(previous) == "k"
    lazy = torch.ones(2).to("lazy")
    with pytest.raises(TypeError):
        ox.get_unique_id(tensor=lazy)
    with pytest.raises(TypeError):
        ox.set_parameter_name(tensor=lazy, name="w")


LOGGING_PROBE = """
    import logging, os, sys, orvex_pytorch_lib as ox
    records = []
    class Keep(logging.Handler):
        def emit(self, r):
            records.append((r.name, r.levelno, r.getMessage()))
    logging.getLogger("orvex").addHandler(Keep())
    logging.getLogger("orvex").setLevel(logging.DEBUG)
    for value, arg in CASES:
        if value is None:
            os.environ.pop("LTC_IR_DEBUG", None)
        else:
            os.environ["LTC_IR_DEBUG"] = value
        del records[:]
        ox.initialize(arg)
        texts = [m for (_, _, m) in records]
        assert ("orvex.ltc", 10, "Orvex PyTorch Plugin Initialized.") in records, records
        print(int("Enabled lazy tensor IR debugging." in texts))
"""


def test_ir_debug_follows_argument_then_environment():
    cases = [
        ("0", True), ("true", False), ("true", None), ("1", None), ("2", None), ("  3", None),
        ("false", None), ("0", None), ("", None), ("yes", None), ("True", None), (None, None),
        ("4294967296", None),
    ]
    expected = ["1", "0", "1", "1", "1", "1", "0", "0", "0", "0", "0", "0", "0"]
    code = f"CASES = {cases!r}\n" + LOGGING_PROBE.replace("\n    ", "\n")
    out = run_python(code).stdout.split()
    assert out == expected


def test_before_initialize(tmp_path):
    """Before initialize the lumo operators are registered, a fatal message still raises, and lazy
    data is refused with what to do; with Python's default logging set-up initialize's INFO line
    does not surface."""
    proc = run_python(f"""
        import torch, orvex_pytorch_lib as ox
        print(str(torch.ops.lumo.Pad.default._schema).split("(")[0])
        blocker = {str(tmp_path / "file")!r}
        open(blocker, "w").close()
        try:
            ox.set_artifact_dirs(blocker + "/sub", "")
        except RuntimeError as e:
            print("raised")
        for make in [ox.eager_to_lazy, ox.make_constant]:
            try:
                make(torch.ones(2))
            except RuntimeError as e:
                print(str(e).splitlines()[0])
        ox.initialize()
    """)
    assert proc.stdout.splitlines() == ["lumo::Pad", "raised"] + [
        "The Orvex backend is not initialized: call orvex_pytorch_lib.initialize() before creating "
        "lazy data."] * 2
    assert "Orvex PyTorch Plugin Initialized." not in proc.stderr


@pytest.mark.parametrize("value,traced", [("true", True), ("0", False)])
def test_call_trace_switch(value, traced):
    env = {"VERBOSE_PRINT_FUNCTION": value}
    proc = run_python("""
        import orvex_pytorch_lib as ox
        ox.initialize()
        ox.set_rng_state(3)
    """, env=env)
    line = ("virtual std::shared_ptr<torch::lazy::BackendDeviceType> "
            "torch::lazy::OrvexBackendImpl::GetDefaultDeviceType() const    (")
    lines = [l for l in proc.stdout.splitlines() if l.startswith(line)]
    assert bool(lines) == traced, proc.stdout
    if traced:
        assert lines[0].endswith(")") and "backend_impl.cpp:" in lines[0]


def test_artifact_dirs_are_created_as_needed(backend, tmp_path, monkeypatch):
    ox.set_artifact_dirs(str(tmp_path / "a" / "b" / "c"), str(tmp_path / "data"))
    ox.set_artifact_dirs(str(tmp_path / "only"), "")  # the device data goes there too
    ox.set_artifact_dirs(str(tmp_path / "slash") + "/", "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "data", "only", "slash"]
    assert (tmp_path / "a" / "b" / "c").is_dir()
    monkeypatch.chdir(tmp_path / "only")
    ox.set_artifact_dirs("", "")
    assert list((tmp_path / "only").iterdir()) == []


@pytest.mark.parametrize("bad", ["plain_file", "/dev/null", "cut\0here", "plain_file/below"])
def test_paths_that_cannot_be_directories_are_refused(store_config, tmp_path, bad):
    (tmp_path / "plain_file").write_text("x")
    ox.set_artifact_dirs(str(tmp_path / "before"), "")
    for args in [(str(tmp_path / bad), ""), (str(tmp_path), str(tmp_path / bad))]:
        with pytest.raises(RuntimeError, match="a path must not contain a NUL character|"
                                               "it exists and is not a directory|Not a directory"):
            ox.set_artifact_dirs(*args)
    # Nothing changed: files still go to the directory set before.
    store_config.enabled, store_config.max_tensor_size = True, 0
    record = ox.get_appliance_data(ox.eager_to_lazy(torch.ones(4)))
    assert record.filename.startswith(str(tmp_path / "before") + "/")
    assert not (tmp_path / "cut").exists()


SHIM = r"""
const char* Py_GetVersion(void) { return "3.8.18 (default, shim)"; }
"""


def test_import_refuses_another_python_version(tmp_path):
    # Another CPython cannot even load PyTorch's bindings, so the interpreter's version is faked.
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the interpreter-version shim")
    src = tmp_path / "shim.c"
    src.write_text(SHIM)
    lib = tmp_path / "libshim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
    proc = run_python("""
        try:
            import orvex_pytorch_lib
        except ImportError as e:
            print("IMPORT_ERROR:", e)
    """, env={"LD_PRELOAD": str(lib)})
    assert ("IMPORT_ERROR: Python version mismatch: module was compiled for Python 3.11, but the "
            "interpreter version is incompatible: 3.8.18 (default, shim).") in proc.stdout
