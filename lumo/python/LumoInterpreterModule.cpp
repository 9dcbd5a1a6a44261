// The Python module lumo_interpreter: lumo::Program for Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <torch/csrc/utils/pybind.h>

#include "Program.h"

namespace py = pybind11;

namespace {

const char *kModuleDoc = R"(Runs lumo programs on the CPU with PyTorch's ATen kernels.

    import lumo_interpreter as li
    prog = li.Program(text)   # parses, verifies and plans a lumo module; raises li.Error
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
    state.load(name, tensor)  # once per weight (copies the tensor); checks the name, shape, dtype
    outs = state.run(inputs)  # one tensor per prog.inputs entry (None for one not used); returns one
                              #   per prog.outputs entry
    state.read(name)          # a copy of the weight's current value

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
weight must be loaded before the first run; a run that fails changes no weight. A Program may have
several independent States.

`run` and `state.run` release the GIL; `run` may be called from several threads at once, runs of
one State take turns. Random operations draw values that depend on vx.seed, their seed attributes
and the number of the run (0, 1, 2, ... per Program, counting the runs of all its States). Errors
(text that does not parse or verify, an operation the interpreter cannot run, arguments of the
wrong shape, an unknown weight name, a failure while running) raise li.Error, a RuntimeError whose
`diagnostics` attribute lists the MLIR diagnostics ("<location>: error: <message>").)";

// The Python Program: the interpreter's program and its signature objects, built once.
struct PyProgram {
  std::shared_ptr<lumo::Program> program;
  py::tuple arguments, results, inputs, outputs;
};

PyObject *errorType = nullptr;

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

  py::class_<lumo::ArgumentInfo>(m, "Argument", "An argument of the program's @main.")
      .def_readonly("index", &lumo::ArgumentInfo::index)
      .def_property_readonly("kind", [](const lumo::ArgumentInfo &a) { return lumo::kindName(a.kind); })
      .def_readonly("name", &lumo::ArgumentInfo::name)
      .def_property_readonly("shape", [](const lumo::ArgumentInfo &a) { return shapeTuple(a.shape); })
      .def_readonly("dtype", &lumo::ArgumentInfo::dtype)
      .def_readonly("aliasing_output", &lumo::ArgumentInfo::aliasingOutput)
      .def_readonly("used", &lumo::ArgumentInfo::used)
      .def("__repr__", [](const lumo::ArgumentInfo &a) {
        return "Argument(index=" + std::to_string(a.index) + ", kind='" + lumo::kindName(a.kind) +
               "', name=" + optionalRepr(a.name) + ", shape=" + py::repr(shapeTuple(a.shape)).cast<std::string>() +
               ", dtype=" + py::repr(py::cast(a.dtype)).cast<std::string>() + ", aliasing_output=" +
               (a.aliasingOutput ? std::to_string(*a.aliasingOutput) : "None") + ", used=" + (a.used ? "True" : "False") +
               ")";
      });

  py::class_<lumo::ResultInfo>(m, "Result", "A result of the program's @main.")
      .def_readonly("index", &lumo::ResultInfo::index)
      .def_readonly("name", &lumo::ResultInfo::name)
      .def_property_readonly("shape", [](const lumo::ResultInfo &r) { return shapeTuple(r.shape); })
      .def_readonly("dtype", &lumo::ResultInfo::dtype)
      .def_readonly("updates", &lumo::ResultInfo::updates)
      .def("__repr__", [](const lumo::ResultInfo &r) {
        return "Result(index=" + std::to_string(r.index) + ", name=" + optionalRepr(r.name) +
               ", shape=" + py::repr(shapeTuple(r.shape)).cast<std::string>() +
               ", dtype=" + py::repr(py::cast(r.dtype)).cast<std::string>() + ", updates=" + optionalRepr(r.updates) +
               ")";
      });

  py::class_<lumo::State>(m, "State", "The weights of a Program, resident between runs (Program.new_state()).")
      .def(
          "load",
          [](lumo::State &state, const std::string &name, const at::Tensor &value) {
            py::gil_scoped_release release;
            state.load(name, value);
          },
          py::arg("name"), py::arg("value"), "Keeps a copy of `value` as the weight `name`.")
      .def(
          "read",
          [](const lumo::State &state, const std::string &name) {
            py::gil_scoped_release release;
            return state.read(name);
          },
          py::arg("name"), "A copy of the current value of the weight `name`.")
      .def(
          "run",
          [](lumo::State &state, const std::vector<std::optional<at::Tensor>> &inputs) {
            std::vector<at::Tensor> tensors = tensorsOf(inputs);
            py::gil_scoped_release release;
            return state.run(tensors);
          },
          py::arg("inputs"),
          "Runs the program on one tensor per Program.inputs entry with the resident weights, which "
          "take their updates; returns one tensor per Program.outputs entry.");

  py::class_<PyProgram>(m, "Program", "A lumo module, parsed, verified and planned once; run it many times.")
      .def(py::init([](const std::string &text) {
             std::shared_ptr<lumo::Program> program;
             {
               py::gil_scoped_release release;
               program = std::make_shared<lumo::Program>(text);
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
           }),
           py::arg("text"))
      .def_readonly("arguments", &PyProgram::arguments)
      .def_readonly("results", &PyProgram::results)
      .def_readonly("inputs", &PyProgram::inputs)
      .def_readonly("outputs", &PyProgram::outputs)
      .def_property_readonly("seed", [](const PyProgram &p) { return p.program->seed(); })
      .def(
          "run",
          [](const PyProgram &p, const std::vector<std::optional<at::Tensor>> &args) {
            std::vector<at::Tensor> tensors = tensorsOf(args);
            py::gil_scoped_release release;
            return p.program->run(tensors);
          },
          py::arg("args"), "Runs the program: one tensor (None for embedded arguments) per argument.")
      .def(
          "new_state", [](const PyProgram &p) { return std::make_unique<lumo::State>(p.program); },
          "A State without weights: load each with State.load, then State.run.");
}
