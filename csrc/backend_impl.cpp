// Python.h first, as Python asks of its embedders.
#include <Python.h>

#include "backend_impl.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <sstream>

#include <c10/core/impl/DeviceGuardImplInterface.h>
#include <c10/util/StringUtil.h>
#include <torch/csrc/lazy/backend/lowering_context.h>
#include <torch/csrc/lazy/core/debug_util.h>
#include <torch/csrc/lazy/core/tensor.h>
#include <torch/library.h>

#include "collectives.h"
#include "computation.h"
#include "lazy_graph_executor.h"
#include "mlir_utils.h"
#include <mlir-c/BuiltinAttributes.h>
#include <mlir-c/BuiltinTypes.h>
#include "lowering_context.h"
#include "ox_metadata.h"
#include "torch_mlir_ltc/host_eval.h"
#include "torch_mlir_ltc/mlir_dialects.h"
#include "torch_mlir_ltc/mlir_import.h"
#include "torch_mlir_ltc/native_functions.h"
#include "torch_mlir_ltc/utils/debug.h"
#include "torch_mlir_ltc/utils/exception.h"
#include "torch_mlir_ltc/utils/sys_utils.h"
#include "utils.h"

namespace torch {
namespace lazy {

const std::string kResourceAliasPosAttrName = "tf.aliasing_output";
const std::string kResourceAttrName = "tf.resource_name";
const std::string kParameterValueAttrName = "tf.parameter_value";
const std::string kInputNameAttrName = "vx.input_name";
const std::string kOutputNameAttrName = "vx.output_name";
const std::string kSeedAttrName = "vx.seed";


OrvexBackendImpl::OrvexBackendImpl()
    : appliance(std::make_unique<orvex::ApplianceMode>()) {
  mlir_context = mlirContextCreate();
  torchMlirRegisterAllDialects(mlir_context);
}

// The MLIR context lives as long as the process; only the appliance state goes.
OrvexBackendImpl::~OrvexBackendImpl() = default;

void OrvexBackendImpl::PrepareToExit() const {}

void OrvexBackendImpl::SetRngSeed(size_t seed) const { UNIMPLEMENTED_FUNCTION_ERROR(); }

BackendDataPtr OrvexBackendImpl::MakeComputationDataFromTensor(const at::Tensor& tensor,
                                                               const Shape& shape,
                                                               const BackendDevice& device) const {
  PRINT_FUNCTION();
  // The detached tensor shares its storage with the caller's; the record decides what to keep.
  // A conjugated or negated view is resolved: the data handed on holds its values.
  auto info = std::make_shared<ApplianceDataInfo>(tensor.resolve_conj().resolve_neg().detach());
  return std::make_shared<TorchMlirBackendData>(device, shape, std::move(info));
}

namespace {

// The type of scalar data: the widest of the number's kind, so that the value stays exact (a
// 64-bit integer would lose bits in the default float type).
at::ScalarType ScalarDataType(const at::Scalar& scalar) {
  if (scalar.isComplex()) return at::kComplexDouble;
  if (scalar.isFloatingPoint()) return at::kDouble;
  if (scalar.isIntegral(/*includeBool=*/false)) return at::kLong;
  if (scalar.isBoolean()) return at::kBool;
  throw std::runtime_error("Unknown scalar type.");
}

}  // namespace

BackendDataPtr OrvexBackendImpl::MakeComputationDataFromScalar(const at::Scalar& scalar,
                                                               const BackendDevice& device) const {
  PRINT_FUNCTION();
  auto info = std::make_shared<ApplianceDataInfo>(scalar);
  return std::make_shared<TorchMlirBackendData>(device, Shape(ScalarDataType(scalar), {}),
                                                std::move(info));
}

BackendDataPtr OrvexBackendImpl::CreateDataPlaceholder(const BackendDevice& device,
                                                       const Shape& shape) const {
  PRINT_FUNCTION();
  return std::make_shared<TorchMlirBackendData>(device, shape,
                                                std::make_shared<ApplianceDataInfo>());
}

at::Tensor OrvexBackendImpl::MakeTensorFromComputationData(
    const BackendDataPtr data, std::optional<at::ScalarType> logical_scalar_type) const {
  PRINT_FUNCTION();
  mFwLtcFatal << "Orvex backend has detected MakeTensorFromComputationData "
              << "call outside of step_closure.";
  return at::Tensor();  // not reached: a fatal message throws
}

std::unique_ptr<LoweringContext> OrvexBackendImpl::CreateLoweringContext(
    const std::string& name, BackendDevice device,
    c10::ArrayRef<const torch::lazy::Node*> post_order, Util::EmissionMap emit_status) const {
  return std::make_unique<OrvexLoweringContext>(name, std::move(device), post_order,
                                                std::move(emit_status));
}

std::unique_ptr<LoweringContext> OrvexBackendImpl::CreateLoweringContext(
    const std::string& name, BackendDevice device) const {
  return std::make_unique<OrvexLoweringContext>(name, std::move(device));
}

std::vector<std::string> OrvexBackendImpl::GetCompilationDevices(
    const std::string& device, c10::ArrayRef<std::string> devices) const {
  UNIMPLEMENTED_FUNCTION_ERROR();
}

std::vector<ComputationPtr> OrvexBackendImpl::Compile(
    std::vector<ComputationPtr> instances) const {
  TORCH_CHECK(instances.size() == 1,
              "Expected only a single computation instance for compile. Got: ", instances.size());
  const ComputationPtr& computation = instances.front();
  TORCH_CHECK(computation->in_mark_step, "Compile outside of mark step:\n",
              GetComputationBackendText(computation));
  auto* orvex_computation = dynamic_cast<OrvexComputation*>(computation.get());
  TORCH_CHECK(orvex_computation != nullptr, "Invalid Computation Pointer. Expected OrvexComputation.");
  if (GetCachedOrvexComputation()->has_computation()) {
    mFwLtcFatal << "Orvex backend has detected a second compile call, which is currently "
                   "unsupported. To see how the model has changed between interations you can use "
                   "next env variables: LTC_SAVE_TENSORS_FMT=\"dot\" && "
                   "LTC_SAVE_TENSORS_FILE=/tmp/out.dot  ";
  }
  // The text is large: build it only when someone listens.
  if (mFwLtcDebug.will_print()) mFwLtcDebug << orvex_computation->debug_string();
  return instances;
}

namespace {

// Set when a compile run failed: the cache then holds a computation but no usable results.
bool compile_run_failed = false;

// The common end of every execution: the step registries are emptied whichever way it went.
class StepRegistriesReset {
 public:
  explicit StepRegistriesReset(bool clear_mappings) : clear_mappings_(clear_mappings) {}
  ~StepRegistriesReset() {
    GetOutputIds().clear();
    auto& tensors = GetOutputTensors();
    for (auto& tensor : tensors) tensor.reset();
    tensors.clear();
    GetOutputTensorData().clear();
    if (clear_mappings_ || retrace_every_iteration) GetCachedOutputTensorMappings().clear();
  }

