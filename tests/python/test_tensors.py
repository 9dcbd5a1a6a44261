"""Lazy tensors and their data records, as the front end sees them."""
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


class TestMovingTensors:
    def test_values_survive_the_move(self, enabled):
        host = torch.randn(4, 5)
        lazy = host.to("lazy")
        assert lazy.device.type == "lazy" and lazy.shape == (4, 5)
        torch.testing.assert_close(ox.get_appliance_data(lazy).tensor, host, rtol=0, atol=0)

    def test_creation_and_module_moves(self, enabled):
        zeros = torch.zeros(2, 3, device="lazy")
        assert "aten::zero" in ox.get_tensor_info(zeros)
        model = torch.nn.Linear(3, 2)
        expected = model.weight.detach().clone()
        model.to("lazy")
        assert model.weight.device.type == "lazy"
        # The moved parameter is a detach of the uploaded data; its record is reached through it.
        assert "aten::detach_copy" in ox.get_tensor_info(model.weight)
        torch.testing.assert_close(ox.get_appliance_data(model.weight).tensor, expected)

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
        lazy = torch.ones(3).to("lazy")
        with pytest.raises(RuntimeError) as err:
            lazy.cpu()
        assert "Orvex backend has detected MakeTensorFromComputationData call outside of " \
               "step_closure." in str(err.value)
        assert "Stack Trace: " in str(err.value)


class TestDropRules:
    def test_disabled_store_drops_ordinary_tensors(self, store_config):
        store_config.enabled = False
        lazy = torch.ones(2, 2).to("lazy")
        record = ox.get_appliance_data(lazy)
        assert not record.has_tensor and record.filename is None
        with pytest.raises(RuntimeError) as err:
            record.tensor
        assert f'Cannot get the backing tensor data for lazy tensor with name "{record.name}" ' \
               + LONG_DROP_TEXT in str(err.value)

    def test_one_element_and_deferred_tensors_are_kept(self, store_config):
        store_config.enabled = False
        scalar = torch.tensor([[7.0]]).to("lazy")
        torch.testing.assert_close(ox.get_appliance_data(scalar).tensor, torch.tensor([[7.0]]))
        deferred_host = torch.ones(3, 3).as_subclass(DeferredParamTensor)
        lazy = ox.eager_to_lazy(deferred_host)
        assert ox.get_appliance_data(lazy).has_tensor


class TestRecordFunctions:
    def test_naming_device_data(self, enabled):
        lazy = torch.ones(2).to("lazy")
        record = ox.get_appliance_data(lazy)
        assert record.name.startswith("placeholder")
        assert ox.set_parameter_name(lazy, "fc.weight") is True
        assert ox.get_tensor_name(lazy) == "fc.weight" == record.name
        record.name = "renamed"
        assert ox.get_tensor_name(lazy) == "renamed"
        assert ox.is_weight_tensor(lazy) is False

    def test_computed_tensors_have_no_record_yet(self, enabled):
        lazy = torch.ones(2).to("lazy")
        computed = lazy + lazy
        assert ox.set_parameter_name(computed, "x") is False
        with pytest.raises(RuntimeError, match="New output detected outside of compile step: "
                                               r"\[\d+\]: .*aten::add"):
            ox.get_appliance_data(computed)

    def test_host_tensors_fail_the_device_check(self, backend):
        with pytest.raises(RuntimeError, match="Expected device to be true, but got false."):
            ox.get_appliance_data(torch.ones(2))
        with pytest.raises(RuntimeError, match="Expected device to be true"):
            ox.get_tensor_info(torch.ones(2))

    def test_unique_ids_and_info(self, backend):
        lazy = torch.ones(2).to("lazy")
        uid = ox.get_unique_id(lazy)
        assert uid >= 0 and ox.get_unique_id(lazy) == uid
        assert ox.get_tensor_info(lazy).startswith(f"[{uid}]: ")
        assert "lazy_tensors::device_data" in ox.get_tensor_info(lazy)

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
        torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.full((3,), 5.0))
        del src, other
        torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.full((3,), 5.0))

    def test_clone_tensor_copies_the_data(self, enabled):
        lazy = torch.arange(6.0).reshape(2, 3).to("lazy")
        ox.set_parameter_name(lazy, "w")
        clone = ox.clone_tensor(lazy)
        assert clone.shape == (2, 3)
        clone_record = ox.get_appliance_data(clone)
        assert clone_record.name.startswith("placeholder")
        torch.testing.assert_close(clone_record.tensor, torch.arange(6.0).reshape(2, 3))
        assert clone_record.tensor.data_ptr() != ox.get_appliance_data(lazy).tensor.data_ptr()
        with pytest.raises(RuntimeError, match="Expected lazy_tensor to be true"):
            ox.clone_tensor(torch.ones(1))

    def test_eager_to_lazy_follows_the_store_rules(self, store_config):
        store_config.enabled = False
        assert not ox.get_appliance_data(ox.eager_to_lazy(torch.ones(4))).has_tensor
        store_config.enabled = True
        lazy = ox.eager_to_lazy(torch.ones(4))
        assert lazy.device.type == "lazy"
        torch.testing.assert_close(ox.get_appliance_data(lazy).tensor, torch.ones(4))


