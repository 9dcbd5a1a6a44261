// The tensor data store: which records keep data and where, data files and their background
// writes, copies and sharing, and failures of the file system.
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <torch/csrc/utils/pybind.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <c10/util/accumulate.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>

#include "backend_data.h"
#include "backend_impl.h"
#include "semaphore.h"
#include "utils.h"

namespace py = pybind11;
namespace fs = std::filesystem;
using orvex::MessageLevel;
using torch::lazy::ApplianceDataInfo;
using torch::lazy::DeferredInfo;
using torch::lazy::FileInfo;
using torch::lazy::MemoryInfo;

namespace {

class RecordingHandler : public orvex::MessageHandler {
 public:
  using Log = std::vector<std::pair<MessageLevel, std::string>>;
  RecordingHandler(Log* log, std::mutex* mutex) : log_(log), mutex_(mutex) {}
  void set_default_level(MessageLevel) override {}
  bool will_print(const orvex::Message&) const override { return true; }
  void print_string(const orvex::Message& m, const std::string& text) const override {
    std::lock_guard<std::mutex> lock(*mutex_);
    log_->emplace_back(m.level(), text);
  }

 private:
  Log* log_;
  std::mutex* mutex_;
};

// Ends the process if `body` does not finish in time: a hang must fail the run, not stall it.
void with_watchdog(int seconds, const std::function<void()>& body) {
  std::atomic<bool> done{false};
  std::thread dog([&] {
    for (int i = 0; i < seconds * 10 && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!done) {
      std::cerr << "watchdog: test did not finish in " << seconds << " s" << std::endl;
      std::_Exit(3);
    }
  });
  try {
    body();
  } catch (...) {
    done = true;
    dog.join();
    throw;
  }
  done = true;
  dog.join();
}

std::string data_file(const std::string& dir, int64_t id) {
  return dir + "/tensor_" + std::to_string(id) + ".app_data";
}

// Random bits of the given type (bools are 0 or 1), so that every bit pattern takes part.
at::Tensor random_tensor(at::ScalarType type, at::IntArrayRef sizes) {
  const int64_t numel = c10::multiply_integers(sizes);
  at::Tensor bytes = type == at::kBool
                         ? at::randint(0, 2, {numel}, at::kByte)
                         : at::randint(0, 256, {numel * c10::elementSize(type)}, at::kByte);
  return bytes.view(type).reshape(sizes);
}

bool same_bits(const at::Tensor& a, const at::Tensor& b) {
  if (a.scalar_type() != b.scalar_type() || a.sizes() != b.sizes()) return false;
  at::Tensor x = a.resolve_conj().contiguous(), y = b.resolve_conj().contiguous();
  return std::memcmp(x.const_data_ptr(), y.const_data_ptr(), x.nbytes()) == 0;
}

// Reads a FIFO to its end; opening blocks until a writer opens the other side.
std::vector<char> drain_fifo(const std::string& path) {
  std::vector<char> data;
  int fd = ::open(path.c_str(), O_RDONLY);
  char buffer[65536];
  for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    data.insert(data.end(), buffer, buffer + n);
  }
  if (fd >= 0) ::close(fd);
  return data;
}

bool holds(const std::vector<char>& data, const at::Tensor& t) {
  return data.size() == t.nbytes() && std::memcmp(data.data(), t.const_data_ptr(), data.size()) == 0;
}

std::string error_text(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

template <typename T>
bool backed_by(const ApplianceDataInfo& record) {
  return dynamic_cast<T*>(record.impl_.get()) != nullptr;
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
    orvex::MessageManager::get().set_handler(std::make_unique<RecordingHandler>(&log_, &mutex_));
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

  bool logged(MessageLevel level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(log_.begin(), log_.end(), std::make_pair(level, text)) != log_.end();
  }
  std::vector<std::string> warnings() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (auto& [level, text] : log_) {
      if (level == MessageLevel::WARNING) out.push_back(text);
    }
    return out;
  }

  std::string dir_;

 private:
  ApplianceDataInfo::Config saved_config_;
  std::pair<std::string, std::string> saved_dirs_;
  RecordingHandler::Log log_;
  std::mutex mutex_;
};

// The write semaphore is made once per process from the configuration of that moment, so tests
// that need their own run in a fresh process.
class DataStoreProcessTest : public DataStoreTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DataStoreTest::SetUp();
  }
  // Ends the child process; its own directory goes with it.
  [[noreturn]] void finish(bool ok) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    std::_Exit(ok ? 0 : 1);
  }
};

}  // namespace

