// What a fire hands back, rendered: one Arrow batch per declared type, the
// long-format firing audit.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "arrow_export.h"
#include "common/result.h"
#include "engine/session.h"
#include "fact_json.h"
#include "result.h"

namespace quarn::py {

// "_handle", then one column per declared field; the error is the
// RuntimeError's text.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_for_type(const TypeSchema& schema,
                                                                        const std::vector<const FactView*>& views);
// The same batch for the facts `rows` of store type `type`, declared as
// `schema`: their cells read from the columns of `store` at their rows, but
// for those the rows keep themselves.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_of_facts(const FactStore& store, TypeId type,
                                                                        const TypeSchema& schema,
                                                                        const SnapshotRows& rows);
// The fact tables of a fire that just ended (FactTables), read from a
// snapshot taken now: those whose building could fail are built at once, so
// that the fire reports the failure; the error is the RuntimeError's text.
Result<std::shared_ptr<FactTables>, std::string> fire_tables(Session& engine, const std::vector<TypeSchema>& declared,
                                                             uint64_t start_fact_count,
                                                             std::shared_ptr<std::mutex> store_lock);

// The firing audit of one fire as compact values: per firing its rule, per
// matched fact its handle and its cells as they stood right after that
// firing's right-hand side ran. The table (seq, rule, pos, type, handle,
// values_json, one row per matched fact) is rendered from them when asked,
// with the bytes that rendering at the firing would have given. It holds no
// reference to the engine: the session may change or go first.
class AuditCapture {
public:
    // The table, or the RuntimeError's text.
    Result<std::shared_ptr<const arrow::Batch>, std::string> table() const;
    // Whether some text column could pass 2^31 - 1 bytes: the table is then
    // built at once, so that the fire reports it.
    bool may_overflow() const;
    // What the capture holds: its packed bytes and its texts' bytes.
    size_t packed_bytes() const { return bytes_.size(); }
    size_t text_bytes() const { return text_.size(); }

private:
    friend class AuditBuilder;
    // How a fact shows: its type's name and cells, or a text rendered at the
    // firing (a collection with its members, a ?query call), kept in text_
    // at words (place, length).
    struct Form {
        std::string type_name;
        TypeId type;  // of a form of stored cells
        CapturedForm cells;  // of a rendered form: the text's two words
        bool rendered = false;
    };
    // A rule and the forms of the facts it matched, in order: nearly every
    // firing of a rule has one shape.
    struct Shape {
        uint32_t rule = 0;  // in rule_names_
        std::vector<uint32_t> forms;
    };

    // The words a firing of `shape` steps from: per fact its handle, then its form's words.
    size_t shape_words(const Shape& shape) const;

    std::vector<std::string> rule_names_;
    std::vector<Form> forms_;
    std::vector<Shape> shapes_;
    // Per firing, in order: its shape, then per fact its handle and its words,
    // packed as steps from those in the same place of the shape's previous
    // firing (zeros before its first).
    CaptureBytes bytes_;
    std::string text_;
    uint64_t firings_ = 0, facts_ = 0;
    // Upper bounds of the text columns' bytes.
    uint64_t rule_bytes_ = 0, type_bytes_ = 0, json_bytes_ = 0;
};

// Takes each firing as the engine completes it (Session::fire_all) into an
// AuditCapture, and counts them. An exception thrown while capturing ends the
// fire.
class AuditBuilder final : public FiringSink {
public:
    // `keep_matches`: also keep each firing's rule and facts for rule() and
    // matches().
    AuditBuilder(const Session& engine, bool keep_matches);
    void fired(size_t rule, std::span<const FactId> facts) override;
    uint64_t firings() const { return firings_; }
    // After the fire, when kept: the rule of firing `i`, and its facts.
    const std::string& rule(size_t i) const;
    std::span<const FactId> matches(size_t i) const;
    // After the fire: hands the capture to `data`, or the table when it is
    // built at once; the RuntimeError's text of a table that cannot be built.
    Result<void, std::string> finish(ResultData& data);

private:
    // The form of store type `type`, made at its first firing; `rendered`:
    // the form of the type's facts that show with members.
    uint32_t form_of(TypeId type, bool rendered);
    uint32_t stored_form(TypeId type) {
        const std::vector<uint32_t>& at = form_at_[0];
        return type < at.size() && at[type] != 0 ? at[type] - 1 : form_of(type, false);
    }
    uint32_t query_form();
    uint32_t add_form(AuditCapture::Form form);
    // The shape of a firing of `rule` (in the capture's names) matching facts
    // of `forms`.
    uint32_t shape_of(uint32_t rule, std::span<const uint32_t> forms);
    // fired when every fact shows its stored cells, and when some may show
    // rendered (a collection, a query call).
    void fired_as_stored(uint32_t named, std::span<const FactId> facts, const FactStore& store);
    void fired_rendering(size_t rule, uint32_t named, std::span<const FactId> facts, const FactStore& store);
    // The shape of this firing of `named`: the rule's previous one when
    // `same`, else the one of pending_forms_ (found or added, and kept as the
    // rule's latest).
    uint32_t firing_shape(uint32_t named, bool same);
    // Where a firing of `shape` is packed (counting its type bytes): in place
    // when the bytes' last chunk has room for the most it can take, else in
    // packed_; its step from the shape comes first. finish_packing keeps it.
    uint8_t* start_packing(uint32_t shape, uint8_t*& start);
    void finish_packing(uint8_t* start, uint8_t* out);
    // Keeps `text` as the text of a fact rendered at the firing; its words
    // (place, length) go in `words`.
    void keep_rendered(std::string_view text, uint64_t* words);

    const Session& engine_;
    bool keep_matches_;
    std::shared_ptr<AuditCapture> capture_ = std::make_shared<AuditCapture>();
    // By engine rule, TypeId: the index in the capture's tables plus one, 0 for none yet.
    std::vector<uint32_t> rule_at_, form_at_[2];
    uint32_t query_form_ = 0;
    // By shape: the handles and words of its previous firing (shape_words);
    // by rule in the capture: its shapes.
    std::vector<std::vector<uint64_t>> shape_words_;
    // By shape: the type names' bytes of a firing, and the most bytes it packs into.
    struct ShapeCost {
        uint64_t type_bytes = 0;
        size_t bound = 0;
    };
    std::vector<ShapeCost> shape_costs_;
    std::vector<std::vector<uint32_t>> rule_shapes_;
    std::vector<uint32_t> last_shape_;  // by rule in the capture: its latest shape plus one
    // One firing's facts: form, handle, and a rendered fact's words.
    struct Pending {
        uint32_t form;
        FactId handle;
        uint64_t words[2];
    };
    std::vector<Pending> pending_;
    std::vector<uint32_t> pending_forms_;
    std::vector<FactPlaces::Place> places_;  // one firing's facts' places
    std::vector<uint8_t> packed_;  // one firing packed
    JsonText text_;
    StoredFactJson writer_;
    uint64_t firings_ = 0;
    std::vector<size_t> rules_;       // by firing
    std::vector<FactId> matched_;
    std::vector<size_t> match_ends_;  // by firing: the end of its facts in matched_
};

}  // namespace quarn::py
