// The tensor data store: which records keep data and where, data files and their background
// writes, copies and sharing, and failures of the file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <sys/stat.h>
#include <torch/csrc/utils/pybind.h>
#include <unistd.h>

#include <c10/util/accumulate.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "backend_data.h"
#include "backend_impl.h"
#include "semaphore.h"
#include "test_util.h"
#include "utils.h"

namespace py = pybind11;
namespace fs = std::filesystem;
using orvex::MessageLevel;
using orvex_test::with_watchdog;
using torch::lazy::ApplianceDataInfo;
using torch::lazy::DeferredInfo;
using torch::lazy::FileInfo;
using torch::lazy::MemoryInfo;

namespace {

// What the store logged in the current test.
std::shared_ptr<orvex_test::MessageLog> store_log;

std::vector<std::string> messages(MessageLevel level) { return store_log->texts(level); }

std::string data_file(const std::string& dir, int64_t id) {
  return dir + "/tensor_" + std::to_string(id) + ".app_data";
}

// Random bits of the given type (bools are 0 or 1), so that every bit pattern takes part.
at::Tensor random_tensor(at::ScalarType type, at::IntArrayRef sizes) {
  const int64_t numel = c10::multiply_integers(sizes);
  const int64_t bytes = numel * static_cast<int64_t>(c10::elementSize(type));
  return (type == at::kBool ? at::randint(0, 2, {numel}, at::kByte)
                            : at::randint(0, 256, {bytes}, at::kByte))
      .view(type)
      .reshape(sizes);
}

bool same_bits(const at::Tensor& a, const at::Tensor& b) {
  if (a.scalar_type() != b.scalar_type() || a.sizes() != b.sizes()) return false;
  at::Tensor x = a.resolve_conj().contiguous(), y = b.resolve_conj().contiguous();
  return x.nbytes() == 0 || std::memcmp(x.const_data_ptr(), y.const_data_ptr(), x.nbytes()) == 0;
}

// Reads a FIFO to its end (opening blocks until a writer opens the other side) and compares.
bool fifo_holds(const std::string& path, const at::Tensor& t) {
  std::vector<char> data;
  int fd = ::open(path.c_str(), O_RDONLY);
  char buffer[65536];
  for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    data.insert(data.end(), buffer, buffer + n);
  }
  if (fd >= 0) ::close(fd);
  return data.size() == t.nbytes() &&
         (data.empty() || std::memcmp(data.data(), t.const_data_ptr(), data.size()) == 0);
}

using orvex_test::error_text;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

template <typename T>
bool backed_by(const ApplianceDataInfo& record) {
  return dynamic_cast<T*>(record.impl_.get()) != nullptr;
}

// Runs `body` in a fresh process, which passes if `body` returns true. The write semaphore is made
// once per process from the configuration of that moment, so tests that need their own use this.
void in_child(const std::function<bool()>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(body() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

class DataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_config_ = ApplianceDataInfo::config;
    auto* appliance = torch::lazy::GetOrvexBackendAppliance();
    saved_dirs_ = {appliance->get_artifact_dir(), appliance->get_device_data_dir()};
    char pattern[] = "/tmp/orvex_data_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    set_device_data_dir(dir_);
    store_log = std::make_shared<orvex_test::MessageLog>();
    orvex::MessageManager::get().set_handler(std::make_unique<orvex_test::RecordingHandler>(store_log));
    py::exec("import torch");
  }

  void TearDown() override {
    ApplianceDataInfo::config = saved_config_;
    orvex::MessageManager::get().set_handler(
        orvex::MakeStdoutMessageHandler(MessageLevel::WARNING));
    // An unset directory cannot be restored; "." is where files went in that case.
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(
        saved_dirs_.first.empty() ? "." : saved_dirs_.first,
        saved_dirs_.second.empty() ? "." : saved_dirs_.second);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void set_device_data_dir(const std::string& dir) {
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(dir_, dir);
  }
  // Points the store at a directory that does not exist, so that opening a data file fails.
  std::string set_missing_device_data_dir() {
    set_device_data_dir(dir_ + "/gone");
    fs::remove(dir_ + "/gone");
    return dir_ + "/gone";
  }

  // Records of more than `limit` bytes go to files; their writes are waited for unless `async`.
  static void files_above(int64_t limit, bool async = false) {
    ApplianceDataInfo::config.enabled = true;
    ApplianceDataInfo::config.max_tensor_size = limit;
    ApplianceDataInfo::config.async_file_write = async;
  }

  // The number the next data file will get (found by writing one throw-away file).
  static int64_t next_file_id() {
    const auto saved = ApplianceDataInfo::config;
    files_above(0);
    ApplianceDataInfo probe(at::zeros({2}));
    ApplianceDataInfo::config = saved;
    const std::string name = *probe.get_filename();
    return std::stoll(name.substr(name.rfind("/tensor_") + 8)) + 1;
  }

  // FIFOs where the next `count` data files go; their writers are held up until they are read.
  std::vector<std::string> fifos_for_next_files(int count = 1) {
    const int64_t id = next_file_id();
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(data_file(dir_, id + i));
      EXPECT_EQ(::mkfifo(paths.back().c_str(), 0600), 0);
    }
    return paths;
  }

  std::string dir_;

 private:
  ApplianceDataInfo::Config saved_config_;
  std::pair<std::string, std::string> saved_dirs_;
};

}  // namespace