// ----------------------------------------------------------------------------- what is kept

TEST_F(DataStoreTest, DisabledStoreDropsAllButOneElementTensors) {
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo dropped(at::ones({2, 2}));
  EXPECT_FALSE(dropped.has_tensor());
  EXPECT_FALSE(dropped.get_filename().has_value());
  EXPECT_PRED2(starts_with, error_text([&] { dropped.get_tensor(); }),
               "Cannot get the backing tensor data for lazy tensor with name \"" + dropped.name +
                   "\" as it is empty. This can happen if the lazy tensor's data was dropped or "
                   "had no data to begin with. In order to keep the tensor data when creating a "
                   "lazy tensor, please wrap the lazy tensor creation call (i.e., "
                   "`tensor.to(\"lazy\")`) in a `vudored.backend.device` context manager.\n"
                   "Stack Trace: ");

  const int64_t before = ApplianceDataInfo::get_total_bytes_in_memory();
  for (const auto& sizes : std::vector<std::vector<int64_t>>{{1}, {1, 1}, {}}) {
    at::Tensor one = at::full(sizes, 7.0, at::kDouble);
    ApplianceDataInfo kept(one);
    EXPECT_TRUE(backed_by<MemoryInfo>(kept));
    EXPECT_TRUE(kept.get_tensor().is_same(one));
    EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), before + 8);
  }
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), before);

  ApplianceDataInfo undefined{at::Tensor()};
  EXPECT_FALSE(undefined.has_tensor());
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Dropping undefined tensor \"" + undefined.name + "\""));
  ApplianceDataInfo scalar(c10::Scalar(2.5));
  EXPECT_FALSE(scalar.has_tensor());
  EXPECT_EQ(scalar.name, "");
  EXPECT_EQ(scalar.scalar.value().toDouble(), 2.5);
}

