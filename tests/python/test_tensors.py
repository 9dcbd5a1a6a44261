"""Lazy tensors and their data records, as the front end sees them."""
import logging
import os
import pickle

import pytest
import torch

import orvex_pytorch_lib as ox

LONG_DROP_TEXT = (
    'as it is empty. This can happen if the lazy tensor\'s data was dropped or had no data to begin '
    'with. In order to keep the tensor data when creating a lazy tensor, please wrap the lazy tensor '
    'creation call (i.e., `tensor.to("lazy")`) in a `vudored.backend.device` context manager.')


class DeferredParamTensor(torch.Tensor):
    """Stands for the front end's deferred tensors: recognised by the type name alone."""


@pytest.fixture
def enabled(store_config):
    store_config.enabled = True
    return store_config


@pytest.fixture
def files(store_config, tmp_path):
    """The store on, records above 1000 bytes in data files below tmp_path."""
    ox.set_artifact_dirs(str(tmp_path), "")
    store_config.enabled = True
    store_config.max_tensor_size = 1000
    return store_config


class TestMovingTensors:
    @pytest.mark.parametrize("target", ["lazy", "lazy:0", torch.device("lazy")])
    def test_moving_to_the_device_it_is_on_is_a_no_op(self, enabled, target):
        lazy = torch.randn(3).to("lazy")
        assert lazy.to(target) is lazy
        assert "_to_copy" not in torch._C._lazy._get_tensors_text([lazy.to(target) * 1])
        # Weights tied between modules on the device stay one tensor when the model moves again.
        model = torch.nn.Sequential(torch.nn.Embedding(5, 3), torch.nn.Linear(3, 5, bias=False))
        model.to(target)
        model[1].weight = model[0].weight
        model.to(target)
        assert model[1].weight is model[0].weight

    def test_reading_back_to_the_host_is_refused(self, backend):
        with pytest.raises(RuntimeError) as err:
            torch.ones(3).to("lazy").cpu()
        assert str(err.value).startswith("Orvex backend has detected MakeTensorFromComputationData call "
                                         "outside of step_closure.\nStack Trace: \n"), str(err.value)


def test_drop_rules(store_config):
    """A disabled store keeps the data of one-element and deferred tensors only."""
    store_config.enabled = False
    for make in [lambda t: t.to("lazy"), ox.eager_to_lazy]:
        record = ox.get_appliance_data(make(torch.ones(2, 2)))
        assert not record.has_tensor and record.filename is None
        with pytest.raises(RuntimeError) as err:
            record.tensor
        assert f'Cannot get the backing tensor data for lazy tensor with name "{record.name}" ' \
               + LONG_DROP_TEXT in str(err.value)
    scalar = torch.tensor([[7.0]]).to("lazy")
    torch.testing.assert_close(ox.get_appliance_data(scalar).tensor, torch.tensor([[7.0]]))
    assert ox.get_appliance_data(ox.eager_to_lazy(torch.ones(3, 3).as_subclass(DeferredParamTensor))).has_tensor
    # A tensor made from data on the device (a constant of the program, as the index list of
    # x[[1, 2]] is) keeps its data.
    made = ox.get_appliance_data(torch.tensor([[1.0, 2.0]], device="lazy"))
    torch.testing.assert_close(made.tensor, torch.tensor([[1.0, 2.0]]))


