// The tensor data store: which records keep data and where, data files and their background
// writes, copies and sharing, and failures of the file system.
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <torch/csrc/utils/pybind.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend_data.h"
#include "backend_impl.h"
#include "message.h"
#include "semaphore.h"
#include "utils.h"

namespace py = pybind11;
namespace fs = std::filesystem;
using torch::lazy::ApplianceDataInfo;
using torch::lazy::DeferredInfo;
using torch::lazy::FileInfo;
using torch::lazy::MemoryInfo;
using orvex::MessageLevel;

namespace {

struct Recorded {
  MessageLevel level;
  std::string text;
};

class RecordingHandler : public orvex::MessageHandler {
 public:
  RecordingHandler(std::vector<Recorded>* out, std::mutex* mutex) : out_(out), mutex_(mutex) {}
  void set_default_level(MessageLevel) override {}
  bool will_print(const orvex::Message&) const override { return true; }
  void print_string(const orvex::Message& m, const std::string& text) const override {
    std::lock_guard<std::mutex> lock(*mutex_);
    out_->push_back({m.level(), text});
  }

 private:
  std::vector<Recorded>* out_;
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
  body();
  done = true;
  dog.join();
}

int64_t file_id_of(const std::string& path) {
  const auto start = path.rfind("/tensor_") + 8;
  return std::stoll(path.substr(start, path.size() - start - std::string(".app_data").size()));
}

std::string data_file(const std::string& dir, int64_t id) {
  return dir + "/tensor_" + std::to_string(id) + ".app_data";
}

// Random bits of the given type (bools are 0 or 1), so every bit pattern takes part.
at::Tensor random_tensor(at::ScalarType type, at::IntArrayRef sizes) {
  int64_t numel = 1;
  for (auto s : sizes) numel *= s;
  const int64_t item = c10::elementSize(type);
  at::Tensor bytes = type == at::kBool ? at::randint(0, 2, {numel}, at::kByte)
                                       : at::randint(0, 256, {numel * item}, at::kByte);
  return bytes.view(type).reshape(sizes);
}

bool same_bits(const at::Tensor& a, const at::Tensor& b) {
  if (a.scalar_type() != b.scalar_type() || a.sizes() != b.sizes()) return false;
  at::Tensor x = a.resolve_conj().contiguous().flatten();
  at::Tensor y = b.resolve_conj().contiguous().flatten();
  return std::memcmp(x.const_data_ptr(), y.const_data_ptr(), x.nbytes()) == 0;
}

std::vector<char> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Reads a FIFO to its end; opening blocks until the writer opens its side.
std::vector<char> drain_fifo(const std::string& path) {
  std::vector<char> data;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return data;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) data.insert(data.end(), buffer, buffer + n);
  ::close(fd);
  return data;
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

class DataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_config_ = ApplianceDataInfo::config;
    saved_dir_ = torch::lazy::GetOrvexBackendAppliance()->get_device_data_dir();
    saved_artifact_dir_ = torch::lazy::GetOrvexBackendAppliance()->get_artifact_dir();
    char pattern[] = "/tmp/orvex_data_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    set_device_data_dir(dir_);
    orvex::MessageManager::get().set_handler(
        std::make_unique<RecordingHandler>(&messages_, &messages_mutex_));
    py::exec("import torch");
  }

  void TearDown() override {
    ApplianceDataInfo::config = saved_config_;
    orvex::MessageManager::get().set_handler(
        orvex::MakeStdoutMessageHandler(MessageLevel::WARNING));
    // An unset directory cannot be restored; "." is where files went in that case.
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(
        saved_artifact_dir_.empty() ? "." : saved_artifact_dir_,
        saved_dir_.empty() ? "." : saved_dir_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void set_device_data_dir(const std::string& dir) {
    torch::lazy::GetOrvexBackendAppliance()->set_artifact_dirs(dir_, dir);
  }

  // Records of more than `limit` bytes go to files; writes are waited for unless `async`.
  static void files_above(int64_t limit, bool async = false) {
    ApplianceDataInfo::config.enabled = true;
    ApplianceDataInfo::config.max_tensor_size = limit;
    ApplianceDataInfo::config.async_file_write = async;
  }

  // The number the next data file will get (made by writing one throw-away file).
  int64_t next_file_id() {
    const auto saved = ApplianceDataInfo::config;
    files_above(0);
    ApplianceDataInfo probe(at::zeros({2}));
    ApplianceDataInfo::config = saved;
    return file_id_of(*probe.get_filename()) + 1;
  }

  std::vector<Recorded> messages() {
    std::lock_guard<std::mutex> lock(messages_mutex_);
    return messages_;
  }
  bool logged(MessageLevel level, const std::string& text) {
    for (const auto& m : messages()) {
      if (m.level == level && m.text == text) return true;
    }
    return false;
  }
  void clear_messages() {
    std::lock_guard<std::mutex> lock(messages_mutex_);
    messages_.clear();
  }

  std::string dir_;

 private:
  ApplianceDataInfo::Config saved_config_;
  std::string saved_dir_;
  std::string saved_artifact_dir_;
  std::vector<Recorded> messages_;
  std::mutex messages_mutex_;
};

const char* kDeferredClasses = R"(
import torch
class DeferredParamTensor(torch.Tensor):
    pass
class DeferredParam(torch.Tensor):
    pass
class LazyDeferredTensor(torch.Tensor):
    pass
)";

}  // namespace

