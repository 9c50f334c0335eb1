// document.h - the demo's editor model: a text document kept in KRMM blocks.
//
// The whole text is one relocatable block: its handle never changes while
// the data grows, shrinks and moves. Undo states are copies of that block,
// and the paragraph records come from the partition's current pool.
//
// Thread safety: none; one document belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include <KRMM/KRMM.h>

namespace editor {

// One paragraph of the text: small, fixed size and made by the dozen, so the
// records come from a pool. 24 bytes, a multiple of 8 as pool blocks want.
struct Paragraph {
    uint32_t offset;   // first byte in the text
    uint32_t length;   // bytes, without the line break
    uint32_t words;
    uint32_t style;    // index into the style table
    Paragraph* next;
};

class Document {
public:
    // Makes an empty text block; `growthReserve` bytes of slack are reserved
    // whenever the text has to move, so typing rarely moves it again.
    Document(KRMM::Partition& heap, unsigned int growthReserve);
    ~Document() { Close(); }
    // Disposes of the text, the undo states and the paragraph records.
    void Close();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    bool IsOpen() const { return text_ != nullptr; }
    KRMM::Handle TextHandle() const { return text_; }
    size_t Size() const { return heap_.GetHandleSize(text_); }
    std::string_view Text() const { return {*text_, Size()}; }

    // Editing. Each returns false, leaving the text as it was, when the
    // memory for the change cannot be had.
    bool Type(std::string_view typed);                    // PtrAndHand
    bool Insert(size_t offset, std::string_view text);    // InsertData
    bool Erase(size_t offset, size_t count);              // move the tail, SetHandleSize
    bool Paste(KRMM::Handle clipboard);                   // HandAndHand
    // Replaces every occurrence of `from` by `to` as one undoable edit;
    // returns the number of replacements.
    size_t ReplaceAll(std::string_view from, std::string_view to);
    // The byte where the last ReplaceAll first changed the text.
    size_t LastChangeAt() const { return lastChangeAt_; }

    // Undo history: full copies of the text (HandToHand).
    bool SaveUndoState();
    bool Undo();                                          // PtrToXHand
    size_t UndoDepth() const { return undo_.size(); }
    bool HoldsUndoState(const void* handle) const;

    // Rebuilds the paragraph records from the pool; returns their number.
    size_t Reflow();
    const Paragraph* FirstParagraph() const { return paragraphs_; }

private:
    void ForgetParagraphs();

    KRMM::Partition& heap_;
    KRMM::Handle text_;
    std::vector<KRMM::Handle> undo_;
    Paragraph* paragraphs_ = nullptr;
    size_t lastChangeAt_ = 0;
};

} // namespace editor
