// Building a plan from lumo module text, and running it.
//
// The plan is a list of steps, one per operation that is not folded away, over a frame of tensor
// slots (one slot per SSA value). Constants and embedded arguments sit in the frame template;
// operations whose operands are all known while planning are evaluated once then. After each step
// the slots whose last use it was are emptied, so every intermediate value is freed as early as
// the program allows.
#include "Program.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <cctype>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include <ATen/core/LegacyTypeDispatch.h>

#include "Kernel.h"
#include "KernelCompiler.h"
#include "Plan.h"
#include "lumo/LumoDialect.h"
#include "mlir/Dialect/Func/IR/FuncOps.h"
#include "mlir/IR/BuiltinOps.h"
#include "mlir/IR/Diagnostics.h"
#include "mlir/IR/MLIRContext.h"
#include "mlir/Interfaces/SideEffectInterfaces.h"
#include "mlir/Parser/Parser.h"
#include "llvm/Support/SourceMgr.h"

namespace lumo {

Error::Error(const std::string &message, std::vector<std::string> diagnostics)
    : std::runtime_error(message), diagnostics_(std::move(diagnostics)) {}

const char *kindName(ArgumentInfo::Kind kind) {
  switch (kind) {
  case ArgumentInfo::Kind::Input: return "input";
  case ArgumentInfo::Kind::Weight: return "weight";
  case ArgumentInfo::Kind::Embedded: return "embedded";
  }
  return "?";
}

namespace {

// Operations whose operands are all known while planning are evaluated then, unless their result
// is larger than this (a broadcast constant is better left to each run than kept in the plan).
// Constants themselves are always kept.
constexpr int64_t kMaxFoldedBytes = 16 << 20;

std::string locationText(mlir::Location loc) {
  if (auto file = loc.dyn_cast<mlir::FileLineColLoc>())
    return (file.getFilename().getValue() + ":" + llvm::Twine(file.getLine()) + ":" + llvm::Twine(file.getColumn()))
        .str();
  if (auto name = loc.dyn_cast<mlir::NameLoc>())
    return locationText(name.getChildLoc());
  if (auto call = loc.dyn_cast<mlir::CallSiteLoc>())
    return locationText(call.getCallee());
  if (auto fused = loc.dyn_cast<mlir::FusedLoc>(); fused && !fused.getLocations().empty())
    return locationText(fused.getLocations().front());
  std::string text;
  llvm::raw_string_ostream os(text);
  os << loc;
  return os.str();
}

const char *severityText(mlir::DiagnosticSeverity severity) {
  switch (severity) {
  case mlir::DiagnosticSeverity::Error: return "error";
  case mlir::DiagnosticSeverity::Warning: return "warning";
  case mlir::DiagnosticSeverity::Note: return "note";
  case mlir::DiagnosticSeverity::Remark: return "remark";
  }
  return "error";
}

// Collects the diagnostics of a context as "<location>: <severity>: <message>" lines.
class DiagnosticCollector {
public:
  explicit DiagnosticCollector(mlir::MLIRContext &context)
      : handler_(&context, [this](mlir::Diagnostic &d) {
          add(d);
          for (mlir::Diagnostic &note : d.getNotes())
            add(note);
          return mlir::success();
        }) {}

  [[noreturn]] void raise(const std::string &what) {
    std::string message = what;
    for (const std::string &d : diagnostics_)
      message += "\n" + d;
    throw Error(message, diagnostics_);
  }
  bool empty() const { return diagnostics_.empty(); }

private:
  void add(mlir::Diagnostic &d) {
    diagnostics_.push_back(locationText(d.getLocation()) + ": " + severityText(d.getSeverity()) + ": " + d.str());
  }