// ------------------------------------------------------------------------------ drop rules

TEST_F(DataStoreTest, DisabledStoreDropsOrdinaryTensorsAndKeepsOneElementOnes) {
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo dropped(at::ones({2, 2}));
  EXPECT_FALSE(dropped.has_tensor());
  EXPECT_FALSE(dropped.get_filename().has_value());
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Dropping tensor data for \"" + dropped.name +
                                              "\" with size 16 as ApplianceData is disabled."));
  const std::string expected =
      "Cannot get the backing tensor data for lazy tensor with name \"" + dropped.name +
      "\" as it is empty. This can happen if the lazy tensor's data was dropped or had no data "
      "to begin with. In order to keep the tensor data when creating a lazy tensor, please wrap "
      "the lazy tensor creation call (i.e., `tensor.to(\"lazy\")`) in a `vudored.backend.device` "
      "context manager.\nStack Trace: ";
  EXPECT_PRED2(starts_with, error_text([&] { dropped.get_tensor(); }), expected);

  const int64_t before = ApplianceDataInfo::get_total_bytes_in_memory();
  for (auto sizes : {std::vector<int64_t>{1}, std::vector<int64_t>{1, 1}, std::vector<int64_t>{}}) {
    at::Tensor one = at::full(sizes, 7.0, at::kDouble);
    ApplianceDataInfo kept(one);
    ASSERT_TRUE(kept.has_tensor());
    EXPECT_NE(dynamic_cast<MemoryInfo*>(kept.impl_.get()), nullptr);
    EXPECT_TRUE(kept.get_tensor().is_same(one));
    EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), before + 8);
    EXPECT_TRUE(logged(MessageLevel::TRACE, "Keeping tensor data for \"" + kept.name +
                                                "\" with size 8 as it is a scalar."));
  }
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), before);
}

