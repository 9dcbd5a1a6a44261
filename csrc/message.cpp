#include "message.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include <boost/stacktrace.hpp>

namespace orvex {

const char* level_to_string(MessageLevel level) {
  switch (level) {
    case MessageLevel::TRACE: return "TRACE";
    case MessageLevel::DEBUG: return "DEBUG";
    case MessageLevel::VERBOSE: return "VERBOSE";
    case MessageLevel::INFO: return "INFO";
    case MessageLevel::WARNING: return "WARNING";
    case MessageLevel::ERROR: return "ERROR";
    case MessageLevel::FATAL: return "FATAL";
    default: return "UNKNOWN";
  }
}

namespace {

std::string plain_line(const Message& message, const std::string& text) {
  std::string line = level_to_string(message.level());
  line += ": ";
  if (!message.loggername().empty()) {
    line += "[" + message.loggername() + "] ";
  }
  line += text;
  line += '\n';
  return line;
}

}  // namespace

class StdoutMessageHandler : public MessageHandler {
 public:
  explicit StdoutMessageHandler(MessageLevel level) : default_level_(level) {}
  void set_default_level(MessageLevel level) override { default_level_ = level; }
  bool will_print(const Message& message) const override {
    return default_level_ <= message.level();
  }
  void print_string(const Message& message, const std::string& text) const override {
    if (!will_print(message)) return;
    std::string line = plain_line(message, text);
    std::cout.write(line.data(), line.size());
    std::cout.flush();
  }

 private:
  MessageLevel default_level_;
};

std::unique_ptr<MessageHandler> MakeStdoutMessageHandler(MessageLevel level) {
  return std::make_unique<StdoutMessageHandler>(level);
}

std::string current_stack_trace() {
  std::ostringstream os;
  os << boost::stacktrace::stacktrace();
  return os.str();
}

// Takes the manager's mutex. A thread never waits for it while holding the outer lock: when the
// mutex is taken, the outer lock is let go first and taken back after the mutex is given back.
// When the mutex is free it is taken at once and the outer lock is kept: no thread can then be
// inside the handler waiting for the outer lock.
class MessageManager::Guard {
 public:
  explicit Guard(const MessageManager& m) : m_(m) {
    if (m_.mtx_.try_lock()) return;
    if (auto release = m.release_hook_.load(std::memory_order_acquire)) {
      reacquire_ = m.reacquire_hook_.load(std::memory_order_acquire);
      token_ = release();
    }
    try {
      m_.mtx_.lock();
    } catch (...) {
      restore();
      throw;
    }
  }
  ~Guard() {
    m_.mtx_.unlock();
    restore();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  void restore() {
    if (token_ && reacquire_) reacquire_(token_);
    token_ = nullptr;
  }
  const MessageManager& m_;
  void* token_ = nullptr;
  void (*reacquire_)(void*) = nullptr;
};

MessageManager::MessageManager()
    : handler_(std::make_unique<StdoutMessageHandler>(MessageLevel::WARNING)) {}

MessageManager& MessageManager::get() {
  // Never destroyed: messages may still be emitted by other static destructors at exit.
  static MessageManager* manager = new MessageManager();
  return *manager;
}

void MessageManager::set_handler(std::unique_ptr<MessageHandler> handler) {
  Guard guard(*this);
  std::swap(handler_, handler);
  handler.reset();  // the previous handler goes while the mutex is still held
}

void MessageManager::set_default_level(MessageLevel level) {
  Guard guard(*this);
  handler_->set_default_level(level);
}

bool MessageManager::will_print(const Message& message) const {
  Guard guard(*this);
  try {
    return handler_->will_print(message);
  } catch (const std::exception&) {
    // A handler that cannot tell still gets the messages that must not be lost.
    return MessageLevel::WARNING <= message.level();
  }
}

void MessageManager::print_string(const Message& message, const std::string& text) const {
  if (message.level() == MessageLevel::FATAL) {
    // Nothing is printed; the error carries the text and where it came from. The trace is taken
    // without the mutex: it touches no shared state of the manager.
    throw std::runtime_error(text + "\n" + "Stack Trace: " + "\n" + current_stack_trace() + "\n");
  }
  Guard guard(*this);
  try {
    handler_->print_string(message, text);
  } catch (const std::exception&) {
    // Warnings too: the data store reports its own failures (a data file it could not delete) as
    // warnings, and a broken handler must not hide them.
    if (MessageLevel::WARNING <= message.level()) {
      std::string line = plain_line(message, text);
      std::cerr.write(line.data(), line.size());
      std::cerr.flush();
    }
  }
}

void MessageManager::set_outer_lock_hooks(OuterLockHooks hooks) {
  reacquire_hook_.store(hooks.reacquire, std::memory_order_release);
  release_hook_.store(hooks.release, std::memory_order_release);
}

bool Message::will_print() const {
  return MessageManager::get().will_print(*this);
}

namespace details {

MessagePipe::~MessagePipe() noexcept(false) {
  if (!out_) return;
  std::unique_ptr<std::ostringstream> out = std::move(out_);
  std::string text = out->str();
  out.reset();
  MessageManager::get().print_string(*message_, text);
}

}  // namespace details
}  // namespace orvex