  std::vector<std::string> diagnostics_;
  mlir::ScopedDiagnosticHandler handler_;
};

// The bytes a tensor of `shape` and `dtype` holds, or nullopt when that does not fit in 63 bits.
std::optional<int64_t> byteCount(llvm::ArrayRef<int64_t> shape, at::ScalarType dtype) {
  int64_t bytes = static_cast<int64_t>(at::elementSize(dtype));
  for (int64_t d : shape)
    if (d < 0 || __builtin_mul_overflow(bytes, d, &bytes))
      return std::nullopt;
  return bytes;
}

// The shape and element type of a value the interpreter can hold; nullopt with `why` set when it
// cannot (not a statically shaped tensor of a lumo element type, or too large to address).
std::optional<Expected> expectedType(mlir::Type type, std::string *why = nullptr) {
  auto fail = [&](const char *reason) -> std::optional<Expected> {
    if (why)
      *why = reason;
    return std::nullopt;
  };
  auto tensor = type.dyn_cast<mlir::RankedTensorType>();
  if (!tensor || !tensor.hasStaticShape())
    return fail("not a statically shaped tensor");
  auto dtype = scalarTypeOf(tensor.getElementType());
  if (!dtype)
    return fail("not a lumo element type");
  if (!byteCount(tensor.getShape(), *dtype))
    return fail("more elements than 64-bit sizes can address");
  return Expected{Shape(tensor.getShape().begin(), tensor.getShape().end()), *dtype};
}

// Nesting deeper than this (brackets, braces, parentheses and angle brackets, outside strings and
// comments) is refused before parsing: MLIR's parser recurses once per level and would exhaust
// the stack. Real programs nest a handful of levels.
constexpr int kMaxNesting = 256;

struct TextProblem {
  size_t offset;
  std::string message;
};

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '.' || c == '-';
}

// What is refused in a program's text before MLIR parses it:
// - nesting deeper than kMaxNesting;
// - a value used before its definition. A lumo program never needs one (@main is one block), and
//   MLIR 16's parser frees memory it still uses when a forward reference gets resolved by a
//   definition in a nested region that then fails to parse.
// A scan of the tokens outside strings and comments: braces open and close a scope of value
// names; the names in the parentheses after `@name` (a function's arguments) belong to the scope
// that the next brace opens, those after `^name` (a block's arguments) to the current one.
std::optional<TextProblem> checkText(std::string_view text) {
  struct Bracket {
    char open;
    bool arguments; // `@name(` or `^name(`
  };
  std::vector<Bracket> brackets;
  std::vector<std::unordered_set<std::string_view>> scopes(1);
  std::vector<std::string_view> arguments; // of the function whose `@name(...)` is open
  std::vector<std::string_view> pending;   // a function's arguments, for its body's scope
  size_t pendingDepth = 0;                 // the bracket depth of the function's body
  auto defined = [&](std::string_view name) {
    for (const auto &scope : scopes)
      if (scope.count(name))
        return true;
    return false;
  };
  auto skipSpace = [&](size_t i) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    return i;
  };
  // After a value name at `i`: `:N`, more names, then `=` (the results of an operation).
  auto definesResults = [&](size_t i) {
    while (true) {
      i = skipSpace(i);
      if (i < text.size() && text[i] == ':') {
        i = skipSpace(i + 1);
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
          ++i;
        i = skipSpace(i);
      }
      if (i < text.size() && text[i] == ',') {
        i = skipSpace(i + 1);
        if (i >= text.size() || text[i] != '%')
          return false;
        for (++i; i < text.size() && isNameChar(text[i]);)
          ++i;
        continue;
      }
      return i < text.size() && text[i] == '=' && (i + 1 >= text.size() || text[i + 1] != '=');
    }
  };
  for (size_t i = 0, n = text.size(); i < n; ++i) {
    char c = text[i];
    if (c == '"') {
      for (++i; i < n && text[i] != '"'; ++i)
        if (text[i] == '\\')
          ++i;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '/') {
      i = text.find('\n', i);
      if (i == std::string_view::npos)
        break;
    } else if (c == '{' || c == '[' || c == '(' || c == '<') {
      if (brackets.size() >= static_cast<size_t>(kMaxNesting))
        return TextProblem{i, "nesting deeper than " + std::to_string(kMaxNesting) +
                                  " levels of brackets, braces and parentheses"};
      bool argumentList = false;
      if (c == '(') {
        size_t j = i;
        while (j > 0 && isNameChar(text[j - 1]))
          --j;
        argumentList = j < i && j > 0 && (text[j - 1] == '@' || text[j - 1] == '^');
      }
      if (c == '{') {
        // The function's body, not its `attributes {...}`: the scope of its arguments.
        size_t j = i;
        while (j > 0 && std::isspace(static_cast<unsigned char>(text[j - 1])))
          --j;
        bool attributes = text.substr(0, j).size() >= 10 && text.substr(j - 10, 10) == "attributes";
        if (!pending.empty() && brackets.size() == pendingDepth && !attributes) {
          scopes.emplace_back(pending.begin(), pending.end());
          pending.clear();
        } else {
          scopes.emplace_back();
        }
      }
      brackets.push_back({c, argumentList});
    } else if (c == '}' || c == ']' || c == ')' || (c == '>' && (i == 0 || text[i - 1] != '-'))) {
      if (brackets.empty())
        continue;
      if (brackets.back().open == '{' && scopes.size() > 1)
        scopes.pop_back();
      bool closesArguments = brackets.back().arguments && text[i] == ')';
      brackets.pop_back();
      if (closesArguments && !arguments.empty()) {
        pending = std::move(arguments);
        arguments.clear();
        pendingDepth = brackets.size();
      }
    } else if (c == '%') {
      size_t end = i + 1;
      while (end < n && isNameChar(text[end]))
        ++end;
      std::string_view name = text.substr(i, end - i);
      if (name.size() > 1 && !defined(name)) {
        if (!brackets.empty() && brackets.back().arguments) {
          // `@name(` arguments wait for the function's body; `^name(` ones are the block's.
          size_t open = text.rfind('(', i);
          size_t j = open;
          while (j > 0 && isNameChar(text[j - 1]))
            --j;
          if (j > 0 && text[j - 1] == '@')
            arguments.push_back(name);
          else
            scopes.back().insert(name);
        } else if (definesResults(end)) {
          scopes.back().insert(name);
        } else {
          return TextProblem{i, "value " + std::string(name) + " is used before its definition"};
        }
      }
      i = end - 1;
    }
  }
  return std::nullopt;
}

