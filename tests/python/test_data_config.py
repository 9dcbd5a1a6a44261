"""The data-store configuration as Python sees it: text form, pickling, checked values, the live
object."""
import logging
import pickle
import re

import pytest
import torch

import orvex_pytorch_lib as ox

FIELDS = ["enabled", "max_bytes_in_memory", "max_tensor_size", "stream_buffer_size",
          "async_file_write", "max_async_file_writes", "delete_file_on_destruct"]
SETSTATE_ERROR = ("Unable to load pickled object for ApplianceDataInfo::Config. Please check that "
                  "all Config fields were saved in __getstate__ method.")


def test_text_form_and_pickled_copies(store_config):
    values = (True, 123456789012, 42, 0, False, 3, False)
    for name, value in zip(FIELDS, values):
        setattr(store_config, name, value)
    assert ox.appliance_file_config is store_config
    text = str(store_config)
    assert repr(store_config) == text
    # The text names the object by its address, then every field.
    match = re.match(r"ApplianceDataInfo::Config\((0x[0-9a-f]+)\) \{\n", text)
    assert match, text
    assert text == match.group(0) + "\n".join(
        f"\t {name}: {int(value)}" for name, value in zip(FIELDS, values)) + "\n}"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(store_config, protocol=protocol))
        assert type(copy) is ox.ApplianceDataInfoConfig
        assert copy.__getstate__() == values
        assert str(copy).splitlines()[1:] == text.splitlines()[1:]
        assert str(copy).splitlines()[0] != text.splitlines()[0]
        copy.max_tensor_size = 7
        copy.enabled = False
        assert store_config.max_tensor_size == 42 and store_config.enabled is True


def test_restoring_needs_seven_valid_fields_and_changes_all_or_nothing(store_config):
    cls = ox.ApplianceDataInfoConfig
    with pytest.raises(TypeError):
        cls()
    fresh = cls.__new__(cls)
    defaults = fresh.__getstate__()
    for state in [defaults[:6], defaults + (1,), ()]:
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


def test_store_trace_lines_follow_the_logging_level_of_each_record(backend, store_config, caplog):
    store_config.enabled = True
    lines = []
    for level in [5, logging.WARNING, 5]:  # the level is asked again for every record
        caplog.clear()
        with caplog.at_level(level, logger="orvex"):
            torch.tensor(3.0).to("lazy")
        lines.append([(r.name, r.levelno, r.getMessage()) for r in caplog.records])
    assert [len(found) for found in lines] == [3, 0, 3]
    assert {(name, level) for name, level, _ in lines[0]} == {("orvex.ltc", 5)}
    assert lines[0][2][2] == "Creating memory-backed tensor with size 4 bytes."