TEST_F(DataStoreTest, DeferredTensorsAreKeptWithoutTheirHostMemory) {
  py::exec(kDeferredClasses);
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo::config.max_tensor_size = 16;  // the deferred tensor is larger: no file
  py::object deferred = py::eval("torch.arange(100, dtype=torch.float32).as_subclass(DeferredParamTensor)");
  at::Tensor t = deferred.cast<at::Tensor>();

  const int64_t in_memory = ApplianceDataInfo::get_total_bytes_in_memory();
  ApplianceDataInfo record(t);
  ASSERT_NE(dynamic_cast<DeferredInfo*>(record.impl_.get()), nullptr);
  EXPECT_TRUE(record.get_tensor().is_same(t));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), in_memory);
  EXPECT_EQ(t.storage().nbytes(), 0u) << "host memory of the deferred tensor was not released";
  EXPECT_EQ(py::eval("lambda t: t.untyped_storage().nbytes()")(deferred).cast<int>(), 0);
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Keeping tensor data for \"" + record.name +
                                              "\" with size 400 as it is a deferred tensor."));

  // Only a type name beginning with "Deferred" and ending with "Tensor" makes a tensor deferred.
  for (const char* cls : {"DeferredParam", "LazyDeferredTensor"}) {
    py::object other = py::eval(std::string("torch.ones(4).as_subclass(") + cls + ")");
    EXPECT_FALSE(ApplianceDataInfo(other.cast<at::Tensor>()).has_tensor()) << cls;
  }
}

TEST_F(DataStoreTest, UndefinedTensorScalarAndPlaceholderRecordsHaveNoData) {
  ApplianceDataInfo undefined{at::Tensor()};
  EXPECT_FALSE(undefined.has_tensor());
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Dropping undefined tensor \"" + undefined.name + "\""));

  ApplianceDataInfo scalar(c10::Scalar(2.5));
  EXPECT_FALSE(scalar.has_tensor());
  EXPECT_EQ(scalar.name, "");
  ASSERT_TRUE(scalar.scalar.has_value());
  EXPECT_EQ(scalar.scalar->toDouble(), 2.5);
  EXPECT_FALSE(scalar.requires_grad);

  ApplianceDataInfo placeholder;
  EXPECT_FALSE(placeholder.has_tensor());
  EXPECT_EQ(placeholder.name.rfind("placeholder", 0), 0u);
  EXPECT_FALSE(placeholder.is_weight);
}

// ------------------------------------------------------------------------------ thresholds

TEST_F(DataStoreTest, SizeLimitsAreInclusive) {
  files_above(1000);
  ApplianceDataInfo at_limit(at::zeros({250}, at::kFloat));
  EXPECT_NE(dynamic_cast<MemoryInfo*>(at_limit.impl_.get()), nullptr);
  ApplianceDataInfo above_limit(at::zeros({1001}, at::kByte));
  EXPECT_TRUE(above_limit.get_filename().has_value());

  // The memory budget: filling it exactly stays in memory, one byte beyond goes to a file.
  ApplianceDataInfo::config.max_bytes_in_memory = ApplianceDataInfo::get_total_bytes_in_memory() + 400;
  ApplianceDataInfo over_budget(at::zeros({401}, at::kByte));
  EXPECT_TRUE(over_budget.get_filename().has_value());
  ApplianceDataInfo fills_budget(at::zeros({400}, at::kByte));
  EXPECT_NE(dynamic_cast<MemoryInfo*>(fills_budget.impl_.get()), nullptr);
  ApplianceDataInfo after_full(at::zeros({2}, at::kByte));
  EXPECT_TRUE(after_full.get_filename().has_value());
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_memory(), ApplianceDataInfo::config.max_bytes_in_memory);

  EXPECT_TRUE(logged(MessageLevel::TRACE,
                     "Creating ApplianceData: appliance_data_enabled=1, max_bytes_in_memory=" +
                         std::to_string(ApplianceDataInfo::config.max_bytes_in_memory) +
                         ", total_bytes_in_memory=" +
                         std::to_string(ApplianceDataInfo::config.max_bytes_in_memory - 400) +
                         ", total_bytes_in_files=" +
                         std::to_string(ApplianceDataInfo::get_total_bytes_in_files() - 2) +
                         ", tensor_size_in_bytes=400, is_deferred=0, should_write_to_file=0"));
}

// ------------------------------------------------------------------------------ data files