bool matches(const at::Tensor &t, const Expected &e) {
  return t.defined() && t.scalar_type() == e.dtype && t.sizes().equals(e.shape);
}

std::string describe(const at::Tensor &t) {
  if (!t.defined())
    return "no tensor";
  return "shape " + shapeText(t.sizes()) + " and type " + typeName(t.scalar_type());
}

std::string printed(mlir::Attribute attr) {
  std::string text;
  llvm::raw_string_ostream os(text);
  os << attr;
  return os.str();
}

const void *storageOf(const at::Tensor &t) {
  return t.has_storage() ? static_cast<const void *>(t.storage().unsafeGetStorageImpl()) : nullptr;
}
} // namespace

namespace {

// Builds the plan of @main; diagnostics go to the context's handler.
class PlanBuilder {
public:
  PlanBuilder(Program::Plan &plan, DiagnosticCollector &diagnostics) : plan_(plan), diagnostics_(diagnostics) {}

  void build(mlir::func::FuncOp main, bool fuse) {
    for (mlir::BlockArgument arg : main.getArguments())
      argValues_.push_back(arg);
    readSignature(main);
    if (!diagnostics_.empty())
      diagnostics_.raise("lumo program: invalid signature of @main");

    mlir::Block &body = main.getBody().front();
    for (mlir::Operation &op : body.without_terminator())
      planOperation(&op);
    if (failed_)
      diagnostics_.raise("lumo program: cannot plan");

    auto ret = llvm::cast<mlir::func::ReturnOp>(body.getTerminator());
    for (mlir::Value v : ret.getOperands())
      plan_.resultSlots.push_back(use(v));
    releaseAfterLastUse();
    if (fuse) {
      std::map<int32_t, int32_t> updates; // result slot -> slot of the argument it updates
      for (size_t r = 0; r < plan_.resultSlots.size(); ++r) {
        int64_t a = plan_.updatedArgument[r];
        if (a >= 0 && plan_.argumentSlots[static_cast<size_t>(a)] >= 0)
          updates.emplace(plan_.resultSlots[r], plan_.argumentSlots[static_cast<size_t>(a)]);
      }
      plan_.regions = findRegions(plan_.steps, stepOps_, plan_.resultSlots, updates, state_, slots_.size());
    }
  }

private:
  int32_t slotOf(mlir::Value v) {
    auto [it, inserted] = slots_.try_emplace(v, static_cast<int32_t>(slots_.size()));
    return it->second;
  }

  // The slot of an operand, placing a plan-time value into the frame template on first use.
  int32_t use(mlir::Value v) {
    int32_t slot = slotOf(v);
    if (slot >= static_cast<int32_t>(plan_.initial.size()))
      plan_.initial.resize(slot + 1);
    auto c = state_.constants.find(v);
    if (c != state_.constants.end() && !plan_.initial[slot].defined()) {
      plan_.initial[slot] = c->second;
      plan_.constantStorages.insert(storageOf(c->second));
    }
    return slot;
  }

  // An integer attribute that must hold a value in [0, 2^64); nullopt (with an error at `main`)
  // when it is not an integer or out of that range.
  static std::optional<uint64_t> readUnsigned(mlir::func::FuncOp main, const llvm::Twine &where,
                                              mlir::Attribute attr, const char *name) {
    auto integer = attr.dyn_cast<mlir::IntegerAttr>();
    if (!integer || attr.isa<mlir::BoolAttr>()) {
      main.emitError() << where << name << " must be an integer, got " << attr;
      return std::nullopt;
    }
    const llvm::APInt &v = integer.getValue();
    if ((!integer.getType().isUnsignedInteger() && v.isNegative()) || v.getActiveBits() > 64) {
      main.emitError() << where << name << " " << attr << " is out of range";
      return std::nullopt;
    }
    return v.getZExtValue();
  }

  // A string attribute naming an argument or a result; nullopt (with an error) when it is absent,
  // not a string or empty.
  static std::optional<std::string> readName(mlir::func::FuncOp main, const llvm::Twine &where,
                                             mlir::Attribute attr, const char *name) {
    if (!attr)
      return std::nullopt;
    auto text = attr.dyn_cast<mlir::StringAttr>();
    if (!text)
      main.emitError() << where << name << " must be a string, got " << attr;
    else if (text.getValue().empty())
      main.emitError() << where << name << " is empty";
    else
      return text.getValue().str();
    return std::nullopt;
  }

