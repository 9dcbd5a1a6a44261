// The message objects of the "ltc" channel, used throughout the backend.
#pragma once

#include "message.h"

namespace orvex {

extern const FatalMessage mFwLtcFatal;
extern const ErrorMessage mFwLtcError;
extern const WarningMessage mFwLtcWarning;
extern const InfoMessage mFwLtcInfo;
extern const VerboseMessage mFwLtcVerbose;
extern const DebugMessage mFwLtcDebug;
extern const TraceMessage mFwLtcTrace;

}  // namespace orvex

using orvex::mFwLtcDebug;
using orvex::mFwLtcError;
using orvex::mFwLtcFatal;
using orvex::mFwLtcInfo;
using orvex::mFwLtcTrace;
using orvex::mFwLtcVerbose;
using orvex::mFwLtcWarning;