TEST_F(DataStoreTest, DeferredTensorsAreKeptWithoutTheirHostMemory) {
  py::exec(R"(
class DeferredParamTensor(torch.Tensor): pass
class DeferredParam(torch.Tensor): pass
class LazyDeferredTensor(torch.Tensor): pass
)");
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo::config.max_tensor_size = 16;  // smaller than the tensor: still no file
  at::Tensor t = py::eval("torch.ones(10, 10).as_subclass(DeferredParamTensor)").cast<at::Tensor>();
  const int64_t in_memory = ApplianceDataInfo::get_total_bytes_in_memory();
  ApplianceDataInfo record(t);
  ASSERT_TRUE(backed_by<DeferredInfo>(record));
  EXPECT_TRUE(record.get_tensor().is_same(t));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), in_memory);
  // The memory is gone: reading it raises instead of touching freed memory.
  EXPECT_PRED2(starts_with, error_text([&] { t.sum(); }), "The host memory of this deferred tensor");
  // A copy has no host memory to clone; it stands for the same tensor and must not read it.
  ApplianceDataInfo copy(record);
  ASSERT_TRUE(backed_by<DeferredInfo>(copy));
  EXPECT_EQ(copy.get_tensor().sizes(), t.sizes());
  // Only a type name beginning with "Deferred" and ending with "Tensor" makes a tensor deferred.
  for (std::string cls : {"DeferredParam", "LazyDeferredTensor"}) {
    py::object other = py::eval("torch.ones(4).as_subclass(" + cls + ")");
    EXPECT_FALSE(ApplianceDataInfo(other.cast<at::Tensor>()).has_tensor()) << cls;
  }
}

TEST_F(DataStoreTest, SizeLimitsAreInclusive) {
  files_above(1000);
  EXPECT_TRUE(backed_by<MemoryInfo>(ApplianceDataInfo(at::zeros({250}, at::kFloat))));
  EXPECT_TRUE(backed_by<FileInfo>(ApplianceDataInfo(at::zeros({1001}, at::kByte))));
  ApplianceDataInfo::config.max_bytes_in_memory =
      ApplianceDataInfo::get_total_bytes_in_memory() + 400;
  EXPECT_TRUE(backed_by<FileInfo>(ApplianceDataInfo(at::zeros({401}, at::kByte))));
  ApplianceDataInfo fills_budget(at::zeros({400}, at::kByte));
  EXPECT_TRUE(backed_by<MemoryInfo>(fills_budget));
  EXPECT_TRUE(backed_by<FileInfo>(ApplianceDataInfo(at::zeros({2}, at::kByte))));
}