  // Reads the signature's attributes, each checked for its kind and range before use; every
  // problem is an error at @main.
  void readSignature(mlir::func::FuncOp main) {
    auto type = main.getFunctionType();
    if (mlir::Attribute seed = main->getAttr("vx.seed"))
      plan_.seed = readUnsigned(main, "", seed, "vx.seed").value_or(0);
    state_.seed = plan_.seed;

    for (unsigned i = 0; i < type.getNumResults(); ++i) {
      std::string where = "result " + std::to_string(i) + ": ";
      ResultInfo r;
      r.index = i;
      std::string why;
      if (auto e = expectedType(type.getResult(i), &why)) {
        r.shape = e->shape;
        r.dtype = e->dtype;
      } else {
        main.emitError() << "result " << i << " has type " << type.getResult(i) << " (" << why
                         << "); results must be statically shaped tensors of a lumo element type";
      }
      r.name = readName(main, where, main.getResultAttr(i, "vx.output_name"), "vx.output_name");
      plan_.results.push_back(std::move(r));
    }

    plan_.updatedArgument.assign(plan_.results.size(), -1);
    mlir::Block &body = main.getBody().front();
    for (unsigned i = 0; i < type.getNumInputs(); ++i) {
      std::string where = "argument " + std::to_string(i) + ": ";
      ArgumentInfo a;
      a.index = i;
      std::string why;
      auto e = expectedType(type.getInput(i), &why);
      if (!e) {
        main.emitError() << "argument " << i << " has type " << type.getInput(i) << " (" << why
                         << "); arguments must be statically shaped tensors of a lumo element type";
        continue;
      }
      a.shape = e->shape;
      a.dtype = e->dtype;
      a.used = !body.getArgument(i).use_empty();
      auto inputName = readName(main, where, main.getArgAttr(i, "vx.input_name"), "vx.input_name");
      auto resourceName = readName(main, where, main.getArgAttr(i, "tf.resource_name"), "tf.resource_name");
      if (main.getArgAttr(i, "tf.resource_name")) {
        a.kind = ArgumentInfo::Kind::Weight;
        a.name = resourceName;
        for (const ArgumentInfo &other : plan_.arguments)
          if (resourceName && other.kind == ArgumentInfo::Kind::Weight && other.name == resourceName &&
              !main.getArgAttr(i, "tf.parameter_value"))
            main.emitError() << "argument " << i << ": tf.resource_name '" << *resourceName
                             << "' is the weight of argument " << other.index << " too";
      } else {
        a.name = inputName;
      }
      if (mlir::Attribute value = main.getArgAttr(i, "tf.parameter_value")) {
        a.kind = ArgumentInfo::Kind::Embedded;
        std::string error;
        at::Tensor t;
        auto elements = value.dyn_cast<mlir::ElementsAttr>();
        auto valueType = elements ? expectedType(elements.getType(), &error) : std::nullopt;
        if (!elements)
          error = "expected an elements attribute, got " + printed(value);
        else if (valueType && !(valueType->shape == e->shape && valueType->dtype == e->dtype))
          error = "its value has shape " + shapeText(valueType->shape) + " and type " + typeName(valueType->dtype) +
                  ", the argument " + describe(at::empty(e->shape, e->dtype));
        else if (valueType)
          t = materialise(value, error);
        if (error.empty() && !matches(t, *e))
          error = "its value has " + describe(t) + ", the argument " + describe(at::empty(e->shape, e->dtype));
        if (!error.empty())
          main.emitError() << "argument " << i << ": tf.parameter_value: " << error;
        else
          state_.constants[body.getArgument(i)] = t;
      }
      if (mlir::Attribute alias = main.getArgAttr(i, "tf.aliasing_output")) {
        std::optional<uint64_t> n = readUnsigned(main, where, alias, "tf.aliasing_output");
        if (n && *n >= plan_.results.size()) {
          main.emitError() << "argument " << i << ": tf.aliasing_output " << *n << " names no result (there are "
                           << plan_.results.size() << ")";
        } else if (n) {
          ResultInfo &r = plan_.results[*n];
          if (r.updates)
            main.emitError() << "argument " << i << ": result " << *n << " already updates '" << *r.updates << "'";
          else if (r.shape != a.shape || r.dtype != a.dtype)
            main.emitError() << "argument " << i << ": tf.aliasing_output " << *n
                             << " has another type than the argument";
          else {
            a.aliasingOutput = static_cast<int64_t>(*n);
            r.updates = a.name.value_or("argument " + std::to_string(i));
            plan_.updatedArgument[*n] = i;
          }
        }
      }
      if (a.kind == ArgumentInfo::Kind::Input)
        plan_.inputs.push_back(a.index);
      plan_.arguments.push_back(std::move(a));
    }
    // Only aliases checked above are recorded (in aliasingOutput and updatedArgument).
    std::vector<bool> updatesWeight(plan_.results.size(), false);
    for (const ArgumentInfo &a : plan_.arguments)
      if (a.kind == ArgumentInfo::Kind::Weight && a.aliasingOutput)
        updatesWeight[static_cast<size_t>(*a.aliasingOutput)] = true;
    for (const ResultInfo &r : plan_.results)
      if (!updatesWeight[r.index] || r.name)
        plan_.outputs.push_back(r.index);
  }

