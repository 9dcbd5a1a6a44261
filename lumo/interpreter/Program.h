// lumo::Program: a lumo module parsed, verified and planned once, then run many times on CPU with
// ATen kernels.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

class Program {
public:
  // Parses, verifies and plans `text`; throws Error with the diagnostics when it cannot.
  explicit Program(std::string_view text);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  const std::vector<ArgumentInfo> &arguments() const;
  const std::vector<ResultInfo> &results() const;
  uint64_t seed() const;

  // One tensor per argument, in argument order: a CPU tensor of the argument's shape and element
  // type, or an undefined tensor for an embedded argument. Returns fresh tensors (never views of
  // the arguments or of the program's constants). Safe to call from several threads at once.
  std::vector<at::Tensor> run(const std::vector<at::Tensor> &arguments) const;

  struct Plan;

private:
  std::unique_ptr<Plan> plan_;
};

} // namespace lumo