TEST_F(DataStoreTest, FilesReadBackBitExactForEveryTypeAndLayout) {
  using View = std::function<at::Tensor(const at::Tensor&)>;
  const std::vector<std::pair<std::string, View>> views = {
      {"contiguous", [](const at::Tensor& b) { return b; }},
      {"transposed", [](const at::Tensor& b) { return b.t(); }},
      {"strided slice", [](const at::Tensor& b) { return b.slice(1, 1, 10, 3); }},
      {"empty", [](const at::Tensor& b) { return b.slice(0, 0, 0); }},
      {"conjugated", [](const at::Tensor& b) { return b.is_complex() ? b.conj() : b; }},
  };
  for (bool async : {false, true}) {
    files_above(0, async);
    ApplianceDataInfo::config.max_bytes_in_memory = -1;  // empty tensors go to files as well
    for (auto type : {at::kFloat, at::kHalf, at::kBFloat16, at::kDouble, at::kChar, at::kByte,
                      at::kShort, at::kInt, at::kLong, at::kBool, at::kComplexFloat}) {
      for (auto& [what, view] : views) {
        // A fresh source each time: the enabled store frees the memory of what it wrote.
        at::Tensor t = view(random_tensor(type, {6, 10}));
        at::Tensor expected = t.clone();
        ApplianceDataInfo record(t);
        EXPECT_TRUE(same_bits(record.get_tensor(), expected)) << type << " " << what;
        EXPECT_EQ(fs::file_size(record.get_filename().value()), expected.nbytes());
      }
    }
  }
}

// A background write does not hold up the record's constructor.
TEST_F(DataStoreTest, AsynchronousRecordsDoNotWaitForTheirWrite) {
  files_above(0, /*async=*/true);
  const std::string fifo = fifos_for_next_files()[0];
  at::Tensor source = at::arange(50000, at::kInt), expected = source.clone();
  with_watchdog(60, [&] {
    std::future<bool> reader;
    {
      ApplianceDataInfo record(source);  // returns although nothing reads the FIFO yet
      reader = std::async(std::launch::async, [&] { return fifo_holds(fifo, expected); });
    }
    EXPECT_TRUE(reader.get());
  });
}

TEST_F(DataStoreTest, WritersLetGoOfTheSourceOnceWritten) {
  for (bool async : {false, true}) {
    files_above(0, async);
    // The caller's tensor, and a view of it, keep their values.
    at::Tensor kept = at::arange(1000, at::kFloat);
    at::Tensor view = kept.slice(0, 10);
    ApplianceDataInfo record(kept.view({10, 100}));
    EXPECT_TRUE(same_bits(record.get_tensor(), at::arange(1000, at::kFloat).view({10, 100})));
    EXPECT_TRUE(same_bits(view, at::arange(10, 1000, at::kFloat))) << "async=" << async;
    // A source nobody else holds is freed once its file is written.
    std::optional<c10::weak_intrusive_ptr<c10::StorageImpl>> weak;
    auto dropped = std::make_unique<ApplianceDataInfo>([&] {
      at::Tensor only = at::arange(1000, at::kFloat);
      weak.emplace(only.storage().getWeakStorageImpl());
      return only;
    }());
    dropped->get_tensor();
    EXPECT_TRUE(weak->expired()) << "async=" << async;
  }
}

TEST_F(DataStoreTest, DestroyingARecordDeletesItsFile) {
  files_above(0);
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  // Makes a record, lets `meddle` act on its file, destroys the record; returns the file name.
  auto destroy = [](const std::function<void(const std::string&)>& meddle) {
    auto record = std::make_unique<ApplianceDataInfo>(at::zeros({100}));
    const std::string file = record->get_filename().value();
    meddle(file);
    EXPECT_NO_THROW(record.reset());
    return file;
  };
  EXPECT_FALSE(fs::exists(destroy([](auto&) {})));
  EXPECT_TRUE(messages(MessageLevel::WARNING).empty());
  // Already gone: a warning, and the counter still drops.
  std::string file = destroy([](auto& f) { fs::remove(f); });
  EXPECT_EQ(messages(MessageLevel::WARNING),
            std::vector<std::string>{"Failed to delete tensor data file: " + file});
  // Not removable (a non-empty directory took its place): reported, not thrown.
  file = destroy([](auto& f) { fs::remove(f), fs::create_directories(f + "/inside"); });
  EXPECT_PRED2(starts_with, messages(MessageLevel::WARNING).back(),
               "Failed to delete tensor data file: " + file + " (");
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);
  // A handler that cannot deliver the warning does not keep the file or the bytes counted.
  orvex::MessageManager::get().set_handler(
      std::make_unique<orvex_test::ThrowingHandler<std::runtime_error>>(std::runtime_error("no logger")));
  testing::internal::CaptureStderr();
  file = destroy([](auto& f) { fs::remove(f); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: [ltc] Failed to delete tensor data file: " + file + "\n");
  EXPECT_FALSE(fs::exists(destroy([](auto&) {})));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);
  // Deletion off: the file stays and stays counted.
  ApplianceDataInfo::config.delete_file_on_destruct = false;
  EXPECT_TRUE(fs::exists(destroy([](auto&) {})));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files + 400);
}