  void planOperation(mlir::Operation *op) {
    llvm::SmallVector<mlir::Type, 8> types(op->getOperandTypes());
    types.append(op->getResultTypes().begin(), op->getResultTypes().end());
    for (mlir::Type t : types) {
      std::string why;
      if (!expectedType(t, &why)) {
        op->emitOpError() << "has a value of type " << t << " (" << why
                          << "); the interpreter runs statically shaped tensors of lumo element types";
        failed_ = true;
        return;
      }
    }
    Planner planner = nullptr;
    if (op->getDialect() && op->getDialect()->getNamespace() == "lumo")
      planner = findPlanner(op->getName().stripDialect());
    if (!planner) {
      op->emitOpError() << "is not an operation the interpreter can run";
      failed_ = true;
      return;
    }
    OpView view(op, state_);
    Kernel kernel;
    try {
      kernel = planner(view);
    } catch (const PlanFailure &) {
      failed_ = true;
      return;
    } catch (const c10::Error &e) {
      op->emitOpError() << e.what_without_backtrace();
      failed_ = true;
      return;
    } catch (const std::exception &e) {
      op->emitOpError() << e.what();
      failed_ = true;
      return;
    }
    if (failed_)
      return; // keep checking the other operations, but build nothing more

    Step step;
    step.kernel = std::move(kernel);
    step.ordered = !mlir::isPure(op);
    step.acceptsSpare = view.acceptsSpare() && op->getNumResults() == 1;
    step.where = op->getName().getStringRef().str() + " at " + locationText(op->getLoc());
    for (mlir::Value r : op->getResults())
      step.expected.push_back(*expectedType(r.getType()));
    if (fold(op, step))
      return;
    for (mlir::Value v : op->getOperands())
      step.operands.push_back(use(v));
    for (mlir::Value r : op->getResults())
      step.results.push_back(slotOf(r));
    plan_.steps.push_back(std::move(step));
    stepOps_.push_back(op);
  }

  // Evaluates a pure operation whose operands are all known now; false when it stays a step.
  bool fold(mlir::Operation *op, Step &step) {
    if (!mlir::isPure(op))
      return false;
    std::vector<at::Tensor> frame;
    llvm::SmallVector<int32_t, 4> operands, results;
    for (mlir::Value v : op->getOperands()) {
      auto c = state_.constants.find(v);
      if (c == state_.constants.end())
        return false;
      operands.push_back(static_cast<int32_t>(frame.size()));
      frame.push_back(c->second);
    }
    for (const Expected &e : step.expected) {
      if (op->getNumOperands() && at::elementSize(e.dtype) * c10::multiply_integers(e.shape) > kMaxFoldedBytes)
        return false;
      results.push_back(static_cast<int32_t>(frame.size()));
      frame.emplace_back();
    }
    try {
      at::AutoDispatchBelowADInplaceOrView guard;
      KernelContext ctx(frame, operands, results, -1, 0);
      step.kernel(ctx);
    } catch (const std::exception &) {
      return false; // an operation that fails does so when the program runs
    }
    for (size_t i = 0; i < results.size(); ++i) {
      const at::Tensor &t = frame[results[i]];
      if (!matches(t, step.expected[i]))
        return false; // reported when the program runs
      // A fresh contiguous copy: the plan keeps it alone, not the storage of its operands.
      state_.constants[op->getResult(i)] = t.is_contiguous() && t.storage().nbytes() == t.nbytes() ? t : t.clone();
    }
    return true;
  }

  void releaseAfterLastUse() {
    plan_.initial.resize(slots_.size());
    std::vector<int32_t> lastUse;
    assignReleases(plan_.steps, plan_.resultSlots, slots_.size(), &lastUse);
    for (size_t i = 0; i < plan_.arguments.size(); ++i) {
      auto it = slots_.find(argValues_[i]);
      bool used = it != slots_.end() && lastUse[it->second] != -1;
      bool passed = plan_.arguments[i].kind != ArgumentInfo::Kind::Embedded;
      plan_.argumentSlots.push_back(used && passed ? it->second : -1);
    }
  }

