// Python.h first, as Python asks of its embedders.
#include <Python.h>

#include "backend_data.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <ATen/ATen.h>
#include <ATen/EmptyTensor.h>
#include <c10/core/impl/PyObjectSlot.h>

#include "backend_impl.h"
#include "semaphore.h"
#include "utils.h"

namespace fs = std::filesystem;

namespace torch {
namespace lazy {

ApplianceDataInfo::Config ApplianceDataInfo::config;

namespace {

std::atomic<int64_t> total_bytes_in_memory{0};
std::atomic<int64_t> total_bytes_in_files{0};

// Every scalar of a traced step becomes a record, and building one emits several trace lines, so
// their text is built only when the trace level is on. A `TraceCheck` asks once for the whole
// construction of a record; outside one, every line asks for itself.
thread_local int trace_enabled = -1;  // -1: not known

bool tracing() {
  if (trace_enabled >= 0) return trace_enabled != 0;
  try {
    return mFwLtcTrace.will_print();
  } catch (const std::exception&) {
    return true;  // let the line go to the handler, which reports its own failure
  }
}

class TraceCheck {
 public:
  TraceCheck() : saved_(trace_enabled) {
    if (saved_ < 0) trace_enabled = tracing() ? 1 : 0;
  }
  ~TraceCheck() { trace_enabled = saved_; }
  TraceCheck(const TraceCheck&) = delete;
  TraceCheck& operator=(const TraceCheck&) = delete;