TEST_F(DataStoreTest, DataFilesAreNumberedConsecutivelyInTheDeviceDataDirectory) {
  files_above(0);
  const int64_t first = next_file_id();
  std::vector<std::unique_ptr<ApplianceDataInfo>> records;
  for (int i = 0; i < 3; ++i) {
    records.push_back(std::make_unique<ApplianceDataInfo>(at::full({3}, i, at::kInt)));
    EXPECT_EQ(*records.back()->get_filename(), data_file(dir_, first + i));
    EXPECT_EQ(fs::file_size(data_file(dir_, first + i)), 12u);
  }
}

TEST_F(DataStoreTest, FilesReadBackBitExactForEveryTypeAndLayout) {
  const std::vector<at::ScalarType> types = {at::kFloat, at::kHalf,  at::kBFloat16, at::kDouble,
                                             at::kChar,  at::kByte,  at::kShort,    at::kInt,
                                             at::kLong,  at::kBool,  at::kComplexFloat};
  for (bool async : {false, true}) {
    files_above(0, async);
    for (auto type : types) {
      at::Tensor base = random_tensor(type, {6, 10});
      std::vector<std::pair<std::string, at::Tensor>> cases = {
          {"contiguous", base},
          {"transposed", base.t()},
          {"strided slice", base.slice(1, 1, 10, 3)},
          {"empty", base.slice(0, 0, 0)},
      };
      if (type == at::kComplexFloat) cases.push_back({"conjugated", base.conj()});
      for (auto& [what, t] : cases) {
        at::Tensor expected = t.clone();
        ApplianceDataInfo record(t);
        ASSERT_TRUE(record.get_filename().has_value());
        at::Tensor back = record.get_tensor();
        EXPECT_TRUE(same_bits(back, expected)) << c10::toString(type) << " " << what;
        EXPECT_EQ(fs::file_size(*record.get_filename()), expected.nbytes());
      }
    }
  }
}

TEST_F(DataStoreTest, SynchronousWritesFinishInTheConstructor) {
  files_above(0, /*async=*/false);
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  ApplianceDataInfo record(at::arange(1000, at::kFloat));
  const std::string file = *record.get_filename();
  EXPECT_EQ(fs::file_size(file), 4000u);
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files + 4000);
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Creating file-backed tensor with size 4000 bytes: " + file));
  EXPECT_TRUE(logged(MessageLevel::TRACE, "File " + file + " was successfully written."));
}

// The writer of an asynchronous record is held up by a FIFO in place of its data file: the
// constructor returns while the write cannot finish.
TEST_F(DataStoreTest, BackgroundWritesDoNotHoldUpTheConstructor) {
  files_above(0, /*async=*/true);
  const int64_t id = next_file_id();
  ASSERT_EQ(::mkfifo(data_file(dir_, id).c_str(), 0600), 0);
  at::Tensor source = at::arange(50000, at::kInt);
  at::Tensor expected = source.clone();
  with_watchdog(60, [&] {
    std::future<std::vector<char>> reader;
    {
      ApplianceDataInfo record(source);
      EXPECT_EQ(*record.get_filename(), data_file(dir_, id));
      // Returned without the write: nothing has read the FIFO yet.
      reader = std::async(std::launch::async, [&] { return drain_fifo(data_file(dir_, id)); });
    }  // the destructor waits for the write
    std::vector<char> written = reader.get();
    ASSERT_EQ(written.size(), expected.nbytes());
    EXPECT_EQ(std::memcmp(written.data(), expected.const_data_ptr(), written.size()), 0);
  });
}

