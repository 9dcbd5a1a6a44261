// The Python module: its entry, function table, and the bridge from messages to Python logging.
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <iostream>
#include <optional>
#include <unordered_map>

#include <torch/csrc/lazy/backend/backend_device.h>
#include <ATen/FunctionalTensorWrapper.h>
#include <torch/csrc/lazy/core/config.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/csrc/utils/pybind.h>

#include <pybind11/stl.h>

#include "appliance.h"
#include "backend_data.h"
#include "backend_impl.h"
#include "computation.h"
#include "lazy_graph_executor.h"
#include "mlir_utils.h"
#include <mlir-c/BuiltinAttributes.h>
#include <mlir-c/BuiltinTypes.h>
#include "ox_metadata.h"
#include "torch_mlir_ltc/mlir_node.h"
#include "torch_mlir_ltc/ops/device_data.h"
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
    static PyObject* const method = PyUnicode_InternFromString("isEnabledFor");
    py::object enabled = call_logger(message, method, nullptr);
    const int truth = PyObject_IsTrue(enabled.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
  }

  void print_string(const orvex::Message& message, const std::string& text) const override {
    py::gil_scoped_acquire gil;
    static PyObject* const method = PyUnicode_InternFromString("log");
    py::object str = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (!str) throw py::error_already_set();
    // No arguments follow the text, so logging applies no %-formatting to it.
    call_logger(message, method, str.ptr());
  }

  // `logger.<method>(level)`, or `logger.<method>(level, extra)` when `extra` is given, on the
  // message's logger. Runs for every message, often several times per traced operation, hence the
  // C API with interned method names rather than pybind11's attribute proxies.
  py::object call_logger(const orvex::Message& message, PyObject* method, PyObject* extra) const {
    py::object logger = get_logger(message);
    py::object level = py::reinterpret_steal<py::object>(
        PyLong_FromLong(static_cast<long>(message.level())));
    if (!level) throw py::error_already_set();
    PyObject* result =
        PyObject_CallMethodObjArgs(logger.ptr(), method, level.ptr(), extra, nullptr);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
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


// ---------------------------------------------------------------- tensors and their records

torch::lazy::BackendDevice RequireLazyDevice(const at::Tensor& tensor) {
  auto device = torch::lazy::GetBackendDevice(tensor);
  TORCH_CHECK(device);
  return *device;
}

torch::lazy::TorchMlirNode* GetMlirNode(const at::Tensor& tensor, size_t* output = nullptr) {
  auto device = RequireLazyDevice(tensor);
  auto lazy = torch::lazy::GetLtcTensorOrCreateForWrappedNumber(tensor, device);
  torch::lazy::Value value = lazy->GetIrValue();
  if (output != nullptr) *output = value.index;
  return dynamic_cast<torch::lazy::TorchMlirNode*>(value.node.get());
}

torch::lazy::BackendDataPtr GetBackendData(const at::Tensor& tensor) {
  torch::lazy::GetOrvexBackendImpl();
  torch::lazy::TorchMlirNode* node = GetMlirNode(tensor);
  while (node != nullptr) {
    if (auto& data = torch::lazy::OrvexMetadata::get(node)->data) return data;
    if (auto* device_data = torch::lazy::DeviceData::Cast(node)) {
      if (device_data->data()) return device_data->data();
      return nullptr;
    }
    if (node->op() != torch::lazy::OpKind(at::aten::detach_copy)) return nullptr;
    node = node->mlir_node(0);
  }
  return nullptr;
}

std::string GetTensorInfo(const at::Tensor& tensor) {
  auto device = RequireLazyDevice(tensor);
  auto lazy = torch::lazy::GetLtcTensorOrCreateForWrappedNumber(tensor, device);
  std::ostringstream ss;
  ss << "[" << lazy->GetUniqueId() << "]";
  torch::lazy::Value value = lazy->GetIrValue();
  if (value.node) ss << ": " << value.node->ToString();
  return ss.str();
}

// The record behind a tensor's backend data; `record_kind` names the expected record in the error.
torch::lazy::ApplianceDataInfo* GetRecord(const at::Tensor& tensor, const char* record_kind) {
  torch::lazy::BackendDataPtr data = GetBackendData(tensor);
  if (!data) {
    throw std::runtime_error(
        "New output detected outside of compile step: " + GetTensorInfo(tensor) +
        ". Please ensure that all outputs are constructed and either returned from the compile "
        "step function or passed into a step closure inside the compile step function.");
  }
  auto* backend_data = dynamic_cast<torch::lazy::TorchMlirBackendData*>(data.get());
  TORCH_CHECK(backend_data != nullptr, "Invalid Backend Data Pointer. Expected OrvexBackendData.");
  auto* info = dynamic_cast<torch::lazy::ApplianceDataInfo*>(backend_data->mlir_info());
  TORCH_CHECK(info != nullptr, "Invalid Backend Data Pointer. Expected ", record_kind, ".");
  return info;
}

torch::lazy::ApplianceDataInfo* GetApplianceData(const at::Tensor& tensor) {
  return GetRecord(tensor, "ApplianceDataInfo");
}

std::string GetTensorName(const at::Tensor& tensor) {
  return GetRecord(tensor, "ApplianceDataInfo")->name;
}

bool IsWeightTensor(const at::Tensor& tensor) {
  return GetRecord(tensor, "OrvexTensorDataInfo")->is_weight;
}

void CopyApplianceData(const at::Tensor& src, const at::Tensor& dst) {
  torch::lazy::ApplianceDataInfo* dst_info = GetRecord(dst, "ApplianceDataInfo");
  torch::lazy::ApplianceDataInfo* src_info = GetApplianceData(src);
  // The destination's record would otherwise hold data of another shape than its tensor.
  TORCH_CHECK(src.scalar_type() == dst.scalar_type() && src.sizes() == dst.sizes(),
              "copy_appliance_data: the source is ", src.scalar_type(), src.sizes(),
              " but the destination is ", dst.scalar_type(), dst.sizes(),
              "; the data can only be shared between tensors of one shape and element type.");
  dst_info->share_storage(*src_info);
}

bool SetTensorName(const at::Tensor& tensor, const std::string& name) {
  torch::lazy::TorchMlirNode* node = GetMlirNode(tensor);
  if (node == nullptr) return false;
  torch::lazy::OrvexMetadata::get(node)->name = name;
  return true;
}

at::Tensor WrapLazyData(std::shared_ptr<torch::lazy::TorchMlirBackendData> data) {
  return at::functionalization::impl::to_functional_tensor(
      torch::lazy::CreateAtenFromLtcTensor(torch::lazy::LazyTensor::Create(data)));
}

// Lazy data is made from host data only: a CPU tensor with strided layout.
void RequireHostTensor(const at::Tensor& tensor, const char* function) {
  TORCH_CHECK(tensor.defined(), function, " expects a CPU tensor, but got an undefined tensor.");
  TORCH_CHECK(tensor.device().is_cpu() && tensor.layout() == at::kStrided, function,
              " expects a CPU tensor with strided layout, but got a tensor on device ",
              tensor.device(), " with layout ", tensor.layout(), ".");
}

at::Tensor EagerToLazy(const at::Tensor& tensor) {
  torch::lazy::RequireOrvexBackend();
  RequireHostTensor(tensor, "eager_to_lazy");
  auto info = std::make_shared<torch::lazy::ApplianceDataInfo>(tensor);
  torch::lazy::Shape shape(tensor.scalar_type(), tensor.sizes());
  torch::lazy::BackendDevice device(std::make_shared<torch::lazy::OrvexBackendDeviceType>(), 0);
  return WrapLazyData(std::make_shared<torch::lazy::TorchMlirBackendData>(device, shape, info));
}

// A lazy device-data tensor of the tensor's shape and dtype whose record holds no data, whatever its
// size (eager_to_lazy keeps the data of one-element tensors).
at::Tensor EmptyData(const at::Tensor& like) {
  torch::lazy::RequireOrvexBackend();
  torch::lazy::Shape shape(like.scalar_type(), like.sizes());
  torch::lazy::BackendDevice device(std::make_shared<torch::lazy::OrvexBackendDeviceType>(), 0);
  return WrapLazyData(std::make_shared<torch::lazy::TorchMlirBackendData>(
      device, shape, std::make_shared<torch::lazy::ApplianceDataInfo>()));
}

at::Tensor CloneTensor(const at::Tensor& tensor) {
  torch::lazy::RequireOrvexBackend();
  auto lazy_tensor = torch::lazy::TryGetLtcTensor(tensor);
  TORCH_CHECK(lazy_tensor);
  auto device = torch::lazy::GetBackendDevice(tensor);
  TORCH_CHECK(device);
  torch::lazy::ApplianceDataInfo* appliance_info = GetApplianceData(tensor);
  TORCH_CHECK(appliance_info);
  auto cloned = std::make_shared<torch::lazy::ApplianceDataInfo>(*appliance_info);
  TORCH_CHECK(cloned);
  return WrapLazyData(
      std::make_shared<torch::lazy::TorchMlirBackendData>(*device, lazy_tensor->shape(), cloned));
}


bool SetAlias(at::Tensor tensor, const std::string& name) {
  size_t output = 0;
  torch::lazy::TorchMlirNode* node = GetMlirNode(tensor, &output);
  if (node == nullptr) return false;
  torch::lazy::MarkOutputTensor(tensor);
  torch::lazy::OrvexMetadata::get(node)->alias_name_of(output) = name;
  return true;
}

// Attaches `attr` under `name` to the device-data node behind `tensor`; an attribute set earlier
// under the same name is kept.
bool SetAttribute(const at::Tensor& tensor, const std::string& name, const MlirAttribute& attr) {
  torch::lazy::DeviceData* node = torch::lazy::device_data_cast(tensor);
  if (node == nullptr) {
    throw std::runtime_error("Orvex backend internal error: device_data_cast failed tensor (" +
                             GetTensorInfo(tensor) + ").");
  }
  torch::lazy::OrvexMetadata::get(node)->attrs.emplace(name, attr);
  return true;
}

// numpy's bool scalar: not an int, but a truth value.
bool IsNumpyBool(const py::handle& value) {
  const char* name = Py_TYPE(value.ptr())->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Whether `value` is registered with the abstract number class `kind` of Python's `numbers`
// module (numpy's scalars are).
bool IsNumber(const py::handle& value, const char* kind) {
  const int result = PyObject_IsInstance(value.ptr(), py::module_::import("numbers").attr(kind).ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

MlirAttribute ToMlirAttribute(const py::object& value) {
  MlirContext ctx = torch::lazy::GetMlirContext();
  if (Py_TYPE(value.ptr()) == &PyBool_Type || IsNumpyBool(value)) {
    return mlirBoolAttrGet(ctx, value.ptr() == Py_True || py::bool_(value));
  }
  if (py::isinstance<py::int_>(value) || IsNumber(value, "Integral")) {
    return mlirIntegerAttrGet(mlirIntegerTypeGet(ctx, 32), py::int_(value).cast<int32_t>());
  }
  if (py::isinstance<py::float_>(value) || IsNumber(value, "Real")) {
    const double number = py::float_(value).cast<double>();
    // Like an int that does not fit in 32 bits, a float that f32 cannot hold is refused, rather
    // than stored as an infinity or a zero.
    if (std::isfinite(number) &&
        (std::fabs(number) > std::numeric_limits<float>::max() ||
         (number != 0.0 && static_cast<float>(number) == 0.0f))) {
      throw std::runtime_error("set_attribute: " + py::repr(value).cast<std::string>() +
                               " does not fit in a 32-bit float attribute.");
    }
    return mlirFloatAttrDoubleGet(ctx, mlirF32TypeGet(ctx), static_cast<float>(number));
  }
  std::string text = py::str(value);
  return mlirStringAttrGet(ctx, toMlirStringRef(text));
}

// MLIR accepts an argument attribute only under a dialect prefix ("my.flag"); any other name
// would make the program fail verification long after this call.
void CheckAttributeName(const std::string& name) {
  const size_t dot = name.find('.');
  bool valid = dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
               name.find('\0') == std::string::npos &&
               (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_');
  for (size_t i = 1; valid && i < dot; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    valid = std::isalnum(c) || c == '_' || c == '$';
  }
  if (!valid) {
    throw std::invalid_argument(
        "set_attribute: invalid attribute name " + py::repr(py::str(name)).cast<std::string>() +
        ". An attribute name needs a dialect prefix followed by a dot and a name, as in "
        "\"my.flag\".");
  }
}

at::Tensor MakeConstant(const at::Tensor& tensor) {
  if (torch::lazy::GetBackendDevice(tensor)) {
    torch::lazy::DeviceData* node = torch::lazy::device_data_cast(tensor);
    if (node != nullptr && torch::lazy::OrvexMetadata::get(node)->attrs.count("vx.is_constant")) {
      return tensor;
    }
    throw std::runtime_error("Orvex backend detected make_constant call on lazy tensor (" +
                             GetTensorInfo(tensor) +
                             ") which is not allowed. Please make sure that make_constant is "
                             "called with CPU tensor.");
  }
  torch::lazy::RequireOrvexBackend();
  RequireHostTensor(tensor, "make_constant");
  // Fails now for an element type the program cannot embed, rather than at compile time.
  aten_type_to_mlir(tensor.scalar_type(), torch::lazy::GetMlirContext());
  // The data store must keep a constant's data: execution embeds it in the program.
  auto& config = torch::lazy::ApplianceDataInfo::config;
  const bool saved = config.enabled;
  config.enabled = true;
  at::Tensor result;
  try {
    result = EagerToLazy(tensor);
  } catch (...) {
    config.enabled = saved;
    throw;
  }
  config.enabled = saved;
  SetAttribute(result, "vx.is_constant", mlirBoolAttrGet(torch::lazy::GetMlirContext(), true));
  return result;
}

// ------------------------------------------------------------------------------- callbacks

// A Python exception raised by a callback. LTC keeps the exception of a failed step and raises it
// again when the next step starts: the Python exception itself is handed back the first time only
// (handing it back twice would abort the process), later raises report it as an earlier failure.
class CallbackError : public std::exception {
 public:
  CallbackError(const char* callback, py::error_already_set error)
      : state_(std::make_shared<State>(callback, std::move(error))) {}
  const char* what() const noexcept override { return state_->error.what(); }

  // Sets the Python error for this exception.
  void restore() const {
    if (!state_->restored.exchange(true)) {
      state_->error.restore();
      return;
    }
    const std::string text = std::string("The ") + state_->callback +
                             " callback failed in an earlier step (" + what() +
                             "); this step cannot run.";
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
  }

 private:
  struct State {
    State(const char* callback, py::error_already_set error)
        : callback(callback), error(std::move(error)) {}
    const char* callback;
    py::error_already_set error;
    std::atomic<bool> restored{false};
  };
  std::shared_ptr<State> state_;
};

// A Python callable held by native code; the last owner gives it back under the interpreter lock.
std::shared_ptr<py::object> HoldCallable(py::function function) {
  return std::shared_ptr<py::object>(new py::object(std::move(function)), [](py::object* held) {
    if (!Py_IsInitialized()) {
      held->release();  // too late to give it back
      delete held;
      return;
    }
    py::gil_scoped_acquire gil;
    delete held;
  });
}

std::string TypeName(const py::handle& value) {
  return py::str(py::type::handle_of(value).attr("__qualname__")).cast<std::string>();
}

// Calls a callback with the interpreter lock; a Python exception becomes a CallbackError.
template <typename... Args>
py::object CallCallback(const char* name, const py::object& callback, Args&&... args) {
  try {
    return callback(std::forward<Args>(args)...);
  } catch (py::error_already_set& error) {
    throw CallbackError(name, std::move(error));
  }
}

orvex::ApplianceMode::compile_callback MakeCompileCallback(std::optional<py::function> function) {
  if (!function) return nullptr;
  std::shared_ptr<py::object> callback = HoldCallable(std::move(*function));
  return [callback](int64_t batch_size, const std::string& program) {
    py::gil_scoped_acquire gil;
    py::object result = CallCallback("compile", *callback, batch_size, py::str(program));
    if (result.ptr() == Py_True) return true;
    if (result.ptr() == Py_False || result.is_none()) return false;
    // Objects that define their own truth value (numbers, numpy's bools) count by it.
    PyNumberMethods* number = Py_TYPE(result.ptr())->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      throw py::type_error("The compile callback returned a value of type " + TypeName(result) +
                           "; it must return a bool (True when the program compiled).");
    }
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
  };
}

orvex::ApplianceMode::execute_callback MakeExecuteCallback(std::optional<py::function> function) {
  if (!function) return nullptr;
  std::shared_ptr<py::object> callback = HoldCallable(std::move(*function));
  return [callback](int64_t batch_size,
                    const std::vector<torch::lazy::ApplianceDataInfo*>& weights) {
    py::gil_scoped_acquire gil;
    // The live records, shared with the backend data.
    py::list records;
    for (torch::lazy::ApplianceDataInfo* weight : weights) {
      records.append(py::cast(weight->shared_from_this()));
    }
    py::object result = CallCallback("execute", *callback, batch_size, records);
    const char* expected = "; it must return a set of str (the names of the weights the "
                           "appliance skipped).";
    if (!PyAnySet_Check(result.ptr())) {
      throw py::type_error("The execute callback returned a value of type " + TypeName(result) +
                           expected);
    }
    std::unordered_set<std::string> skipped;
    for (py::handle name : result) {
      if (!PyUnicode_Check(name.ptr())) {
        throw py::type_error("The execute callback returned a set holding a value of type " +
                             TypeName(name) + expected);
      }
      skipped.insert(name.cast<std::string>());
    }
    return skipped;
  };
}

// ------------------------------------------------------------------- data-store configuration

using Config = torch::lazy::ApplianceDataInfo::Config;

// The largest stream buffer a data-file write may ask for.
constexpr int64_t kMaxStreamBufferSize = int64_t(1) << 30;

// The range a numeric field of the configuration accepts.
struct ConfigLimit {
  const char* field;
  int64_t low;
  int64_t high;
};
const ConfigLimit kMaxBytesInMemory{"max_bytes_in_memory", 0, INT64_MAX};
const ConfigLimit kMaxTensorSize{"max_tensor_size", 0, INT64_MAX};
const ConfigLimit kStreamBufferSize{"stream_buffer_size", 0, kMaxStreamBufferSize};
const ConfigLimit kMaxAsyncFileWrites{"max_async_file_writes", 1, INT32_MAX};

template <typename T>
void CheckConfigValue(const ConfigLimit& limit, T value) {
  if (value < limit.low || value > limit.high) {
    throw py::value_error("appliance_file_config." + std::string(limit.field) + " must be between " +
                          std::to_string(limit.low) + " and " + std::to_string(limit.high) +
                          ", got " + std::to_string(value) + ".");
  }
}

// A read-write field whose setter refuses values outside the limit and then changes nothing.
template <typename T>
void DefCheckedField(py::class_<Config>& cls, const ConfigLimit& limit, T Config::*member) {
  cls.def_property(
      limit.field, [member](const Config& config) { return config.*member; },
      [member, limit](Config& config, T value) {
        CheckConfigValue(limit, value);
        config.*member = value;
      });
}

py::tuple ConfigState(const Config& c) {
  return py::make_tuple(c.enabled, c.max_bytes_in_memory, c.max_tensor_size, c.stream_buffer_size,
                        c.async_file_write, c.max_async_file_writes, c.delete_file_on_destruct);
}

// Sets every field from a pickled state, or none: all items are converted and checked first.
void SetConfigState(Config& config, const py::tuple& t) {
  if (t.size() != 7) {
    throw std::runtime_error(
        "Unable to load pickled object for ApplianceDataInfo::Config. Please check "
        "that all Config fields were saved in __getstate__ method.");
  }
  Config c;
  c.enabled = t[0].cast<bool>();
  c.max_bytes_in_memory = t[1].cast<int64_t>();
  c.max_tensor_size = t[2].cast<int64_t>();
  c.stream_buffer_size = t[3].cast<int64_t>();
  c.async_file_write = t[4].cast<bool>();
  c.max_async_file_writes = t[5].cast<int32_t>();
  c.delete_file_on_destruct = t[6].cast<bool>();
  CheckConfigValue(kMaxBytesInMemory, c.max_bytes_in_memory);
  CheckConfigValue(kMaxTensorSize, c.max_tensor_size);
  CheckConfigValue(kStreamBufferSize, c.stream_buffer_size);
  CheckConfigValue(kMaxAsyncFileWrites, c.max_async_file_writes);
  config = c;
}

// Replaces a class's __new__: `make(cls)` returns the new object (or throws).
void SetNew(py::handle cls, py::object (*make)(py::handle)) {
  cls.attr("__new__") = py::staticmethod(py::cpp_function(
      [make](py::handle type, py::args, py::kwargs) { return make(type); }));
}

}  // namespace

PYBIND11_MODULE(orvex_pytorch_lib, m) {
  orvex::MessageManager::get().set_outer_lock_hooks(
      {&release_interpreter_lock, &reacquire_interpreter_lock});
  py::module_::import("torch");

  m.doc() = "pybind11 for Orvex PyTorch support.";

  m.def("initialize", &Initialize, py::arg("ir_debug") = py::none(),
        py::call_guard<py::gil_scoped_release>());
  m.def("shutdown", &Shutdown, py::call_guard<py::gil_scoped_release>());
  m.def("set_parameter_name", [](const at::Tensor& tensor, const std::string& name) {
    torch::lazy::DeviceData* node = torch::lazy::device_data_cast(tensor);
    if (node == nullptr) return false;
    node->SetName(name);
    return true;
  });
  m.def("set_tensor_name", &SetTensorName, py::arg("tensor"), py::arg("name") = "");
  m.def("mark_output_tensor", [](const at::Tensor& tensor, const std::string& name, bool force) {
    at::Tensor result = torch::lazy::MarkOutputTensor(tensor, force);
    size_t output = 0;
    if (torch::lazy::TorchMlirNode* node = GetMlirNode(result, &output)) {
      torch::lazy::OrvexMetadata::get(node)->name_of(output) = name;
    } else {
      mFwLtcDebug << "Could not set name " << name << " for " << "tensor " << GetTensorInfo(result);
    }
    return result;
  }, py::arg("tensor"), py::arg("name") = "", py::arg("force") = false);
  m.def("set_alias", &SetAlias, py::arg("tensor"), py::arg("name"));
  m.def("make_constant", &MakeConstant, py::arg("tensor"));
  m.def("set_attribute", [](const at::Tensor& tensor, const std::string& name, py::object value) {
    CheckAttributeName(name);
    return SetAttribute(tensor, name, ToMlirAttribute(value));
  }, py::arg("tensor"), py::arg("name"), py::arg("value"));
  m.def("get_unique_id", [](const at::Tensor& tensor) -> int64_t {
    RequireLazyDevice(tensor);
    auto lazy = torch::lazy::TryGetLtcTensor(tensor);
    return lazy ? lazy->GetUniqueId() : -1;
  });
  m.def("get_tensor_info", &GetTensorInfo, py::arg("tensor"));
  m.def("get_tensor_name", &GetTensorName, py::arg("tensor"));
  m.def("is_weight_tensor", &IsWeightTensor, py::arg("tensor"));
  m.def("get_appliance_data", [](const at::Tensor& tensor) {
    // Shared with the backend data: the Python object keeps the record alive.
    return GetApplianceData(tensor)->shared_from_this();
  }, py::arg("tensor"));
  m.def("set_scope_name", [](std::string scope_name) {
    std::swap(scope_name, torch::lazy::g_scope_name);
    return scope_name;
  }, py::arg("scope_name"));
  m.def("clone_tensor", &CloneTensor, py::arg("tensor"));
  m.def("eager_to_lazy", &EagerToLazy, py::arg("tensor"));
  m.def("copy_appliance_data", &CopyApplianceData, py::arg("src"), py::arg("dst"));
  m.def("empty_data", &EmptyData, py::arg("like"));
  m.def("set_rng_state", [](uint64_t seed) {
    torch::lazy::GetOrvexLazyGraphExecutor()->SetRngSeed(torch::lazy::BackendDevice(), seed);
  }, py::arg("seed"));
  // Whether the first step boundary (the placeholder run, which computes nothing) has passed: the
  // next boundary builds the program.
  m.def("placeholder_passed", [] {
    return torch::lazy::GetCachedOrvexComputation()->latest_hash() != 0;
  });
  // Starts the conversion tool for the program of the artifact folder ahead of the module: it loads
  // while the step is traced, and the step boundary that builds the program hands it the module.
  m.def("start_conversion", [] {
    torch::lazy::StartConversion(torch::lazy::GetOrvexBackendAppliance()->get_artifact_dir());
  });
  m.def("retrace_every_iteration", [](bool retrace) {
    torch::lazy::retrace_every_iteration = retrace;
  }, py::arg("retrace_every_iteration"));
  m.def("set_artifact_dirs", [](const std::string& artifact_dir, const std::string& device_data_dir) {
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(artifact_dir, device_data_dir);
  }, py::arg("artifact_dir"), py::arg("device_data_dir"));
  m.def("set_callbacks", [](std::optional<py::function> compile,
                            std::optional<py::function> execute) {
    torch::lazy::GetOrvexBackendAppliance()->set_callbacks(MakeCompileCallback(std::move(compile)),
                                                           MakeExecuteCallback(std::move(execute)));
  }, py::arg("compile_callback"), py::arg("execute_callback"));
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const CallbackError& e) {
      e.restore();
    }
  });

  py::class_<Config> config_class(m, "ApplianceDataInfoConfig");
  config_class.def_readwrite("enabled", &Config::enabled);
  DefCheckedField(config_class, kMaxBytesInMemory, &Config::max_bytes_in_memory);
  DefCheckedField(config_class, kMaxTensorSize, &Config::max_tensor_size);
  DefCheckedField(config_class, kStreamBufferSize, &Config::stream_buffer_size);
  config_class.def_readwrite("async_file_write", &Config::async_file_write);
  DefCheckedField(config_class, kMaxAsyncFileWrites, &Config::max_async_file_writes);
  config_class.def_readwrite("delete_file_on_destruct", &Config::delete_file_on_destruct)
      .def("__repr__", &Config::str)
      .def("__str__", &Config::str)
      .def("__getstate__", &ConfigState)
      // Every pickle protocol restores through __new__ and __setstate__.
      .def("__reduce__", [](py::object self) {
        return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                              py::make_tuple(py::type::handle_of(self)),
                              self.attr("__getstate__")());
      });
  // A method, not pybind11's pickling constructor, which does nothing on an existing object.
  config_class.attr("__setstate__") = py::cpp_function(
      &SetConfigState, py::is_method(config_class), py::name("set_state"));
  // Python cannot construct one (its __init__ refuses), but __new__ gives a whole object with the
  // default settings, never one with uninitialised fields.
  SetNew(config_class, [](py::handle) { return py::cast(Config()); });

  // The live configuration itself: assignments through it steer the records made afterwards.
  m.attr("appliance_file_config") =
      py::cast(&torch::lazy::ApplianceDataInfo::config, py::return_value_policy::reference);

  py::class_<torch::lazy::ApplianceDataInfo, std::shared_ptr<torch::lazy::ApplianceDataInfo>>(
      m, "ApplianceDataInfo")
      .def_readwrite("name", &torch::lazy::ApplianceDataInfo::name)
      .def_property_readonly("filename", &torch::lazy::ApplianceDataInfo::get_filename)
      .def_property_readonly("has_tensor", &torch::lazy::ApplianceDataInfo::has_tensor)
      .def_property_readonly("tensor", &torch::lazy::ApplianceDataInfo::get_tensor)
      .def("__reduce__", [](py::handle) -> py::object {
        throw py::type_error("ApplianceDataInfo records cannot be pickled.");
      });
  // Records come only from the backend: an object made by __new__ would have no record behind it.
  SetNew(m.attr("ApplianceDataInfo"), [](py::handle) -> py::object {
    throw py::type_error(
        "ApplianceDataInfo records are made by the backend; get one with get_appliance_data().");
  });
}
