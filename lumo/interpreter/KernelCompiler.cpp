// The background compilation of a plan's fused kernels.
#include "KernelCompiler.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <unordered_set>

#include "KernelLibrary.h"

namespace lumo {
namespace {

// The compilers whose thread may be running. When the process exits, their threads are stopped
// and joined before the static objects of LLVM and MLIR they use are destroyed (a Program that
// Python never frees would otherwise still be compiling then).
std::mutex registryMutex;
std::unordered_set<KernelCompiler *> *registry = new std::unordered_set<KernelCompiler *>;
bool exiting = false;

} // namespace

void stopKernelCompilers() {
  std::lock_guard<std::mutex> lock(registryMutex);
  exiting = true;
  for (KernelCompiler *c : *registry)
    c->stop();
}

KernelCompiler::KernelCompiler(Program::Plan &plan) : plan_(plan) {
  status_.regions = plan.regions.size();
  for (const FusionRegion &r : plan.regions)
    status_.fusedOps += r.ops;
  static std::once_flag atExit;
  std::call_once(atExit, [] { std::atexit(stopKernelCompilers); });
  std::lock_guard<std::mutex> lock(registryMutex);
  if (exiting) {
    status_.ready = true;
    return;
  }
  resolved_.assign(plan.regions.size(), false);
  fromDisk_.assign(plan.regions.size(), false);
  if (resolve(/*cachedOnly=*/true)) {
    publish();
    return;
  }
  registry->insert(this);
  thread_ = std::thread([this] {
    resolve(/*cachedOnly=*/false);
    publish();
  });
}

KernelCompiler::~KernelCompiler() {
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    registry->erase(this);
  }
  stop();
}

void KernelCompiler::stop() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
}

KernelStatus KernelCompiler::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

bool KernelCompiler::wait(double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutSeconds < 0) {
    finished_.wait(lock, [&] { return status_.ready; });
    return true;
  }
  return finished_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return status_.ready; });
}

double KernelCompiler::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool KernelCompiler::resolve(bool cachedOnly) {
  bool all = true;
  for (size_t i = 0; i < plan_.regions.size(); ++i) {
    if (resolved_[i])
      continue;
    if (stop_)
      return false;
    FusionRegion &region = plan_.regions[i];
    KernelOutcome outcome = compileKernel(region.text, region.key, cachedOnly);
    FusedKernelFn inPlace = nullptr;
    if (outcome.fn && !region.inPlaceText.empty() && !stop_)
      inPlace = compileKernel(region.inPlaceText, region.inPlaceKey, cachedOnly).fn; // else never in place
    if (cachedOnly && (!outcome.fn || (!region.inPlaceText.empty() && !inPlace))) {
      all = false; // left to the thread (a kernel loaded here is then found in memory)
      fromDisk_[i] = outcome.diskHit;
      continue;
    }
    resolved_[i] = true;
    region.fn = outcome.fn;
    region.inPlaceFn = inPlace;
    region.failure = outcome.error;
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcome.fn) {
      ++status_.compiled;
      status_.inPlace += region.inPlaceFn != nullptr;
      status_.memoryHits += outcome.memoryHit && !fromDisk_[i];
      status_.diskHits += outcome.diskHit || fromDisk_[i];
    } else {
      ++status_.failures;
      status_.failureReasons.push_back(region.where + ": " + outcome.error);
    }
    status_.seconds = elapsed();
  }
  return all;
}

void KernelCompiler::publish() {
  bool any = std::any_of(plan_.regions.begin(), plan_.regions.end(), [](const FusionRegion &r) { return r.fn; });
  if (any && !stop_) {
    try {
      auto fused = std::make_shared<FusedPlan>();
      size_t entangled = 0;
      fused->steps = fuseSteps(plan_.steps, plan_.regions, plan_.resultSlots, plan_.initial.size(), entangled);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.entangled = entangled;
      }
      if (!fused->steps.empty()) {
        assignReleases(fused->steps, plan_.resultSlots, plan_.initial.size());
        std::atomic_store(&plan_.fused, std::shared_ptr<const FusedPlan>(std::move(fused)));
        std::lock_guard<std::mutex> lock(mutex_);
        status_.inUse = true;
      }
    } catch (const std::exception &e) {
      std::lock_guard<std::mutex> lock(mutex_);
      status_.failureReasons.push_back(std::string("the fused plan could not be built: ") + e.what());
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.seconds = elapsed();
    status_.ready = true;
  }
  finished_.notify_all();
}

} // namespace lumo