TEST_F(DataStoreTest, EnabledStoreFreesTheSourceMemoryOnceWritten) {
  for (bool async : {false, true}) {
    files_above(0, async);
    at::Tensor source = at::arange(1000, at::kFloat);
    at::Tensor view = source.view({10, 100});
    ApplianceDataInfo record(view);
    EXPECT_TRUE(same_bits(record.get_tensor(), at::arange(1000, at::kFloat).view({10, 100})));
    EXPECT_EQ(source.storage().nbytes(), 0u) << "async=" << async;
  }
  // Disabled, a kept file-backed tensor (one element above a zero limit) keeps its host memory.
  ApplianceDataInfo::config.enabled = false;
  at::Tensor one = at::full({1}, 3.0);
  ApplianceDataInfo record(one);
  ASSERT_TRUE(record.get_filename().has_value());
  EXPECT_EQ(one.storage().nbytes(), 4u);
  EXPECT_EQ(one.item<float>(), 3.0f);
}

// Two records of views of one storage: the second write must still read the memory after the
// first write finished and would free it.
TEST_F(DataStoreTest, ViewsOfOneStorageAreAllWrittenBeforeItsMemoryIsFreed) {
  files_above(0, /*async=*/true);
  const int64_t id = next_file_id();
  ASSERT_EQ(::mkfifo(data_file(dir_, id + 1).c_str(), 0600), 0);
  at::Tensor source = at::arange(200000, at::kInt);
  at::Tensor expected = source.slice(0, 100000).clone();
  with_watchdog(60, [&] {
    ApplianceDataInfo first(source.slice(0, 0, 100000));
    ApplianceDataInfo second(source.slice(0, 100000));
    EXPECT_EQ(*second.get_filename(), data_file(dir_, id + 1));
    EXPECT_TRUE(same_bits(first.get_tensor(), at::arange(100000, at::kInt)));
    EXPECT_GT(source.storage().nbytes(), 0u) << "freed while a write still reads it";
    std::vector<char> written = drain_fifo(data_file(dir_, id + 1));
    ASSERT_EQ(written.size(), expected.nbytes());
    EXPECT_EQ(std::memcmp(written.data(), expected.const_data_ptr(), written.size()), 0);
  });
  // A record made after the memory went away fails instead of reading freed memory.
  files_above(0, /*async=*/false);
  EXPECT_PRED2(starts_with, error_text([&] { ApplianceDataInfo late(source.slice(0, 0, 10)); }),
               "Failed to write file: " + data_file(dir_, id + 2));
}

TEST_F(DataStoreTest, DestroyingARecordDeletesItsFile) {
  files_above(0);
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  std::string file;
  {
    ApplianceDataInfo record(at::zeros({100}, at::kFloat));
    file = *record.get_filename();
    EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files + 400);
  }
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Deleting tensor data file: " + file));

  // A file that is already gone: a warning, and the counter still drops.
  {
    ApplianceDataInfo record(at::zeros({100}, at::kFloat));
    file = *record.get_filename();
    fs::remove(file);
  }
  EXPECT_TRUE(logged(MessageLevel::WARNING, "Failed to delete tensor data file: " + file));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);

  // A file that cannot be removed (a non-empty directory took its place): reported, not thrown.
  {
    auto record = std::make_unique<ApplianceDataInfo>(at::zeros({100}, at::kFloat));
    file = *record->get_filename();
    fs::remove(file);
    fs::create_directories(file + "/inside");
    EXPECT_NO_THROW(record.reset());
  }
  bool warned = false;
  for (const auto& m : messages()) {
    warned |= m.level == MessageLevel::WARNING &&
              starts_with(m.text, "Failed to delete tensor data file: " + file + " (");
  }
  EXPECT_TRUE(warned);

  // Deletion off: the file stays and is still counted.
  ApplianceDataInfo::config.delete_file_on_destruct = false;
  const int64_t kept_before = ApplianceDataInfo::get_total_bytes_in_files();
  {
    ApplianceDataInfo record(at::zeros({100}, at::kFloat));
    file = *record.get_filename();
  }
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), kept_before + 400);
}

// ------------------------------------------------------------------------- copies and sharing

