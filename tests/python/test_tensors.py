"""Lazy tensors and their data records, as the front end sees them."""
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
        assert ox.set_attribute(lazy, "a", 1) is True
        assert ox.set_attribute(lazy, "a", 2) is True
        with pytest.raises(RuntimeError, match="Unable to cast"):
            ox.set_attribute(lazy, "big", 2**40)
        with pytest.raises(RuntimeError, match="device_data_cast failed"):
            ox.set_attribute(lazy + 1, "a", 1)
        constant = ox.make_constant(torch.arange(3.0))
        assert store_config.enabled is False
        torch.testing.assert_close(ox.get_appliance_data(constant).tensor, torch.arange(3.0))
        assert ox.make_constant(constant) is constant
        with pytest.raises(RuntimeError, match="make_constant call on lazy tensor"):
            ox.make_constant(lazy)
