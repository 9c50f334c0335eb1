// document.cpp - the demo's editor model on top of KRMM handles.
#include "document.h"

#include <algorithm>
#include <cstring>

namespace editor {
namespace {

// Every size the editor asks for goes into the partition's size histogram,
// which the library never feeds by itself.
void CountSize(KRMM::Partition& heap, size_t size) {
    if (size > 0) heap.MemoryStat_AddAlloc(size);
}

} // namespace

Document::Document(KRMM::Partition& heap, unsigned int growthReserve)
    : heap_(heap), text_(heap.NewHandle(0)) {
    if (text_ != nullptr) heap_.SetHandleOversize(text_, growthReserve, false);
}

void Document::Close() {
    ForgetParagraphs();
    for (KRMM::Handle state : undo_) heap_.DisposeHandle(state);
    undo_.clear();
    heap_.DisposeHandle(text_);
    text_ = nullptr;
}

bool Document::Type(std::string_view typed) {
    CountSize(heap_, Size() + typed.size());
    return heap_.PtrAndHand(typed.data(), text_, typed.size());
}

bool Document::Insert(size_t offset, std::string_view text) {
    CountSize(heap_, Size() + text.size());
    // InsertData copies from `src` and never writes it; it just isn't const.
    return heap_.InsertData(text_, offset, const_cast<char*>(text.data()), text.size());
}

bool Document::Erase(size_t offset, size_t count) {
    const size_t size = Size();
    if (offset > size || count > size - offset) return false;
    std::memmove(*text_ + offset, *text_ + offset + count, size - offset - count);
    // Shrinking never fails for want of memory: in place, or into a smaller block.
    return heap_.SetHandleSize(text_, size - count);
}

bool Document::Paste(KRMM::Handle clipboard) {
    CountSize(heap_, Size() + heap_.GetHandleSize(clipboard));
    return heap_.HandAndHand(clipboard, text_);
}

size_t Document::ReplaceAll(std::string_view from, std::string_view to) {
    if (from.empty() || !SaveUndoState()) return 0;

    // A copy of the text before the edit, to find the first byte that changed.
    KRMM::Handle before = text_;
    if (!heap_.HandToHand(before)) return 0;
    CountSize(heap_, Size());

    size_t count = 0;
    size_t offset = 0;
    while (offset < Size()) {
        const void* hit = KRMM::Partition::MemMem(*text_ + offset, Size() - offset, from.data(),
                                                  from.size());
        if (hit == nullptr) break;
        offset = static_cast<size_t>(static_cast<const char*>(hit) - *text_);
        if (!Erase(offset, from.size()) || !Insert(offset, to)) break;
        offset += to.size();
        ++count;
    }

    const size_t common = std::min(Size(), heap_.GetHandleSize(before));
    const char* firstChange = std::mismatch(*before, *before + common, *text_).first;
    lastChangeAt_ = static_cast<size_t>(firstChange - *before);
    // The bug the leak hunt finds: `before` is never disposed of.
    return count;
}

bool Document::SaveUndoState() {
    KRMM::Handle state = text_;
    if (!heap_.HandToHand(state)) return false;
    CountSize(heap_, Size());
    undo_.push_back(state);
    return true;
}

bool Document::Undo() {
    if (undo_.empty()) return false;
    KRMM::Handle state = undo_.back();
    if (!heap_.PtrToXHand(*state, text_, heap_.GetHandleSize(state))) return false;
    undo_.pop_back();
    heap_.DisposeHandle(state);
    return true;
}

bool Document::HoldsUndoState(const void* handle) const {
    return std::find(undo_.begin(), undo_.end(), handle) != undo_.end();
}

size_t Document::Reflow() {
    ForgetParagraphs();
    // Pooling is switched on only while records are made: every request that
    // fits the current pool's blocks is served from it while it is on.
    heap_.SetPoolEnabled(true);
    const std::string_view text = Text();
    Paragraph** tail = &paragraphs_;
    size_t count = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        auto* paragraph = reinterpret_cast<Paragraph*>(heap_.NewPtr(sizeof(Paragraph)));
        if (paragraph == nullptr) break;
        CountSize(heap_, sizeof(Paragraph));
        const std::string_view body = text.substr(start, end - start);
        *paragraph = Paragraph{static_cast<uint32_t>(start), static_cast<uint32_t>(body.size()),
                               static_cast<uint32_t>(std::count(body.begin(), body.end(), ' ') + 1),
                               count == 0 ? 1u : 0u, nullptr};
        *tail = paragraph;
        tail = &paragraph->next;
        ++count;
        start = end + 1;
    }
    heap_.SetPoolEnabled(false);
    return count;
}

void Document::ForgetParagraphs() {
    while (Paragraph* paragraph = paragraphs_) {
        paragraphs_ = paragraph->next;
        heap_.DisposePtr(reinterpret_cast<char*>(paragraph));  // back to the pool
    }
}

} // namespace editor
