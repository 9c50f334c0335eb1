// alert.cpp - DisplayAlert and the application's alert handler.
//
// The alert belongs to the application: nothing in the library calls it. An
// installed handler answers first; otherwise the platform asks the user
// (prim::ShowModalAlert: window, terminal, or standard error).
//
// Thread safety: the handler is one atomic word. DisplayAlert blocks its
// caller until the alert is answered and takes no lock of the library.
#include <atomic>

#include <KRMM/Alert.h>
#include <KRMM/KRMM.h>

#include "platform/prim.h"

namespace KRMM {
namespace {
std::atomic<AlertHandler> g_alertHandler{nullptr};
} // namespace

AlertHandler SetAlertHandler(AlertHandler handler) noexcept {
    // acq_rel: the new handler is published to the thread that calls it,
    // and the caller receives the old one with what its installer wrote.
    return g_alertHandler.exchange(handler, std::memory_order_acq_rel);
}

} // namespace KRMM

bool DisplayAlert(const char* message, const char* informative) {
    // Null texts are shown as empty ones.
    if (message == nullptr) message = "";
    if (informative == nullptr) informative = "";
    // acquire: pairs with the installing exchange.
    if (KRMM::AlertHandler handler = KRMM::g_alertHandler.load(std::memory_order_acquire))
        return handler(message, informative);
    return KRMM::prim::ShowModalAlert(message, informative);
}
