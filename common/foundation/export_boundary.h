// The export boundary of the three libraries: the guard that exported
// functions run their work in, and the delivery of a result into a caller's
// buffer. Header only; each library compiles its own hidden copy.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "KXError.h"
#include "KXLog.h"

namespace kx {

// Hands `length` bytes out by the output-buffer rule: a null `out` asks for
// the length only (stored, result 0); a capacity *outLen below `length` gives
// 5003 with the needed length stored and the buffer untouched; otherwise the
// bytes are copied and their length stored. `outLen` must not be null: the
// exports refuse that with 5002 first. Writes no log line, since every export
// words its own.
inline uint32_t DeliverOutput(const void* data, uint32_t length,
                              unsigned char* out, uint32_t* outLen) noexcept {
  if (out == nullptr) {
    *outLen = length;
    return 0;
  }
  if (*outLen < length) {
    *outLen = length;
    return KX_ERR_INVALID_LENGTH;
  }
  if (length != 0) std::memcpy(out, data, length);
  *outLen = length;
  return 0;
}

// What an export answers when an exception leaves its work: one code and one
// log line per kind of exception. A line is a printf format whose only
// argument is the code, written at level 4 under `function`; "" writes a line
// with an empty text and null writes none (the log and the thread store have
// nowhere to report their own failures).
struct ExportFailure {
  const char* function;
  const char* memoryLine;  // after std::bad_alloc
  const char* otherLine;   // after any other exception
  int memoryCode = KX_ERR_MEMORY;
  int otherCode = KX_ERR_FAIL;
  bool recordLastError = false;  // also the thread's last error (libKXCommon)
};

// The failure of a function of libKXCommon: the code becomes the thread's
// last error and the log line has an empty text.
inline constexpr ExportFailure CommonFailure(const char* function) {
  return ExportFailure{function, "", "", KX_ERR_MEMORY, KX_ERR_FAIL, true};
}

// The failure of the log and of the thread store: no line, no last error.
inline constexpr ExportFailure SilentFailure(const char* function) {
  return ExportFailure{function,      nullptr,     nullptr,
                       KX_ERR_MEMORY, KX_ERR_FAIL, false};
}

namespace detail {

inline int ReportExportFailure(const ExportFailure& failure, int line,
                               bool memory) noexcept {
  const int code = memory ? failure.memoryCode : failure.otherCode;
  const char* text = memory ? failure.memoryLine : failure.otherLine;
  if (failure.recordLastError) KXSetLastError(code);
  if (text != nullptr && text[0] == '\0')
    KXLog(KX_LOG_ERROR, failure.function, line, "%s", "");
  else if (text != nullptr)
    KXLog(KX_LOG_ERROR, failure.function, line, text, code);
  return code;
}

template <class Body, class OnFailure>
auto RunGuarded(const ExportFailure& failure, int line, Body& body,
                OnFailure onFailure) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return onFailure(ReportExportFailure(failure, line, true));
  } catch (...) {
    return onFailure(ReportExportFailure(failure, line, false));
  }
}

}  // namespace detail

// Runs the work of an export whose result is a code; an exception ends it
// with the code of its kind. The log line carries the caller's source line.
//   return kx::GuardCode(kFailure, [&]() -> unsigned int { ... });
template <class Body>
auto GuardCode(const ExportFailure& failure, Body&& body,
               int line = __builtin_LINE()) noexcept -> decltype(body()) {
  using Result = decltype(body());
  static_assert(std::is_integral_v<Result>, "the result must be a code");
  return detail::RunGuarded(failure, line, body,
                            [](int code) { return static_cast<Result>(code); });
}

// Runs the work of an export whose result is a value (a text, a holder, a
// number that is not a code) or nothing; an exception ends it with the empty
// or zero value, the code going only to the log line and the last error.
template <class Body>
auto GuardValue(const ExportFailure& failure, Body&& body,
                int line = __builtin_LINE()) noexcept -> decltype(body()) {
  using Result = decltype(body());
  return detail::RunGuarded(failure, line, body, [](int) { return Result(); });
}

}  // namespace kx