class TestMarking:
    @pytest.fixture
    def debug_messages(self, backend):
        import logging
        seen = []

        class Keep(logging.Handler):
            def emit(self, record):
                seen.append(record.getMessage())

        logger = logging.getLogger("orvex")
        handler = Keep()
        logger.addHandler(handler)
        previous = logger.level
        logger.setLevel(logging.DEBUG)
        yield seen
        logger.removeHandler(handler)
        logger.setLevel(previous)

    def test_marks_are_recorded_once_and_unused_data_is_skipped(self, enabled, debug_messages):
        unused = torch.ones(3).to("lazy")
        assert ox.mark_output_tensor(unused, "w") is unused
        assert any(m.endswith(" as an output as it has no uses.") for m in debug_messages)
        # Still device data: nothing was marked.
        assert ox.get_appliance_data(unused).has_tensor

        used = torch.ones(3).to("lazy")
        total = used * 2
        assert ox.mark_output_tensor(total, "t") is total
        assert ox.mark_output_tensor(total, "t") is total
        assert any(m.endswith(" as an output since it is a duplicate.") for m in debug_messages)
        assert ox.set_alias(total, "w") is True

    def test_forced_marks_put_one_replacement_in_place(self, backend, debug_messages):
        value = torch.ones(2, 2).to("lazy") + 1
        first = ox.mark_output_tensor(value, "r", force=True)
        assert first is not value and first.shape == value.shape
        assert ox.get_unique_id(first) != ox.get_unique_id(value)
        assert ox.mark_output_tensor(value, force=True) is first
        assert any(m.startswith("Using cached tensor [") for m in debug_messages)

    def test_host_tensors_cannot_be_marked(self, backend):
        with pytest.raises(RuntimeError, match="Expected device to be true"):
            ox.mark_output_tensor(torch.ones(2))

    def test_attributes_and_constants_on_device_data(self, store_config):
        store_config.enabled = False
        lazy = torch.ones(2).to("lazy")
        assert ox.set_attribute(lazy, "my.a", 1) is True
        assert ox.set_attribute(lazy, "my.a", 2) is True
        with pytest.raises(RuntimeError, match="Unable to cast"):
            ox.set_attribute(lazy, "my.big", 2**40)
        with pytest.raises(RuntimeError, match="device_data_cast failed"):
            ox.set_attribute(lazy + 1, "my.a", 1)
        constant = ox.make_constant(torch.arange(3.0))
        assert store_config.enabled is False
        torch.testing.assert_close(ox.get_appliance_data(constant).tensor, torch.arange(3.0))
        assert ox.make_constant(constant) is constant
        with pytest.raises(RuntimeError, match="make_constant call on lazy tensor"):
            ox.make_constant(lazy)


