#include <cstdlib>

#include <gtest/gtest.h>

#include "torch_mlir_ltc/utils/sys_utils.h"

TEST(GetEnvBool, ReadsWordsAndNumbers) {
  const char* kVar = "ORVEX_TEST_ENV_BOOL";
  struct Case {
    const char* value;
    bool expected;
  };
  const Case cases[] = {
      {"true", true},  {"false", false}, {"1", true},         {"2", true},
      {"  7", true},   {"0", false},     {"", false},         {"yes", false},
      {"True", false}, {"TRUE", false},  {"false ", false},   {"true ", false},
      {"-1", true},    {"12abc", true},  {"4294967296", false}, {"4294967297", true},
  };
  for (const auto& c : cases) {
    setenv(kVar, c.value, 1);
    EXPECT_EQ(sys_util::GetEnvBool(kVar, false), c.expected) << "value: '" << c.value << "'";
    EXPECT_EQ(sys_util::GetEnvBool(kVar, true), c.expected) << "value: '" << c.value << "'";
  }
  unsetenv(kVar);
  EXPECT_FALSE(sys_util::GetEnvBool(kVar, false));
  EXPECT_TRUE(sys_util::GetEnvBool(kVar, true));
}