TEST_F(DataStoreTest, CopiesGetFreshNamesAndTheirOwnData) {
  files_above(1000);
  ApplianceDataInfo empty_source;
  clear_messages();
  ApplianceDataInfo empty_copy(empty_source);
  EXPECT_FALSE(empty_copy.has_tensor());
  EXPECT_TRUE(messages().empty());

  // Memory-backed source.
  at::Tensor small = at::arange(10, at::kFloat);
  ApplianceDataInfo memory(small);
  memory.is_weight = true;
  ApplianceDataInfo memory_copy(memory);
  EXPECT_NE(memory_copy.name, memory.name);
  EXPECT_EQ(memory_copy.name.rfind("placeholder", 0), 0u);
  EXPECT_FALSE(memory_copy.is_weight);
  ASSERT_NE(dynamic_cast<MemoryInfo*>(memory_copy.impl_.get()), nullptr);
  small.fill_(-1);
  EXPECT_TRUE(same_bits(memory_copy.get_tensor(), at::arange(10, at::kFloat)));
  EXPECT_TRUE(logged(MessageLevel::TRACE, "Copying ApplianceData for tensor \"" + memory_copy.name +
                                              "\" from tensor \"" + memory.name + "\"."));

  // File-backed source: a new file when the copy does not fit in memory, memory when it does.
  ApplianceDataInfo file(at::arange(1000, at::kFloat));
  ApplianceDataInfo file_copy(file);
  ASSERT_TRUE(file_copy.get_filename().has_value());
  EXPECT_NE(*file_copy.get_filename(), *file.get_filename());
  EXPECT_EQ(read_all(*file_copy.get_filename()), read_all(*file.get_filename()));
  ApplianceDataInfo::config.max_tensor_size = 4000;
  ApplianceDataInfo fits_copy(file);
  ASSERT_NE(dynamic_cast<MemoryInfo*>(fits_copy.impl_.get()), nullptr);
  EXPECT_TRUE(same_bits(fits_copy.get_tensor(), at::arange(1000, at::kFloat)));
  EXPECT_FALSE(fits_copy.get_tensor().is_alias_of(file.get_tensor()));

  // Memory-backed source that does not fit any more: written to a file of its own.
  ApplianceDataInfo::config.max_tensor_size = 10;
  ApplianceDataInfo filed_copy(memory);
  ASSERT_TRUE(filed_copy.get_filename().has_value());
  EXPECT_TRUE(same_bits(filed_copy.get_tensor(), at::arange(10, at::kFloat)));

  // Disabled store: multi-element data is not copied.
  ApplianceDataInfo::config.enabled = false;
  ApplianceDataInfo dropped_copy(memory);
  EXPECT_FALSE(dropped_copy.has_tensor());
  EXPECT_TRUE(logged(MessageLevel::TRACE,
                     "Dropping tensor data when copying ApplianceData for tensor \"" +
                         dropped_copy.name + "\" with size 40 from tensor \"" + memory.name +
                         "\" since ApplianceData is disabled."));
}

TEST_F(DataStoreTest, CopyingADeferredRecordKeepsItDeferred) {
  py::exec(kDeferredClasses);
  py::object deferred = py::eval("torch.ones(6, 4).as_subclass(DeferredParamTensor)");
  ApplianceDataInfo record(deferred.cast<at::Tensor>());
  ASSERT_NE(dynamic_cast<DeferredInfo*>(record.impl_.get()), nullptr);
  // Its host memory is gone, so there is nothing to clone; the copy must not read it.
  ApplianceDataInfo copy(record);
  ASSERT_NE(dynamic_cast<DeferredInfo*>(copy.impl_.get()), nullptr);
  EXPECT_EQ(copy.get_tensor().sizes(), (std::vector<int64_t>{6, 4}));
  EXPECT_EQ(copy.get_tensor().scalar_type(), at::kFloat);
}