class TestRecordFunctions:
    def test_names_live_in_the_shared_record(self, enabled):
        lazy = torch.ones(2).to("lazy")
        record = ox.get_appliance_data(lazy)
        assert record.name.startswith("placeholder")
        assert ox.set_parameter_name(lazy, "fc.weight") is True
        assert ox.get_tensor_name(lazy) == "fc.weight" == record.name
        record.name = "renamed"
        assert ox.get_tensor_name(lazy) == "renamed"
        assert ox.get_tensor_info(lazy).startswith(f"[{ox.get_unique_id(lazy)}]: ")
        # A computed tensor has no record before the step that computes it.
        computed = lazy + lazy
        assert ox.set_parameter_name(computed, "x") is False
        with pytest.raises(RuntimeError, match="New output detected outside of compile step: "
                                               r"\[\d+\]: .*aten::add"):
            ox.get_appliance_data(computed)

    def test_record_outlives_the_python_object_and_the_tensor(self, enabled):
        lazy = torch.arange(4.0).to("lazy")
        record = ox.get_appliance_data(lazy)
        del lazy
        torch.testing.assert_close(record.tensor, torch.arange(4.0))

    def test_copy_appliance_data_shares_storage(self, enabled):
        src = torch.arange(3.0).to("lazy")
        dst = torch.zeros(3).to("lazy")
        ox.copy_appliance_data(src, dst)
        torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.arange(3.0))
        other = torch.full((3,), 5.0).to("lazy")
        ox.copy_appliance_data(dst=dst, src=other)
        del src, other
        torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.full((3,), 5.0))

    def test_clone_tensor_copies_the_data(self, enabled):
        lazy = torch.arange(6.0).reshape(2, 3).to("lazy")
        ox.set_parameter_name(lazy, "w")
        clone_record = ox.get_appliance_data(ox.clone_tensor(lazy))
        assert clone_record.name.startswith("placeholder")
        torch.testing.assert_close(clone_record.tensor, torch.arange(6.0).reshape(2, 3))
        assert clone_record.tensor.data_ptr() != ox.get_appliance_data(lazy).tensor.data_ptr()


class TestMarking:
    def test_marks_are_recorded_once_and_unused_data_is_skipped(self, enabled, caplog):
        with caplog.at_level(logging.DEBUG, logger="orvex"):
            unused = torch.ones(3).to("lazy")
            assert ox.mark_output_tensor(unused, "w") is unused
            # Still device data: nothing was marked.
            assert ox.get_appliance_data(unused).has_tensor
            total = torch.ones(3).to("lazy") * 2
            assert ox.mark_output_tensor(total, "t") is total
            assert ox.mark_output_tensor(total, "t") is total
            assert ox.set_alias(total, "w") is True
            # A forced mark puts one replacement in place.
            value = torch.ones(2, 2).to("lazy") + 1
            first = ox.mark_output_tensor(value, "r", force=True)
            assert first is not value and first.shape == value.shape
            assert ox.get_unique_id(first) != ox.get_unique_id(value)
            assert ox.mark_output_tensor(value, force=True) is first
        messages = [r.getMessage() for r in caplog.records]
        for ending in [" as an output as it has no uses.", " as an output since it is a duplicate."]:
            assert any(m.endswith(ending) for m in messages), ending
        assert any(m.startswith("Using cached tensor [") for m in messages)

    def test_attributes_and_constants_on_device_data(self, store_config):
        store_config.enabled = False
        lazy = torch.ones(2).to("lazy")
        assert ox.set_attribute(lazy, "my.a", 1) is True
        assert ox.set_attribute(lazy, "my.a", 2) is True
        constant = ox.make_constant(torch.arange(3.0))
        assert store_config.enabled is False
        torch.testing.assert_close(ox.get_appliance_data(constant).tensor, torch.arange(3.0))
        assert ox.make_constant(constant) is constant


class TestHostDataStaysSafe:
    """Handing host data to the store never leaves a tensor Python can reach on freed memory, and
    never changes a record's data behind its back."""

    @pytest.mark.parametrize("make", [
        lambda t: ox.make_constant(t),  # forces the store on, so a large constant goes to a file
        lambda t: ox.eager_to_lazy(t),
        lambda t: t.to("lazy"),
    ])
    def test_sources_of_file_backed_records_stay_usable(self, files, make):
        source = torch.arange(3000 * 10, dtype=torch.float32).reshape(3000, 10)
        view = source[5:]
        record = ox.get_appliance_data(make(source))
        assert record.filename is not None
        torch.testing.assert_close(record.tensor, torch.arange(30000.0).reshape(3000, 10))
        assert torch.equal(source, torch.arange(30000.0).reshape(3000, 10))
        assert view[0, 0].item() == 50.0

    def test_a_memory_record_keeps_its_data_when_a_file_record_shares_its_storage(self, files):
        base = torch.arange(5000.0)
        small = ox.get_appliance_data(ox.eager_to_lazy(base[:10]))
        big = ox.get_appliance_data(ox.eager_to_lazy(base))
        big.tensor  # the write has finished
        assert small.filename is None and big.filename is not None
        torch.testing.assert_close(small.tensor, torch.arange(10.0))

    def test_deferred_sources_raise_instead_of_reading_released_memory(self, enabled):
        deferred = torch.ones(300, 300).as_subclass(DeferredParamTensor)
        record = ox.get_appliance_data(ox.eager_to_lazy(deferred))
        assert record.has_tensor and record.tensor.shape == (300, 300)
        with pytest.raises(RuntimeError, match="released"):
            deferred.sum()

    def test_data_files_changed_behind_the_store_are_reported(self, files):
        files.max_tensor_size, files.async_file_write = 0, False
        removed, truncated = (ox.eager_to_lazy(torch.ones(100)) for _ in range(2))
        path = ox.get_appliance_data(removed).filename
        os.remove(path)
        with open(ox.get_appliance_data(truncated).filename, "r+b") as f:
            f.truncate(40)
        with pytest.raises(RuntimeError, match=f"Cannot read tensor data file {path} .*expected 400 "
                                               "bytes"):
            ox.get_appliance_data(removed).tensor
        for read in [lambda: ox.get_appliance_data(truncated).tensor,
                     lambda: ox.clone_tensor(truncated)]:
            with pytest.raises(RuntimeError, match=r"has 40 bytes, expected 400 bytes"):
                read()