 private:
  const int saved_;
};

// Lets go of the Python interpreter lock while the calling thread blocks on a writer thread: a
// writer may need the lock (to emit a message, or to free host memory that Python owns, as numpy
// arrays do), and must not wait for a thread that waits for it.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() {
    if (Py_IsInitialized() && _PyThreadState_UncheckedGet() != nullptr && PyGILState_Check()) {
      state_ = PyEval_SaveThread();
    }
  }
  ~InterpreterLockRelease() {
    if (state_) PyEval_RestoreThread(state_);
  }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_ = nullptr;
};

// The write semaphore, holding max_async_file_writes units. A change of the setting takes effect
// at the next file write: the difference is added to (or taken from) the units, so writes already
// in flight count against the new limit.
orvex::Semaphore* get_async_write_semaphore() {
  static orvex::Semaphore* semaphore = new orvex::Semaphore(0, std::numeric_limits<int32_t>::max());
  static std::mutex mutex;
  static int32_t units = 0;
  const int32_t writes = ApplianceDataInfo::config.max_async_file_writes;
  if (writes < 1) {
    mFwLtcFatal << "Invalid ApplianceDataInfo::Config max_async_file_writes=" << writes
                << ": at least 1 file write must be allowed at a time. Set "
                << "appliance_file_config.max_async_file_writes to 1 or more.";
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (writes != units) {
    semaphore->adjust(writes - units);
    units = writes;
  }
  return semaphore;
}

std::string get_unique_filename() {
  static std::atomic<int64_t> file_id{0};
  std::string dir = GetOrvexBackendAppliance()->get_device_data_dir();
  // No device-data directory set yet: the working directory, not the file-system root.
  if (dir.empty()) dir = ".";
  return dir + "/tensor_" + std::to_string(file_id.fetch_add(1)) + ".app_data";
}

// Frees the host memory of a deferred tensor's storage. Python can still reach every tensor that
// shares the storage, so the storage is also marked to refuse access to its data: reading it
// raises instead of touching freed memory.
void release_deferred_memory(const at::Tensor& tensor) {
  if (!tensor.defined() || !tensor.has_storage()) return;
  c10::StorageImpl* storage = tensor.storage().unsafeGetStorageImpl();
  at::DataPtr& data = storage->_mutable_data_ptr_no_checks();
  if (data.get() == nullptr && data.get_context() == nullptr) return;
  at::DataPtr released = std::exchange(data, at::DataPtr(nullptr, data.device()));
  storage->set_nbytes(0);
  storage->release_data_and_set_meta_custom_data_ptr_error_msg_(
      "The host memory of this deferred tensor was released when it became lazy data; its "
      "values can no longer be read on the host.");
}

// Whether the tensor's elements are in host memory: false once its storage has been released.
bool has_host_data(const at::Tensor& tensor) {
  if (tensor.numel() == 0) return true;
  if (!tensor.has_storage()) return false;
  c10::StorageImpl* storage = tensor.storage().unsafeGetStorageImpl();
  if (storage->_mutable_data_ptr_no_checks().get() == nullptr) return false;
  const size_t needed = at::detail::computeStorageNbytes(tensor.sizes(), tensor.strides(),
                                                         tensor.element_size(),
                                                         tensor.storage_offset());
  return storage->nbytes() >= needed;
}

// Tensors whose operators run in Python (wrapper subclasses) need no host data of their own.
bool has_python_dispatch(const at::Tensor& tensor) {
  return tensor.key_set().has(c10::DispatchKey::Python);
}

bool is_deferred_tensor(at::Tensor tensor) {
  if (!tensor.defined()) return false;
  // Torch keeps one Python interpreter per process, so a Python object found in the slot belongs
  // to the running interpreter. The tensor handle keeps that object alive while it is read.
  if (!Py_IsInitialized()) return false;
  PyObject* object = tensor.unsafeGetTensorImpl()->pyobj_slot()->load_pyobj();
  if (object == nullptr) return false;
  const char* type_name = Py_TYPE(object)->tp_name;
  if (type_name == nullptr) return false;
  static constexpr char kPrefix[] = "Deferred";
  static constexpr char kSuffix[] = "Tensor";
  const size_t length = std::strlen(type_name);
  const size_t prefix = sizeof(kPrefix) - 1;
  const size_t suffix = sizeof(kSuffix) - 1;
  return length >= prefix && length >= suffix &&
         std::memcmp(type_name, kPrefix, prefix) == 0 &&
         std::memcmp(type_name + length - suffix, kSuffix, suffix) == 0;
}

bool should_drop_tensor(at::Tensor tensor, std::string name) {
  if (tensor.defined() && tensor.numel() == 1) {
    mFwLtcTrace(tracing()) << "Keeping tensor data for \"" << name << "\" with size "
                           << tensor.nbytes() << " as it is a scalar.";
    return false;
  }
  if (is_deferred_tensor(tensor)) {
    mFwLtcTrace(tracing()) << "Keeping tensor data for \"" << name << "\" with size "
                           << tensor.nbytes() << " as it is a deferred tensor.";
    return false;
  }
  if (ApplianceDataInfo::config.enabled) return false;
  if (HostConstantScope::active()) {
    mFwLtcTrace(tracing()) << "Keeping tensor data for \"" << name << "\" with size "
                           << tensor.nbytes() << " as the capture made it on the host.";
    return false;
  }
  mFwLtcTrace(tracing()) << "Dropping tensor data for \"" << name << "\" with size "
                         << (tensor.defined() ? tensor.nbytes() : 0)
                         << " as ApplianceData is disabled.";
  return true;
}

// A copy of a host tensor's elements; refuses a tensor whose memory is gone instead of reading it.
at::Tensor clone_host_tensor(const at::Tensor& tensor, const std::string& name) {
  if (!has_python_dispatch(tensor) && !has_host_data(tensor)) {
    mFwLtcFatal << "Cannot copy the data of tensor \"" << name
                << "\" as its host memory has been released.";
  }
  return tensor.clone();
}

// Writes the tensor's elements in row-major order, with no header, into `filename`. A file that
// could not be written completely is removed and reported; only a complete file is counted.
void write_tensor_file(const std::string& filename, const at::Tensor& tensor, int64_t size,
                       const ApplianceDataInfo::Config& config,
                       std::atomic<int64_t>& counted_bytes) {
  if (!has_host_data(tensor)) {
    throw std::runtime_error("Failed to write file: " + filename +
                             " (the tensor's host memory has been released)");
  }
  // The buffer outlives the stream that uses it. One larger than the file would only cost time.
  std::unique_ptr<char[]> buffer;
  std::ofstream out;
  const int64_t buffer_size = std::min<int64_t>(config.stream_buffer_size, std::max<int64_t>(size, 1));
  if (buffer_size > 0) {
    buffer.reset(new char[buffer_size]());
    out.rdbuf()->pubsetbuf(buffer.get(), static_cast<std::streamsize>(buffer_size));
  }
  out.open(filename, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) {
    throw std::runtime_error("Failed to open file for write: " + filename);
  }
  bool written = false;
  try {
    // Views (transposes, strided slices) and lazily conjugated or negated tensors are written as
    // the values they show.
    at::Tensor data = tensor.resolve_conj().resolve_neg().contiguous();
    TORCH_INTERNAL_ASSERT(data.nbytes() == static_cast<size_t>(size));
    out.write(static_cast<const char*>(data.const_data_ptr()), static_cast<std::streamsize>(size));
    written = static_cast<bool>(out);
  } catch (...) {
    out.close();
    std::error_code ignored;
    fs::remove(filename, ignored);
    throw;
  }
  out.close();  // flushes; a failed flush or close sets the fail bit
  if (!written || !out) {
    std::error_code ignored;
    fs::remove(filename, ignored);
    throw std::runtime_error("Failed to write file: " + filename);
  }
  total_bytes_in_files += size;
  counted_bytes += size;
}

}  // namespace

// ------------------------------------------------------------------------------------ Config

void ApplianceDataInfo::Config::repr(std::ostream& out) const {
  out << "ApplianceDataInfo::Config(" << static_cast<const void*>(this) << ") {" << std::endl;
  out << "\t enabled: " << enabled << std::endl;
  out << "\t max_bytes_in_memory: " << max_bytes_in_memory << std::endl;
  out << "\t max_tensor_size: " << max_tensor_size << std::endl;
  out << "\t stream_buffer_size: " << stream_buffer_size << std::endl;
  out << "\t async_file_write: " << async_file_write << std::endl;
  out << "\t max_async_file_writes: " << max_async_file_writes << std::endl;
  out << "\t delete_file_on_destruct: " << delete_file_on_destruct << std::endl;
  out << "}";
}

std::string ApplianceDataInfo::Config::str() const {
  std::ostringstream out;
  repr(out);
  return out.str();
}

// ------------------------------------------------------------------------- ApplianceDataInfo

ApplianceDataInfo::ApplianceDataInfo() = default;

ApplianceDataInfo::ApplianceDataInfo(c10::Scalar scalar) : TorchMlirBackendData::Info(scalar) {
  requires_grad = false;
}

ApplianceDataInfo::ApplianceDataInfo(at::Tensor tensor) {
  TraceCheck trace_check;
  if (!tensor.defined()) {
    mFwLtcTrace(tracing()) << "Dropping undefined tensor \"" << name << "\"";
    return;
  }
  if (should_drop_tensor(tensor, name)) return;

  const int64_t n = static_cast<int64_t>(tensor.nbytes());
  const int64_t in_memory = total_bytes_in_memory.load();
  const bool should_write_to_file =
      in_memory + n > config.max_bytes_in_memory || n > config.max_tensor_size;
  const bool is_deferred = is_deferred_tensor(tensor);
  mFwLtcTrace(tracing()) << "Creating ApplianceData"
                         << ": appliance_data_enabled=" << config.enabled
                         << ", max_bytes_in_memory=" << config.max_bytes_in_memory
                         << ", total_bytes_in_memory=" << in_memory
                         << ", total_bytes_in_files=" << total_bytes_in_files.load()
                         << ", tensor_size_in_bytes=" << n << ", is_deferred=" << is_deferred
                         << ", should_write_to_file=" << should_write_to_file;

  if (is_deferred) {
    impl_ = std::make_shared<DeferredInfo>(std::move(tensor));
  } else if (should_write_to_file) {
    impl_ = std::make_shared<FileInfo>(std::move(tensor));
  } else {
    impl_ = std::make_shared<MemoryInfo>(std::move(tensor));
  }
}

ApplianceDataInfo::ApplianceDataInfo(const ApplianceDataInfo& other)
    : TorchMlirBackendData::Info(), std::enable_shared_from_this<ApplianceDataInfo>() {
  if (!other.impl_) return;
  TraceCheck trace_check;
  at::Tensor t = other.impl_->get_tensor();
  if (should_drop_tensor(t, name)) {
    mFwLtcTrace(tracing()) << "Dropping tensor data when copying ApplianceData "
                           << "for tensor \"" << name << "\" with size " << t.nbytes()
                           << " from tensor \"" << other.name
                           << "\" since ApplianceData is disabled.";
    return;
  }
  mFwLtcTrace(tracing()) << "Copying ApplianceData for tensor \"" << name << "\" from tensor \""
                         << other.name << "\".";

  if (is_deferred_tensor(t)) {
    // A deferred tensor whose host memory is already released has no elements to copy: the copy
    // stands for the same tensor.
    const bool can_clone = has_python_dispatch(t) || has_host_data(t);
    impl_ = std::make_shared<DeferredInfo>(can_clone ? t.clone() : t);
    return;
  }
  const int64_t n = static_cast<int64_t>(t.nbytes());
  if (total_bytes_in_memory.load() + n <= config.max_bytes_in_memory &&
      n <= config.max_tensor_size) {
    impl_ = std::make_shared<MemoryInfo>(clone_host_tensor(t, other.name));
  } else if (auto* file = dynamic_cast<const FileInfo*>(other.impl_.get())) {
    impl_ = std::make_shared<FileInfo>(*file);
  } else {
    impl_ = std::make_shared<FileInfo>(clone_host_tensor(t, other.name));
  }
}

ApplianceDataInfo::~ApplianceDataInfo() = default;

void ApplianceDataInfo::share_storage(const ApplianceDataInfo& other) {
  mFwLtcTrace(tracing()) << "Sharing storage for tensor \"" << name << "\" from "
                         << "tensor \"" << other.name << "\".";
  impl_ = other.impl_;
}

at::Tensor ApplianceDataInfo::get_tensor() const {
  if (!impl_) {
    mFwLtcFatal << "Cannot get the backing tensor data for lazy tensor with name \"" << name
                << "\" as it is empty. This can happen if the lazy "
                << "tensor's data was dropped or had no data to begin with. In order "
                << "to keep the tensor data when creating a lazy tensor, please wrap "
                << "the lazy tensor creation call (i.e., `tensor.to(\"lazy\")`) in a "
                << "`vudored.backend.device` context manager.";
  }
  return impl_->get_tensor();
}

std::optional<std::string> ApplianceDataInfo::get_filename() const {
  if (auto* file = dynamic_cast<const FileInfo*>(impl_.get())) return file->get_filename();
  return std::nullopt;
}

int64_t ApplianceDataInfo::get_total_bytes_in_memory() { return total_bytes_in_memory; }
int64_t ApplianceDataInfo::get_total_bytes_in_files() { return total_bytes_in_files; }

// -------------------------------------------------------------------------------- MemoryInfo

MemoryInfo::MemoryInfo(at::Tensor tensor) : tensor_(std::move(tensor)) {
  mFwLtcTrace(tracing()) << "Creating memory-backed tensor with size " << tensor_.nbytes()
                         << " bytes.";
  total_bytes_in_memory += static_cast<int64_t>(tensor_.nbytes());
}

MemoryInfo::~MemoryInfo() { total_bytes_in_memory -= static_cast<int64_t>(tensor_.nbytes()); }

// ------------------------------------------------------------------------------ DeferredInfo

DeferredInfo::DeferredInfo(at::Tensor tensor) : tensor_(std::move(tensor)) {
  mFwLtcTrace(tracing()) << "Creating deferred tensor with size " << tensor_.nbytes() << " bytes.";
  release_deferred_memory(tensor_);
}

// ---------------------------------------------------------------------------------- FileInfo

template <typename Write>
void FileInfo::start_write(Write write, bool wait) {
  orvex::Semaphore* semaphore = get_async_write_semaphore();
  orvex::Semaphore::ScopedReservation reservation = [&] {
    InterpreterLockRelease unlocked;
    return semaphore->ScopedAcquire(1);
  }();
  write_file_ = std::async(
      std::launch::async,
      [this, write = std::move(write), reservation = std::move(reservation)]() mutable {
        // The unit goes back when the task ends, whether it succeeds or throws, and only once
        // the data is counted and what the write holds let go.
        orvex::Semaphore::ScopedReservation unit = std::move(reservation);
        Write task = std::move(write);
        try {
          task();
        } catch (...) {
          write_failed_ = true;
          throw;
        }
      });
  if (wait) wait_for_write(true);
}

FileInfo::FileInfo(at::Tensor tensor)
    : size_(static_cast<int64_t>(tensor.nbytes())),
      numel_(tensor.numel()),
      sizes_(tensor.sizes().vec()),
      options_(tensor.options()),
      filename_(get_unique_filename()) {
  const ApplianceDataInfo::Config config = ApplianceDataInfo::config;
  mFwLtcTrace(tracing()) << "Creating file-backed tensor with size " << size_
                         << " bytes: " << filename_;
  // The writer holds the tensor only until the file is written. The host memory goes when its
  // last user lets go of it: the caller's tensor, and every view of its storage, stays valid.
  start_write(
      [this, tensor, config] { write_tensor_file(filename_, tensor, size_, config, counted_bytes_); },
      !(config.enabled && config.async_file_write));
}

FileInfo::FileInfo(const FileInfo& other)
    : size_(other.size_),
      numel_(other.numel_),
      sizes_(other.sizes_),
      options_(other.options_),
      filename_(get_unique_filename()) {
  mFwLtcTrace(tracing()) << "Copying file-backed tensor with size " << size_ << " bytes from "
                         << other.filename_ << " to " << filename_;
  other.wait_for_write(false);
  if (!fs::exists(other.filename_)) {
    throw std::runtime_error("Cannot copy file as it does not exist: " + other.filename_);
  }
  other.check_file();
  const ApplianceDataInfo::Config& config = ApplianceDataInfo::config;
  start_write(
      [this, source = other.filename_] {
        try {
          fs::copy_file(source, filename_, fs::copy_options::overwrite_existing);
        } catch (...) {
          std::error_code ignored;
          fs::remove(filename_, ignored);
          throw;
        }
        total_bytes_in_files += size_;
        counted_bytes_ += size_;
      },
      !(config.enabled && config.async_file_write));
}

namespace {
// Emits a message from a destructor: a message that cannot be delivered must not stop the clean-up.
template <typename Emit>
void emit_quietly(Emit emit) noexcept {
  try {
    emit();
  } catch (...) {
  }
}
}  // namespace

FileInfo::~FileInfo() {
  // The writer reads this object: it must have finished before anything goes.
  if (write_file_.valid()) {
    InterpreterLockRelease unlocked;
    write_file_.wait();
  }
  if (!ApplianceDataInfo::config.delete_file_on_destruct || filename_.empty()) return;
  emit_quietly([&] { mFwLtcTrace(tracing()) << "Deleting tensor data file: " << filename_; });
  std::error_code error;
  const bool removed = fs::remove(filename_, error);
  // Only what this file added comes off the counter; a failed write added nothing.
  total_bytes_in_files -= counted_bytes_.exchange(0);
  if (error) {
    emit_quietly([&] {
      mFwLtcWarning << "Failed to delete tensor data file: " << filename_ << " ("
                    << error.message() << ")";
    });
  } else if (!removed && !write_failed_) {
    emit_quietly([&] { mFwLtcWarning << "Failed to delete tensor data file: " << filename_; });
  }
}

void FileInfo::check_file() const {
  std::error_code error;
  const uintmax_t on_disk = fs::file_size(filename_, error);
  if (error) {
    mFwLtcFatal << "Cannot read tensor data file " << filename_ << " (" << error.message()
                << "): expected " << size_ << " bytes. The file was removed or replaced outside "
                << "the data store.";
  }
  if (on_disk != static_cast<uintmax_t>(size_)) {
    mFwLtcFatal << "Tensor data file " << filename_ << " has " << on_disk << " bytes, expected "
                << size_ << " bytes. The file was changed outside the data store.";
  }
}

void FileInfo::wait_for_write(bool get) const {
  if (!write_file_.valid()) return;
  mFwLtcTrace(tracing()) << "Waiting for file " << filename_ << " to be written.";
  if (get) {
    std::future<void> task = std::move(write_file_);
    {
      InterpreterLockRelease unlocked;
      task.wait();
    }
    task.get();
  } else {
    InterpreterLockRelease unlocked;
    write_file_.wait();
  }
  mFwLtcTrace(tracing()) << "File " << filename_ << " was successfully written.";
}

at::Tensor FileInfo::get_tensor() const {
  wait_for_write(true);
  // Mapping a short file would extend it with zeros and hand those out as the tensor's values.
  check_file();
  if (numel_ == 0) return at::empty(sizes_, options_);
  at::Tensor flat = at::from_file(filename_, /*shared=*/true, numel_,
                                  at::typeMetaToScalarType(options_.dtype()), options_.layout(),
                                  options_.device(), /*pin_memory=*/std::nullopt);
  return flat.reshape(sizes_);
}

}  // namespace lazy
}  // namespace torch
