// lumo::State: the weights of a program kept between runs.
//
// The state holds one tensor per argument of the program: the weights in their slots, the others
// undefined; a run fills the inputs' slots of a copy of that list. The weights a run updates and
// only the state holds are handed to the run, which frees each after its last use; after a
// successful run each result that updates a weight takes the weight's slot (a swap of tensor
// handles, no copy). A failure puts back the weights the run still held.
#include "Program.h"

#include <ATen/core/LegacyTypeDispatch.h>

namespace lumo {

State::State(std::shared_ptr<const Program> program)
    : program_(std::move(program)), arguments_(program_->arguments().size()),
      updatesWeight_(program_->results().size(), false), owned_(program_->arguments().size(), false),
      missing_(0) {
  for (const ArgumentInfo &a : program_->arguments()) {
    if (a.kind != ArgumentInfo::Kind::Weight)
      continue;
    auto [it, inserted] = weights_.emplace(*a.name, a.index);
    if (!inserted)
      throw Error("lumo program: arguments " + std::to_string(it->second) + " and " + std::to_string(a.index) +
                  " are both the weight '" + *a.name + "'");
    if (a.aliasingOutput) {
      updates_.emplace_back(*a.aliasingOutput, a.index);
      updatesWeight_[*a.aliasingOutput] = true;
    }
    ++missing_;
  }
}

size_t State::argumentOf(std::string_view name) const {
  auto it = weights_.find(std::string(name));
  if (it == weights_.end())
    throw Error("lumo program: no weight named '" + std::string(name) + "'");
  return it->second;
}

void State::load(std::string_view name, const at::Tensor &value, bool share) {
  size_t index = argumentOf(name);
  if (!value.defined())
    throw Error("lumo program: no value for the weight '" + std::string(name) + "'");
  program_->check(index, value);
  at::Tensor copy;
  bool keep = false; // the caller's memory: a run never frees or writes it
  {
    at::AutoDispatchBelowADInplaceOrView guard;
    at::Tensor plain = Program::resolved(value.detach());
    keep = share && plain.is_contiguous() && plain.storage_offset() == 0 &&
           plain.storage().nbytes() == plain.nbytes() && !plain.is_neg() && !plain.is_conj();
    copy = keep ? plain : plain.clone(at::MemoryFormat::Contiguous);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!arguments_[index].defined())
    --missing_;
  arguments_[index] = std::move(copy);
  owned_[index] = !keep;
}

at::Tensor State::read(std::string_view name) const {
  size_t index = argumentOf(name);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!arguments_[index].defined())
    throw Error("lumo program: the weight '" + std::string(name) + "' is not loaded");
  return arguments_[index].clone();
}

std::vector<at::Tensor> State::run(const std::vector<at::Tensor> &inputs) {
  const std::vector<int64_t> &inputIndices = program_->inputs();
  if (inputs.size() != inputIndices.size())
    throw Error("lumo program: expected " + std::to_string(inputIndices.size()) + " inputs, got " +
                std::to_string(inputs.size()));
  for (size_t i = 0; i < inputs.size(); ++i)
    program_->check(inputIndices[i], inputs[i]);

  std::lock_guard<std::mutex> lock(mutex_);
  if (missing_) {
    std::string names;
    for (const ArgumentInfo &a : program_->arguments())
      if (a.kind == ArgumentInfo::Kind::Weight && !arguments_[a.index].defined())
        names += (names.empty() ? "'" : ", '") + *a.name + "'";
    throw Error("lumo program: weights not loaded: " + names);
  }
  std::vector<at::Tensor> arguments = arguments_;
  for (size_t i = 0; i < inputs.size(); ++i)
    arguments[inputIndices[i]] = inputs[i];
  std::vector<bool> donated(arguments.size(), false);
  std::vector<const c10::TensorImpl *> before(arguments.size(), nullptr);
  for (const auto &[result, argument] : updates_) {
    const at::Tensor &weight = arguments_[argument];
    before[argument] = weight.unsafeGetTensorImpl();
    // Memory loaded from the caller becomes the state's own once the caller has let go of it (the
    // tensor is held here and by this run's list only, its storage by that tensor only).
    if (!owned_[argument] && weight.use_count() == 2 && weight.storage().use_count() == 1)
      owned_[argument] = true;
    if (owned_[argument]) {
      donated[argument] = true;
      arguments_[argument].reset(); // the run holds it alone
    }
  }
  std::vector<at::Tensor> results;
  try {
    results = program_->execute(arguments, true, collective_, donated);
  } catch (const std::exception &e) {
    std::string lost;
    for (const auto &[result, argument] : updates_) {
      if (!donated[argument])
        continue;
      if (arguments[argument].defined()) {
        arguments_[argument] = std::move(arguments[argument]);
        continue;
      }
      ++missing_;
      lost += (lost.empty() ? "'" : ", '") + *program_->arguments()[argument].name + "'";
    }
    if (lost.empty())
      throw;
    throw Error(std::string(e.what()) + " (the run had already freed the old values of the weights " + lost +
                " after their last use: load them again)");
  }
  arguments.clear();
  for (const auto &[result, argument] : updates_)
    owned_[argument] = owned_[argument] || results[result].unsafeGetTensorImpl() != before[argument];

  // A named result that also updates a weight: the weight keeps the tensor, the caller gets a copy.
  std::vector<at::Tensor> outputs;
  outputs.reserve(program_->outputs().size());
  for (int64_t r : program_->outputs())
    outputs.push_back(updatesWeight_[r] ? results[r].clone() : std::move(results[r]));
  for (const auto &[result, argument] : updates_)
    arguments_[argument] = std::move(results[result]);
  return outputs;
}

void State::setCollective(Collective collective) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(collective_, collective);
  }
  // The previous function goes once the lock is released: dropping it may take locks of its own.
}

} // namespace lumo
