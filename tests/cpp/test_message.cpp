#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "message.h"
#include "utils.h"

using orvex::Message;
using orvex::MessageHandler;
using orvex::MessageLevel;
using orvex::MessageManager;

namespace {

struct Recorded {
  MessageLevel level;
  std::string channel;
  std::string text;
};

class RecordingHandler : public MessageHandler {
 public:
  explicit RecordingHandler(std::vector<Recorded>* out) : out_(out) {}
  void set_default_level(MessageLevel) override {}
  bool will_print(const Message&) const override { return true; }
  void print_string(const Message& m, const std::string& text) const override {
    out_->push_back({m.level(), m.loggername(), text});
  }

 private:
  std::vector<Recorded>* out_;
};

template <typename E>
class ThrowingHandler : public MessageHandler {
 public:
  explicit ThrowingHandler(E e) : e_(e) {}
  void set_default_level(MessageLevel) override {}
  bool will_print(const Message&) const override { return true; }
  void print_string(const Message&, const std::string&) const override { throw e_; }

 private:
  E e_;
};

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MessageManager::get().set_handler(orvex::MakeStdoutMessageHandler(MessageLevel::WARNING));
  }
  void TearDown() override { SetUp(); }
};

}  // namespace

TEST_F(MessageTest, DefaultHandlerPrintsWarningAndAboveToStdout) {
  testing::internal::CaptureStdout();
  mFwLtcInfo << "not shown";
  mFwLtcWarning << "Failed to delete tensor data file: " << "/tmp/x" << ' ' << 42;
  mFwLtcError << "bad";
  orvex::WarningMessage unnamed("");
  unnamed << "no channel";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: [ltc] Failed to delete tensor data file: /tmp/x 42\n"
            "ERROR: [ltc] bad\n"
            "WARNING: no channel\n");
}

TEST_F(MessageTest, DefaultLevelCanBeLowered) {
  MessageManager::get().set_default_level(MessageLevel::TRACE);
  EXPECT_TRUE(mFwLtcTrace.will_print());
  Message unknown("ltc", MessageLevel::NOTSET);
  testing::internal::CaptureStdout();
  mFwLtcTrace << "t";
  unknown << "u";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "TRACE: [ltc] t\n");
  MessageManager::get().set_default_level(MessageLevel::NOTSET);
  testing::internal::CaptureStdout();
  unknown << "u";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "UNKNOWN: [ltc] u\n");
}

TEST_F(MessageTest, PipesEmitOnceAndConditionalPipesDropText) {
  std::vector<Recorded> got;
  MessageManager::get().set_handler(std::make_unique<RecordingHandler>(&got));
  {
    orvex::details::MessagePipe first = mFwLtcInfo << "a";
    orvex::details::MessagePipe second(std::move(first));
    std::move(second) << "b";
  }
  int evaluated = 0;
  mFwLtcInfo(false) << "dropped" << ++evaluated;
  mFwLtcInfo(true) << "kept" << ++evaluated;
  mFwLtcInfo << "line" << std::endl;
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].text, "ab");
  EXPECT_EQ(got[1].text, "kept2");
  EXPECT_EQ(got[2].text, "line\n");
  EXPECT_EQ(evaluated, 2);
}

TEST_F(MessageTest, FatalThrowsWithStackTraceAndPrintsNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::string what;
  try {
    mFwLtcFatal << "Failed to create directory: " << "/no/such";
    FAIL() << "a fatal message must throw";
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::string head = "Failed to create directory: /no/such\nStack Trace: \n";
  ASSERT_EQ(what.compare(0, head.size(), head), 0) << what;
  // Frames are numbered and name functions with their source position.
  EXPECT_NE(what.find(" 0# "), std::string::npos) << what;
  EXPECT_NE(what.find("MessagePipe::~MessagePipe"), std::string::npos) << what;
  EXPECT_NE(what.find("test_message.cpp:"), std::string::npos) << what;
}

TEST_F(MessageTest, HandlerFailuresReachStderrForWarningsAndAbove) {
  MessageManager::get().set_handler(
      std::make_unique<ThrowingHandler<std::runtime_error>>(std::runtime_error("boom")));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(mFwLtcError << "visible " << 1);
  EXPECT_NO_THROW(mFwLtcWarning << "also visible");
  EXPECT_NO_THROW(mFwLtcInfo << "lost");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: [ltc] visible 1\nWARNING: [ltc] also visible\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // Failures that are not standard exceptions are not the manager's to swallow.
  MessageManager::get().set_handler(std::make_unique<ThrowingHandler<int>>(7));
  EXPECT_THROW(mFwLtcWarning << "x", int);
}

// A handler that cannot say whether a message will print still gets warnings and errors.
TEST_F(MessageTest, LevelTestFailuresLetWarningsThrough) {
  class Undecided : public RecordingHandler {
   public:
    using RecordingHandler::RecordingHandler;
    bool will_print(const Message&) const override { throw std::runtime_error("no logger"); }
  };
  std::vector<Recorded> got;
  MessageManager::get().set_handler(std::make_unique<Undecided>(&got));
  EXPECT_FALSE(mFwLtcInfo.will_print());
  EXPECT_TRUE(mFwLtcWarning.will_print());
  mFwLtcInfo << "dropped";
  mFwLtcWarning << "kept";
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "kept");
}
