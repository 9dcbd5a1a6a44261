#pragma once

namespace sys_util {

// Reads a boolean environment switch. Unset: `default_value`. Exactly "true" / "false": that value.
// Anything else is read as a decimal integer the way strtol reads it (leading blanks skipped, stops at
// the first non-digit, nothing readable is 0); its low 32 bits decide: non-zero is true.
bool GetEnvBool(const char* name, bool default_value);

}  // namespace sys_util
