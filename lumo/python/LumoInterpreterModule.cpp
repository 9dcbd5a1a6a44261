// The Python module lumo_interpreter: lumo::Program for Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <optional>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include "Program.h"

namespace py = pybind11;

namespace {

const char *kModuleDoc = R"(Runs lumo programs on the CPU with PyTorch's ATen kernels.

    import lumo_interpreter as li
    prog = li.Program(text)   # parses, verifies and plans a lumo module; raises li.Error
    prog = li.Program(text, fuse=False)  # the unfused plan only (see "Fused kernels" below)
    prog.arguments            # (li.Argument, ...): index, kind ("input" | "weight" | "embedded"), name,
                              #   shape (tuple), dtype (torch.dtype), aliasing_output (int | None),
                              #   used (False when the program never reads it)
    prog.results              # (li.Result, ...): index, name (vx.output_name or None), shape, dtype,
                              #   updates (name of the weight it replaces, or None)
    prog.inputs, prog.outputs # the arguments of kind "input"; the results that update no weight
                              #   (and named ones), both in index order
    prog.seed                 # int: the function's vx.seed (0 when absent)
    outs = prog.run(args)     # one entry per argument: a CPU tensor of its shape and dtype, None for
                              #   "embedded" ones; returns the list of result tensors

    state = prog.new_state()  # the weights, resident in the interpreter between runs
    state.load(name, tensor, share=False)  # once per weight (copies it, unless share=True: see
                              #   State.load); checks the name, shape, dtype
    outs = state.run(inputs)  # one tensor per prog.inputs entry (None for one not used); returns one
                              #   per prog.outputs entry
    state.read(name)          # a copy of the weight's current value

    prog.wait_for_kernels(timeout=None)  # waits for the fused kernels; True when they are compiled
    prog.steps                # the steps a run takes now, in order: "lumo.MatMul at program:3:8", ...
    prog.kernels              # dict: ready, regions, fused_ops, compiled, memory_hits, disk_hits,
                              #   failures, entangled, in_place, in_use (runs use the fused plan), seconds,
                              #   failure_reasons