TEST_F(DataStoreTest, CopiesGetFreshNamesAndTheirOwnData) {
  files_above(1000);
  EXPECT_FALSE(ApplianceDataInfo(ApplianceDataInfo()).has_tensor());
  const at::Tensor small_values = at::arange(10, at::kFloat);
  const at::Tensor big_values = at::arange(1000, at::kFloat);
  at::Tensor small = small_values.clone();
  ApplianceDataInfo memory(small), file(big_values.clone());
  memory.is_weight = true;
  auto check_copy = [](const ApplianceDataInfo& source, bool to_file, const at::Tensor& values) {
    ApplianceDataInfo copy(source);
    EXPECT_NE(copy.name, source.name);
    EXPECT_FALSE(copy.is_weight);
    EXPECT_EQ(backed_by<FileInfo>(copy), to_file);
    if (to_file) EXPECT_NE(copy.get_filename(), source.get_filename());
    EXPECT_TRUE(same_bits(copy.get_tensor(), values));
    return copy.get_tensor();
  };
  at::Tensor memory_copy = check_copy(memory, false, small_values);
  small.fill_(-1);  // the source record shares this memory; the copy does not
  EXPECT_TRUE(same_bits(memory_copy, small_values));
  check_copy(file, true, big_values);
  ApplianceDataInfo::config.max_tensor_size = 4000;  // now the copy fits in memory
  check_copy(file, false, big_values);
  ApplianceDataInfo::config.max_tensor_size = 10;  // no longer fits: a file of its own
  check_copy(memory, true, at::full({10}, -1.0f));

  ApplianceDataInfo::config.enabled = false;
  EXPECT_FALSE(ApplianceDataInfo(memory).has_tensor());
  auto* source_file = dynamic_cast<FileInfo*>(file.impl_.get());
  fs::remove(source_file->get_filename());
  EXPECT_EQ(error_text([&] { FileInfo copy(*source_file); }),
            "Cannot copy file as it does not exist: " + source_file->get_filename());
}

TEST_F(DataStoreTest, WriteFailuresAreReportedAndNotCounted) {
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  const int64_t id = next_file_id();
  // A file that cannot be opened, then one that opens but cannot take the data (always full).
  for (bool opens : {false, true}) {
    set_device_data_dir(dir_);
    const std::string dir = opens ? dir_ : set_missing_device_data_dir();
    for (bool async : {false, true}) {
      files_above(0, async);
      const std::string path = data_file(dir, opens ? next_file_id() : id + async);
      if (opens) fs::create_symlink("/dev/full", path);
      std::unique_ptr<ApplianceDataInfo> r;
      EXPECT_EQ(error_text([&] {
                  r = std::make_unique<ApplianceDataInfo>(at::zeros({100000}));
                  r->get_tensor();
                }),
                (opens ? "Failed to write file: " : "Failed to open file for write: ") + path);
      EXPECT_EQ(r != nullptr, async);  // a background write fails at the first read
      r.reset();
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "partial file left behind";
    }
  }
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);
  EXPECT_TRUE(messages(MessageLevel::WARNING).empty());
}

