// lumo::Program: a lumo module parsed, verified and planned once, then run many times on CPU with
// ATen kernels.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <ATen/core/Tensor.h>

namespace lumo {

// A program that cannot be built or run. what() holds the whole message; diagnostics() the MLIR
// diagnostics behind it (with their locations), one entry each.
class Error : public std::runtime_error {
public:
  Error(const std::string &message, std::vector<std::string> diagnostics = {});
  const std::vector<std::string> &diagnostics() const { return diagnostics_; }

private:
  std::vector<std::string> diagnostics_;
};

// An argument of @main. Inputs carry `vx.input_name`, weights `tf.resource_name`; embedded ones
// carry their value in `tf.parameter_value` and are not passed to run().
struct ArgumentInfo {
  enum class Kind { Input, Weight, Embedded };
  int64_t index = 0;
  Kind kind = Kind::Input;
  std::optional<std::string> name;
  std::vector<int64_t> shape;
  at::ScalarType dtype = at::ScalarType::Float;
  std::optional<int64_t> aliasingOutput; // `tf.aliasing_output`: the result that is its new value
  bool used = true;                      // false when no operation reads it and it is not returned
};

// A result of @main: `vx.output_name`, or the weight it replaces.
struct ResultInfo {
  int64_t index = 0;
  std::optional<std::string> name;
  std::vector<int64_t> shape;
  at::ScalarType dtype = at::ScalarType::Float;
  std::optional<std::string> updates;
};

const char *kindName(ArgumentInfo::Kind kind);

// How the collectives of a program reach the other replicas, supplied by whoever runs it. Called
// once per AllReduce, in program order, with a tensor of its own (a copy of the operand, which it
// may change and return), the kind ("sum", "prod", "min", "max", "and", "or", "xor"), the replica
// groups (one list of replica ids per group) and the channel id; returns the combined value, a CPU
// tensor of the operand's shape and element type. What it throws fails the run.
using Collective = std::function<at::Tensor(at::Tensor operand, const std::string &kind,
                                            const std::vector<std::vector<int64_t>> &replicaGroups,
                                            int64_t channelId)>;

// The fused kernels of a program: its elementwise regions and how their compilation went.
struct KernelStatus {
  bool ready = false;       // compilation has finished (runs use the fused plan if any kernel compiled)
  size_t regions = 0;       // regions found
  size_t fusedOps = 0;      // operations in them
  size_t compiled = 0;      // regions whose kernel is ready
  size_t memoryHits = 0;    // ... of which compiled earlier in this process
  size_t diskHits = 0;      // ... of which loaded from the disk cache
  size_t failures = 0;      // regions left unfused because their kernel failed
  size_t entangled = 0;     // regions left unfused because they depend on another region both ways
  size_t inPlace = 0;       // compiled regions that can write updated weights over the old values
  bool inUse = false;       // runs use the fused plan
  double seconds = 0;       // time spent compiling and loading
  std::vector<std::string> failureReasons; // one per failure: the region and the reason
};

// Stops the background compilation of every Program's kernels (their plans stay unfused) and
// keeps later Programs from starting any: for the end of the process, before the static objects
// of LLVM are destroyed. Also registered with std::atexit, which runs too late for LLVM's lazily
// created objects; the Python module calls it from Python's atexit.
void stopKernelCompilers();

class Program {
public:
  // Parses, verifies and plans `text`; throws Error with the diagnostics when it cannot. With
  // `fuse`, regions of elementwise operations are compiled into kernels in a background thread;
  // runs use the unfused plan until they are all done, then the fused one.
  explicit Program(std::string_view text, bool fuse = true);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  const std::vector<ArgumentInfo> &arguments() const;
  const std::vector<ResultInfo> &results() const;
  uint64_t seed() const;
  // Argument indices of the inputs, in order; result indices of the outputs: the results that
  // update no weight, and named ones (`vx.output_name`). State::run takes the former and returns the latter.
  const std::vector<int64_t> &inputs() const;
  const std::vector<int64_t> &outputs() const;

