// Helpers shared by the native tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message.h"

namespace orvex_test {

// The text of the standard exception that `body` throws, or "<no error>".
inline std::string error_text(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

// Ends the process if `body` does not finish in time: a hang must fail the run, not stall it.
inline void with_watchdog(int seconds, const std::function<void()>& body) {
  std::atomic<bool> done{false};
  std::thread dog([&] {
    for (int i = 0; i < seconds * 10 && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!done) {
      std::cerr << "watchdog: test did not finish in " << seconds << " s (deadlock?)" << std::endl;
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

struct Recorded {
  orvex::MessageLevel level;
  std::string channel;
  std::string text;
};

// What a RecordingHandler was handed, from any thread.
class MessageLog {
 public:
  void add(Recorded line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::vector<Recorded> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> texts(orvex::MessageLevel level) const {
    std::vector<std::string> out;
    for (const Recorded& line : lines()) {
      if (line.level == level) out.push_back(line.text);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Recorded> lines_;
};

// Prints every message into a log.
class RecordingHandler : public orvex::MessageHandler {
 public:
  explicit RecordingHandler(std::shared_ptr<MessageLog> log) : log_(std::move(log)) {}
  void set_default_level(orvex::MessageLevel) override {}
  bool will_print(const orvex::Message&) const override { return true; }
  void print_string(const orvex::Message& m, const std::string& text) const override {
    log_->add({m.level(), m.loggername(), text});
  }

 private:
  std::shared_ptr<MessageLog> log_;
};

// Fails to print every message, with `E`.
template <typename E>
class ThrowingHandler : public orvex::MessageHandler {
 public:
  explicit ThrowingHandler(E e) : e_(e) {}
  void set_default_level(orvex::MessageLevel) override {}
  bool will_print(const orvex::Message&) const override { return true; }
  void print_string(const orvex::Message&, const std::string&) const override { throw e_; }

 private:
  E e_;
};

}  // namespace orvex_test