  Program::Plan &plan_;
  DiagnosticCollector &diagnostics_;
  PlanState state_;
  llvm::DenseMap<mlir::Value, int32_t> slots_;
  std::vector<mlir::Operation *> stepOps_; // the operation of each step
  std::vector<mlir::Value> argValues_;
  bool failed_ = false;
};

} // namespace

Program::Program(std::string_view text, bool fuse) : plan_(std::make_unique<Plan>()) {
  mlir::DialectRegistry registry;
  registry.insert<mlir::func::FuncDialect, lumo::LumoDialect>();
  mlir::MLIRContext context(registry, mlir::MLIRContext::Threading::DISABLED);
  context.loadAllAvailableDialects();
  context.printOpOnDiagnostic(false);
  DiagnosticCollector diagnostics(context);

  llvm::SourceMgr sources;
  sources.AddNewSourceBuffer(
      llvm::MemoryBuffer::getMemBuffer(llvm::StringRef(text.data(), text.size()), "program", false), llvm::SMLoc());
  if (std::optional<TextProblem> problem = checkText(text)) {
    auto where = sources.getLineAndColumn(llvm::SMLoc::getFromPointer(text.data() + problem->offset));
    mlir::emitError(mlir::FileLineColLoc::get(&context, "program", where.first, where.second)) << problem->message;
    diagnostics.raise("lumo program: cannot parse");
  }
  mlir::ParserConfig config(&context);
  mlir::OwningOpRef<mlir::ModuleOp> module = mlir::parseSourceFile<mlir::ModuleOp>(sources, config);
  if (!module)
    diagnostics.raise("lumo program: cannot parse");

  auto main = module->lookupSymbol<mlir::func::FuncOp>("main");
  if (!main) {
    module->emitError("the module has no function @main");
    diagnostics.raise("lumo program: no @main");
  }
  if (main.isExternal()) {
    main.emitError("@main has no body");
    diagnostics.raise("lumo program: no body");
  }
  if (!main.getBody().hasOneBlock()) {
    main.emitError("@main must have a single block");
    diagnostics.raise("lumo program: invalid body");
  }

  at::AutoDispatchBelowADInplaceOrView guard;
  PlanBuilder(*plan_, diagnostics).build(main, fuse);
  if (!plan_->regions.empty())
    plan_->compiler = std::make_unique<KernelCompiler>(*plan_);
}

Program::~Program() = default;

KernelStatus Program::kernels() const {
  if (!plan_->compiler) {
    KernelStatus none;
    none.ready = true;
    return none;
  }
  return plan_->compiler->status();
}

bool Program::waitForKernels(double timeoutSeconds) const {
  return !plan_->compiler || plan_->compiler->wait(timeoutSeconds);
}

std::vector<std::string> Program::stepsInUse() const {
  std::shared_ptr<const FusedPlan> fused = std::atomic_load(&plan_->fused);
  std::vector<std::string> out;
  for (const Step &step : fused ? fused->steps : plan_->steps)
    out.push_back(step.where);
  return out;
}

const std::vector<ArgumentInfo> &Program::arguments() const { return plan_->arguments; }
const std::vector<ResultInfo> &Program::results() const { return plan_->results; }
uint64_t Program::seed() const { return plan_->seed; }
const std::vector<int64_t> &Program::inputs() const { return plan_->inputs; }
const std::vector<int64_t> &Program::outputs() const { return plan_->outputs; }

std::vector<at::Tensor> Program::run(const std::vector<at::Tensor> &args, const Collective &collective) const {
  if (args.size() != plan_->arguments.size())
    throw Error("lumo program: expected " + std::to_string(plan_->arguments.size()) + " arguments, got " +
                std::to_string(args.size()));
  for (size_t i = 0; i < args.size(); ++i)
    check(i, args[i]);
  std::vector<at::Tensor> arguments = args;
  return execute(arguments, false, collective);
}

void Program::check(size_t index, const at::Tensor &t) const {
  const ArgumentInfo &a = plan_->arguments[index];
  auto fail = [&](const std::string &what) {
    throw Error("lumo program: argument " + std::to_string(index) + (a.name ? " ('" + *a.name + "')" : "") + what);
  };
  if (a.kind == ArgumentInfo::Kind::Embedded) {
    if (t.defined())
      fail(" is embedded in the program: pass None");
    return;
  }
  if (!t.defined() && !a.used)
    return;
  // The dispatch keys of an ordinary CPU tensor: anything else (a nested tensor, a tensor subclass
  // that dispatches to Python, a functorch wrapper) may hold no data the kernels can read.
  static const c10::DispatchKeySet plain({c10::DispatchKey::CPU, c10::DispatchKey::ADInplaceOrView,
                                          c10::DispatchKey::AutogradCPU, c10::DispatchKey::AutocastCPU,
                                          c10::DispatchKey::Negative, c10::DispatchKey::ZeroTensor});
  if (t.defined() && t.device().is_cpu() && t.layout() == at::kStrided &&
      !std::all_of(t.key_set().begin(), t.key_set().end(), [](c10::DispatchKey k) { return plain.has(k); }))
    fail(" must be an ordinary CPU tensor, got one with the dispatch keys " + c10::toString(t.key_set()));
  if (!t.defined() || t.layout() != at::kStrided || !t.device().is_cpu() || t.scalar_type() != a.dtype ||
      !t.sizes().equals(a.shape))
    fail(" must be a CPU tensor of shape " + shapeText(a.shape) + " and type " + typeName(a.dtype) + ", got " +
         (t.defined() && !t.device().is_cpu() ? "a tensor on " + t.device().str() : describe(t)));
}

