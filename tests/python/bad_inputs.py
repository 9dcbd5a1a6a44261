"""Bad inputs for every Python-visible function, method and property of the module and for the lumo
operators, in groups. Run as a script it calls the cases of one group in order, printing
"START <id>" before and "DONE <id>" after each one, so that the case a crash or hang stopped is the
last one started. A case passes whatever it returns or raises; only crashes and hangs count.

    python bad_inputs.py GROUP [FIRST_INDEX]
"""
import faulthandler
import itertools
import pickle
import sys

GROUPS = ["before_initialize", "functions", "configuration", "records", "lumo"]
CASE_TIMEOUT = 30  # seconds: longer means the case hangs


def bad_values(lazy):
    """Wrong types, None, odd numbers and tensors of every kind the functions may be handed."""
    import numpy as np
    import torch
    values = {
        "none": None, "str": "x", "nul_str": "a\0b", "int": 3, "negative": -1, "huge": 2**70,
        "float": 1.5, "nan": float("nan"), "big_float": 1e300, "list": [1, 2], "np_int": np.int64(3),
        "host": torch.ones(2, 3), "host_0d": torch.tensor(2.0), "empty": torch.ones(0),
        "complex": torch.ones(2, dtype=torch.complex64), "int8": torch.ones(2, dtype=torch.int8),
        "meta": torch.ones(2, 3, device="meta"), "sparse": torch.ones(2, 2).to_sparse(),
        "strided_view": torch.arange(12.0).reshape(3, 4).t(),
    }
    if lazy:
        values.update({
            "lazy": torch.ones(2, 3).to("lazy"), "lazy_0d": torch.tensor(2.0).to("lazy"),
            "lazy_computed": torch.ones(2, 3).to("lazy") * 2,
            "lazy_int": torch.ones(2, 3, dtype=torch.int64).to("lazy"),
        })
    return values


def function_cases(ox, lazy):
    """Each module function with its arguments in place one at a time replaced by a bad value."""
    import torch
    good_tensor = torch.ones(2, 3).to("lazy") if lazy else torch.ones(2, 3)
    signatures = {  # name: good positional arguments
        "initialize": [None], "shutdown": [], "set_parameter_name": [good_tensor, "p"],
        "set_tensor_name": [good_tensor, "t"], "mark_output_tensor": [good_tensor, "o", False],
        "set_alias": [good_tensor, "a"], "make_constant": [torch.ones(2)],
        "set_attribute": [good_tensor, "my.flag", 1], "get_unique_id": [good_tensor],
        "get_tensor_info": [good_tensor], "get_tensor_name": [good_tensor],
        "is_weight_tensor": [good_tensor], "get_appliance_data": [good_tensor],
        "set_scope_name": ["s"], "clone_tensor": [good_tensor], "eager_to_lazy": [torch.ones(2)],
        "copy_appliance_data": [good_tensor, good_tensor], "set_rng_state": [1],
        "retrace_every_iteration": [True], "set_artifact_dirs": ["art", "data"],
        "set_callbacks": [None, None],
    }
    if not lazy:
        del signatures["initialize"]  # the group is about calls made before it
    values = bad_values(lazy)
    for name, good in signatures.items():
        function = getattr(ox, name)
        yield f"{name}()", lambda f=function: f()
        for position, (value_name, value) in itertools.product(range(len(good)), values.items()):
            args = list(good)
            args[position] = value
            yield f"{name}[{position}]={value_name}", lambda f=function, a=args: f(*a)
    if lazy:
        # The source of lazy data stays usable, whatever the store did with its host memory.
        class DeferredSweepTensor(torch.Tensor):
            pass

        def reuse(make, source):
            cfg = ox.appliance_file_config
            saved = cfg.__getstate__()
            cfg.enabled, cfg.max_tensor_size, cfg.async_file_write = True, 100, False
            try:
                make(source)
            finally:
                cfg.__setstate__(saved)
            return source.sum()
        for name in ["make_constant", "eager_to_lazy"]:
            yield f"{name}.reuse", lambda f=getattr(ox, name): reuse(f, torch.ones(100, 100))
            yield f"{name}.reuse_deferred", lambda f=getattr(ox, name): reuse(
                f, torch.ones(100, 100).as_subclass(DeferredSweepTensor))


