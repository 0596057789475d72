// The one log line of a failure in the seal services.
#pragma once

#include <cstdint>

#include "KXLog.h"

// Logs `format` with the code as its only argument at level 4 and returns
// the code.
#define KX_FAIL(function, format, code)                     \
  (KXLog(KX_LOG_ERROR, function, __LINE__, format, (code)), \
   static_cast<uint32_t>(code))
