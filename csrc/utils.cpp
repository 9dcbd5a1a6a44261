#include "utils.h"

namespace orvex {

// Constructed in this order at load, destroyed in reverse at exit.
const FatalMessage mFwLtcFatal("ltc");
const ErrorMessage mFwLtcError("ltc");
const WarningMessage mFwLtcWarning("ltc");
const InfoMessage mFwLtcInfo("ltc");
const VerboseMessage mFwLtcVerbose("ltc");
const DebugMessage mFwLtcDebug("ltc");
const TraceMessage mFwLtcTrace("ltc");

}  // namespace orvex
