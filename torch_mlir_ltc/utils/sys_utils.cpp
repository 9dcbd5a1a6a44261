#include "sys_utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sys_util {

bool GetEnvBool(const char* name, bool default_value) {
  const char* value = std::getenv(name);
  if (value == nullptr) return default_value;
  if (std::strcmp(value, "true") == 0) return true;
  if (std::strcmp(value, "false") == 0) return false;
  long parsed = std::strtol(value, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(parsed))) != 0;
}

}  // namespace sys_util
