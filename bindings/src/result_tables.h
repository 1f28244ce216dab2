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
// The same batch for the facts `ids` of store type `type`, declared as
// `schema`, read from the store's columns.
Result<std::shared_ptr<const arrow::Batch>, std::string> batch_of_facts(const FactStore& store, TypeId type,
                                                                        const TypeSchema& schema,
                                                                        const std::vector<FactId>& ids);
// The fact tables of a fire that just ended (FactTables): those whose
// building could fail are built now, so that the fire reports the failure;
// the error is the RuntimeError's text.
Result<std::shared_ptr<FactTables>, std::string> fire_tables(const Session& engine, const std::vector<TypeSchema>& declared,
                                                             uint64_t start_fact_count);

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

private:
    friend class AuditBuilder;
    // How a fact shows: its type's name and cells, or a text rendered at the
    // firing (a collection with its members, a ?query call), kept in text_
    // at words (place, length).
    struct Form {
        std::string type_name;
        CapturedForm cells;
        bool rendered = false;
    };
    struct Fired {
        uint32_t rule = 0;   // in rule_names_
        uint32_t facts = 0;  // how many follow in facts_
    };
    struct Fact {
        FactId handle = 0;
        uint32_t form = 0;
    };

    std::vector<std::string> rule_names_;
    std::vector<Form> forms_;
    // A fire may capture millions of facts: chunks grow without copying and
    // leave at most one chunk unused, where a doubling vector could leave
    // half its room.
    CaptureWords<Fired> fired_;
    CaptureWords<Fact> facts_;
    CaptureBytes bytes_;  // the packed words of every capture, in order
    std::string text_;
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
    uint32_t query_form();
    // Keeps `text` as a fact of form `form` rendered at the firing.
    void keep_rendered(FactId handle, uint32_t form, std::string_view text);

    const Session& engine_;
    bool keep_matches_;
    std::shared_ptr<AuditCapture> capture_ = std::make_shared<AuditCapture>();
    // By engine rule, TypeId: the index in the capture's tables plus one, 0 for none yet.
    std::vector<uint32_t> rule_at_, form_at_[2];
    uint32_t query_form_ = 0;
    JsonText text_;
    StoredFactJson writer_;
    uint64_t firings_ = 0;
    std::vector<size_t> rules_;       // by firing
    std::vector<FactId> matched_;
    std::vector<size_t> match_ends_;  // by firing: the end of its facts in matched_
};

}  // namespace quarn::py
