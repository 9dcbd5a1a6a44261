// Leveled diagnostic messages on named channels.
//
// A message is written in one statement on a message object:
//     mFwLtcWarning << "Failed to delete tensor data file: " << path;
// The text is handed to the process-wide MessageManager when the statement ends. FATAL messages are
// never printed: emitting one throws std::runtime_error carrying the text and the stack trace of the
// emitting thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace orvex {

// The numbers equal Python's logging levels where both have the level.
enum class MessageLevel : int32_t {
  NOTSET = 0,
  TRACE = 5,
  DEBUG = 10,
  VERBOSE = 15,
  INFO = 20,
  WARNING = 30,
  ERROR = 40,
  FATAL = 50,
};

const char* level_to_string(MessageLevel level);

inline bool operator<=(MessageLevel a, MessageLevel b) {
  return static_cast<int32_t>(a) <= static_cast<int32_t>(b);
}

class Message;

namespace details {

// One message being written. Move-only; emits once, when the last owner is destroyed.
class MessagePipe {
 public:
  MessagePipe() = default;
  explicit MessagePipe(const Message* message)
      : message_(message), out_(std::make_unique<std::ostringstream>()) {}
  MessagePipe(MessagePipe&& other) noexcept
      : message_(std::exchange(other.message_, nullptr)), out_(std::move(other.out_)) {}
  MessagePipe(const MessagePipe&) = delete;
  MessagePipe& operator=(const MessagePipe&) = delete;
  MessagePipe& operator=(MessagePipe&&) = delete;
  // Hands the collected text to the manager; FATAL messages and failures propagate from here.
  ~MessagePipe() noexcept(false);

  template <typename T>
  MessagePipe&& operator<<(const T& value) && {
    if (out_) *out_ << value;
    return std::move(*this);
  }
  MessagePipe&& operator<<(std::ostream& (*manip)(std::ostream&)) && {
    if (out_) *out_ << manip;
    return std::move(*this);
  }

 private:
  const Message* message_ = nullptr;
  std::unique_ptr<std::ostringstream> out_;
};

}  // namespace details

class Message {
 public:
  Message(std::string loggername, MessageLevel level)
      : loggername_(std::move(loggername)), level_(level) {}
  virtual ~Message() = default;

  const std::string& loggername() const { return loggername_; }
  MessageLevel level() const { return level_; }
  bool will_print() const;

  // The pipe collects text only when the message will be printed (a FATAL message always is), so
  // a message whose level is off costs one level test and no formatting. Operands are still
  // evaluated: guard costly ones with will_print().
  template <typename T>
  details::MessagePipe operator<<(const T& value) const {
    return open() << value;
  }
  details::MessagePipe operator<<(std::ostream& (*manip)(std::ostream&)) const {
    return open() << manip;
  }
  // A pipe that collects and emits only when `condition` holds.
  details::MessagePipe operator()(bool condition) const {
    return condition ? details::MessagePipe(this) : details::MessagePipe();
  }

 private:
  details::MessagePipe open() const {
    return (level_ == MessageLevel::FATAL || will_print()) ? details::MessagePipe(this)
                                                           : details::MessagePipe();
  }

  const std::string loggername_;
  const MessageLevel level_;
};

#define ORVEX_FIXED_LEVEL_MESSAGE(Name, Level)                                   \
  class Name : public Message {                                                  \
   public:                                                                       \
    explicit Name(std::string loggername) : Message(std::move(loggername), Level) {} \
  };
ORVEX_FIXED_LEVEL_MESSAGE(FatalMessage, MessageLevel::FATAL)
ORVEX_FIXED_LEVEL_MESSAGE(ErrorMessage, MessageLevel::ERROR)
ORVEX_FIXED_LEVEL_MESSAGE(WarningMessage, MessageLevel::WARNING)
ORVEX_FIXED_LEVEL_MESSAGE(InfoMessage, MessageLevel::INFO)
ORVEX_FIXED_LEVEL_MESSAGE(VerboseMessage, MessageLevel::VERBOSE)
ORVEX_FIXED_LEVEL_MESSAGE(DebugMessage, MessageLevel::DEBUG)
ORVEX_FIXED_LEVEL_MESSAGE(TraceMessage, MessageLevel::TRACE)
#undef ORVEX_FIXED_LEVEL_MESSAGE

// Where messages go. Handlers are called with the manager's mutex held.
class MessageHandler {
 public:
  virtual ~MessageHandler() = default;
  virtual void set_default_level(MessageLevel level) = 0;
  virtual bool will_print(const Message& message) const = 0;
  virtual void print_string(const Message& message, const std::string& text) const = 0;
};

// The process-wide sink of all messages; serialises every handler call under one mutex.
class MessageManager {
 public:
  // A pair of functions that let go of, and take back, a lock that the calling thread may hold and
  // that a handler needs (the Python interpreter lock). When the manager has to wait for its own
  // mutex it releases that lock first and takes it back after letting go of the mutex, so a thread
  // never waits for the mutex while holding that lock.
  struct OuterLockHooks {
    void* (*release)() = nullptr;        // returns a token, or null if nothing was released
    void (*reacquire)(void* token) = nullptr;
  };

  static MessageManager& get();

  void set_handler(std::unique_ptr<MessageHandler> handler);
  void set_default_level(MessageLevel level);
  bool will_print(const Message& message) const;
  void print_string(const Message& message, const std::string& text) const;

  void set_outer_lock_hooks(OuterLockHooks hooks);

  MessageManager(const MessageManager&) = delete;
  MessageManager& operator=(const MessageManager&) = delete;

 private:
  MessageManager();
  class Guard;

  std::unique_ptr<MessageHandler> handler_;
  mutable std::mutex mtx_;
  std::atomic<void* (*)()> release_hook_{nullptr};
  std::atomic<void (*)(void*)> reacquire_hook_{nullptr};
};

// The handler installed at start-up: writes messages at or above `level` to standard output.
std::unique_ptr<MessageHandler> MakeStdoutMessageHandler(MessageLevel level);

// The stack trace of the calling thread, one line per frame.
std::string current_stack_trace();

}  // namespace orvex
