// The compact JSON text of a fact, as the audit table's values_json holds it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/fact_store.h"

namespace quarn::py {

// Fields by name in bytewise order, then "value" for collection members.
std::string fact_json(const FactView& view);
// The shortest text that reads back to the same finite double.
std::string json_float(double v);

// Growable text into which each piece is written after room is made for it.
class JsonText {
public:
    void clear() { size_ = 0; }
    std::string_view view() const { return {buf_.data(), size_}; }
    // Room for `n` more bytes, written from the returned pointer on.
    char* room(size_t n) {
        if (buf_.size() - size_ < n) grow(n);
        return buf_.data() + size_;
    }
    void wrote(const char* end) { size_ = size_t(end - buf_.data()); }
    void put(char c) { *room(1) = c, ++size_; }
    void put(std::string_view s);

private:
    void grow(size_t n);
    std::string buf_;
    size_t size_ = 0;
};

// The keys of one field list in the order the text shows them: which field
// each shows (fields.size() for the collection's members), and the key's text
// with its separator: {"a": or ,"b":
struct KeyPlan {
    std::vector<std::pair<size_t, std::string>> keys;
};
// Keys in bytewise order; of names that repeat, the last one counts, and the
// members' "value" comes after every field.
KeyPlan key_plan(const std::vector<std::string_view>& names, bool members);

// How the cells of a fact of one store type are kept from the moment it fired
// until its text is asked for: its key plan, and per field the kind of its
// column. A capture is a run of 64-bit words: one per integer or bool field
// that cannot be null (`plain`, first), then per other field (`others`) one word
// (an integer, a double's bits, a bool), two (a text's place in the capture's
// text and its length) or three (a decimal's unscaled halves and its scale),
// then a word of null bits when some column is nullable. A null cell's words
// repeat those of the capture it steps from; the null bit hides them.
// Words are kept packed (pack_words), most as the step from the word in the
// same place of the capture they follow (AuditBuilder: the previous capture in
// the same place of a firing of the same shape): a rule's firings mostly hold
// nearby numbers and the same few texts.
enum class WordCode : uint8_t {
    Step,  // the step from the previous word, folded so that small steps either way stay short, 7 bits a byte
    Raw,   // 8 bytes (a double's bits)
};
struct CapturedForm {
    KeyPlan plan;
    std::vector<FieldKind> kinds;
    std::vector<uint32_t> plain, others;  // fields, in capture order
    std::vector<uint32_t> word_at;           // by field: its first word in a capture
    bool nullable = false;
    size_t words = 0;             // per capture
    std::vector<WordCode> codes;  // per word of a capture
    size_t fixed_bound = 0;       // the longest text a capture makes, text cells apart
    // Every field plain: a capture is one step per field.
    bool plain_only = false;
};
CapturedForm captured_form(const FactStore& store, TypeId type);
// Where captures keep their packed words: bytes in chunks of 512 KiB that
// never move, appended a run at a time.
class CaptureBytes {
public:
    static constexpr size_t kShift = 19;
    static constexpr size_t kChunk = size_t{1} << kShift;

