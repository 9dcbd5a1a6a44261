#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "message.h"
#include "test_util.h"
#include "utils.h"

using orvex::Message;
using orvex::MessageHandler;
using orvex::MessageLevel;
using orvex::MessageManager;

using orvex_test::MessageLog;
using orvex_test::RecordingHandler;
using orvex_test::ThrowingHandler;

namespace {

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MessageManager::get().set_handler(orvex::MakeStdoutMessageHandler(MessageLevel::WARNING));
  }
  void TearDown() override { SetUp(); }
};

}  // namespace

TEST_F(MessageTest, DefaultHandlerPrintsFromItsLevelToStdout) {
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
  // Lowered to TRACE, and to NOTSET, which lets messages of no known level through.
  Message unknown("ltc", MessageLevel::NOTSET);
  MessageManager::get().set_default_level(MessageLevel::TRACE);
  testing::internal::CaptureStdout();
  mFwLtcTrace << "t";
  unknown << "u";
  MessageManager::get().set_default_level(MessageLevel::NOTSET);
  unknown << "u";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "TRACE: [ltc] t\nUNKNOWN: [ltc] u\n");
}

TEST_F(MessageTest, PipesEmitOnceAndConditionalPipesDropText) {
  auto log = std::make_shared<MessageLog>();
  MessageManager::get().set_handler(std::make_unique<RecordingHandler>(log));
  {
    orvex::details::MessagePipe first = mFwLtcInfo << "a";
    orvex::details::MessagePipe second(std::move(first));
    std::move(second) << "b";
  }
  int evaluated = 0;
  mFwLtcInfo(false) << "dropped" << ++evaluated;
  mFwLtcInfo(true) << "kept" << ++evaluated;
  mFwLtcInfo << "line" << std::endl;
  const auto got = log->lines();
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
  auto log = std::make_shared<MessageLog>();
  MessageManager::get().set_handler(std::make_unique<Undecided>(log));
  EXPECT_FALSE(mFwLtcInfo.will_print());
  EXPECT_TRUE(mFwLtcWarning.will_print());
  mFwLtcInfo << "dropped";
  mFwLtcWarning << "kept";
  EXPECT_EQ(log->texts(MessageLevel::WARNING), std::vector<std::string>{"kept"});
  EXPECT_EQ(log->lines().size(), 1u);
}
