// The Python side of messages and callbacks, driven from native code inside an embedded interpreter.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>
#include <vector>

#include "appliance.h"
#include "backend_impl.h"
#include "message.h"
#include "test_util.h"
#include "utils.h"

namespace py = pybind11;
using orvex_test::error_text;
using orvex_test::with_watchdog;

namespace {

class PythonBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    py::module_::import("orvex_pytorch_lib").attr("initialize")();
    py::exec(R"(
import logging, threading, time
class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []
    def emit(self, record):
        time.sleep(0.0002)   # widen the window in which the handler is busy
        self.records.append((record.name, record.levelno, record.getMessage()))
_orvex_collect = _Collect()
logging.getLogger("orvex").addHandler(_orvex_collect)
logging.getLogger("orvex").setLevel(5)
)");
  }
  void TearDown() override {
    py::exec(R"(
logging.getLogger("orvex").removeHandler(_orvex_collect)
logging.getLogger("orvex").setLevel(logging.NOTSET)
)");
  }
  py::list records() { return py::globals()["_orvex_collect"].attr("records"); }
};

}  // namespace

TEST_F(PythonBridgeTest, MessagesReachPythonLoggersAtTheirLevels) {
  mFwLtcTrace << "trace 100%";
  mFwLtcVerbose << "verbose %s %d";
  mFwLtcWarning << "warn";
  py::list got = records();
  ASSERT_EQ(py::len(got), 3u);
  EXPECT_EQ(got[0].cast<py::tuple>()[0].cast<std::string>(), "orvex.ltc");
  EXPECT_EQ(got[0].cast<py::tuple>()[1].cast<int>(), 5);
  EXPECT_EQ(got[0].cast<py::tuple>()[2].cast<std::string>(), "trace 100%");
  EXPECT_EQ(got[1].cast<py::tuple>()[1].cast<int>(), 15);
  EXPECT_EQ(got[1].cast<py::tuple>()[2].cast<std::string>(), "verbose %s %d");
  EXPECT_TRUE(mFwLtcTrace.will_print());
  py::exec("logging.getLogger('orvex').setLevel(logging.ERROR)");
  EXPECT_FALSE(mFwLtcWarning.will_print());
  EXPECT_TRUE(mFwLtcError.will_print());
}

// Native threads emit while the thread that holds the interpreter lock emits too. Each thread's
// messages arrive complete and in order.
TEST_F(PythonBridgeTest, ConcurrentEmittersDoNotDeadlock) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 150;
  with_watchdog(60, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kPerThread; ++i) mFwLtcInfo << "t" << t << " " << i;
      });
    }
    ASSERT_TRUE(PyGILState_Check());
    for (int i = 0; i < kPerThread; ++i) mFwLtcWarning << "t" << kThreads << " " << i;
    {
      py::gil_scoped_release release;
      for (auto& th : threads) th.join();
    }
  });
  std::vector<int> next(kThreads + 1, 0);
  py::list got = records();
  ASSERT_EQ(py::len(got), static_cast<size_t>((kThreads + 1) * kPerThread));
  for (auto item : got) {
    std::string text = item.cast<py::tuple>()[2].cast<std::string>();
    int t = std::stoi(text.substr(1));
    int i = std::stoi(text.substr(text.find(' ') + 1));
    EXPECT_EQ(i, next[t]) << text;
    next[t] = i + 1;
  }
}

TEST_F(PythonBridgeTest, CallbacksTakeTheInterpreterLockAndConvertResults) {
  auto* appliance = torch::lazy::GetOrvexBackendAppliance();
  py::exec(R"(
import orvex_pytorch_lib
calls = []
def compile_cb(batch, text):
    calls.append(("compile", batch, text))
    return compile_result
def execute_cb(batch, weights):
    calls.append(("execute", batch, list(weights)))
    return execute_result
orvex_pytorch_lib.set_callbacks(compile_cb, execute_cb)
)");
  auto call_compile = [&](py::object result) {
    py::globals()["compile_result"] = result;
    py::gil_scoped_release release;  // the step runs without the interpreter lock
    return appliance->compile(8, "module {}");
  };
  EXPECT_TRUE(call_compile(py::bool_(true)));
  EXPECT_FALSE(call_compile(py::none()));
  EXPECT_TRUE(call_compile(py::int_(3)));
  EXPECT_EQ(error_text([&] { call_compile(py::list()); }),
            "The compile callback returned a value of type list; it must return a bool (True when the "
            "program compiled).");

  auto call_execute = [&](py::object result) {
    py::globals()["execute_result"] = result;
    py::gil_scoped_release release;
    return appliance->execute(8, {});
  };
  EXPECT_EQ(call_execute(py::eval("{'w1', 'w2'}")), (std::unordered_set<std::string>{"w1", "w2"}));
  EXPECT_EQ(call_execute(py::eval("frozenset()")), std::unordered_set<std::string>{});
  const std::string expected = "; it must return a set of str (the names of the weights the appliance skipped).";
  EXPECT_EQ(error_text([&] { call_execute(py::eval("['w1']")); }),
            "The execute callback returned a value of type list" + expected);
  EXPECT_EQ(error_text([&] { call_execute(py::eval("{1}")); }),
            "The execute callback returned a set holding a value of type int" + expected);

  py::list calls = py::globals()["calls"];
  EXPECT_EQ(calls[0].cast<py::tuple>()[1].cast<int>(), 8);
  EXPECT_EQ(calls[0].cast<py::tuple>()[2].cast<std::string>(), "module {}");

  // A Python exception passes through native code (as an error that hands it back to Python).
  py::exec(R"(
class StepError(Exception):
    pass
def failing(batch, text):
    raise StepError("appliance unreachable")
orvex_pytorch_lib.set_callbacks(failing, execute_cb)
)");
  try {
    py::gil_scoped_release release;
    appliance->compile(1, "x");
    FAIL() << "expected the callback's exception";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("appliance unreachable"), std::string::npos);
  }

  py::exec("orvex_pytorch_lib.set_callbacks(None, None)");
  EXPECT_THROW(appliance->compile(1, "x"), std::bad_function_call);
  EXPECT_THROW(appliance->execute(1, {}), std::bad_function_call);
}