TEST_F(DataStoreTest, CopyingAFileWhoseSourceIsGoneFails) {
  files_above(0);
  ApplianceDataInfo record(at::arange(100, at::kFloat));
  auto* file = dynamic_cast<FileInfo*>(record.impl_.get());
  ASSERT_NE(file, nullptr);
  fs::remove(file->get_filename());
  EXPECT_EQ(error_text([&] { FileInfo copy(*file); }),
            "Cannot copy file as it does not exist: " + file->get_filename());
}

TEST_F(DataStoreTest, SharedStorageOutlivesItsSource) {
  files_above(100);
  for (int64_t n : {10, 1000}) {  // memory- and file-backed
    ApplianceDataInfo target;
    std::string file;
    {
      ApplianceDataInfo source(at::arange(n, at::kFloat));
      target.share_storage(source);
      EXPECT_EQ(target.impl_.get(), source.impl_.get());
      EXPECT_TRUE(logged(MessageLevel::TRACE, "Sharing storage for tensor \"" + target.name +
                                                  "\" from tensor \"" + source.name + "\"."));
      file = source.get_filename().value_or("");
    }
    EXPECT_TRUE(same_bits(target.get_tensor(), at::arange(n, at::kFloat)));
    if (!file.empty()) EXPECT_TRUE(fs::exists(file));
  }
}

// --------------------------------------------------------------------------- file failures

TEST_F(DataStoreTest, WriteFailuresAreReportedAndNotCounted) {
  const int64_t in_files = ApplianceDataInfo::get_total_bytes_in_files();
  // A missing directory: the file cannot be opened.
  files_above(0, /*async=*/false);
  const int64_t id = next_file_id();
  set_device_data_dir(dir_ + "/gone");
  fs::remove(dir_ + "/gone");
  EXPECT_PRED2(starts_with, error_text([&] { ApplianceDataInfo r(at::zeros({100})); }),
               "Failed to open file for write: " + data_file(dir_ + "/gone", id));
  files_above(0, /*async=*/true);
  {
    ApplianceDataInfo r(at::zeros({100}));
    EXPECT_TRUE(r.has_tensor());
    EXPECT_EQ(error_text([&] { r.get_tensor(); }),
              "Failed to open file for write: " + data_file(dir_ + "/gone", id + 1));
  }
  EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), in_files);

  // A file that opens but cannot take the data (a device that is always full).
  set_device_data_dir(dir_);
  for (bool async : {false, true}) {
    files_above(0, async);
    const int64_t next = next_file_id();
    const std::string path = data_file(dir_, next);
    fs::create_symlink("/dev/full", path);
    const int64_t before = ApplianceDataInfo::get_total_bytes_in_files();
    clear_messages();
    {
      std::unique_ptr<ApplianceDataInfo> r;
      std::string error = error_text([&] {
        r = std::make_unique<ApplianceDataInfo>(at::zeros({100000}));
        r->get_tensor();
      });
      EXPECT_EQ(error, "Failed to write file: " + path) << "async=" << async;
      EXPECT_EQ(r != nullptr, async);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "partial file left behind";
    EXPECT_EQ(ApplianceDataInfo::get_total_bytes_in_files(), before);
    for (const auto& m : messages()) EXPECT_NE(m.level, MessageLevel::WARNING) << m.text;
  }
}

// ----------------------------------------------------------------------- the write semaphore

TEST(WriteSemaphore, AcquireWaitsForReleasedUnits) {
  orvex::Semaphore semaphore(1, 5);
  semaphore.acquire(1);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    semaphore.acquire(1);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got);
  semaphore.release(1);
  waiter.join();
  EXPECT_TRUE(got);
}

