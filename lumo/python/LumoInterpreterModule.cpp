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
    prog.arguments            # [li.Argument]: index, kind ("input" | "weight" | "embedded"), name,
                              #   shape (tuple), dtype (torch.dtype), aliasing_output (int | None)
    prog.results              # [li.Result]: index, name (vx.output_name or None), shape, dtype,
                              #   updates (name of the weight it replaces, or None)
    prog.seed                 # int: the function's vx.seed (0 when absent)
    outs = prog.run(args)     # one entry per argument: a CPU tensor of its shape and dtype, None for
                              #   "embedded" ones; returns the list of result tensors

The program is `func.func @main` of the module. Argument kinds come from the attributes:
`tf.parameter_value` makes an argument "embedded" (its value is part of the program),
`tf.resource_name` a "weight" (named by it), otherwise it is an "input" (named by `vx.input_name`,
if present). Results never share memory with the arguments or with each other.

`run` releases the GIL and may be called from several threads at once; its random operations draw
values that depend on vx.seed, their seed attributes and the number of the run (0, 1, 2, ... per
Program). Errors (text that does not parse or verify, an operation the interpreter cannot run,
arguments of the wrong shape, a failure while running) raise li.Error, a RuntimeError whose
`diagnostics` attribute lists the MLIR diagnostics ("<location>: error: <message>").)";

PyObject *errorType = nullptr;

std::string optionalRepr(const std::optional<std::string> &s) {
  return s ? py::repr(py::str(*s)).cast<std::string>() : "None";
}

py::tuple shapeTuple(const std::vector<int64_t> &shape) { return py::cast(shape); }

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
      .def("__repr__", [](const lumo::ArgumentInfo &a) {
        return "Argument(index=" + std::to_string(a.index) + ", kind='" + lumo::kindName(a.kind) +
               "', name=" + optionalRepr(a.name) + ", shape=" + py::repr(shapeTuple(a.shape)).cast<std::string>() +
               ", dtype=" + py::repr(py::cast(a.dtype)).cast<std::string>() + ", aliasing_output=" +
               (a.aliasingOutput ? std::to_string(*a.aliasingOutput) : "None") + ")";
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

  py::class_<lumo::Program>(m, "Program", "A lumo module, parsed, verified and planned once; run it many times.")
      .def(py::init([](const std::string &text) {
             py::gil_scoped_release release;
             return std::make_unique<lumo::Program>(text);
           }),
           py::arg("text"))
      .def_property_readonly("arguments", &lumo::Program::arguments)
      .def_property_readonly("results", &lumo::Program::results)
      .def_property_readonly("seed", &lumo::Program::seed)
      .def(
          "run",
          [](const lumo::Program &program, const std::vector<std::optional<at::Tensor>> &args) {
            std::vector<at::Tensor> tensors;
            tensors.reserve(args.size());
            for (const auto &a : args)
              tensors.push_back(a ? *a : at::Tensor());
            py::gil_scoped_release release;
            return program.run(tensors);
          },
          py::arg("args"), "Runs the program: one tensor (None for embedded arguments) per argument.");
}