TEST_F(DataStoreTest, DeferredTensorsAreKeptWithoutTheirHostMemory) {
  py::exec(R"(
class DeferredParamTensor(torch.Tensor): pass
class DeferredParam(torch.Tensor): pass
class LazyDeferredTensor(torch.Tensor): pass
)");
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo::config.max_tensor_size = 16;  // smaller than the tensor: still no file
  py::object deferred = py::eval("torch.ones(10, 10).as_subclass(DeferredParamTensor)");
  at::Tensor t = deferred.cast<at::Tensor>();
  const int64_t in_memory = ApplianceDataInfo::get_total_bytes_in_memory();
  ApplianceDataInfo record(t);
  ASSERT_TRUE(backed_by<DeferredInfo>(record));
  EXPECT_TRUE(record.get_tensor().is_same(t));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), in_memory);
  EXPECT_EQ(py::eval("lambda t: t.untyped_storage().nbytes()")(deferred).cast<int>(), 0);

  // A copy has no host memory to clone; it stands for the same tensor and must not read it.
  ApplianceDataInfo copy(record);
  ASSERT_TRUE(backed_by<DeferredInfo>(copy));
  EXPECT_EQ(copy.get_tensor().sizes(), t.sizes());

  // Only a type name beginning with "Deferred" and ending with "Tensor" makes a tensor deferred.
  for (const char* cls : {"DeferredParam", "LazyDeferredTensor"}) {
    py::object other = py::eval(std::string("torch.ones(4).as_subclass(") + cls + ")");
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

// ------------------------------------------------------------------------------- data files

TEST_F(DataStoreTest, DataFilesAreNumberedConsecutivelyInTheDeviceDataDirectory) {
  files_above(0);
  const int64_t first = next_file_id();
  std::vector<std::unique_ptr<ApplianceDataInfo>> records;
  for (int i = 0; i < 3; ++i) {
    records.push_back(std::make_unique<ApplianceDataInfo>(at::full({3}, i, at::kInt)));
    EXPECT_EQ(records.back()->get_filename(), data_file(dir_, first + i));
    EXPECT_EQ(fs::file_size(data_file(dir_, first + i)), 12u);
  }
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

// A FIFO in place of the data file holds the writer up until the test reads it.
TEST_F(DataStoreTest, OnlySynchronousRecordsWaitForTheirWrite) {
  files_above(0, /*async=*/false);
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  ApplianceDataInfo sync_record(at::arange(1000, at::kFloat));
  EXPECT_EQ(fs::file_size(sync_record.get_filename().value()), 4000u);
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files + 4000);

  files_above(0, /*async=*/true);
  const int64_t id = next_file_id();
  ASSERT_EQ(::mkfifo(data_file(dir_, id).c_str(), 0600), 0);
  at::Tensor source = at::arange(50000, at::kInt);
  at::Tensor expected = source.clone();
  with_watchdog(60, [&] {
    std::future<std::vector<char>> reader;
    {
      ApplianceDataInfo record(source);  // returns although nothing reads the FIFO yet
      reader = std::async(std::launch::async, [&] { return drain_fifo(data_file(dir_, id)); });
    }
    EXPECT_TRUE(holds(reader.get(), expected));
  });
}

TEST_F(DataStoreTest, EnabledStoreFreesTheSourceMemoryOnceWritten) {
  for (bool async : {false, true}) {
    files_above(0, async);
    at::Tensor source = at::arange(1000, at::kFloat);
    ApplianceDataInfo record(source.view({10, 100}));
    EXPECT_TRUE(same_bits(record.get_tensor(), at::arange(1000, at::kFloat).view({10, 100})));
    EXPECT_EQ(source.storage().nbytes(), 0u) << "async=" << async;
  }
  // Disabled, a kept tensor that goes to a file (one element, above a zero limit) keeps its memory.
  ApplianceDataInfo::config.enabled = false;
  at::Tensor one = at::full({1}, 3.0);
  ApplianceDataInfo record(one);
  ASSERT_TRUE(backed_by<FileInfo>(record));
  EXPECT_EQ(one.item<float>(), 3.0f);
}

TEST_F(DataStoreTest, DestroyingARecordDeletesItsFile) {
  files_above(0);
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  auto make = [] { return std::make_unique<ApplianceDataInfo>(at::zeros({100})); };
  auto record = make();
  std::string file = record->get_filename().value();
  record.reset();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);

  // Already gone: a warning, and the counter still drops.
  record = make();
  file = record->get_filename().value();
  fs::remove(file);
  record.reset();
  EXPECT_EQ(warnings(), std::vector<std::string>{"Failed to delete tensor data file: " + file});
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);

  // Not removable (a non-empty directory took its place): reported, not thrown.
  record = make();
  file = record->get_filename().value();
  fs::remove(file);
  fs::create_directories(file + "/inside");
  EXPECT_NO_THROW(record.reset());
  EXPECT_EQ(warnings().size(), 2u);
  EXPECT_PRED2(starts_with, warnings().back(), "Failed to delete tensor data file: " + file + " (");

  // Deletion off: the file stays and stays counted.
  ApplianceDataInfo::config.delete_file_on_destruct = false;
  const int64_t kept_before = ApplianceDataInfo::get_total_bytes_in_files();
  record = make();
  file = record->get_filename().value();
  record.reset();
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), kept_before + 400);
}

// ------------------------------------------------------------------------ copies and sharing

TEST_F(DataStoreTest, CopiesGetFreshNamesAndTheirOwnData) {
  files_above(1000);
  ApplianceDataInfo empty;
  EXPECT_FALSE(ApplianceDataInfo(empty).has_tensor());

  at::Tensor small = at::arange(10, at::kFloat);
  ApplianceDataInfo memory(small);
  memory.is_weight = true;
  ApplianceDataInfo memory_copy(memory);
  EXPECT_NE(memory_copy.name, memory.name);
  EXPECT_FALSE(memory_copy.is_weight);
  ASSERT_TRUE(backed_by<MemoryInfo>(memory_copy));
  small.fill_(-1);  // the source record shares this memory; the copy does not
  EXPECT_TRUE(same_bits(memory_copy.get_tensor(), at::arange(10, at::kFloat)));

  // A file-backed source: a new file unless the copy fits in memory.
  ApplianceDataInfo file(at::arange(1000, at::kFloat));
  ApplianceDataInfo file_copy(file);
  ASSERT_TRUE(backed_by<FileInfo>(file_copy));
  EXPECT_NE(file_copy.get_filename(), file.get_filename());
  EXPECT_TRUE(same_bits(file_copy.get_tensor(), at::arange(1000, at::kFloat)));
  ApplianceDataInfo::config.max_tensor_size = 4000;
  ApplianceDataInfo fits_copy(file);
  ASSERT_TRUE(backed_by<MemoryInfo>(fits_copy));
  EXPECT_TRUE(same_bits(fits_copy.get_tensor(), at::arange(1000, at::kFloat)));

  // A memory-backed source that no longer fits: written to a file of its own.
  ApplianceDataInfo::config.max_tensor_size = 10;
  ApplianceDataInfo filed_copy(memory);
  ASSERT_TRUE(backed_by<FileInfo>(filed_copy));
  EXPECT_TRUE(same_bits(filed_copy.get_tensor(), at::full({10}, -1.0f)));

  ApplianceDataInfo::config.enabled = false;
  EXPECT_FALSE(ApplianceDataInfo(memory).has_tensor());

  auto* source_file = dynamic_cast<FileInfo*>(file.impl_.get());
  fs::remove(source_file->get_filename());
  EXPECT_EQ(error_text([&] { FileInfo copy(*source_file); }),
            "Cannot copy file as it does not exist: " + source_file->get_filename());
}