 private:
  bool clear_mappings_;
};

ApplianceDataInfo* RequireApplianceInfo(const BackendDataPtr& data, const char* info_error) {
  auto* mlir_data = dynamic_cast<TorchMlirBackendData*>(data.get());
  TORCH_CHECK(mlir_data);
  auto* info = dynamic_cast<ApplianceDataInfo*>(mlir_data->mlir_info());
  if (info_error == nullptr) {
    TORCH_CHECK(info);
  } else {
    TORCH_CHECK(info != nullptr, info_error);
  }
  return info;
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Builds one dictionary attribute; a name given twice keeps its first value (MLIR dictionaries
// reject duplicate keys).
class AttributeList {
 public:
  explicit AttributeList(MlirContext context) : context_(context) {}
  void add(const std::string& name, MlirAttribute attr) {
    if (mlirAttributeIsNull(attr)) {
      mFwLtcFatal << "Cannot attach attribute \"" << name << "\": its value is not a valid MLIR "
                  << "attribute.";
    }
    if (!seen_.insert(name).second) return;
    names_.push_back(name);
    values_.push_back(attr);
  }
  MlirAttribute build() const {
    std::vector<MlirNamedAttribute> named;
    named.reserve(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) {
      named.push_back(mlirNamedAttributeGet(
          mlirIdentifierGet(context_, toMlirStringRef(names_[i])), values_[i]));
    }
    return mlirDictionaryAttrGet(context_, named.size(), named.data());
  }

 private:
  MlirContext context_;
  std::unordered_set<std::string> seen_;
  std::vector<std::string> names_;
  std::vector<MlirAttribute> values_;
};

MlirAttribute StringAttr(MlirContext context, const std::string& text) {
  return mlirStringAttrGet(context, toMlirStringRef(text));
}

MlirAttribute DenseAttr(MlirContext context, const at::Tensor& tensor) {
  return create_mlir_dense_attr(kParameterValueAttrName, tensor, context).attribute;
}

}  // namespace

// Quotes `text` for the POSIX shell: everything between single quotes is literal.
std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

namespace {

// Fails, with MLIR's diagnostics, unless the module around `func` verifies: a module that does not
// would be printed in generic form and handed on as if nothing were wrong.
void VerifyProgram(MlirOperation func) {
  std::string diagnostics;
  MlirOperation module = mlirOperationGetParentOperation(func);
  if (!mlirOperationVerifyWithDiagnostics(mlirOperationIsNull(module) ? func : module,
                                          &diagnostics)) {
    mFwLtcFatal << "Orvex backend cannot compile the program: its MLIR module does not verify:\n"
                << diagnostics;
  }
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) mFwLtcFatal << "Failed to write file: " << path.string() << " (" << std::strerror(errno) << ")";
}

// sys.prefix of the running interpreter: its bin folder is where the conversion tool is installed.
std::string PythonPrefix() {
  if (!Py_IsInitialized()) return "";
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* prefix = PySys_GetObject("prefix");  // borrowed
  const char* text = prefix && PyUnicode_Check(prefix) ? PyUnicode_AsUTF8(prefix) : nullptr;
  std::string result = text ? text : "";
  if (!text) PyErr_Clear();
  PyGILState_Release(state);
  return result;
}

// A file descriptor closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// `text` with every byte outside a well-formed UTF-8 sequence replaced by U+FFFD, so that an error
// message made of a command's output stays text for Python.
std::string WellFormedUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = byte(i);
    const size_t n = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : (c & 0xF0) == 0xE0     ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    bool ok = n > 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) ok = (byte(i + k) & 0xC0) == 0x80;
    if (ok && n > 2) {  // no overlong forms, surrogates or code points above U+10FFFF
      const unsigned char second = byte(i + 1);
      ok = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) &&
           !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
    }
    if (ok) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// The first lines of a command's diagnostics, for an error message: at most kMaxLines lines of at
// most kMaxLineLength bytes each, and a note of what was left out.
class DiagnosticsExcerpt {
 public:
  static constexpr size_t kMaxLines = 50;
  static constexpr size_t kMaxLineLength = 1000;

  void add(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == '\n') {
        endLine();
        continue;
      }
      if (!in_line_) ++lines_, in_line_ = true;
      if (lines_ > kMaxLines) continue;
      if (line_length_ < kMaxLineLength) text_ += c;
      if (line_length_ == kMaxLineLength) text_ += " [line cut]";
      ++line_length_;
    }
  }

  // The excerpt, every line ending in a newline; empty when nothing was written.
  std::string str() const {
    std::string text = WellFormedUtf8(text_);
    if (in_line_ && lines_ <= kMaxLines) text += '\n';
    if (lines_ > kMaxLines) {
      const size_t more = lines_ - kMaxLines;
      text += "[" + std::to_string(more) + (more == 1 ? " more line" : " more lines") +
              " not shown: the command above prints them all]\n";
    }
    return text;
  }

 private:
  void endLine() {
    if (!in_line_) ++lines_;  // an empty line
    if (lines_ <= kMaxLines) text_ += '\n';
    in_line_ = false;
    line_length_ = 0;
  }

  std::string text_;
  size_t lines_ = 0;
  size_t line_length_ = 0;
  bool in_line_ = false;
};

// Writes all of `size` bytes to `fd`, or as much as it takes.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// One command of the pipeline, started with its standard input and output on the given files and
// its standard error in an anonymous in-memory file (the process's own standard error when that
// cannot be made), which is copied to the process's standard error once the command is done.
struct Stage {
  std::vector<std::string> argv;
  pid_t pid = -1;
  int spawn_error = 0;
  int status = 0;
  Descriptor diagnostics;
  DiagnosticsExcerpt excerpt;

  explicit Stage(std::vector<std::string> command) : argv(std::move(command)) {}

  std::string text() const { return c10::Join(" ", argv); }