def configuration_cases(ox):
    cls = ox.ApplianceDataInfoConfig
    cfg = ox.appliance_file_config
    numbers = [-1, 0, 1, 2**31, 2**33, 2**63, -2**63, 2**64, 1.5, None, "7", True]
    fields = [n for n, member in vars(cls).items() if isinstance(member, property)]
    for field, value in itertools.product(fields, numbers):
        yield f"config.{field}={value!r}", lambda f=field, v=value: setattr(cfg, f, v)
    yield "config()", lambda: cls()
    yield "config.__new__", lambda: str(cls.__new__(cls))
    yield "config.__new__.fields", lambda: cls.__new__(cls).__getstate__()
    states = [(), (1,) * 7, (False, -1, 1, 1, True, 1, True), (False, 1, 1, 2**40, True, 1, True),
              (False, 1, 1, 1, True, 0, True), (None,) * 7, cfg.__getstate__()]
    for k, state in enumerate(states):
        yield f"config.__setstate__[{k}]", lambda s=state: cls.__new__(cls).__setstate__(s)
        yield f"live.__setstate__[{k}]", lambda s=state: pickle.loads(pickle.dumps(cfg)).__setstate__(s)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        yield f"pickle.{protocol}", lambda p=protocol: pickle.loads(pickle.dumps(cfg, protocol=p))
    yield "str", lambda: (str(cfg), repr(cfg))


def record_cases(ox):
    import torch
    cls = ox.ApplianceDataInfo
    yield "record()", lambda: cls()
    yield "record.__new__", lambda: cls.__new__(cls)
    yield "record.__new__.name", lambda: setattr(cls.__new__(cls), "name", "x")
    ox.appliance_file_config.enabled = False
    dropped = ox.get_appliance_data(torch.ones(2, 3).to("lazy"))
    ox.appliance_file_config.enabled = True
    kept = ox.get_appliance_data(torch.ones(2, 3).to("lazy"))
    for label, record in [("dropped", dropped), ("kept", kept)]:
        for member in ["name", "filename", "has_tensor", "tensor"]:
            yield f"{label}.{member}", lambda r=record, m=member: getattr(r, m)
        for value in [None, 3, "a\0b", b"bytes"]:
            yield f"{label}.name={value!r}", lambda r=record, v=value: setattr(r, "name", v)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            yield f"{label}.pickle.{protocol}", lambda r=record, p=protocol: pickle.dumps(r, protocol=p)


def lumo_cases():
    """Every lumo operator: its tensor arguments in turn replaced by bad values, its keyword
    arguments by values of other types, and operands that do not broadcast."""
    import torch
    values = bad_values(lazy=True)
    plain = {"int": 1, "float": 0.5, "bool": True, "str": "s", "List[int]": [1]}
    for name in sorted(n[len("lumo::"):] for n in torch._C._dispatch_get_all_op_names()
                       if n.startswith("lumo::")):
        op = getattr(torch.ops.lumo, name)
        arguments = [a for a in op.default._schema.arguments if a.name != "_attr_names"]

        def good(arg):
            kind = str(arg.type)
            if "Tensor" in kind:
                tensor = torch.ones(2, 3).to("lazy")
                return [tensor] if kind.startswith("List") else tensor
            return plain.get(kind)

        def call(replace=None, value=None, op=op, arguments=arguments, good=good):
            args, kwargs = [], {}
            for arg in arguments:
                given = value if arg.name == replace else good(arg)
                (kwargs.__setitem__(arg.name, given) if arg.kwarg_only else args.append(given))
            return op(*args, **kwargs)

        yield f"lumo.{name}", call
        tensor_args = [a.name for a in arguments if "Tensor" in str(a.type)]
        for arg in arguments:
            choices = values.items() if arg.name in tensor_args else [
                ("none", None), ("str", "x"), ("huge", 2**70), ("list", [1, 2]), ("nan", float("nan"))]
            for value_name, value in choices:
                yield f"lumo.{name}.{arg.name}={value_name}", lambda a=arg.name, v=value: call(a, v)
        if len(tensor_args) > 1:
            wide = torch.ones(4, 5).to("lazy")
            yield f"lumo.{name}.broadcast", lambda a=tensor_args[-1], v=wide: call(a, v)


def cases(group):
    import torch  # noqa: F401  (the module needs PyTorch loaded)
    import orvex_pytorch_lib as ox
    if group == "before_initialize":
        return list(function_cases(ox, lazy=False))
    ox.initialize()
    return list({"functions": lambda: function_cases(ox, lazy=True),
                 "configuration": lambda: configuration_cases(ox),
                 "records": lambda: record_cases(ox),
                 "lumo": lumo_cases}[group]())


def main(group, first=0):
    import logging
    logging.disable(logging.CRITICAL)  # the cases' own warnings are not what this looks for
    faulthandler.enable()
    selected = cases(group)
    print("COUNT", len(selected), flush=True)
    for index in range(first, len(selected)):
        ident, case = selected[index]
        print("START", index, ident, flush=True)
        faulthandler.dump_traceback_later(CASE_TIMEOUT, exit=True)
        try:
            case()
        except Exception:
            pass
        faulthandler.cancel_dump_traceback_later()
        print("DONE", index, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 0)