TEST_F(DataStoreTest, SharedStorageOutlivesItsSource) {
  files_above(100);
  for (int64_t n : {10, 1000}) {  // memory- and file-backed
    ApplianceDataInfo target;
    {
      ApplianceDataInfo source(at::arange(n, at::kFloat));
      target.share_storage(source);
      EXPECT_EQ(target.impl_, source.impl_);
    }
    EXPECT_TRUE(same_bits(target.get_tensor(), at::arange(n, at::kFloat)));
  }
}

// ---------------------------------------------------------------------------- file failures

TEST_F(DataStoreTest, WriteFailuresAreReportedAndNotCounted) {
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  const int64_t id = next_file_id();
  set_device_data_dir(dir_ + "/gone");
  fs::remove(dir_ + "/gone");
  for (bool async : {false, true}) {
    files_above(0, async);
    std::unique_ptr<ApplianceDataInfo> r;
    EXPECT_EQ(error_text([&] {
                r = std::make_unique<ApplianceDataInfo>(at::zeros({100}));
                r->get_tensor();
              }),
              "Failed to open file for write: " + data_file(dir_ + "/gone", id + async));
    EXPECT_EQ(r != nullptr, async);  // a background write fails at the first read
  }

  // A file that opens but cannot take the data (a device that is always full).
  set_device_data_dir(dir_);
  for (bool async : {false, true}) {
    files_above(0, async);
    const std::string path = data_file(dir_, next_file_id());
    fs::create_symlink("/dev/full", path);
    std::unique_ptr<ApplianceDataInfo> r;
    EXPECT_EQ(error_text([&] {
                r = std::make_unique<ApplianceDataInfo>(at::zeros({100000}));
                r->get_tensor();
              }),
              "Failed to write file: " + path);
    r.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "partial file left behind";
  }
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);
  EXPECT_TRUE(warnings().empty());
}

// --------------------------------------------------------------------- the write semaphore