  void start(int in, int out) {
    diagnostics.reset(::memfd_create("torch-to-lumo diagnostics", MFD_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (diagnostics.get() >= 0) {
      posix_spawn_file_actions_adddup2(&actions, diagnostics.get(), STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    spawn_error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0) pid = -1;
  }

  // Waits for the command, then passes its diagnostics on to standard error and keeps their first
  // lines.
  void wait() {
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (diagnostics.get() < 0) return;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
      const ssize_t got = ::pread(diagnostics.get(), buffer, sizeof buffer, offset);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      WriteAll(STDERR_FILENO, buffer, static_cast<size_t>(got));
      excerpt.add(buffer, static_cast<size_t>(got));
      offset += got;
    }
  }

  // What the command wrote to standard error, for an error message.
  std::string diagnostics_note() const {
    if (spawn_error != 0) return ".";
    if (diagnostics.get() < 0) return " (its diagnostics are on standard error).";
    const std::string text = excerpt.str();
    if (text.empty()) return " (it wrote no diagnostics).";
    return ". Its diagnostics (also on standard error):\n" + text.substr(0, text.size() - 1);
  }

  // Why the stage failed, or empty if it ran and exited with status 0.
  std::string failure() const {
    if (spawn_error == ENOENT) return argv[0] + " was not found";
    if (spawn_error != 0) return argv[0] + " could not be started: " + std::strerror(spawn_error);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    if (WIFEXITED(status)) return argv[0] + " exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return argv[0] + " was killed by signal " + std::to_string(WTERMSIG(status));
    return argv[0] + " failed";
  }
};

using Pipeline = std::array<Stage, 2>;

Pipeline ConversionPipeline() {
  return {
      Stage({"sed", "s/func\\.func @/func @/g"}),
      Stage({"torch-lumo-opt", "-refine-types", "-torch-to-lumo-pipeline", "-mlir-print-debuginfo"}),
  };
}

// The conversion pipeline started before its module exists (StartConversion): its commands start
// and load while the step is traced, then read the module from a pipe. The tool's output goes to an
// anonymous in-memory file until the conversion is done.
struct StartedConversion {
  std::filesystem::path dir;
  Pipeline pipeline = ConversionPipeline();
  Descriptor input;   // the standard input of the first command
  Descriptor output;  // the standard output of the last one

  // Ends commands that will get no module: they see the end of their input and exit.
  ~StartedConversion() {
    input.reset();
    for (Stage& stage : pipeline) {
      while (stage.pid > 0 && waitpid(stage.pid, &stage.status, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

// Never destroyed: at exit its commands see the end of their input and exit on their own.
std::unique_ptr<StartedConversion>& started_conversion = *new std::unique_ptr<StartedConversion>();
std::mutex started_conversion_mutex;

// The started conversion for `dir`, taken; none when there is none for that folder.
std::unique_ptr<StartedConversion> TakeStartedConversion(const std::filesystem::path& dir) {
  std::lock_guard<std::mutex> lock(started_conversion_mutex);
  if (!started_conversion || started_conversion->dir != dir) return nullptr;
  return std::move(started_conversion);
}

// Everything written to `fd` from its start.
std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  return text;
}

}  // namespace

void StartConversion(std::filesystem::path dir) {
  // A process forked meanwhile (a data loader's worker) must not keep the first command's input
  // open: that command would never see its end.
  static const int forks = pthread_atfork(nullptr, nullptr, [] {
    if (started_conversion) {
      ::close(started_conversion->input.get());
      started_conversion.release();  // the parent's commands: never waited for here
    }
  });
  (void)forks;
  dir = std::filesystem::absolute(dir);
  std::unique_ptr<StartedConversion> replaced;
  std::lock_guard<std::mutex> lock(started_conversion_mutex);
  if (started_conversion && started_conversion->dir == dir) return;
  replaced = std::move(started_conversion);  // another folder: those commands end
  auto conversion = std::make_unique<StartedConversion>();
  conversion->dir = dir;
  conversion->output.reset(::memfd_create("torch-to-lumo output", MFD_CLOEXEC));
  int first[2], second[2];
  if (conversion->output.get() < 0 || ::pipe2(first, O_CLOEXEC) != 0) return;
  Descriptor first_read(first[0]);
  conversion->input.reset(first[1]);
  if (::pipe2(second, O_CLOEXEC) != 0) return;
  Descriptor second_read(second[0]), second_write(second[1]);
  conversion->pipeline[0].start(first_read.get(), second_write.get());
  conversion->pipeline[1].start(second_read.get(), conversion->output.get());
  // A command that could not start is reported by the conversion itself, started then.
  if (conversion->pipeline[0].spawn_error == 0 && conversion->pipeline[1].spawn_error == 0) {
    started_conversion = std::move(conversion);
  }
}

std::string torch_to_lumo(std::string torch_mlir, std::filesystem::path dir) {
  std::unique_ptr<StartedConversion> started = TakeStartedConversion(std::filesystem::absolute(dir));
  Pipeline fresh = ConversionPipeline();
  Pipeline& pipeline = started ? started->pipeline : fresh;
  if (!std::filesystem::exists(dir)) {
    if (!std::filesystem::create_directories(dir) && !std::filesystem::is_directory(dir)) {
      mFwLtcFatal << "Failed to create directory: " << dir;
    }
  }
  const std::filesystem::path input = std::filesystem::absolute(dir / "torch.mlir");
  const std::filesystem::path output = std::filesystem::absolute(dir / "lumo.mlir");
  WriteFile(input, torch_mlir);

  // The same pipeline as a shell line, for the user to run by hand.
  const std::string command = "( sed \"s/func\\.func @/func @/g\" | " + pipeline[1].text() +
                              " > " + shell_quote(output.string()) + " ) < " +
                              shell_quote(input.string());
  auto fail = [&](const std::string& reason) {
    mFwLtcFatal << "torch-to-lumo pipeline failed:\n" << "To re-run:\n" << command << "\n" << reason;
  };

  // Each stage runs on its own, so that every one's outcome is known, not only the last one's.
  if (started) {
    // A stage that stopped early makes the write fail (SIGPIPE is ignored under Python): its
    // outcome says why.
    WriteAll(started->input.get(), torch_mlir.data(), torch_mlir.size());
    started->input.reset();  // the first command sees the end of its input
    for (Stage& stage : pipeline) stage.wait();
    WriteFile(output, ReadAll(started->output.get()));
  } else {
    Descriptor in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) fail("Cannot read " + input.string() + ": " + std::strerror(errno));
    Descriptor out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.get() < 0) fail("Cannot write " + output.string() + ": " + std::strerror(errno));
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail(std::string("Cannot make a pipe: ") + std::strerror(errno));
    Descriptor read_end(ends[0]), write_end(ends[1]);
    pipeline[0].start(in.get(), write_end.get());
    write_end.reset();  // the tool sees the end of its input when sed is done
    pipeline[1].start(read_end.get(), out.get());
    read_end.reset();
    for (Stage& stage : pipeline) stage.wait();
  }

  if (pipeline[1].spawn_error == ENOENT) {
    const std::string prefix = PythonPrefix();
    const char* path = std::getenv("PATH");
    fail("The conversion tool torch-lumo-opt was not found. It is expected in the virtual "
         "environment's bin folder" + (prefix.empty() ? std::string() : " (" + prefix + "/bin)") +
         " or elsewhere on the search path (PATH=" + (path ? path : "") + ").");
  }
  // The tool first: when it stops early, sed only loses its reader.
  const Stage& sed = pipeline[0];
  const Stage& tool = pipeline[1];
  std::string failures;
  for (const Stage* stage : {&tool, &sed}) {
    const std::string failure = stage->failure();
    const bool lost_reader = stage == &sed && !failures.empty() && WIFSIGNALED(sed.status) &&
                             WTERMSIG(sed.status) == SIGPIPE;
    if (failure.empty() || lost_reader) continue;
    failures += "`" + stage->text() + "`: " + failure + stage->diagnostics_note() + "\n";
  }
  if (!failures.empty()) fail(failures.substr(0, failures.size() - 1));

  std::ifstream result(output, std::ios::binary);
  std::stringstream text;
  if (result) text << result.rdbuf();
  if (!result || result.bad()) {
    fail("Cannot read the converted program " + output.string() + ": " + std::strerror(errno));
  }
  return text.str();
}

namespace {

// The results of a step once the program exists: the compile run's result data, every time.
std::vector<BackendDataPtr> CachedResults(CachedOrvexComputation* cache) {
  StepRegistriesReset finish(/*clear_mappings=*/false);
  if (compile_run_failed) {
    mFwLtcFatal << "Orvex backend cannot run this step: compiling the program failed in an "
                   "earlier step, so there are no results to return. Fix the cause reported "
                   "there and restart the process.";
  }
  const size_t outputs = GetOutputTensors().size();
  if (cache->output_data().size() != outputs) {
    mFwLtcFatal << "Orvex backend cannot run this step: the compiled program has "
                << cache->output_data().size() << " outputs but this step has " << outputs
                << ". The set of step outputs must not change after the program was compiled.";
  }
  return cache->output_data();
}

// The first step: nothing runs; results stand in for the outputs until the program exists. Host
// data an output already has is returned as it is.
std::vector<BackendDataPtr> PlaceholderResults(const BackendDevice& device) {
  GetOrvexBackendAppliance()->set_rng_seed(GetOrvexLazyGraphExecutor()->GetRunningSeed(device));
  const auto& output_tensors = GetOutputTensors();
  const auto& output_tensor_data = GetOutputTensorData();
  std::vector<BackendDataPtr> results;
  results.reserve(output_tensors.size());
  for (size_t i = 0; i < output_tensors.size(); ++i) {
    const BackendDataPtr& data = i < output_tensor_data.size() ? output_tensor_data[i] : nullptr;
    if (data) {
      ApplianceDataInfo* info =
          RequireApplianceInfo(data, "Invalid Backend Data Info. Expected ApplianceDataInfo.");
      if (info->has_tensor()) {
        results.push_back(data);
        continue;
      }
      if (info->scalar) {
        results.push_back(GetOrvexBackendImpl()->MakeComputationDataFromScalar(*info->scalar, device));
        continue;
      }
    }
    results.push_back(std::make_shared<TorchMlirBackendData>(
        device, output_tensors[i]->shape().Get(), std::make_shared<ApplianceDataInfo>()));
  }
  return results;
}

// The second step, which makes the program: its stages in the order they run (see
// ExecuteComputation). Each stage either records what the later ones need or stops the step with
// an error.
class CompileRun {
 public:
  CompileRun(const ComputationPtr& computation, const BackendDevice& device)
      : computation_(computation),
        program_(dynamic_cast<OrvexComputation*>(computation.get())),
        device_(device) {
    TORCH_CHECK(program_ != nullptr, "Invalid Computation Pointer. Expected OrvexComputation.");
  }

  // Inputs (names beginning with "input", which carry the batch), weights (other names) and the
  // rest (scalars, placeholders, unnamed data), in argument order.
  void ClassifyArguments(c10::ArrayRef<BackendDataPtr> arguments) {
    inputs_.reserve(arguments.size());
    weights_.reserve(arguments.size());
    for (const BackendDataPtr& argument : arguments) {
      ApplianceDataInfo* info = RequireApplianceInfo(argument, nullptr);
      if (info->scalar) {
        mFwLtcDebug << "Scalar argument (ignored): " << info->name;
      } else if (starts_with(info->name, "input")) {
        mFwLtcDebug << "Input argument: (" << argument->shape() << ") " << info->name;
        inputs_.push_back(info);
        CheckBatchSize(*info, argument->shape().sizes());
      } else if (info->name.empty() || starts_with(info->name, "placeholder")) {
        // Neither input nor weight: an embedded constant.
      } else {
        mFwLtcDebug << "Weight argument: (" << argument->shape() << ") " << info->name;
        weights_.push_back(info);
      }
    }
  }

  // Every named parameter has its own name, and each weight is updated by one output at most.
  void CheckNames() {
    std::unordered_map<std::string, int> seen;
    for (const auto& entry : program_->parameters_map()) {
      auto found = seen.find(entry.second);
      if (found != seen.end()) {
        mFwLtcFatal << "Input parameters " << entry.first << " and " << found->second
                    << " both have the same name \"" << entry.second
                    << "\". Please ensure that all input parameters have unique names.";
      }
      seen.emplace(entry.second, entry.first);
    }
    const size_t results = program_->get_results_metadata().size();
    for (size_t i = 0; i < results; ++i) {
      std::string alias = ResultAlias(i);
      if (alias.empty()) continue;
      if (!aliases_.emplace(alias, i).second) {
        mFwLtcFatal << "Input parameter " << alias
                    << " is aliased by multiple outputs. This is an invalid program.";
      }
      alias_order_.push_back(std::move(alias));
    }
  }

  // The program computes something from its inputs, has inputs, and updates every weight; the
  // order of inputs and weights is cached for the later steps.
  void CheckProgram() {
    CheckGraphNotEmpty();
    TORCH_CHECK(!inputs_.empty(),
                "No input tensors found. Please make sure you are wrapping your dataloader inside "
                "a vudored.utils.data.DataLoader.\n\n",
                GetOrvexBackendImpl()->GetComputationBackendText(computation_));
    GetCachedOrvexComputation()->set_input_order(inputs_);
    GetCachedOrvexComputation()->set_weight_names(weights_);
    if (weights_.size() != aliases_.size()) ReportWeightsWithoutAlias();
  }

  // The attribute contract on the function: one dictionary per argument (its name or resource
  // name, the output that updates it, the tensor's own attributes, its value when it is a constant
  // of the program) and the appliance's seed.
  void WriteArgumentAttributes() {
    MlirOperation func = program_->func_op();
    MlirAttribute arg_attrs = mlirOperationGetAttributeByName(func, toMlirStringRef("arg_attrs"));
    if (mlirAttributeIsNull(arg_attrs)) mFwLtcFatal << "No attribute 'arg_attrs' found";
    std::vector<MlirAttribute> dicts;
    const intptr_t count = mlirArrayAttrGetNumElements(arg_attrs);
    for (intptr_t k = 0; k < count; ++k) dicts.push_back(ArgumentAttributes(k));
    MlirContext context = program_->mlir_context();
    mlirOperationSetAttributeByName(func, toMlirStringRef("arg_attrs"),
                                    mlirArrayAttrGet(context, dicts.size(), dicts.data()));
    mlirOperationSetAttributeByName(
        func, toMlirStringRef(kSeedAttrName),
        mlirIntegerAttrGet(mlirIntegerTypeUnsignedGet(context, 64),
                           static_cast<int64_t>(GetOrvexBackendAppliance()->seed())));
  }

  // One result data per output, under a name unique in the step (weights keep theirs), cached as
  // the results of every later step; the names go into the function's result dictionaries.
  void MakeOutputs() {
    MlirContext context = program_->mlir_context();
    const auto& output_tensors = GetOutputTensors();
    std::vector<BackendDataPtr> results;
    std::vector<MlirAttribute> dicts;
    UniqueNames names;
    for (size_t i = 0; i < output_tensors.size(); ++i) {
      auto info = std::make_shared<ApplianceDataInfo>();
      std::string name = ResultAlias(i);
      if (!name.empty()) {
        info->is_weight = true;
      } else if (auto metadata = ResultMetadata(i); metadata && !metadata->name_of(Output(i)).empty()) {
        name = metadata->name_of(Output(i));
      } else {
        name = "output_" + std::to_string(i);
      }
      info->name = names.take(name);
      AttributeList attrs(context);
      if (!info->is_weight) attrs.add(kOutputNameAttrName, StringAttr(context, info->name));
      dicts.push_back(attrs.build());
      output_infos_.push_back(info);
      results.push_back(std::make_shared<TorchMlirBackendData>(
          device_, output_tensors[i]->GetIrValue().shape(), info));
    }
    GetCachedOrvexComputation()->set_output_data(results);
    mlirOperationSetAttributeByName(program_->func_op(), toMlirStringRef("res_attrs"),
                                    mlirArrayAttrGet(context, dicts.size(), dicts.data()));
  }

  // The verified module, converted to lumo, goes to the appliance's compile callback.
  void Convert() {
    VerifyProgram(program_->func_op());
    // The conversion leaves its output in the artifact folder as "lumo.mlir".
    const std::string text =
        torch_to_lumo(computation_->to_string(), GetOrvexBackendAppliance()->get_artifact_dir());
    TORCH_CHECK(GetOrvexBackendAppliance()->compile(batch_size_, text),
                "Failed to compile model for Orvex System.\n\n",
                GetOrvexBackendImpl()->GetComputationBackendText(computation_));
  }

  // The first run; an output that updates a weight the appliance skipped keeps that weight's data.
  void Run() {
    std::unordered_set<std::string> skipped =
        GetOrvexBackendAppliance()->execute(batch_size_, weights_);
    for (ApplianceDataInfo* weight : weights_) {
      if (!skipped.count(weight->name)) continue;
      auto alias = aliases_.find(weight->name);
      if (alias == aliases_.end()) continue;
      mFwLtcTrace << "Keeping device data for skipped weight '" << weight->name
                  << "' for future use.";
      output_infos_[alias->second]->share_storage(*weight);
    }
  }

  // The appliance holds the weights now: the cached computation lets go of the first step's data
  // (the records it points to are not used after this).
  void ReleaseArguments() {
    inputs_.clear();
    weights_.clear();
    program_->release_parameters();
  }

 private:
  // Names made unique by a number suffix: "loss", "loss1", "loss2", ...
  class UniqueNames {
   public:
    std::string take(const std::string& name) {
      std::string unique = name;
      if (taken_.count(unique)) {
        int& suffix = next_suffix_.emplace(name, 1).first->second;
        do {
          unique = name + std::to_string(suffix++);
        } while (taken_.count(unique));
      }
      taken_.insert(unique);
      return unique;
    }

   private:
    std::unordered_set<std::string> taken_;
    // Per name, the suffix to try next: suffixes below it are taken already.
    std::unordered_map<std::string, int> next_suffix_;
  };

  // A missing metadata entry counts as none.
  std::shared_ptr<OrvexMetadata> ResultMetadata(size_t i) const {
    const auto& metadata = program_->get_results_metadata();
    return i < metadata.size() ? metadata[i] : nullptr;
  }
  // Names belong to the output a result is, not to its node.
  size_t Output(size_t i) const { return program_->result_output(i); }
  std::string ResultAlias(size_t i) const {
    std::shared_ptr<OrvexMetadata> metadata = ResultMetadata(i);
    return metadata ? metadata->alias_name_of(Output(i)) : std::string();
  }

  void CheckBatchSize(const ApplianceDataInfo& info, c10::ArrayRef<int64_t> sizes) {
    if (sizes.empty()) {
      mFwLtcFatal << "Invalid input argument \"" << info.name
                  << "\". Expected a tensor with at least one dimension specifying batch size, "
                     "but got a 0-dimensional tensor.";
    }
    const int64_t n = sizes[0];
    if (n < 1) {
      mFwLtcFatal << "Invalid batch size found on graph input \"" << info.name << "\": " << n
                  << ". Expected a positive integer.";
    }
    if (batch_size_ != -1 && batch_size_ != n) {
      mFwLtcFatal << "Inconsistent batch sizes found in inputs. Input \"" << inputs_.front()->name
                  << "\" has batch size " << batch_size_ << " while input \"" << info.name
                  << "\" has batch size " << n << ".";
    }
    batch_size_ = n;
  }

  // Counts the operands of the function's operations (after the first) that are not named
  // arguments: none means the step computes nothing.
  void CheckGraphNotEmpty() const {
    MlirBlock block = mlirRegionGetFirstBlock(mlirOperationGetRegion(program_->func_op(), 0));
    const auto& parameters_map = program_->parameters_map();
    // Values compare by their handle.
    std::unordered_set<const void*> named_arguments;
    for (intptr_t k = 0; k < mlirBlockGetNumArguments(block); ++k) {
      auto entry = parameters_map.find(static_cast<int>(k));
      if (entry != parameters_map.end() && !starts_with(entry->second, "placeholder")) {
        named_arguments.insert(mlirBlockGetArgument(block, k).ptr);
      }
    }
    size_t count = 0;
    MlirOperation op = mlirBlockGetFirstOperation(block);
    if (!mlirOperationIsNull(op)) op = mlirOperationGetNextInBlock(op);
    for (; !mlirOperationIsNull(op); op = mlirOperationGetNextInBlock(op)) {
      for (intptr_t j = 0; j < mlirOperationGetNumOperands(op); ++j) {
        if (!named_arguments.count(mlirOperationGetOperand(op, j).ptr)) ++count;
      }
    }
    mFwLtcDebug << "Output count for empty graph check: " << count << std::endl;
    if (count == 0) {
      mFwLtcFatal << "Orvex backend has detected that the compiled model has no computational "
                     "graph. Please ensure that all model outputs are returned from trace or "
                     "captured by step closures.";
    }
  }

  void ReportWeightsWithoutAlias() const {
    std::ostringstream text;
    text << "Expected number of weights and aliases to match. Got: " << weights_.size()
         << " != " << aliases_.size() << std::endl
         << "Missing aliases:\n";
    std::unordered_set<std::string> weight_names;
    for (ApplianceDataInfo* weight : weights_) {
      weight_names.insert(weight->name);
      if (!aliases_.count(weight->name)) text << "    " << weight->name << std::endl;
    }
    text << "\nMissing weights:\n";
    for (const auto& name : alias_order_) {
      if (!weight_names.count(name)) text << "    " << name << std::endl;
    }
    mFwLtcFatal << text.str();
  }

  MlirAttribute ArgumentAttributes(intptr_t k) const {
    MlirContext context = program_->mlir_context();
    const BackendDataPtr& data = program_->get_parameters().at(k);
    ApplianceDataInfo* info =
        RequireApplianceInfo(data, "Invalid Backend Data Info. Expected ApplianceDataInfo.");
    std::shared_ptr<OrvexMetadata> metadata;
    const auto& parameters_metadata = program_->get_parameters_metadata();
    auto found_metadata = parameters_metadata.find(data->GetHandle());
    if (found_metadata != parameters_metadata.end()) metadata = found_metadata->second;

    AttributeList attrs(context);
    const auto& parameters_map = program_->parameters_map();
    auto entry = parameters_map.find(static_cast<int>(k));
    const bool has_entry = entry != parameters_map.end();
    std::string input_name;
    if (!has_entry) {
      input_name = (metadata && !metadata->name.empty()) ? metadata->name : info->name;
      attrs.add(kInputNameAttrName, StringAttr(context, input_name));
    } else {
      attrs.add(kResourceAttrName, StringAttr(context, entry->second));
      auto alias = aliases_.find(entry->second);
      if (alias != aliases_.end()) {
        attrs.add(kResourceAliasPosAttrName,
                  mlirIntegerAttrGet(mlirIntegerTypeGet(context, 64),
                                     static_cast<int64_t>(alias->second)));
      }
    }
    bool is_constant = false;
    if (metadata) {
      for (const auto& attr : metadata->attrs) {
        if (attr.first == "vx.is_constant" && mlirAttributeIsABool(attr.second)) {
          is_constant = mlirBoolAttrGetValue(attr.second);
          continue;
        }
        attrs.add(attr.first, attr.second);
      }
    }
    at::Tensor value = EmbeddedValue(*info, has_entry, is_constant);
    if (value.defined()) {
      attrs.add(kParameterValueAttrName, DenseAttr(context, value));
    } else if (!has_entry && (input_name.empty() || starts_with(input_name, "placeholder"))) {
      RefuseArgumentWithoutValue(k, input_name, data->shape());
    }
    return attrs.build();
  }

  // An argument that no name lets the appliance feed and that carries no value of its own: the
  // program would read memory nothing writes.
  [[noreturn]] static void RefuseArgumentWithoutValue(intptr_t k, const std::string& name,
                                                      const Shape& shape) {
    mFwLtcFatal << "Program argument " << k << " \"" << name << "\" (" << shape
                << ") has neither a name nor a value: its host data was dropped when the tensor "
                   "moved to the lazy device (the data store is disabled), so nothing can feed "
                   "it. Name it (ox.set_parameter_name(tensor, \"input...\") to feed it at every "
                   "run, or a weight name), or keep its value: make it a constant "
                   "(ox.make_constant(host_tensor)) or move it while the data store keeps data "
                   "(ox.appliance_file_config.enabled = True, as a vudored device with "
                   "keep_data=True does).";
    std::abort();  // not reached: a fatal message throws
  }

  // The value an argument carries into the program, if any: constants, scalars, and host data
  // that no name makes an input or a weight.
  static at::Tensor EmbeddedValue(ApplianceDataInfo& info, bool named, bool is_constant) {
    if (named) return is_constant ? info.get_tensor() : at::Tensor();
    if (info.scalar) {
      return at::scalar_tensor(*info.scalar, at::TensorOptions(ScalarDataType(*info.scalar)));
    }
    if (is_constant) return info.get_tensor();
    if (info.has_tensor() && !starts_with(info.name, "input") &&
        dynamic_cast<const DeferredInfo*>(info.impl_.get()) == nullptr) {
      // A number or a tensor made on the host inside the step: without its value the program
      // would read an argument that nothing feeds.
      return info.get_tensor();
    }
    return at::Tensor();
  }

  ComputationPtr computation_;
  OrvexComputation* program_;
  const BackendDevice& device_;
  std::vector<ApplianceDataInfo*> inputs_;
  std::vector<ApplianceDataInfo*> weights_;
  int64_t batch_size_ = -1;
  // By weight name, the result that updates the weight, and the names in result order.
  std::unordered_map<std::string, size_t> aliases_;
  std::vector<std::string> alias_order_;
  std::vector<std::shared_ptr<ApplianceDataInfo>> output_infos_;
};

}  // namespace

// One program per process: the first step only stands in (placeholder results), the second
// makes the program and runs it, every later step returns the results of the second.
std::vector<BackendDataPtr> OrvexBackendImpl::ExecuteComputation(
    ComputationPtr computation, c10::ArrayRef<BackendDataPtr> arguments,
    const BackendDevice& device) const {
  CachedOrvexComputation* cache = GetCachedOrvexComputation();
  if (cache->has_computation()) return CachedResults(cache);
  const int64_t latest = cache->latest_hash();
  cache->set_hash(static_cast<int64_t>(reinterpret_cast<intptr_t>(computation.get())));
  StepRegistriesReset finish(/*clear_mappings=*/true);
  if (latest == 0) return PlaceholderResults(device);

  compile_run_failed = true;  // until it succeeds
  cache->set_computation(computation);
  CompileRun run(computation, device);
  run.ClassifyArguments(arguments);
  run.CheckNames();
  run.CheckProgram();
  run.WriteArgumentAttributes();
  run.MakeOutputs();
  run.Convert();
  run.Run();
  run.ReleaseArguments();
  compile_run_failed = false;
  return cache->output_data();
}

std::shared_ptr<BackendDeviceType> OrvexBackendImpl::GetDefaultDeviceType() const {
  PRINT_FUNCTION();
  return std::make_shared<OrvexBackendDeviceType>();
}

void OrvexBackendImpl::SetDefaultDeviceType(int8_t type) { UNIMPLEMENTED_FUNCTION_ERROR(); }

at::Tensor OrvexBackendImpl::HostData(const BackendDataPtr& data, std::string* why) const {
  auto* mlir_data = dynamic_cast<TorchMlirBackendData*>(data.get());
  auto* info = mlir_data ? dynamic_cast<ApplianceDataInfo*>(mlir_data->mlir_info()) : nullptr;
  if (info == nullptr || info->scalar) return TorchMlirBackendImpl::HostData(data, why);
  const std::string quoted = "\"" + info->name + "\"";
  if (info->is_weight) {
    *why = quoted + " is a new weight value that the appliance computes";
    return at::Tensor();
  }
  if (!info->has_tensor()) {
    *why = "the host holds no data for " + quoted + " (it was dropped when the tensor moved to "
           "the lazy device, as the data store is disabled, or it is a result of the appliance)";
    return at::Tensor();
  }
  if (dynamic_cast<const DeferredInfo*>(info->impl_.get()) != nullptr) {
    *why = quoted + " is a deferred tensor, whose data the host does not hold";
    return at::Tensor();
  }
  try {
    return info->get_tensor();  // a file-backed record waits for its write and maps the file
  } catch (const std::exception& e) {
    *why = "the data of " + quoted + " cannot be read: " + e.what();
    return at::Tensor();
  }
}

std::string OrvexBackendImpl::GetComputationBackendText(const ComputationPtr computation) const {
  auto orvex_computation = std::dynamic_pointer_cast<OrvexComputation>(computation);
  TORCH_CHECK(orvex_computation, "Invalid Computation Pointer. Expected OrvexComputation.");
  return orvex_computation->debug_string();
}

namespace {

// "Float[2, 3]" for a tensor, element by element for lists; PyTorch's own text for anything else.
// Tensors are never printed by value: that would need their data on the host.
void write_fallback_argument(std::ostream& out, const c10::IValue& value,
                             std::vector<LazyTensorPtr>& lazy_tensors) {
  if (value.isTensor()) {
    const at::Tensor& tensor = value.toTensor();
    if (!tensor.defined()) {
      out << "UndefinedTensor";
      return;
    }
    if (LazyTensorPtr lazy_tensor = TryGetLtcTensor(tensor)) lazy_tensors.push_back(lazy_tensor);
    out << c10::toString(tensor.scalar_type()) << "[" << c10::Join(", ", tensor.sizes()) << "]";
    return;
  }
  if (value.isList()) {
    bool has_tensor = false;
    for (const c10::IValue& element : value.toListRef()) has_tensor |= element.isTensor();
    if (has_tensor) {
      out << "[";
      bool first = true;
      for (const c10::IValue& element : value.toListRef()) {
        if (!first) out << ", ";
        first = false;
        write_fallback_argument(out, element, lazy_tensors);
      }
      out << "]";
      return;
    }
  }
  out << value;
}

}  // namespace

void report_unsupported_operator(const c10::OperatorHandle& op, const torch::jit::Stack& stack,
                                 const std::string& reason) {
  std::stringstream arguments;
  std::vector<LazyTensorPtr> lazy_tensors;
  bool first = true;
  for (const c10::IValue& value : stack) {
    if (!first) arguments << ", ";
    first = false;
    write_fallback_argument(arguments, value, lazy_tensors);
  }

  std::stringstream report;
  report << "The Orvex backend does not yet support `" << op.schema() << "`\nCalled with: ("
         << arguments.str() << ")\n";
  if (!reason.empty()) report << reason << "\n";
  const std::string graph =
      DebugUtil::GetTensorsGraphInfo(lazy_tensors, /*indices=*/nullptr,
                                     DebugUtil::GetDefaultGraphFormat());
  {
    std::ofstream dump("ltc_unsupported.graph", std::ios::out | std::ios::trunc);
    if (dump) dump << report.str() << graph;
  }
  if (::sys_util::GetEnvBool("RERUZER_ARAVIVA", false)) {
    report << "Graph of operands:\n" << graph;
  } else {
    report << "Check graph dump in \"ltc_unsupported.graph\"\n";
  }
  mFwLtcFatal << report.str();
  throw std::logic_error("a fatal message returned");  // not reached: fatal messages throw
}

void ltc_eager_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  report_unsupported_operator(op, *stack);
}

void host_scalar_read(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  TORCH_CHECK(stack->size() == 1 && stack->back().isTensor(), "host_scalar_read: expected ",
              op.schema(), " with one tensor");
  const at::Tensor self = stack->back().toTensor();
  LazyTensorPtr lazy = TryGetLtcTensor(self);
  std::string why = "not a lazy tensor";
  std::string graph_text;
  at::Tensor value;
  if (lazy) {
    value = ComputeOnHost(lazy, &why, mFwLtcDebug.will_print() ? &graph_text : nullptr);
  }
  if (!value.defined()) {
    report_unsupported_operator(op, *stack, "Its value cannot be computed on the host: " + why + ".");
  }
  TORCH_CHECK(value.numel() == 1, "a Tensor with ", value.numel(),
              " elements cannot be converted to Scalar");
  const at::Scalar scalar = value.item();
  if (mFwLtcDebug.will_print()) {
    std::stringstream text;
    std::vector<LazyTensorPtr> unused;
    write_fallback_argument(text, self, unused);
    mFwLtcDebug << "Computed on the host: `" << op.schema() << "` of " << text.str() << " = "
                << scalar << ", from\n" << graph_text;
  }
  stack->back() = c10::IValue(scalar);
}

void register_ltc_eager_fallback() {
  // The dispatcher refuses a second fallback for the same key, which would make a second
  // initialisation fail: the registration is made once and kept for the life of the process.
  static const auto library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "_", c10::DispatchKey::Lazy,
                                                __FILE__, __LINE__);
    lib->fallback(torch::CppFunction::makeFromBoxedFunction<&ltc_eager_fallback>());
    return lib;
  }();
  (void)library;
}

