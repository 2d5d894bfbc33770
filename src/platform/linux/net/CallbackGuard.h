#pragma once

#include <exception>
#include <string_view>
#include <utility>

#include "core/Log.h"

namespace orvo::platform {

// Calls a handler of the host. A handler that throws is a bug, but the exception must not
// leave io_context::run() and stop the main queue: log it and go on.
template <class Function, class... Arguments>
void invokeGuarded(Logger& logger, std::string_view where, Function& function, Arguments&&... arguments) {
  try {
    function(std::forward<Arguments>(arguments)...);
  } catch (const std::exception& error) {
    logLine(logger, "OrvoHost:", where, "threw:", error.what());
  }
}

}  // namespace orvo::platform