at::Tensor Program::resolved(const at::Tensor &t) {
  if (t.defined() && t._is_zerotensor())
    return at::zeros(t.sizes(), at::TensorOptions().dtype(t.scalar_type()));
  if (t.defined() && t.is_neg())
    return t.resolve_neg();
  return t;
}

namespace {

// LUMO_PROFILE=1: the time of each kind of step over every run of the process (the operation's
// name, or "fused region"), printed to stderr at exit, largest first. Off, it costs one test per step.
class StepProfile {
public:
  static StepProfile *instance() {
    static StepProfile *profile = [] {
      const char *env = std::getenv("LUMO_PROFILE");
      return env && *env && std::string(env) != "0" ? new StepProfile : nullptr;
    }();
    return profile;
  }
  void add(const std::string &where, double seconds) {
    std::string kind = where.substr(0, where.find(' '));
    if (kind == "fused")
      kind = "fused region";
    std::lock_guard<std::mutex> lock(mutex_);
    auto &[total, count] = times_[kind];
    total += seconds;
    ++count;
  }

private:
  StepProfile() { std::atexit([] { instance()->print(); }); }
  void print() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<double, std::string>> rows;
    double total = 0;
    for (const auto &[kind, entry] : times_) {
      rows.emplace_back(entry.first, kind + " (" + std::to_string(entry.second) + " steps)");
      total += entry.first;
    }
    std::sort(rows.rbegin(), rows.rend());
    std::fprintf(stderr, "lumo interpreter profile: %.1f ms in steps\n", total * 1e3);
    for (const auto &[seconds, kind] : rows)
      std::fprintf(stderr, "  %10.2f ms %5.1f%%  %s\n", seconds * 1e3, 100 * seconds / std::max(total, 1e-12),
                   kind.c_str());
  }

  std::mutex mutex_;
  std::map<std::string, std::pair<double, uint64_t>> times_;
};

} // namespace

std::vector<at::Tensor> Program::execute(std::vector<at::Tensor> &args, bool keepUnchanged,
                                         const Collective &collective, const std::vector<bool> &donated) const {
  const Plan &plan = *plan_;
  std::vector<at::Tensor> frame = plan.initial;
  std::unordered_set<const void *> argumentStorages;
  std::vector<const c10::TensorImpl *> argumentImpls(args.size(), nullptr);
  std::vector<size_t> given; // donated arguments: the frame holds them alone
  for (size_t i = 0; i < args.size(); ++i) {
    argumentImpls[i] = args[i].defined() ? args[i].unsafeGetTensorImpl() : nullptr;
    int32_t slot = plan.argumentSlots[i];
    if (slot >= 0 && i < donated.size() && donated[i] && args[i].defined()) {
      at::Tensor own = std::move(args[i]);
      frame[slot] = resolved(own);
      given.push_back(i);
      continue;
    }
    if (slot >= 0)
      frame[slot] = resolved(args[i]);
    if (args[i].defined())
      argumentStorages.insert(storageOf(args[i]));
  }
  try {
    runSteps(frame, collective);
  } catch (...) {
    // The donated arguments the run has not freed yet go back to the caller.
    for (size_t i : given)
      args[i] = std::move(frame[plan.argumentSlots[i]]);
    throw;
  }
  return collectResults(frame, argumentStorages, argumentImpls, keepUnchanged);
}

