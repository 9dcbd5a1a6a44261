// Fused kernels as shared libraries.
//
// A kernel's text goes to the lumo-kernel-compile tool (tools/lumo-kernel-compile), which lowers it
// through MLIR and LLVM at O3 for the host CPU and links it into a shared library; this process
// loads the library with dlopen and calls `<name>_packed`. Libraries are cached in memory (by the
// hash of the text) and on disk (by a hash of the text, the LLVM version and the host CPU and its
// features). A cached file is the library followed by a SHA-256 of it and a magic word (the
// loader reads the library's own headers only); it is written under a temporary name and renamed,
// and one that fails its checksum is compiled again. Without a usable cache directory the library
// lives in a private temporary directory until it is loaded.
#include "KernelLibrary.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "llvm/ADT/StringMap.h"
#include "llvm/Config/llvm-config.h"
#include "llvm/Support/FileSystem.h"
#include "llvm/Support/Host.h"
#include "llvm/Support/MemoryBuffer.h"
#include "llvm/Support/Path.h"
#include "llvm/Support/Program.h"
#include "llvm/Support/SHA256.h"
#include "llvm/Support/raw_ostream.h"

namespace lumo {
namespace {

// Changes whenever the kernels' calling convention or the file format changes.
constexpr const char *kFormat = "lumo-kernel-4";
constexpr char kMagic[8] = {'L', 'U', 'M', 'O', 'K', 'R', 'N', '2'};
constexpr size_t kDigestSize = 32;
constexpr size_t kTrailerSize = kDigestSize + sizeof kMagic;

std::string hex(llvm::ArrayRef<uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::array<uint8_t, kDigestSize> digest(llvm::StringRef data) {
  llvm::SHA256 hash;
  hash.update(data);
  return hash.final();
}

// The LLVM version, the host and its CPU features: what the tool compiles for.
const std::string &host() {
  static const std::string text = [] {
    std::string s = std::string(kFormat) + " LLVM " LLVM_VERSION_STRING " " + llvm::sys::getProcessTriple() + " " +
                    llvm::sys::getHostCPUName().str();
    llvm::StringMap<bool> features;
    if (llvm::sys::getHostCPUFeatures(features)) {
      std::vector<std::string> names;
      for (const auto &f : features)
        names.push_back((f.getValue() ? "+" : "-") + f.getKey().str());
      std::sort(names.begin(), names.end());
      for (const std::string &n : names)
        s += " " + n;
    }
    return s;
  }();
  return text;
}

std::string pathIn(const std::string &directory, const std::string &file) {
  llvm::SmallString<256> path(directory);
  llvm::sys::path::append(path, file);
  return std::string(path);
}

// Whether the file at `path` is a library with a valid trailer.
bool intact(const std::string &path) {
  auto file = llvm::MemoryBuffer::getFile(path, /*IsText=*/false, /*RequiresNullTerminator=*/false);
  if (!file)
    return false;
  llvm::StringRef data = (*file)->getBuffer();
  if (data.size() <= kTrailerSize || !data.endswith(llvm::StringRef(kMagic, sizeof kMagic)))
    return false;
  llvm::StringRef library = data.drop_back(kTrailerSize);
  llvm::StringRef stored = data.substr(library.size(), kDigestSize);
  auto actual = digest(library);
  return stored == llvm::StringRef(reinterpret_cast<const char *>(actual.data()), actual.size());
}

bool appendTrailer(const std::string &path) {
  auto file = llvm::MemoryBuffer::getFile(path, /*IsText=*/false, /*RequiresNullTerminator=*/false);
  if (!file)
    return false;
  auto sum = digest((*file)->getBuffer());
  std::error_code ec;
  llvm::raw_fd_ostream out(path, ec, llvm::sys::fs::OF_Append);
  if (ec)
    return false;
  out.write(reinterpret_cast<const char *>(sum.data()), sum.size());
  out.write(kMagic, sizeof kMagic);
  out.close();
  if (out.has_error()) {
    out.clear_error();
    return false;
  }
  return true;
}

std::string readText(const std::string &path, size_t limit) {
  auto file = llvm::MemoryBuffer::getFile(path, /*IsText=*/true);
  if (!file)
    return "";
  std::string text = (*file)->getBuffer().take_front(limit).rtrim().str();
  return text;
}

// Runs the tool on `source` in `directory`: the path of the library made (with its trailer), or
// empty with `error` set.
std::string runCompiler(const std::string &source, const std::string &name, const std::string &directory,
                        const std::string &stem, std::string &error) {
  std::string tool = kernelCompilerPath();
  if (tool.empty()) {
    error = "the kernel compiler lumo-kernel-compile was not found (set LUMO_KERNEL_COMPILER to its path)";
    return "";
  }
  std::string input = pathIn(directory, stem + ".mlir"), output = pathIn(directory, stem + ".so"),
              messages = pathIn(directory, stem + ".err");
  {
    std::error_code ec;
    llvm::raw_fd_ostream out(input, ec, llvm::sys::fs::OF_None);
    if (ec) {
      error = "cannot write " + input + ": " + ec.message();
      return "";
    }
    out << source;
    out.close();
    if (out.has_error()) {
      out.clear_error();
      llvm::sys::fs::remove(input);
      error = "cannot write " + input;
      return "";
    }
  }
  llvm::StringRef args[] = {tool, input, name, output};
  std::optional<llvm::StringRef> redirects[] = {llvm::StringRef(""), llvm::StringRef(messages),
                                                llvm::StringRef(messages)};
  std::string message;
  int status = llvm::sys::ExecuteAndWait(tool, args, std::nullopt, redirects, /*SecondsToWait=*/600, 0, &message);
  std::string said = readText(messages, 4000);
  llvm::sys::fs::remove(input);
  llvm::sys::fs::remove(messages);
  if (status != 0) {
    llvm::sys::fs::remove(output);
    error = said.empty() ? "lumo-kernel-compile failed" + (message.empty() ? "" : ": " + message) +
                               " (exit status " + std::to_string(status) + ")"
                         : said;
    return "";
  }
  if (!appendTrailer(output)) {
    llvm::sys::fs::remove(output);
    error = "cannot complete " + output;
    return "";
  }
  return output;
}

// A directory this process can write into, for the cache (or nothing).
bool writableDirectory(const std::string &directory) {
  if (directory.empty() || llvm::sys::fs::create_directories(directory))
    return false;
  return ::access(directory.c_str(), W_OK | X_OK) == 0;
}

struct Library {
  std::mutex mutex; // one compilation at a time; guards `kernels`
  std::unordered_map<std::string, FusedKernelFn> kernels;
};

Library &library() {
  static Library *l = new Library; // never destroyed: kernels may be called until the process ends
  return *l;
}

FusedKernelFn load(const std::string &path, const std::string &name, std::string &error) {
  void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char *why = ::dlerror();
    error = "the kernel library cannot be loaded: " + std::string(why ? why : path);
    return nullptr;
  }
  void *entry = ::dlsym(handle, (name + "_packed").c_str());
  if (!entry) {
    error = "the kernel library has no entry point " + name + "_packed";
    return nullptr;
  }
  return reinterpret_cast<FusedKernelFn>(entry);
}

} // namespace

std::string kernelCacheDirectory() {
  if (const char *dir = std::getenv("LUMO_KERNEL_CACHE"))
    return dir;
  llvm::SmallString<256> path;
  if (const char *xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg)
    path = xdg;
  else if (const char *home = std::getenv("HOME"); home && *home)
    llvm::sys::path::append(path, home, ".cache");
  else
    return "";
  llvm::sys::path::append(path, "orvex", "lumo-kernels");
  return std::string(path);
}

std::string kernelCompilerPath() {
  if (const char *tool = std::getenv("LUMO_KERNEL_COMPILER"))
    return llvm::sys::fs::can_execute(tool) ? tool : "";
  if (auto found = llvm::sys::findProgramByName("lumo-kernel-compile"))
    return *found;
  for (const char *candidate : {LUMO_KERNEL_COMPILER_INSTALLED, LUMO_KERNEL_COMPILER_BUILT})
    if (llvm::sys::fs::can_execute(candidate))
      return candidate;
  return "";
}

KernelOutcome compileKernel(const std::string &text, const std::string &key, bool cachedOnly) {
  KernelOutcome outcome;
  Library &l = library();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (auto it = l.kernels.find(key); it != l.kernels.end()) {
    outcome.fn = it->second;
    outcome.memoryHit = true;
    return outcome;
  }
  const std::string name = "lumo_" + key;
  std::string source = text;
  size_t at = source.find("@kernel(");
  if (at == std::string::npos) {
    outcome.error = "the kernel text has no @kernel";
    return outcome;
  }
  source.replace(at, 7, "@" + name);

  std::string directory = kernelCacheDirectory();
  std::string fileKey = hex(digest(host() + "\n" + source));
  std::string cached = directory.empty() ? "" : pathIn(directory, fileKey + ".so");
  if (!cached.empty() && intact(cached)) {
    outcome.fn = load(cached, name, outcome.error);
    outcome.diskHit = outcome.fn != nullptr;
  }
  if (!outcome.fn && cachedOnly) {
    outcome.error.clear();
    return outcome;
  }
  if (!outcome.fn) {
    static std::atomic<uint64_t> counter{0};
    std::string stem = "." + fileKey + "." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    bool caching = writableDirectory(directory);
    llvm::SmallString<256> privateDir;
    std::string workDir = directory;
    if (!caching) {
      if (std::error_code ec = llvm::sys::fs::createUniqueDirectory("lumo-kernel", privateDir)) {
        outcome.error = "no directory to compile the kernel in: " + ec.message();
        return outcome;
      }
      workDir = std::string(privateDir);
    }
    outcome.error.clear();
    std::string made = runCompiler(source, name, workDir, stem, outcome.error);
    if (!made.empty()) {
      std::string path = made;
      if (caching && !llvm::sys::fs::rename(made, cached))
        path = cached;
      outcome.fn = load(path, name, outcome.error);
      if (path == made)
        llvm::sys::fs::remove(made); // loaded: the mapping outlives the file
    }
    if (!caching)
      llvm::sys::fs::remove(privateDir);
    if (!outcome.fn)
      return outcome;
    outcome.error.clear();
  }
  l.kernels[key] = outcome.fn;
  return outcome;
}

} // namespace lumo