class TestHostDataStaysSafe:
    """Handing host data to the store never leaves a tensor Python can reach on freed memory, and
    never changes a record's data behind its back."""

    @pytest.mark.parametrize("make", [
        lambda t: ox.make_constant(t),  # forces the store on, so a large constant goes to a file
        lambda t: ox.eager_to_lazy(t),
        lambda t: t.to("lazy"),
    ])
    def test_sources_of_file_backed_records_stay_usable(self, store_config, tmp_path, make):
        ox.set_artifact_dirs(str(tmp_path), "")
        store_config.enabled = True
        store_config.max_tensor_size = 1000
        source = torch.arange(3000 * 10, dtype=torch.float32).reshape(3000, 10)
        view = source[5:]
        lazy = make(source)
        record = ox.get_appliance_data(lazy)
        assert record.filename is not None
        torch.testing.assert_close(record.tensor, torch.arange(30000.0).reshape(3000, 10))
        assert torch.equal(source, torch.arange(30000.0).reshape(3000, 10))
        assert view[0, 0].item() == 50.0

    def test_a_memory_record_keeps_its_data_when_a_file_record_shares_its_storage(self, store_config,
                                                                                  tmp_path):
        ox.set_artifact_dirs(str(tmp_path), "")
        store_config.enabled = True
        store_config.max_tensor_size = 1000
        base = torch.arange(5000.0)
        small = ox.get_appliance_data(ox.eager_to_lazy(base[:10]))
        big = ox.get_appliance_data(ox.eager_to_lazy(base))
        big.tensor  # the write has finished
        assert small.filename is None and big.filename is not None
        torch.testing.assert_close(small.tensor, torch.arange(10.0))

    def test_deferred_sources_raise_instead_of_reading_released_memory(self, store_config):
        store_config.enabled = True
        deferred = torch.ones(300, 300).as_subclass(DeferredParamTensor)
        record = ox.get_appliance_data(ox.eager_to_lazy(deferred))
        assert record.has_tensor and record.tensor.shape == (300, 300)
        with pytest.raises(RuntimeError, match="released"):
            deferred.sum()

    def test_data_files_changed_behind_the_store_are_reported(self, store_config, tmp_path):
        ox.set_artifact_dirs(str(tmp_path), "")
        store_config.enabled = True
        store_config.max_tensor_size = 0
        store_config.async_file_write = False
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


class TestRefusedInputs:
    @pytest.mark.parametrize("tensor", [torch.ones(2, device="meta"), torch.ones(2, 2).to_sparse()])
    def test_lazy_data_is_made_from_host_tensors_only(self, backend, tensor):
        for make in [ox.eager_to_lazy, ox.make_constant]:
            with pytest.raises(RuntimeError, match="expects a CPU tensor with strided layout"):
                make(tensor)
        with pytest.raises(RuntimeError, match="Unsupported ATen dtype: ComplexFloat"):
            ox.make_constant(torch.ones(2, dtype=torch.complex64))

    def test_copy_appliance_data_needs_one_shape_and_type(self, enabled):
        dst = torch.zeros(3).to("lazy")
        for src in [torch.ones(4).to("lazy"), torch.ones(3, dtype=torch.float64).to("lazy")]:
            with pytest.raises(RuntimeError, match=r"copy_appliance_data: the source is"):
                ox.copy_appliance_data(src, dst)
        torch.testing.assert_close(ox.get_appliance_data(dst).tensor, torch.zeros(3))

    def test_records_come_only_from_the_backend(self, enabled):
        cls = ox.ApplianceDataInfo
        with pytest.raises(TypeError):
            cls.__new__(cls)
        record = ox.get_appliance_data(torch.ones(2).to("lazy"))
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError):
                pickle.dumps(record, protocol=protocol)

    def test_attributes_need_a_dialect_prefix_and_values_that_fit(self, backend):
        import numpy as np
        lazy = torch.ones(2).to("lazy")
        for name in ["flag", "", ".flag", "my.", "a\0b.c", "1x.y"]:
            with pytest.raises(ValueError, match="invalid attribute name"):
                ox.set_attribute(lazy, name, 1)
        for value in [1e300, -1e39, 1e-50]:
            with pytest.raises(RuntimeError, match="does not fit in a 32-bit float attribute"):
                ox.set_attribute(lazy, "my.scale", value)
        for value in [float("inf"), 1e-40, np.float64(0.5), np.int32(3), np.bool_(True)]:
            assert ox.set_attribute(lazy, "my.number", value) is True
        with pytest.raises(RuntimeError, match="Unable to cast"):
            ox.set_attribute(lazy, "my.big", np.int64(2**40))


def test_creating_lazy_data_before_initialize_asks_for_it():
    from conftest import run_python
    out = run_python("""
        import torch, orvex_pytorch_lib as ox
        for make in [ox.eager_to_lazy, ox.make_constant]:
            try:
                make(torch.ones(2))
            except RuntimeError as e:
                print("raised:", str(e).splitlines()[0])
    """).stdout.splitlines()
    assert out == ["raised: The Orvex backend is not initialized: call "
                   "orvex_pytorch_lib.initialize() before creating lazy data."] * 2