  // One tensor per argument, in argument order: a CPU tensor of the argument's shape and element
  // type, or an undefined tensor for an embedded argument. Returns fresh tensors (never views of
  // the arguments or of the program's constants). Safe to call from several threads at once.
  // An argument never read may be undefined. `collective` runs the program's collectives; without
  // one, a collective over groups of more than one replica fails the run.
  std::vector<at::Tensor> run(const std::vector<at::Tensor> &arguments, const Collective &collective = {}) const;

  // The fused kernels' status; waits up to `timeoutSeconds` (< 0: no limit) for their
  // compilation to finish and tells whether it has.
  KernelStatus kernels() const;
  bool waitForKernels(double timeoutSeconds) const;

  // The steps a run takes now, in order: each one's operation and location ("lumo.MatMul at
  // program:3:8", "fused region of 3 operations from lumo.Add at ..."), with the fused plan once
  // it is in use.
  std::vector<std::string> stepsInUse() const;

  struct Plan;

private:
  friend class State;
  // Throws unless `value` can be argument `index` (undefined only for one never read).
  void check(size_t index, const at::Tensor &value) const;
  // A checked argument as the kernels can read it: a negated view or a zero tensor (which ATen
  // only resolves when dispatching) becomes an ordinary tensor of the same values.
  static at::Tensor resolved(const at::Tensor &value);
  // Runs the plan on checked arguments. Results that share memory with an argument, a constant or
  // an earlier result are copies, except (when `keepUnchanged`) a weight's update that is the
  // weight's own tensor. A `donated` argument is one the caller holds no other reference to: the
  // run takes it out of `arguments` and frees it after its last use (an optimizer's weights and
  // state are then never all in memory twice); if the run fails, those it has not freed yet are
  // put back.
  std::vector<at::Tensor> execute(std::vector<at::Tensor> &arguments, bool keepUnchanged,
                                  const Collective &collective, const std::vector<bool> &donated = {}) const;
  void runSteps(std::vector<at::Tensor> &frame, const Collective &collective) const;
  std::vector<at::Tensor> collectResults(std::vector<at::Tensor> &frame,
                                         const std::unordered_set<const void *> &argumentStorages,
                                         const std::vector<const c10::TensorImpl *> &argumentImpls,
                                         bool keepUnchanged) const;

  std::unique_ptr<Plan> plan_;
};

// The weights of a program, kept in the interpreter between runs: loaded once by name, each run
// then takes only the inputs, and every result that updates a weight (`tf.aliasing_output`)
// becomes that weight's value for the next run without leaving the interpreter. A run frees the
// old value of a weight it updates after the value's last use, so that old and new values of all
// weights are never in memory at once (weights loaded with `share` excepted, until their first
// update). A run that fails before the last use of every updated weight changes no weight; one
// that fails after it (only when memory runs out in the optimizer's update, at the end of a
// training step) says which weights it lost, and they must be loaded again. Its methods may be
// called from several threads; runs take turns.
class State {
public:
  explicit State(std::shared_ptr<const Program> program);

  const Program &program() const { return *program_; }
  // Keeps a copy of `value` as the weight `name`. Throws for an unknown name or a wrong shape or
  // element type.
  // With `share`, a contiguous CPU tensor is kept itself instead (the interpreter never writes into
  // a weight's memory; the caller must not change it in place either).
  void load(std::string_view name, const at::Tensor &value, bool share = false);
  // A copy of the weight's current value.
  at::Tensor read(std::string_view name) const;
  // One tensor per Program::inputs() entry (undefined for an input never read); returns one per
  // Program::outputs() entry. Throws while a weight is not loaded.
  std::vector<at::Tensor> run(const std::vector<at::Tensor> &inputs);
  // The collective function of the runs from now on (an empty one removes it).
  void setCollective(Collective collective);

private:
  size_t argumentOf(std::string_view name) const;

  std::shared_ptr<const Program> program_;
  std::unordered_map<std::string, size_t> weights_; // name -> argument index
  std::vector<std::pair<int64_t, size_t>> updates_; // (result, argument) per aliased weight
  std::vector<at::Tensor> arguments_;               // per argument: the weights' values
  std::vector<bool> updatesWeight_;                 // per result
  std::vector<bool> owned_;                         // per argument: a weight only this state holds
  size_t missing_;                                  // weights not loaded yet
  Collective collective_;
  mutable std::mutex mutex_;
};

} // namespace lumo
