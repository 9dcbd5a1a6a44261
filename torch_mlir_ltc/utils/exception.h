#pragma once

#include <sstream>
#include <stdexcept>

// Thrown by backend operations that this backend does not offer.
#define UNIMPLEMENTED_ERROR(msg)                                                         \
  do {                                                                                   \
    std::ostringstream err;                                                              \
    err << "Unimplemented Error: " << msg;                                               \
    throw std::runtime_error(err.str());                                                 \
  } while (0)

#define UNIMPLEMENTED_FUNCTION_ERROR()                                                   \
  UNIMPLEMENTED_ERROR("\n\t" << __FILE__ << ":" << __LINE__ << "    " << __PRETTY_FUNCTION__)
