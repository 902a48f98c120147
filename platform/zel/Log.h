#pragma once

#include <exception>
#include <functional>

#include "zel/String.h"

namespace zel {

// Where logged errors go. The default sink writes one line to standard error. An
// application (or a test) installs its own; sinks may be called from any thread, one
// call at a time. What a sink logs itself (directly or through code it calls) goes to
// standard error instead of into the sink again. A sink must not call setLogSink.
using LogSink =
    std::function<void(const String& message, const std::exception& error, const String& detail)>;

// Installs `sink` (an empty function restores the default) and returns the one before.
LogSink setLogSink(LogSink sink);

// Reports a failure that the caller handles itself (a background save that failed, a
// fleck that could not be loaded). `detail` may be empty.
void logError(const std::exception& error, const String& message, const String& detail);

// The one line the default sink writes: "message: error text" followed by
// " (detail)" when detail is not empty. The error text of a zel::CError includes its
// properties. Control characters are escaped (\n, \xNN), so that text from outside (a
// file name) can neither break the line nor forge another.
String formatLogLine(const String& message, const std::exception& error, const String& detail);

// Destructors never throw; they pass what they caught here. With log true the error is
// logged with the class name.
void onExceptionInDestructorIgnored(const String& className, const std::exception& error, bool log);

}  // namespace zel