// tensor_split by a tensor of split indices (or a 0-d section count): PyTorch's kernel wants that
// tensor on the host. A lazy one is read like `.item()` (the host computes it, or the read fails
// saying why); the split then goes by the numbers, through autograd as usual.
std::vector<at::Tensor> tensor_split_by_tensor(const at::Tensor& self, const at::Tensor& indices,
                                               int64_t dim) {
  TORCH_CHECK(indices.dim() <= 1,
              "tensor_split expected tensor_indices_or_sections to be a zero-dimensional or "
              "one-dimensional tensor, but got a tensor with ", indices.dim(), " dims");
  TORCH_CHECK(indices.scalar_type() == at::kLong,
              "tensor_split expected tensor_indices_or_sections to have dtype of long, but got ",
              indices.scalar_type());
  if (indices.dim() == 0) return at::tensor_split(self, indices.item<int64_t>(), dim);
  std::vector<int64_t> values;
  values.reserve(indices.numel());
  for (int64_t i = 0; i < indices.numel(); ++i) values.push_back(indices[i].item<int64_t>());
  return at::tensor_split(self, values, dim);
}

// equal: a Python bool, so a host read of whether every element matches (the host computes it, or
// the read fails saying why). Tensors of different sizes are not equal; types promote as in eq.
bool equal_on_host(const at::Tensor& self, const at::Tensor& other) {
  if (self.sizes() != other.sizes()) return false;
  return at::all(at::eq(self, other)).item<bool>();
}