void Program::runSteps(std::vector<at::Tensor> &frame, const Collective &collective) const {
  const Plan &plan = *plan_;
  uint64_t runNumber = plan.runs.fetch_add(1);
  at::AutoDispatchBelowADInplaceOrView guard;
  // The fused plan once its kernels are ready (held for the whole run), else the unfused one.
  std::shared_ptr<const FusedPlan> fused = std::atomic_load(&plan.fused);
  for (const Step &step : fused ? fused->steps : plan.steps) {
    KernelContext ctx(frame, step.operands, step.results, step.spare, runNumber, &collective, step.release);
    try {
      if (StepProfile *profile = StepProfile::instance()) {
        auto start = std::chrono::steady_clock::now();
        step.kernel(ctx);
        profile->add(step.where, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      } else {
        step.kernel(ctx);
      }
    } catch (const c10::Error &e) {
      throw Error(step.where + ": " + e.what_without_backtrace());
    } catch (const std::exception &e) {
      throw Error(step.where + ": " + e.what());
    }
    for (size_t i = 0; i < step.results.size(); ++i) {
      const at::Tensor &t = frame[step.results[i]];
      if (!matches(t, step.expected[i]))
        throw Error(step.where + ": result " + std::to_string(i) + " has " + describe(t) + ", its type says shape " +
                    shapeText(step.expected[i].shape) + " and type " + typeName(step.expected[i].dtype));
    }
    for (int32_t slot : step.release)
      frame[slot].reset();
  }
}

std::vector<at::Tensor> Program::collectResults(std::vector<at::Tensor> &frame,
                                                const std::unordered_set<const void *> &argumentStorages,
                                                const std::vector<const c10::TensorImpl *> &argumentImpls,
                                                bool keepUnchanged) const {
  const Plan &plan = *plan_;
  // Results own their memory: copies where they would share it with an argument, a constant of
  // the plan or another result.
  std::vector<at::Tensor> results;
  std::unordered_set<const void *> resultStorages;
  for (size_t r = 0; r < plan.resultSlots.size(); ++r) {
    at::Tensor t = frame[plan.resultSlots[r]];
    const void *s = storageOf(t);
    bool shared = s && (argumentStorages.count(s) || plan.constantStorages.count(s) || resultStorages.count(s));
    // A weight that keeps its value: the same tensor, when nothing else holds it as a result.
    int64_t updated = plan.updatedArgument[r];
    if (shared && keepUnchanged && updated >= 0 && !resultStorages.count(s) &&
        t.unsafeGetTensorImpl() == argumentImpls[updated])
      shared = false;
    if (shared || !t.is_contiguous())
      t = t.clone(at::MemoryFormat::Contiguous);
    resultStorages.insert(storageOf(t));
    results.push_back(std::move(t));
  }
  return results;
}

void assignReleases(std::vector<Step> &steps, const std::vector<int32_t> &resultSlots, size_t slotCount,
                    std::vector<int32_t> *lastUseOut) {
  std::vector<int32_t> lastUse(slotCount, -1);
  for (size_t s = 0; s < steps.size(); ++s) {
    steps[s].release.clear();
    steps[s].spare = -1;
    for (int32_t slot : steps[s].operands)
      lastUse[slot] = static_cast<int32_t>(s);
  }
  constexpr int32_t kKept = std::numeric_limits<int32_t>::max();
  for (int32_t slot : resultSlots)
    lastUse[slot] = kKept;
  std::unordered_map<int32_t, const Expected *> producedTypes; // slots of step results
  for (Step &step : steps) {
    for (size_t i = 0; i < step.results.size(); ++i)
      producedTypes[step.results[i]] = &step.expected[i];
  }
  for (size_t s = 0; s < steps.size(); ++s) {
    Step &step = steps[s];
    for (int32_t slot : step.results)
      if (lastUse[slot] == -1) // never used: freed right away
        step.release.push_back(slot);
    llvm::SmallVector<int32_t, 4> seen;
    for (int32_t slot : step.operands)
      if (lastUse[slot] == static_cast<int32_t>(s) && !llvm::is_contained(seen, slot)) {
        step.release.push_back(slot);
        seen.push_back(slot);
      }
  }
  // A step that can write its result into a dead value gets one of the result's type: an
  // operand it is the last use of (computed in place), else one the step before it freed. Only
  // values some step produced qualify: arguments and constants are never overwritten.
  auto fits = [&](int32_t slot, const Expected &e) {
    auto type = producedTypes.find(slot);
    return type != producedTypes.end() && type->second->dtype == e.dtype && type->second->shape == e.shape;
  };
  for (size_t s = 0; s < steps.size(); ++s) {
    Step &step = steps[s];
    if (!step.acceptsSpare)
      continue;
    for (int32_t slot : step.operands)
      if (lastUse[slot] == static_cast<int32_t>(s) && fits(slot, step.expected[0])) {
        step.spare = slot;
        break;
      }
    if (step.spare >= 0 || s == 0)
      continue;
    std::vector<int32_t> &freed = steps[s - 1].release;
    auto it = std::find_if(freed.begin(), freed.end(), [&](int32_t slot) { return fits(slot, step.expected[0]); });
    if (it != freed.end()) {
      step.spare = *it;
      step.release.push_back(*it);
      freed.erase(it);
    }
  }
  if (lastUseOut)
    *lastUseOut = std::move(lastUse);
}

} // namespace lumo
