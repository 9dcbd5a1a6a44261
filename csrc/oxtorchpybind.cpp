// The Python module: its entry, function table, and the bridge from messages to Python logging.
#include <cstdio>
#include <iostream>
#include <optional>
#include <unordered_map>

#include <torch/csrc/lazy/backend/backend_device.h>
#include <torch/csrc/lazy/core/config.h>
#include <torch/csrc/utils/pybind.h>

#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include "appliance.h"
#include "backend_data.h"
#include "backend_impl.h"
#include "lazy_graph_executor.h"
#include "torch_mlir_ltc/utils/sys_utils.h"
#include "utils.h"

namespace py = pybind11;

namespace {

// Sends every message to the Python logger "<root_name>.<channel>" at the message's level.
class PythonMessageHandler : public orvex::MessageHandler {
 public:
  explicit PythonMessageHandler(std::string root) : root_name(std::move(root)) {}
  ~PythonMessageHandler() override {
    if (!Py_IsInitialized()) {
      // Too late to give the loggers back; leave them to the process's end.
      for (auto& entry : loggers) entry.second.release();
      return;
    }
    py::gil_scoped_acquire gil;
    loggers.clear();
  }

  void set_default_level(orvex::MessageLevel level) override {
    py::gil_scoped_acquire gil;
    py::module_::import("logging").attr("getLogger")(root_name).attr("setLevel")(
        static_cast<int>(level));
  }

  bool will_print(const orvex::Message& message) const override {
    py::gil_scoped_acquire gil;
    return get_logger(message).attr("isEnabledFor")(static_cast<int>(message.level())).cast<bool>();
  }

  void print_string(const orvex::Message& message, const std::string& text) const override {
    py::gil_scoped_acquire gil;
    py::object logger = get_logger(message);
    // No arguments follow the text, so logging applies no %-formatting to it.
    logger.attr("log")(static_cast<int>(message.level()), py::str(text));
  }

  py::object get_logger(const orvex::Message& message) const {
    auto it = loggers.find(&message);
    if (it != loggers.end()) return it->second;
    py::object logger = py::module_::import("logging").attr("getLogger")(get_logger_name(message));
    loggers.emplace(&message, logger);
    return logger;
  }

  std::string get_logger_name(const orvex::Message& message) const {
    return message.loggername().empty() ? root_name : root_name + "." + message.loggername();
  }

 private:
  const std::string root_name;
  mutable std::unordered_map<const orvex::Message*, py::object> loggers;
};

// Lets the message manager drop the interpreter lock of the calling thread while it waits for its
// own mutex, so a thread inside the Python handler can always get the interpreter lock.
void* release_interpreter_lock() {
  if (!Py_IsInitialized() || _PyThreadState_UncheckedGet() == nullptr || !PyGILState_Check()) {
    return nullptr;
  }
  return PyEval_SaveThread();
}

void reacquire_interpreter_lock(void* token) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

void Initialize(std::optional<bool> ir_debug) {
  orvex::MessageManager::get().set_handler(std::make_unique<PythonMessageHandler>("orvex"));

  torch::lazy::InitOrvexBackend();

  if (torch::lazy::GetOrvexBackendImpl() != torch::lazy::getBackend()) {
    std::cerr << "Failed to initialize Orvex Lazy Backend" << std::endl;
    throw std::runtime_error("Failed to initialize Orvex Lazy Backend");
  }
  mFwLtcDebug << "Orvex PyTorch Plugin Initialized.";

  FLAGS_torch_lazy_device_data_cache_size = 0;
  FLAGS_torch_lazy_ir_debug =
      ir_debug.has_value() ? *ir_debug : sys_util::GetEnvBool("LTC_IR_DEBUG", false);
  if (FLAGS_torch_lazy_ir_debug) {
    mFwLtcDebug << "Enabled lazy tensor IR debugging.";
  }
}

void Shutdown() {}

}  // namespace

PYBIND11_MODULE(orvex_pytorch_lib, m) {
  orvex::MessageManager::get().set_outer_lock_hooks(
      {&release_interpreter_lock, &reacquire_interpreter_lock});
  py::module_::import("torch");

  m.doc() = "pybind11 for Orvex PyTorch support.";

  m.def("initialize", &Initialize, py::arg("ir_debug") = py::none(),
        py::call_guard<py::gil_scoped_release>());
  m.def("shutdown", &Shutdown, py::call_guard<py::gil_scoped_release>());
  m.def("set_scope_name", [](std::string scope_name) {
    std::swap(scope_name, torch::lazy::g_scope_name);
    return scope_name;
  }, py::arg("scope_name"));
  m.def("set_rng_state", [](uint64_t seed) {
    torch::lazy::GetOrvexLazyGraphExecutor()->SetRngSeed(torch::lazy::BackendDevice(), seed);
  }, py::arg("seed"));
  m.def("retrace_every_iteration", [](bool retrace) {
    torch::lazy::retrace_every_iteration = retrace;
  }, py::arg("retrace_every_iteration"));
  m.def("set_artifact_dirs", [](const std::string& artifact_dir, const std::string& device_data_dir) {
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(artifact_dir, device_data_dir);
  }, py::arg("artifact_dir"), py::arg("device_data_dir"));
  m.def("set_callbacks", [](orvex::ApplianceMode::compile_callback compile,
                            orvex::ApplianceMode::execute_callback execute) {
    torch::lazy::GetOrvexBackendAppliance()->set_callbacks(std::move(compile), std::move(execute));
  }, py::arg("compile_callback"), py::arg("execute_callback"));

  py::class_<torch::lazy::ApplianceDataInfo, std::shared_ptr<torch::lazy::ApplianceDataInfo>>(
      m, "ApplianceDataInfo");
}