REFUSED = [  # (call, error type, message)
    (lambda: ox.get_appliance_data(torch.ones(2)), RuntimeError, "Expected device to be true, but got false."),
    (lambda: ox.get_tensor_info(torch.ones(2)), RuntimeError, "Expected device to be true"),
    (lambda: ox.mark_output_tensor(torch.ones(2)), RuntimeError, "Expected device to be true"),
    (lambda: ox.clone_tensor(torch.ones(1)), RuntimeError, "Expected lazy_tensor to be true"),
    (lambda: ox.set_attribute(torch.ones(2).to("lazy") + 1, "my.a", 1), RuntimeError,
     "device_data_cast failed"),
    (lambda: ox.make_constant(torch.ones(2).to("lazy")), RuntimeError, "make_constant call on lazy tensor"),
    (lambda: ox.make_constant(torch.ones(2, dtype=torch.complex32)), RuntimeError,
     "Unsupported ATen dtype: ComplexHalf"),
    *[(lambda make=make, t=t: make(t), RuntimeError, "expects a CPU tensor with strided layout")
      for make in [ox.eager_to_lazy, ox.make_constant]
      for t in [torch.ones(2, device="meta"), torch.ones(2, 2).to_sparse()]],
    *[(lambda name=name: ox.set_attribute(torch.ones(2).to("lazy"), name, 1), ValueError,
       "invalid attribute name") for name in ["flag", "", ".flag", "my.", "a\0b.c", "1x.y"]],
    *[(lambda v=v: ox.set_attribute(torch.ones(2).to("lazy"), "my.scale", v), RuntimeError,
       "does not fit in a 32-bit float attribute") for v in [1e300, -1e39, 1e-50]],
    (lambda: ox.set_attribute(torch.ones(2).to("lazy"), "my.big", 2**40), RuntimeError, "Unable to cast"),
    (lambda: ox.ApplianceDataInfo.__new__(ox.ApplianceDataInfo), TypeError, None),
]


@pytest.mark.parametrize("call,error,message", REFUSED)
def test_refused_calls_say_why(backend, call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_accepted_attribute_values_and_refused_copies(enabled):
    import numpy as np
    lazy = torch.ones(2).to("lazy")
    for value in [float("inf"), 1e-40, np.float64(0.5), np.int32(3), np.bool_(True)]:
        assert ox.set_attribute(lazy, "my.number", value) is True
    with pytest.raises(RuntimeError, match="Unable to cast"):
        ox.set_attribute(lazy, "my.big", np.int64(2**40))
    # copy_appliance_data needs one shape and type, and leaves the target alone otherwise.
    dst = torch.zeros(3).to("lazy")
    for src in [torch.ones(4).to("lazy"), torch.ones(3, dtype=torch.float64).to("lazy")]:
        with pytest.raises(RuntimeError, match=r"copy_appliance_data: the source is"):
            ox.copy_appliance_data(src, dst)
    torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.zeros(3))
    # Records come only from the backend.
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(ox.get_appliance_data(dst), protocol=protocol)
