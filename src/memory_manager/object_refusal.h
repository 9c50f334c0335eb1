// object_refusal.h - the refusal to resize or copy a block in which an
// object has been constructed (internal).
//
// SetHandleSize (both overloads), HandToHand and HandAndHand refuse such a
// block: each reports its own message through KRMM_Assert and changes
// nothing. Disposal is not refused; it runs the object's destructor first.
//
// Thread safety: reads one header field per block; the caller owns the blocks.
#pragma once

#include <KRMM/KRMM.h>

#include "core/layout.h"

namespace KRMM::detail {

/// \returns true, after reporting `message` once, when the block of any of
/// the data pointers `data` is instantiated; false, reporting nothing, else.
/// The callers have checked the blocks' handles (core/hardening.h).
template <class... Data>
inline bool RefusesObjectNodes(const Partition&, const char* message, const Data*... data) {
    if (!(IsInstantiated(data) || ...)) return false;
    Partition::KRMM_Assert(false, message);
    return true;
}

} // namespace KRMM::detail
