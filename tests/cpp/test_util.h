// Helpers shared by the native tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

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

}  // namespace orvex_test