TEST(WriteSemaphore, WaitersGoWhenEnoughUnitsComeBack) {
  orvex::Semaphore semaphore(0, 2);
  semaphore.release(5);  // clipped at the ceiling
  semaphore.acquire(2);
  std::atomic<int> done{0};
  std::thread big([&] { semaphore.acquire(2); ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread small([&] { semaphore.acquire(1); ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done, 0);
  semaphore.release(1);  // enough for the small waiter, whichever waiter is woken first
  for (int i = 0; i < 100 && done < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done, 1);
  semaphore.release(2);
  big.join();
  small.join();
}

TEST(WriteSemaphore, ReservationsReleaseOnceWhereverTheyEnd) {
  orvex::Semaphore semaphore(2, 2);
  {
    auto a = semaphore.ScopedAcquire(1);
    auto moved = std::move(a);
    auto b = semaphore.ScopedAcquire(1);
    b.reset();
    b.reset();
  }
  semaphore.acquire(2);  // both units are back, and no more
  std::atomic<bool> got{false};
  std::thread waiter([&] { semaphore.acquire(1); got = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got);
  semaphore.release(1);
  waiter.join();
}

TEST_F(DataStoreProcessTest, OneWriteAtATimeMakesTheSecondWriterWait) {
  EXPECT_EXIT(
      {
        ApplianceDataInfo::config.max_async_file_writes = 1;
        files_above(0, /*async=*/true);
        bool waited = false;
        with_watchdog(60, [&] {
          // A failed background write gives its unit back although nobody has read its error.
          set_device_data_dir(dir_ + "/gone");
          fs::remove(dir_ + "/gone");
          ApplianceDataInfo failed(at::zeros({100}));
          set_device_data_dir(dir_);

          const int64_t id = next_file_id();
          ::mkfifo(data_file(dir_, id).c_str(), 0600);
          // The first writer holds the only unit until its FIFO is read.
          ApplianceDataInfo first(at::zeros({100000}));
          std::atomic<bool> second_made{false};
          std::thread second([&] {
            ApplianceDataInfo r(at::zeros({1000}));
            second_made = true;
          });
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          waited = !second_made;
          drain_fifo(data_file(dir_, id));
          second.join();
        });
        finish(waited);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(DataStoreProcessTest, NoWriteAllowedAtATimeIsRefused) {
  EXPECT_EXIT(
      {
        files_above(0);
        ApplianceDataInfo::config.max_async_file_writes = 0;
        const std::string error = error_text([] { ApplianceDataInfo r(at::zeros({10})); });
        std::cerr << error << std::endl;
        const bool refused = starts_with(
            error, "Invalid ApplianceDataInfo::Config max_async_file_writes=0: at least 1 file "
                   "write must be allowed at a time.");
        ApplianceDataInfo::config.max_async_file_writes = 2;  // corrected, the next one works
        ApplianceDataInfo r(at::arange(10, at::kFloat));
        finish(refused && same_bits(r.get_tensor(), at::arange(10, at::kFloat)));
      },
      ::testing::ExitedWithCode(0), "");
}

// Records of two views of one storage, their writers held at FIFOs: the second writer must still
// read the memory after the first one has finished and would free it.
TEST_F(DataStoreProcessTest, ViewsOfOneStorageAreAllWrittenBeforeItsMemoryIsFreed) {
  EXPECT_EXIT(
      {
        ApplianceDataInfo::config.max_async_file_writes = 2;
        files_above(0, /*async=*/true);
        const int64_t id = next_file_id();
        ::mkfifo(data_file(dir_, id).c_str(), 0600);
        ::mkfifo(data_file(dir_, id + 1).c_str(), 0600);
        at::Tensor source = at::arange(200000, at::kInt);
        at::Tensor expected = source.clone();
        at::Tensor late_view = source.slice(0, 0, 10);
        bool ok = true;
        with_watchdog(60, [&] {
          ApplianceDataInfo first(source.slice(0, 0, 100000));
          ApplianceDataInfo second(source.slice(0, 100000));
          ok &= holds(drain_fifo(data_file(dir_, id)), expected.slice(0, 0, 100000));
          dynamic_cast<FileInfo&>(*first.impl_).wait_for_write(false);
          ok &= source.storage().nbytes() > 0;  // the second writer still reads it
          ok &= holds(drain_fifo(data_file(dir_, id + 1)), expected.slice(0, 100000));
          dynamic_cast<FileInfo&>(*second.impl_).wait_for_write(false);
          ok &= source.storage().nbytes() == 0;  // the last writer freed it
        });
        // A record made after the memory went away fails instead of reading freed memory.
        files_above(0, /*async=*/false);
        const std::string error = error_text([&] { ApplianceDataInfo late(late_view); });
        std::cerr << error << std::endl;
        ok &= starts_with(error, "Failed to write file: " + data_file(dir_, id + 2));
        finish(ok);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DataStoreFreshProcess, UnsetDeviceDataDirectoryMeansTheWorkingDirectory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
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
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Writers free memory owned by numpy, which takes the interpreter lock, while the thread that
// holds the lock waits for one of two write slots and logs every step to a Python handler at
// level 5.
TEST_F(DataStoreProcessTest, ManyBackgroundWritesWithPythonLoggingDoNotDeadlock) {
  EXPECT_EXIT(
      {
        py::module_::import("orvex_pytorch_lib").attr("initialize")();
        py::exec(R"(
import logging, time, numpy as np
class _Slow(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.count = 0
    def emit(self, record):
        time.sleep(0.0002)
        self.count += 1
_log = _Slow()
logging.getLogger("orvex").addHandler(_log)
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
        finish(ok && py::eval("_log.count").cast<int>() > 32 * 3);
      },
      ::testing::ExitedWithCode(0), "");
}