TEST(WriteSemaphore, UnitsAreClippedReleasedOnceAndWakeWaitersThatFit) {
  orvex::Semaphore semaphore(0, 2);
  semaphore.release(5);  // clipped at the ceiling
  {
    auto a = semaphore.ScopedAcquire(1);
    auto moved = std::move(a);
    auto b = semaphore.ScopedAcquire(1);
    b.reset();
    b.reset();
  }
  semaphore.acquire(2);  // both units are back, and no more
  std::atomic<int> done{0};
  std::thread big([&] { semaphore.acquire(2), ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread small([&] { semaphore.acquire(1), ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done, 0);
  semaphore.release(1);  // enough for the small waiter, whichever waiter is woken first
  for (int i = 0; i < 100 && done < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done, 1);
  semaphore.release(2);
  big.join(), small.join();
}

TEST_F(DataStoreTest, OneWriteAtATimeMakesTheSecondWriterWait) {
  in_child([&] {
    files_above(0, /*async=*/true);
    ApplianceDataInfo::config.max_async_file_writes = 3;
    ApplianceDataInfo(at::zeros({10})).get_tensor();  // the limit applies from then on...
    ApplianceDataInfo::config.max_async_file_writes = 1;  // ...until it is changed
    bool waited = false;
    with_watchdog(60, [&] {
      // A failed background write gives its unit back although nobody has read its error.
      set_missing_device_data_dir();
      ApplianceDataInfo failed(at::zeros({100}));
      set_device_data_dir(dir_);
      const std::string fifo = fifos_for_next_files()[0];
      ApplianceDataInfo first(at::zeros({100000}));  // holds the only unit until read
      std::atomic<bool> second_made{false};
      std::thread second([&] {
        ApplianceDataInfo r(at::zeros({1000}));
        second_made = true;
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      waited = !second_made;
      fifo_holds(fifo, at::zeros({100000}));
      second.join();
    });
    return waited;
  });
}

TEST(DataStoreFreshProcess, UnsetDeviceDataDirectoryMeansTheWorkingDirectory) {
  in_child([] {
    char pattern[] = "/tmp/orvex_cwd_XXXXXX";
    bool ok = ::mkdtemp(pattern) != nullptr && ::chdir(pattern) == 0 &&
              torch::lazy::GetOrvexBackendAppliance()->get_device_data_dir().empty();
    ApplianceDataInfo::config.enabled = true;
    ApplianceDataInfo::config.max_tensor_size = 0;
    ApplianceDataInfo::config.async_file_write = false;
    {
      ApplianceDataInfo r(at::arange(10, at::kFloat));
      const std::string name = r.get_filename().value_or("");
      std::cerr << "file: " << name << std::endl;
      ok = ok && starts_with(name, "./tensor_") &&
           fs::exists(std::string(pattern) + "/" + name.substr(2));
    }
    fs::remove_all(pattern);
    return ok;
  });
}

// Writers free memory owned by numpy, which takes the interpreter lock, while the thread that
// holds the lock waits for one of two write slots and logs every step to a Python handler at
// level 5.
TEST_F(DataStoreTest, ManyBackgroundWritesWithPythonLoggingDoNotDeadlock) {
  in_child([&] {
    py::module_::import("orvex_pytorch_lib").attr("initialize")();
    py::exec(R"(
import logging, time, numpy as np
class _Slow(logging.Handler):
    count = 0
    def emit(self, record):
        time.sleep(0.0002)
        _Slow.count += 1
logging.getLogger("orvex").addHandler(_Slow(level=1))
logging.getLogger("orvex").setLevel(5)
_arrays = [torch.from_numpy(np.full((1 << 20,), i, dtype=np.float32)) for i in range(32)]
)");
    ApplianceDataInfo::config.max_async_file_writes = 2;
    files_above(1000, /*async=*/true);
    bool ok = true;
    with_watchdog(60, [&] {
      std::vector<std::unique_ptr<ApplianceDataInfo>> records;
      for (auto item : py::list(py::globals()["_arrays"])) {
        records.push_back(std::make_unique<ApplianceDataInfo>(item.cast<at::Tensor>()));
      }
      py::exec("del _arrays");
      for (size_t i = 0; i < records.size(); ++i) {
        ok = ok && records[i]->get_tensor()[-1].item<float>() == static_cast<float>(i);
      }
    });
    return ok && py::eval("_Slow.count").cast<int>() > 32 * 3;
  });
}