    state.set_collective(fn)  # how the program's collectives reach the other replicas (None: none)
    outs = prog.run(args, collective=fn)
                              # fn(tensor, kind, replica_groups, channel_id) -> tensor

The program is `func.func @main` of the module. Argument kinds come from the attributes:
`tf.parameter_value` makes an argument "embedded" (its value is part of the program),
`tf.resource_name` a "weight" (named by it), otherwise it is an "input" (named by `vx.input_name`,
if present). `arguments`, `results`, `inputs` and `outputs` are built once per Program (tuples).
An argument that is not `used` may be passed as None. Results never share memory with the
arguments or with each other.

A State keeps every weight of the program between runs: after each `state.run` each result that
updates a weight (`tf.aliasing_output`) becomes that weight's value for the next run, inside the
interpreter (the result's tensor itself, neither copied nor handed to Python). So a run's cost
outside the plan depends on the number of inputs and outputs, not on the number of weights. Every
weight must be loaded before the first run. A run frees each updated weight's old value after its
last use, and an optimizer's fused update writes the new value over it, so that a training step
never holds its weights and optimizer state twice (weights loaded with share=True excepted, until
their first update). A run that fails before those last uses changes no weight; one that fails
after them (memory running out in the optimizer's update) names the weights it lost, which must be
loaded again. A Program may have several independent States.

Every attribute of the signature is checked for its kind and range before it is used (a name is a
non-empty string, `tf.aliasing_output` the index of a result of the argument's type, `vx.seed` an
unsigned 64-bit integer, `tf.parameter_value` an elements attribute of the argument's type); a
program nested deeper than 256 brackets, one that uses a value before its definition, and tensor
types of more elements than 64-bit sizes can address are refused too. Arguments must be ordinary
CPU tensors (any strides; a negated view is read as its values); a tensor subclass without data of
its own, a nested, sparse or meta tensor is refused.

A program may hold collectives (lumo.AllReduce): every replica runs the same program, and each
AllReduce combines a value with the other replicas of its group. The interpreter runs one replica and
calls the collective function once per AllReduce, in program order (every replica must issue the same
collectives in the same order), with the GIL held: `fn(tensor, kind, replica_groups, channel_id)`
gets a CPU tensor of its own (a copy of the operand: it may change it in place and return it), the
kind (str: "sum", "prod", "min", "max", "and", "or", "xor"; and/or/xor bitwise, logical on bool),
the groups (list of lists of replica ids) and the operation's channel id (int, 1, 2, ... in program
order), and returns the combined value: a CPU tensor of the operand's shape and dtype. An exception
it raises fails the run with li.Error naming the operation (a State's weights stay as they were).
Without a function, an AllReduce whose groups hold one replica each gives its operand back, and one
over larger groups fails the run.

Fused kernels. Unless fusion is off, planning also finds regions of elementwise operations (Add,
Sub, Mul, Div, Pow, Sqrt, Exp, Log, Tanh, Erf, Sigmoid, Relu and their gradients, Gelu, Clamp,
Compare, Select, Cast, maximum/minimum, ... on f32 and f64, with booleans between them; operands
may broadcast, Reshape is free inside a region) and compiles each into one kernel in a background
thread (MLIR: linalg to LLVM, optimised for the host CPU, loaded into the process; matrix products,
convolutions and reductions stay on ATen's kernels). Runs use the unfused plan until every kernel
is compiled, then the fused one; its results agree with the unfused plan's within float32 rounding
(f32 exp, log, tanh and erf are polynomial approximations). A kernel that fails to compile leaves
its region unfused (`kernels["failure_reasons"]` says why). Identical regions share a kernel, and
compiled kernels are kept on disk for later processes: in $LUMO_KERNEL_CACHE, else
$XDG_CACHE_HOME/orvex/lumo-kernels, else ~/.cache/orvex/lumo-kernels (LUMO_KERNEL_CACHE="" keeps
them in memory only, as does a directory that cannot be written; a damaged file is compiled
again). `fuse=None` (the default) fuses unless the environment has LUMO_FUSION=0; True or False
decide regardless of it.

`run` and `state.run` release the GIL; `run` may be called from several threads at once, runs of
one State take turns. Random operations draw values that depend on vx.seed, their seed attributes
and the number of the run (0, 1, 2, ... per Program, counting the runs of all its States). Errors
(text that does not parse or verify, an operation the interpreter cannot run, arguments of the
wrong shape, an unknown weight name, a failure while running) raise li.Error, a RuntimeError whose
`diagnostics` attribute lists the MLIR diagnostics ("<location>: error: <message>"). Using an
object whose constructor never ran (`Program.__new__(Program)`) raises TypeError.)";

// The Python Program: the interpreter's program and its signature objects, built once.
struct PyProgram {
  std::shared_ptr<lumo::Program> program;
  py::tuple arguments, results, inputs, outputs;
};

PyObject *errorType = nullptr;

std::string typeNameOf(py::handle object) {
  return py::str(py::type::handle_of(object).attr("__qualname__")).cast<std::string>();
}

// A Python collective function as the interpreter calls it, from a thread that does not hold the
// GIL: the call takes the GIL, and a Python exception becomes a C++ one (its text) while the GIL is
// still held. The function object is released with the GIL held too.
lumo::Collective collectiveOf(py::object fn) {
  if (fn.is_none())
    return {};
  if (!PyCallable_Check(fn.ptr()))
    throw py::type_error("the collective function must be callable, got " + typeNameOf(fn));
  std::shared_ptr<py::object> held(new py::object(std::move(fn)), [](py::object *p) {
    py::gil_scoped_acquire gil;
    delete p;
  });
  return [held](at::Tensor operand, const std::string &kind, const std::vector<std::vector<int64_t>> &groups,
                int64_t channel) -> at::Tensor {
    py::gil_scoped_acquire gil;
    std::string failure;
    try {
      py::object result = (*held)(std::move(operand), kind, groups, channel);
      if (THPVariable_Check(result.ptr()))
        return THPVariable_Unpack(result.ptr());
      failure = "the collective function returned " + typeNameOf(result) + ", not a tensor";
    } catch (py::error_already_set &e) {
      failure = "the collective function raised " + typeNameOf(e.value()) + ": " + py::str(e.value()).cast<std::string>();
    }
    throw std::runtime_error(failure);
  };
}

std::string optionalRepr(const std::optional<std::string> &s) {
  return s ? py::repr(py::str(*s)).cast<std::string>() : "None";
}

py::tuple shapeTuple(const std::vector<int64_t> &shape) { return py::cast(shape); }

// None becomes an undefined tensor.
std::vector<at::Tensor> tensorsOf(const std::vector<std::optional<at::Tensor>> &values) {
  std::vector<at::Tensor> tensors;
  tensors.reserve(values.size());
  for (const auto &v : values)
    tensors.push_back(v ? *v : at::Tensor());
  return tensors;
}

// The C++ object behind `self`, an instance of T's Python class. An object whose constructor never
// ran (made with `Program.__new__(Program)`, say) holds no C++ object: pybind would hand out
// uninitialised memory, so it is a TypeError.
template <typename T> T &bound(py::handle self) {
  const py::detail::type_info *info = py::detail::get_type_info(typeid(T), /*throw_if_missing=*/true);
  py::handle type(reinterpret_cast<PyObject *>(info->type));
  if (!py::isinstance(self, type))
    throw py::type_error("expected a " + py::str(type.attr("__qualname__")).cast<std::string>() + ", got " +
                         py::str(py::type::handle_of(self).attr("__qualname__")).cast<std::string>());
  auto *instance = reinterpret_cast<py::detail::instance *>(self.ptr());
  py::detail::value_and_holder v_h = instance->get_value_and_holder(info);
  if (!v_h.holder_constructed())
    throw py::type_error("this lumo_interpreter." + py::str(type.attr("__qualname__")).cast<std::string>() +
                         " was not made by the interpreter (its constructor never ran)");
  return *static_cast<T *>(v_h.value_ptr());
}

// Fusion unless asked otherwise: `fuse` when given, else the environment (LUMO_FUSION=0 turns it off).
bool fusionWanted(const std::optional<bool> &fuse) {
  if (fuse)
    return *fuse;
  const char *env = std::getenv("LUMO_FUSION");
  return !(env && std::string(env) == "0");
}

std::unique_ptr<PyProgram> makeProgram(const std::string &text, std::optional<bool> fuse) {
  std::shared_ptr<lumo::Program> program;
  bool fused = fusionWanted(fuse);
  {
    py::gil_scoped_release release;
    program = std::make_shared<lumo::Program>(text, fused);
  }
  auto self = std::make_unique<PyProgram>();
  self->program = program;
  py::list arguments = py::cast(program->arguments(), py::return_value_policy::copy);
  py::list results = py::cast(program->results(), py::return_value_policy::copy);
  py::list inputs, outputs;
  for (int64_t i : program->inputs())
    inputs.append(arguments[i]);
  for (int64_t r : program->outputs())
    outputs.append(results[r]);
  self->arguments = py::tuple(arguments);
  self->results = py::tuple(results);
  self->inputs = py::tuple(inputs);
  self->outputs = py::tuple(outputs);
  return self;
}

} // namespace

PYBIND11_MODULE(lumo_interpreter, m) {
  py::module_::import("torch");
  m.doc() = kModuleDoc;

  errorType = PyErr_NewExceptionWithDoc("lumo_interpreter.Error",
                                        "A lumo program that cannot be built or run; `diagnostics` lists the MLIR "
                                        "diagnostics.",
                                        PyExc_RuntimeError, nullptr);
  m.add_object("Error", py::handle(errorType));
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p)
        std::rethrow_exception(p);
    } catch (const lumo::Error &e) {
      py::object error = py::reinterpret_borrow<py::object>(errorType)(e.what());
      error.attr("diagnostics") = py::cast(e.diagnostics());
      PyErr_SetObject(errorType, error.ptr());
    }
  });

  // Background compilations end (joined) while the interpreter finalises, before the process's
  // exit handlers destroy the LLVM objects they use.
  m.def("_stop_kernel_compilers", [] {
    py::gil_scoped_release release;
    lumo::stopKernelCompilers();
  });
  py::module_::import("atexit").attr("register")(m.attr("_stop_kernel_compilers"));

  py::class_<lumo::ArgumentInfo>(m, "Argument", "An argument of the program's @main.")
      .def_property_readonly("index", [](py::handle self) { return bound<lumo::ArgumentInfo>(self).index; })
      .def_property_readonly("kind",
                             [](py::handle self) { return lumo::kindName(bound<lumo::ArgumentInfo>(self).kind); })
      .def_property_readonly("name", [](py::handle self) { return bound<lumo::ArgumentInfo>(self).name; })
      .def_property_readonly("shape", [](py::handle self) { return shapeTuple(bound<lumo::ArgumentInfo>(self).shape); })
      .def_property_readonly("dtype", [](py::handle self) { return bound<lumo::ArgumentInfo>(self).dtype; })
      .def_property_readonly("aliasing_output",
                             [](py::handle self) { return bound<lumo::ArgumentInfo>(self).aliasingOutput; })
      .def_property_readonly("used", [](py::handle self) { return bound<lumo::ArgumentInfo>(self).used; })
      .def("__repr__", [](py::handle self) {
        const lumo::ArgumentInfo &a = bound<lumo::ArgumentInfo>(self);
        return "Argument(index=" + std::to_string(a.index) + ", kind='" + lumo::kindName(a.kind) +
               "', name=" + optionalRepr(a.name) + ", shape=" + py::repr(shapeTuple(a.shape)).cast<std::string>() +
               ", dtype=" + py::repr(py::cast(a.dtype)).cast<std::string>() + ", aliasing_output=" +
               (a.aliasingOutput ? std::to_string(*a.aliasingOutput) : "None") + ", used=" + (a.used ? "True" : "False") +
               ")";
      });

  py::class_<lumo::ResultInfo>(m, "Result", "A result of the program's @main.")
      .def_property_readonly("index", [](py::handle self) { return bound<lumo::ResultInfo>(self).index; })
      .def_property_readonly("name", [](py::handle self) { return bound<lumo::ResultInfo>(self).name; })
      .def_property_readonly("shape", [](py::handle self) { return shapeTuple(bound<lumo::ResultInfo>(self).shape); })
      .def_property_readonly("dtype", [](py::handle self) { return bound<lumo::ResultInfo>(self).dtype; })
      .def_property_readonly("updates", [](py::handle self) { return bound<lumo::ResultInfo>(self).updates; })
      .def("__repr__", [](py::handle self) {
        const lumo::ResultInfo &r = bound<lumo::ResultInfo>(self);
        return "Result(index=" + std::to_string(r.index) + ", name=" + optionalRepr(r.name) +
               ", shape=" + py::repr(shapeTuple(r.shape)).cast<std::string>() +
               ", dtype=" + py::repr(py::cast(r.dtype)).cast<std::string>() + ", updates=" + optionalRepr(r.updates) +
               ")";
      });

  py::class_<lumo::State>(m, "State", "The weights of a Program, resident between runs (Program.new_state()).")
      .def(
          "load",
          [](py::handle self, const std::string &name, const at::Tensor &value, bool share) {
            lumo::State &state = bound<lumo::State>(self);
            py::gil_scoped_release release;
            state.load(name, value, share);
          },
          py::arg("name"), py::arg("value"), py::arg("share") = false,
          "Keeps a copy of `value` as the weight `name`; with share=True a contiguous CPU tensor is kept "
          "itself (no copy: the interpreter never writes into it, and the caller must not either).")
      .def(
          "read",
          [](py::handle self, const std::string &name) {
            const lumo::State &state = bound<lumo::State>(self);
            py::gil_scoped_release release;
            return state.read(name);
          },
          py::arg("name"), "A copy of the current value of the weight `name`.")
      .def(
          "run",
          [](py::handle self, const std::vector<std::optional<at::Tensor>> &inputs) {
            lumo::State &state = bound<lumo::State>(self);
            std::vector<at::Tensor> tensors = tensorsOf(inputs);
            py::gil_scoped_release release;
            return state.run(tensors);
          },
          py::arg("inputs"),
          "Runs the program on one tensor per Program.inputs entry with the resident weights, which "
          "take their updates; returns one tensor per Program.outputs entry. A weight's old value is "
          "freed after its last use (the fused kernel of an optimizer's update writes over it): a run "
          "that fails after that raises an error naming the weights it lost, which must be loaded again.")
      .def(
          "set_collective",
          [](py::handle self, py::object fn) {
            lumo::State &state = bound<lumo::State>(self);
            lumo::Collective collective = collectiveOf(std::move(fn));
            py::gil_scoped_release release;
            state.setCollective(std::move(collective));
          },
          py::arg("fn"),
          "Sets the collective function of this State's runs, fn(tensor, kind, replica_groups, "
          "channel_id) -> tensor (None removes it); see the module's documentation.");

  py::class_<PyProgram>(m, "Program", "A lumo module, parsed, verified and planned once; run it many times.")
      // (pybind ignores a second __init__ of a built Program)
      .def(py::init(&makeProgram), py::arg("text"), py::arg("fuse") = py::none())
      .def_property_readonly("arguments", [](py::handle self) { return bound<PyProgram>(self).arguments; })
      .def_property_readonly("results", [](py::handle self) { return bound<PyProgram>(self).results; })
      .def_property_readonly("inputs", [](py::handle self) { return bound<PyProgram>(self).inputs; })
      .def_property_readonly("outputs", [](py::handle self) { return bound<PyProgram>(self).outputs; })
      .def_property_readonly("seed", [](py::handle self) { return bound<PyProgram>(self).program->seed(); })
      .def(
          "run",
          [](py::handle self, const std::vector<std::optional<at::Tensor>> &args, py::object collective) {
            const PyProgram &p = bound<PyProgram>(self);
            std::vector<at::Tensor> tensors = tensorsOf(args);
            lumo::Collective fn = collectiveOf(std::move(collective));
            py::gil_scoped_release release;
            return p.program->run(tensors, fn);
          },
          py::arg("args"), py::arg("collective") = py::none(),
          "Runs the program: one tensor (None for embedded arguments) per argument; `collective` "
          "combines the values of its collectives with the other replicas (see the module's documentation).")
      .def_property_readonly(
          "steps", [](py::handle self) { return bound<PyProgram>(self).program->stepsInUse(); },
          "The steps a run takes now, in order (operation and location; the fused plan once it is in use).")
      .def(
          "wait_for_kernels",
          [](py::handle self, std::optional<double> timeout) {
            const PyProgram &p = bound<PyProgram>(self);
            py::gil_scoped_release release;
            return p.program->waitForKernels(timeout ? *timeout : -1.0);
          },
          py::arg("timeout") = py::none(),
          "Waits until the fused kernels are compiled (at most `timeout` seconds; None: no limit); "
          "returns whether they are (True at once without fusion).")
      .def_property_readonly(
          "kernels",
          [](py::handle self) {
            lumo::KernelStatus k = bound<PyProgram>(self).program->kernels();
            py::dict d;
            d["ready"] = k.ready;
            d["regions"] = k.regions;
            d["fused_ops"] = k.fusedOps;
            d["compiled"] = k.compiled;
            d["memory_hits"] = k.memoryHits;
            d["disk_hits"] = k.diskHits;
            d["failures"] = k.failures;
            d["seconds"] = k.seconds;
            d["entangled"] = k.entangled;
            d["in_place"] = k.inPlace;
            d["in_use"] = k.inUse;
            d["failure_reasons"] = k.failureReasons;
            return d;
          },
          "The fused kernels (a dict): ready, regions, fused_ops, compiled, memory_hits, disk_hits, "
          "failures, entangled (regions left unfused: they depend on another both ways), in_place "
          "(regions that can write a weight's update over its old value), in_use (runs use the fused "
          "plan), seconds, failure_reasons.")
      .def(
          "new_state", [](py::handle self) { return std::make_unique<lumo::State>(bound<PyProgram>(self).program); },
          "A State without weights: load each with State.load, then State.run.");
}