// LAPACK's error codes of a factorisation (linalg.cholesky, solve, inv, ...): checked as eager
// does when the host can compute them (the inputs are constants or host data). When they are values
// of the step, the program cannot stop on them: the check is skipped, and a singular or
// indefinite input shows in the results instead (NaN from Cholesky, inf or NaN from a zero pivot),
// as the `*_ex` forms report it through `info`.
void linalg_check_errors(const at::Tensor& info, c10::string_view api_name, bool is_matrix) {
  LazyTensorPtr lazy = TryGetLtcTensor(info);
  std::string why = "not a lazy tensor";
  at::Tensor value = lazy ? ComputeOnHost(lazy, &why, nullptr) : at::Tensor();
  if (value.defined()) {
    at::_linalg_check_errors(value, api_name, is_matrix);
    return;
  }
  mFwLtcDebug << "Not checked on the host: the error codes of " << api_name << " (" << why << ").";
}

void register_host_scalar_reads() {
  // Made once and kept, like the fallback: a second registration of the kernel would fail.
  static const auto library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::Lazy, __FILE__, __LINE__);
    lib->impl("_local_scalar_dense", torch::CppFunction::makeFromBoxedFunction<&host_scalar_read>());
    lib->impl("equal", TORCH_FN(equal_on_host));
    lib->impl("_linalg_check_errors", TORCH_FN(linalg_check_errors));
    return lib;
  }();
  // Above autograd, where PyTorch's composite kernel would refuse lazy indices.
  static const auto autograd_library = [] {
    auto lib = std::make_unique<torch::Library>(torch::Library::IMPL, "aten",
                                                c10::DispatchKey::AutogradLazy, __FILE__, __LINE__);
    lib->impl("tensor_split.tensor_indices_or_sections", TORCH_FN(tensor_split_by_tensor));
    return lib;
  }();
  (void)library;
  (void)autograd_library;
}