TEST(WriteSemaphore, ReleaseStopsAtTheCeilingAndWakesEveryWaiterThatCanGo) {
  orvex::Semaphore semaphore(0, 2);
  semaphore.release(5);
  semaphore.acquire(2);  // only two came back
  std::atomic<int> done{0};
  std::thread big([&] { semaphore.acquire(2); ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread small([&] { semaphore.acquire(1); ++done; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  semaphore.release(1);  // enough for the small waiter, whichever is woken first
  for (int i = 0; i < 50 && done < 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(done, 1);
  semaphore.release(2);
  big.join();
  small.join();
  EXPECT_EQ(done, 2);
}

TEST(WriteSemaphore, ReservationsReleaseOnceWhereverTheyEnd) {
  orvex::Semaphore semaphore(2, 2);
  {
    auto a = semaphore.ScopedAcquire(1);
    auto b = std::move(a);
    auto c = semaphore.ScopedAcquire(1);
    c.reset();
    c.reset();
  }
  // Both units are back, and no more.
  semaphore.acquire(2);
  std::atomic<bool> got{false};
  std::thread waiter([&] { semaphore.acquire(1); got = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got);
  semaphore.release(1);
  waiter.join();
}

// The write semaphore is made once per process, so these run in a fresh process each.
class DataStoreProcessTest : public DataStoreTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DataStoreTest::SetUp();
  }
};

TEST_F(DataStoreProcessTest, OneWriteAtATimeMakesTheSecondWriterWait) {
  EXPECT_EXIT(
      {
        ApplianceDataInfo::config.max_async_file_writes = 1;
        files_above(0, /*async=*/true);
        const int64_t id = next_file_id();
        ::mkfifo(data_file(dir_, id).c_str(), 0600);
        // The first record's writer holds the only unit until its FIFO is read.
        auto first = std::make_unique<ApplianceDataInfo>(at::zeros({100000}));
        std::atomic<bool> second_made{false};
        std::thread second([&] {
          ApplianceDataInfo r(at::zeros({1000}));
          second_made = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const bool waited = !second_made;
        drain_fifo(data_file(dir_, id));
        second.join();
        std::cerr << "second writer waited: " << waited << std::endl;
        std::_Exit(waited && second_made ? 0 : 1);
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
        // Corrected, the next record is written.
        ApplianceDataInfo::config.max_async_file_writes = 2;
        ApplianceDataInfo r(at::arange(10, at::kFloat));
        const bool written = same_bits(r.get_tensor(), at::arange(10, at::kFloat));
        std::_Exit(refused && written ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// No set_artifact_dirs yet: data files go to the working directory.
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

// ------------------------------------------------------------ background writes and Python

// Writers free memory owned by numpy, which takes the interpreter lock, while the thread that
// holds the lock waits for write slots and logs every step to a Python handler.
TEST_F(DataStoreTest, ManyBackgroundWritesWithPythonLoggingDoNotDeadlock) {
  py::module_::import("orvex_pytorch_lib").attr("initialize")();
  py::exec(R"(
import logging, time, numpy as np, torch
class _Slow(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.count = 0
    def emit(self, record):
        time.sleep(0.0002)
        self.count += 1
_data_store_log = _Slow()
logging.getLogger("orvex").addHandler(_data_store_log)
logging.getLogger("orvex").setLevel(5)
_arrays = [torch.from_numpy(np.full((65536,), i, dtype=np.float32)) for i in range(48)]
)");
  files_above(1000, /*async=*/true);
  std::vector<std::unique_ptr<ApplianceDataInfo>> records;
  with_watchdog(120, [&] {
    py::list arrays = py::globals()["_arrays"];
    for (auto item : arrays) {
      records.push_back(std::make_unique<ApplianceDataInfo>(item.cast<at::Tensor>()));
    }
    py::exec("del _arrays");
    for (size_t i = 0; i < records.size(); ++i) {
      at::Tensor t = records[i]->get_tensor();
      EXPECT_EQ(t.numel(), 65536);
      EXPECT_EQ(t[65535].item<float>(), static_cast<float>(i));
    }
    records.clear();
  });
  EXPECT_GT(py::eval("_data_store_log.count").cast<int>(), 48 * 3);
  py::exec(R"(
logging.getLogger("orvex").removeHandler(_data_store_log)
logging.getLogger("orvex").setLevel(logging.NOTSET)
)");
}