    size_t size() const { return size_; }
    uint8_t operator[](size_t i) const { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    void append(const uint8_t* bytes, size_t n) {
        while (n > 0) {
            const size_t in_chunk = size_ & (kChunk - 1);
            if (in_chunk == 0 && (size_ >> kShift) == chunks_.size())
                chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kChunk));
            const size_t take = std::min(n, kChunk - in_chunk);
            std::memcpy(chunks_[size_ >> kShift].get() + in_chunk, bytes, take);
            size_ += take, bytes += take, n -= take;
        }
    }
    // Where `n` bytes may be written in place, if the chunk being filled has
    // room for them; wrote() then counts what was written.
    uint8_t* room(size_t n) {
        const size_t in_chunk = size_ & (kChunk - 1);
        if (in_chunk == 0 && (size_ >> kShift) == chunks_.size()) [[unlikely]]
            add_chunk();
        return kChunk - in_chunk >= n ? chunks_[size_ >> kShift].get() + in_chunk : nullptr;
    }
    void wrote(size_t n) { size_ += n; }

private:
    void add_chunk();
    std::vector<std::unique_ptr<uint8_t[]>> chunks_;
    size_t size_ = 0;
};
// One number packed as a step from `prev`: the folded step, 7 bits a byte.
// Appends at `out` and returns the end; unpack_step reads it back from `at`.
inline uint8_t* pack_step(uint64_t w, uint64_t prev, uint8_t* out) {
    uint64_t step = w - prev;
    step = (step << 1) ^ (0 - (step >> 63));
    while (step >= 0x80) {
        *out++ = static_cast<uint8_t>(step | 0x80);
        step >>= 7;
    }
    *out++ = static_cast<uint8_t>(step);
    return out;
}
uint64_t unpack_step(const CaptureBytes& in, size_t& at, uint64_t prev);
// The most bytes one word packs into.
constexpr size_t kPackedWord = 10;
// Writes `codes.size()` words packed as `codes` say at `out`, each Step one
// from the word in the same place of `prev`, which then holds `words`; returns
// the end. unpack_words reads them back from `at` into `words`, which holds
// the previous words on entry, and returns where the next ones start.
uint8_t* pack_words(std::span<const WordCode> codes, const uint64_t* words, uint64_t* prev, uint8_t* out);
size_t unpack_words(std::span<const WordCode> codes, const CaptureBytes& in, size_t at, uint64_t* words);
// capture_cells of a form with a field other than a non-nullable integer.
size_t capture_fields(const CapturedForm& form, const std::vector<Column>& columns, uint32_t row, uint64_t* prev,
                      uint8_t*& out, std::string& text);
// Packs the form's plain words of the fact at `row` of `columns` (its type's),
// as capture_cells does.
inline uint8_t* capture_plain(const CapturedForm& form, const std::vector<Column>& columns, uint32_t row,
                              uint64_t* prev, uint8_t* out) {
    // Held in locals: the bytes written through `out` could alias the vectors'
    // own pointers otherwise, and each would be read again after every byte.
    const Column* const column = columns.data();
    const uint32_t* const fields = form.plain.data();
    const size_t n = form.plain.size();
    for (size_t i = 0; i < n; ++i) {
        const Column& cells = column[fields[i]];
        uint64_t w;
        if (const auto* ints = std::get_if<0>(&cells.cells)) [[likely]]
            w = static_cast<uint64_t>((*ints)[row]);
        else
            w = ColumnView(cells).bools()[row];
        out = pack_step(w, prev[i], out);
        prev[i] = w;
    }
    return out;
}
// Writes the cells at `row` of `columns` (a fact of the form's type), packed at `out` (at most
// kPackedWord bytes a word of the form) as steps from `prev` (the capture this
// one follows, which then holds this one's words) and moves `out` past them;
// returns an upper bound of the length of the text write_captured makes of
// them. A text cell equal to the one at its place in `prev` keeps that one's
// place in `text`; another is appended to `text`. Inline for a form of
// plain fields only (most are): the audit captures at every firing.
inline size_t capture_cells(const CapturedForm& form, const std::vector<Column>& columns, uint32_t row, uint64_t* prev,
                            uint8_t*& out, std::string& text) {
    if (!form.plain_only) return capture_fields(form, columns, row, prev, out, text);
    out = capture_plain(form, columns, row, prev, out);
    return form.fixed_bound;
}
// The text StoredFactJson::write gave for the fact when it was captured;
// `at` points at its first word.
void write_captured(JsonText& out, const CapturedForm& form, const uint64_t* at, std::string_view text);

// Renders a stored fact straight from the store's columns, as fact_json
// renders the view the engine makes of it (Engine::render_fired).
class StoredFactJson {
public:
    // `members`: the member facts of a collection result, `values` the
    // collected values of a value collection (each shown as a one-field
    // pseudo fact), else null. Returns the fact's type.
    TypeId write(JsonText& out, const FactStore& store, FactId f, const std::vector<FactId>* members,
                 const std::vector<Value>* values = nullptr);

private:
    // By TypeId: without members, then with.
    std::vector<std::unique_ptr<KeyPlan>> plans_[2];
};

}  // namespace quarn::py