OrvexBackendImpl* GetOrvexBackendImpl() {
  // Thread-safe creation; if the constructor throws, the next call tries again.
  static OrvexBackendImpl* orvex_backend_impl = new OrvexBackendImpl();
  return orvex_backend_impl;
}

MlirContext GetMlirContext() { return GetOrvexBackendImpl()->mlir_context; }

orvex::ApplianceMode* GetOrvexBackendAppliance() { return GetOrvexBackendImpl()->appliance.get(); }

namespace {
std::atomic<bool> backend_initialized{false};

// LTC's device guard answers "lazy" without an index as a thread's current lazy device until the
// thread sets one, so Tensor.to("lazy") of a tensor on lazy:0 took the device for another one and
// recorded a copy (and a parameter moved that way lost its ties to other modules). This guard
// answers the backend's default device instead; everything else is LTC's guard.
class DefaultLazyDeviceGuard final : public c10::impl::DeviceGuardImplInterface {
 public:
  explicit DefaultLazyDeviceGuard(const c10::impl::DeviceGuardImplInterface* base) : base_(base) {}
  c10::DeviceType type() const override { return base_->type(); }
  c10::Device exchangeDevice(c10::Device device) const override {
    return indexed(base_->exchangeDevice(device));
  }
  c10::Device getDevice() const override { return indexed(base_->getDevice()); }
  void setDevice(c10::Device device) const override { base_->setDevice(device); }
  void uncheckedSetDevice(c10::Device device) const noexcept override {
    base_->uncheckedSetDevice(device);
  }
  c10::Stream getStream(c10::Device device) const override {
    return base_->getStream(indexed(device));
  }
  c10::Stream exchangeStream(c10::Stream stream) const override {
    return base_->exchangeStream(stream);
  }
  c10::DeviceIndex deviceCount() const noexcept override { return base_->deviceCount(); }

