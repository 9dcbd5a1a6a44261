"""The data-store configuration as Python sees it: defaults, text form, pickling, the live object."""
import pickle
import re

import pytest
import torch

import orvex_pytorch_lib as ox
from conftest import run_python

FIELDS = ["enabled", "max_bytes_in_memory", "max_tensor_size", "stream_buffer_size",
          "async_file_write", "max_async_file_writes", "delete_file_on_destruct"]
DEFAULTS = (False, 4000000000, 10000000, 8000, True, 10, True)
SETSTATE_ERROR = ("Unable to load pickled object for ApplianceDataInfo::Config. Please check that "
                  "all Config fields were saved in __getstate__ method.")


def config_text(address, values):
    lines = [f"ApplianceDataInfo::Config({address}) {{"]
    lines += [f"\t {name}: {int(value)}" for name, value in zip(FIELDS, values)]
    return "\n".join(lines) + "\n}"


def test_defaults_of_a_fresh_process():
    proc = run_python("""
        import orvex_pytorch_lib as ox
        cfg = ox.appliance_file_config
        print(repr(cfg.__getstate__()))
        print([type(getattr(cfg, n)).__name__ for n in %r])
    """ % (FIELDS,))
    state, types = proc.stdout.splitlines()
    assert eval(state) == DEFAULTS
    assert eval(types) == ["bool", "int", "int", "int", "bool", "int", "bool"]


def test_text_form_names_the_object_and_every_field(store_config):
    store_config.enabled = True
    store_config.max_tensor_size = 123
    text = str(store_config)
    assert repr(store_config) == text
    match = re.match(r"ApplianceDataInfo::Config\((0x[0-9a-f]+)\) \{\n", text)
    assert match, text
    expected = list(store_config.__getstate__())
    assert text == config_text(match.group(1), expected)
    assert expected[0] is True and expected[2] == 123

    # The address is that of the object: the same each time, another for a copy.
    assert str(store_config) == text
    copy = pickle.loads(pickle.dumps(store_config))
    assert str(copy).splitlines()[1:] == text.splitlines()[1:]
    assert str(copy).splitlines()[0] != text.splitlines()[0]


def test_pickling_gives_an_independent_equal_copy(store_config):
    values = (True, 123456789012, 42, 0, False, 3, False)
    (store_config.enabled, store_config.max_bytes_in_memory, store_config.max_tensor_size,
     store_config.stream_buffer_size, store_config.async_file_write,
     store_config.max_async_file_writes, store_config.delete_file_on_destruct) = values
    assert ox.appliance_file_config is store_config
    assert "\t max_async_file_writes: 3\n" in str(ox.appliance_file_config)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(store_config, protocol=protocol))
        assert type(copy) is ox.ApplianceDataInfoConfig
        assert copy.__getstate__() == values
        copy.max_tensor_size = 7
        copy.enabled = False
        assert store_config.max_tensor_size == 42 and store_config.enabled is True


def test_restoring_needs_seven_valid_fields_and_changes_all_or_nothing(store_config):
    cls = ox.ApplianceDataInfoConfig
    with pytest.raises(TypeError):
        cls()
    fresh = cls.__new__(cls)
    assert fresh.__getstate__() == DEFAULTS
    for state in [DEFAULTS[:6], DEFAULTS + (1,), ()]:
        with pytest.raises(RuntimeError) as error:
            fresh.__setstate__(state)
        assert str(error.value) == SETSTATE_ERROR
    before = store_config.__getstate__()
    for state in [(False, "many", 1, 1, True, 1, True), (False, -1, 1, 1, True, 1, True),
                  (False, 1, 1, 2**33, True, 1, True), (False, 1, 1, 1, True, 0, True)]:
        with pytest.raises((RuntimeError, ValueError)):
            store_config.__setstate__(state)
        assert store_config.__getstate__() == before
    # Restoring onto a live object sets its fields.
    store_config.__setstate__((not before[0],) + before[1:])
    assert store_config.enabled is not before[0]


@pytest.mark.parametrize("field,bad,good", [
    ("max_bytes_in_memory", -1, 0), ("max_tensor_size", -5, 0),
    ("stream_buffer_size", 2**33, 0), ("stream_buffer_size", -1, 2**30),
    ("max_async_file_writes", 0, 1),
])
def test_setters_refuse_values_out_of_range(store_config, field, bad, good):
    before = store_config.__getstate__()
    with pytest.raises(ValueError, match=f"appliance_file_config.{field} must be between"):
        setattr(store_config, field, bad)
    assert store_config.__getstate__() == before
    setattr(store_config, field, good)
    assert getattr(store_config, field) == good


def test_records_follow_changes_made_through_appliance_file_config(backend, store_config, tmp_path):
    ox.set_artifact_dirs(str(tmp_path), str(tmp_path / "data"))
    store_config.enabled = True
    store_config.async_file_write = False
    store_config.max_tensor_size = 16
    filed = ox.get_appliance_data(torch.arange(5, dtype=torch.float32).to("lazy"))
    assert filed.filename is not None
    assert filed.filename.startswith(str(tmp_path / "data") + "/tensor_")
    assert (tmp_path / "data" / filed.filename.rsplit("/", 1)[1]).stat().st_size == 20
    store_config.max_tensor_size = 20
    kept = ox.get_appliance_data(torch.arange(5, dtype=torch.float32).to("lazy"))
    assert kept.has_tensor and kept.filename is None


def test_store_trace_lines_follow_the_logging_level_of_each_record(backend, store_config):
    import logging
    seen = []

    class Keep(logging.Handler):
        def emit(self, record):
            seen.append((record.name, record.levelno, record.getMessage()))

    logger = logging.getLogger("orvex")
    handler, previous = Keep(), logger.level
    logger.addHandler(handler)
    store_config.enabled = True
    try:
        logger.setLevel(5)
        torch.tensor(3.0).to("lazy")
        texts = [m for _, _, m in seen]
        assert {(n, lv) for n, lv, _ in seen} == {("orvex.ltc", 5)}
        assert texts[0].startswith("Keeping tensor data for ") and texts[0].endswith(
            " with size 4 as it is a scalar.")
        assert texts[1].startswith("Creating ApplianceData: appliance_data_enabled=1, ")
        assert texts[1].endswith(", tensor_size_in_bytes=4, is_deferred=0, should_write_to_file=0")
        assert texts[2] == "Creating memory-backed tensor with size 4 bytes."

        seen.clear()
        logger.setLevel(logging.WARNING)
        torch.tensor(3.0).to("lazy")
        assert seen == []

        logger.setLevel(5)  # asked again for every record
        torch.tensor(3.0).to("lazy")
        assert len(seen) == 3
    finally:
        logger.removeHandler(handler)
        logger.setLevel(previous)
