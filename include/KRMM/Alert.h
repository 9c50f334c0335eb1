// KRMM/Alert.h - how DisplayAlert asks the user.
//
// DisplayAlert (KRMM/KRMM.h) shows a message and an informative text with the
// buttons "OK" and "Stop showing memory asserts" and returns true for "OK".
// It asks, in this order:
//   1. the handler the application installed with SetAlertHandler;
//   2. a modal window, when a display is available (DISPLAY or WAYLAND_DISPLAY
//      is set) and the library was built with SDL2. Return chooses "OK",
//      Escape "Stop showing memory asserts"; closing the window without a
//      choice counts as "OK";
//   3. the controlling terminal (/dev/tty), when the process has one and is in
//      its foreground: both texts, both buttons, and a prompt whose answer is
//      read from the terminal;
//   4. with nobody to ask, both texts go to standard error and the answer is
//      "OK".
// Texts are shown as they are: a percent sign is never read as a format.
//
// Thread safety: SetAlertHandler may be called from any thread; a DisplayAlert
// already running keeps the handler it started with. The library's own window
// and terminal prompt serve one alert at a time; a handler is called on the
// thread of DisplayAlert, never with KRMM_CriticalSection held by the library.
#pragma once

#include <KRMM/Export.h>

namespace KRMM {

/// Answers one alert: (message, informative), both NUL-terminated UTF-8.
/// \returns true for "OK", false for "Stop showing memory asserts".
using AlertHandler = bool (*)(const char* message, const char* informative);

/// Makes `handler` answer every later DisplayAlert; null restores the built-in
/// window, terminal and standard-error chain. \returns the handler installed
/// before (null for the built-in one). Takes no lock and allocates nothing.
KRMM_API AlertHandler SetAlertHandler(AlertHandler handler) noexcept;

} // namespace KRMM
