// Dispatcher: the runtime's selector table. Dispatch reads the arguments of
// the API function named by `selector` from `args` (in declared order, with
// the variadic promotions) and performs the call; see QuickTime/QTDispatch.h
// for the contract, including the by-address convention of GetMediaSample2.
// Unknown selectors answer unimpErr and read no argument.
//
// The table is built once and never changes; Dispatch is thread-safe.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace tp::qt {

intptr_t Dispatch(uint32_t selector, va_list args);

// Calls Dispatch with a variadic argument list: the function that the
// runtime exports as theQuickTimeDispatcher, available to in-process callers
// and tests without going through the shared library.
intptr_t DispatchCall(uint32_t selector, ...);

// True when the selector has a handler in this runtime.
bool IsSelectorImplemented(uint32_t selector);

}  // namespace tp::qt
