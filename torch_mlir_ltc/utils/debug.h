// Call trace of backend operations, switched on by VERBOSE_PRINT_FUNCTION (read once per file at load).
#pragma once

#include <iostream>

#include "sys_utils.h"

static const bool verbose_print_function = sys_util::GetEnvBool("VERBOSE_PRINT_FUNCTION", false);

#define PRINT_FUNCTION()                                                                   \
  do {                                                                                     \
    if (verbose_print_function) {                                                          \
      std::cout << __PRETTY_FUNCTION__ << "    (" << __FILE__ << ":" << __LINE__ << ")"    \
                << std::endl;                                                              \
    }                                                                                      \
  } while (0)
