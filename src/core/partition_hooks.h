// partition_hooks.h - tells a layer above the core that a partition ends
// (internal).
//
// A layer that keeps state per partition beside the record (the classic
// interface keeps a zone's grow-zone function and its block records) must
// drop it when the partition goes. The core calls the one registered hook
// at the start of the destructor, while every block still exists, and for
// each record FreeAllPartitions frees. The hook must not throw and must not
// use the partition list.
//
// Thread safety: the hook is published with a release store and read with
// an acquire load, so a hook set on one thread is seen complete on another.
#pragma once

namespace KRMM {
class Partition;
}

namespace KRMM::detail {

using PartitionEndHook = void (*)(Partition* partition) noexcept;

/// Registers the hook (null: none); a later call replaces it.
void SetPartitionEndHook(PartitionEndHook hook) noexcept;

} // namespace KRMM::detail