 private:
  static c10::Device indexed(c10::Device device) {
    if (device.has_index()) return device;
    return c10::Device(device.type(),
                       static_cast<c10::DeviceIndex>(getBackend()->GetDefaultDeviceOrdinal()));
  }
  const c10::impl::DeviceGuardImplInterface* base_;
};

void install_lazy_device_guard() {
  static const bool installed = [] {
    const auto* base = c10::impl::getDeviceGuardImpl(c10::DeviceType::Lazy);
    // Never destroyed: the registry does not own its entries.
    static c10::impl::DeviceGuardImplRegistrar registrar(c10::DeviceType::Lazy,
                                                         new DefaultLazyDeviceGuard(base));
    return true;
  }();
  (void)installed;
}

}  // namespace


void RequireOrvexBackend() {
  if (!backend_initialized.load()) {
    throw std::runtime_error(
        "The Orvex backend is not initialized: call orvex_pytorch_lib.initialize() before "
        "creating lazy data.");
  }
}

void InitOrvexBackend() {
  static std::unique_ptr<BackendRegistrar> g_registrar;
  auto previous = std::move(g_registrar);
  g_registrar = std::make_unique<BackendRegistrar>(GetOrvexBackendImpl());
  previous.reset();

  at::RegisterTorchMlirLazyNativeFunctions();
  at::RegisterTorchMlirFunctionalizeKernels();
  at::RegisterTorchMlirExtraKernels();
  at::RegisterTorchMlirMetaKernels();
  register_ltc_eager_fallback();
  register_host_scalar_reads();
  register_collective_kernels();
  OrvexMetadata::init();
  LazyGraphExecutor::Register(GetOrvexLazyGraphExecutor());
  install_lazy_device_guard();
  backend_initialized = true;
}

}  // namespace lazy
}  // namespace torch
