// Fact tables and the audit table.
#include "result_tables.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "common/internal_error.h"
#include "common/text.h"
#include "fact_json.h"
#include "store/decimal.h"

namespace quarn::py {

namespace {

std::string arrow_format(const FieldType& t) {
    switch (t.kind) {
        case FieldKind::I64: return "l";
        case FieldKind::F64: return "g";
        case FieldKind::Str: return "u";
        case FieldKind::Bool: return "b";
        case FieldKind::Dec: return fmt("d:{},{}", unsigned(t.p), unsigned(t.s));
    }
    return "n";
}

// Appends one cell of `column` (whose field has `type`), or returns the error.
Result<void, std::string> push_cell(arrow::ColumnBuilder& b, const FieldType& type, const std::string& field,
                                    const Value& v) {
    if (v.is_null()) {
        b.push_null();
        return {};
    }
    auto drift = [&] { return err(fmt("{}: column type drift", field)); };
    switch (type.kind) {
        case FieldKind::I64:
            if (v.tag() != ValueTag::I64) return drift();
            b.push_i64(v.as_i64());
            return {};
        case FieldKind::F64:
            if (v.tag() != ValueTag::F64) return drift();
            b.push_f64(v.as_f64());
            return {};
        case FieldKind::Str:
            if (v.tag() != ValueTag::Str) return drift();
            if (!b.push_str(v.as_str())) return err(fmt("{}: text column exceeds 2147483647 bytes", field));
            return {};
        case FieldKind::Bool:
            if (v.tag() != ValueTag::Bool) return drift();
            b.push_bool(v.as_bool());
            return {};
        case FieldKind::Dec: {
            if (v.tag() != ValueTag::Dec) return drift();
            std::optional<i128> u = dec_rescale(v.as_dec().u, v.as_dec().s, type.s);
            if (!u) return err(fmt("{}: decimal rescale overflow", field));
            b.push_dec(*u);
            return {};
        }
    }
    return drift();
}

}  // namespace

Result<std::shared_ptr<const arrow::Batch>, std::string> batch_for_type(const TypeSchema& schema,
                                                                        const std::vector<const FactView*>& views) {
    auto batch = std::make_shared<arrow::Batch>();
    batch->rows = static_cast<int64_t>(views.size());
    arrow::ColumnBuilder handles("_handle", "l", false, views.size());
    for (const FactView* v : views) handles.push_i64(v->id);
    batch->columns.push_back(handles.finish());
    for (size_t f = 0; f < schema.fields.size(); ++f) {
        const auto& [name, type] = schema.fields[f];
        bool nullable = schema.is_nullable(f);
        arrow::ColumnBuilder b(name, arrow_format(type), nullable, views.size());
        for (const FactView* v : views) {
            if (v->fields.size() <= f) return err(fmt("{}: fact {} carries no value for this field", name, v->id));
            QUARN_CHECK(push_cell(b, type, name, v->fields[f].second));
        }
        auto column = b.finish();
        if (!nullable && column->null_count)
            return err(fmt("arrow batch build failed: Invalid argument error: Column '{}' is declared as non-nullable "
                           "but contains null values",
                           name));
        batch->columns.push_back(std::move(column));
    }
    return std::shared_ptr<const arrow::Batch>(std::move(batch));
}

Result<std::shared_ptr<const arrow::Batch>, std::string> batch_of_facts(const FactStore& store, TypeId type,
                                                                        const TypeSchema& schema,
                                                                        const SnapshotRows& rows) {
    const size_t n = rows.size();
    // The columns are read in place when the store holds the type as declared;
    // otherwise the facts are rendered and checked cell by cell.
    if (store.schema(type).fields != schema.fields) {
        const TypeSchema& stored = store.schema(type);
        std::vector<FactView> rendered;
        rendered.reserve(n);
        for (size_t k = 0; k < n; ++k) {
            if (rows.rows[k] != SnapshotRows::kNoRow) {
                rendered.push_back(store.render(rows.ids[k]));
                continue;
            }
            // A fact removed since: every cell is among those the rows keep.
            FactView v{stored.name, {}, std::nullopt, rows.ids[k]};
            for (const auto& field : stored.fields) v.fields.emplace_back(field.first, Value::null());
            rendered.push_back(std::move(v));
        }
        for (const SnapshotRows::Cell& c : rows.cells) rendered[c.at].fields[c.field].second = c.value;
        std::vector<const FactView*> views;
        views.reserve(rendered.size());
        for (const FactView& v : rendered) views.push_back(&v);
        return batch_for_type(schema, views);
    }
    // Facts that take consecutive rows and keep no cell of their own (a
    // type's facts while none was deleted, or those a fire added since) are
    // rows first_row on of every column: integer and float columns without
    // nulls are then shared with the store instead of copied.
    const uint32_t first_row = n == 0 ? 0 : rows.rows[0];
    bool consecutive = first_row != SnapshotRows::kNoRow;
    for (size_t k = 0; k < n && consecutive; ++k) consecutive = rows.rows[k] == first_row + k;

    auto batch = std::make_shared<arrow::Batch>();
    batch->rows = static_cast<int64_t>(n);
    arrow::ColumnBuilder handles("_handle", "l", false, n);
    for (FactId f : rows.ids) handles.push_i64(f);
    batch->columns.push_back(handles.finish());
    // The cells the rows keep, field by field (rows.cells' order).
    auto kept = rows.cells.begin();
    for (size_t f = 0; f < schema.fields.size(); ++f) {
        const auto& [name, type_of] = schema.fields[f];
        bool nullable = schema.is_nullable(f);
        const ColumnView column = store.column_view(type, f);
        const auto kept_end = std::find_if(kept, rows.cells.end(), [&](const SnapshotRows::Cell& c) { return c.field != f; });
        const std::span<const SnapshotRows::Cell> own(kept, kept_end);
        kept = kept_end;
        if (consecutive && own.empty() && n != 0 && !column.nullable() &&
            (type_of.kind == FieldKind::I64 || type_of.kind == FieldKind::F64)) {
            const void* cells = type_of.kind == FieldKind::I64 ? static_cast<const void*>(&column.i64s()[first_row])
                                                               : static_cast<const void*>(&column.f64s()[first_row]);
            batch->columns.push_back(arrow::shared_column(name, arrow_format(type_of), nullable,
                                                          static_cast<int64_t>(n), cells, column.share()));
            continue;
        }
        arrow::ColumnBuilder b(name, arrow_format(type_of), nullable, n);
        // Each cell as push_cell would take it from the rendered value; one
        // the rows keep goes through push_cell itself.
        auto each = [&](auto&& push) -> Result<void, std::string> {
            size_t next_own = 0;
            for (size_t k = 0; k < n; ++k) {
                if (next_own < own.size() && own[next_own].at == k) {
                    QUARN_CHECK(push_cell(b, type_of, name, own[next_own++].value));
                    continue;
                }
                const uint32_t row = consecutive ? first_row + static_cast<uint32_t>(k) : rows.rows[k];
                if (column.is_null(row)) b.push_null();
                else QUARN_CHECK(push(row));
            }
            return {};
        };
        Result<void, std::string> filled;
        switch (type_of.kind) {
            case FieldKind::I64: {
                const std::span<const int64_t> cells = column.i64s();
                filled = each([&](uint32_t row) -> Result<void, std::string> {
                    b.push_i64(cells[row]);
                    return {};
                });
                break;
            }
            case FieldKind::F64: {
                const std::span<const double> cells = column.f64s();
                filled = each([&](uint32_t row) -> Result<void, std::string> {
                    b.push_f64(cells[row]);
                    return {};
                });
                break;
            }
            case FieldKind::Str: {
                const std::span<const std::string> cells = column.strs();
                filled = each([&](uint32_t row) -> Result<void, std::string> {
                    if (!b.push_str(cells[row])) return err(fmt("{}: text column exceeds 2147483647 bytes", name));
                    return {};
                });
                break;
            }
            case FieldKind::Bool: {
                const std::span<const uint8_t> cells = column.bools();
                filled = each([&](uint32_t row) -> Result<void, std::string> {
                    b.push_bool(cells[row] != 0);
                    return {};
                });
                break;
            }
            case FieldKind::Dec: {
                const std::span<const DecParts> cells = column.decs();
                uint8_t to = type_of.s;
                filled = each([&](uint32_t row) -> Result<void, std::string> {
                    std::optional<i128> u = dec_rescale(cells[row].u, cells[row].s, to);
                    if (!u) return err(fmt("{}: decimal rescale overflow", name));
                    b.push_dec(*u);
                    return {};
                });
                break;
            }
        }
        QUARN_CHECK(std::move(filled));
        auto built = b.finish();
        if (!nullable && built->null_count)
            return err(fmt("arrow batch build failed: Invalid argument error: Column '{}' is declared as non-nullable "
                           "but contains null values",
                           name));
        batch->columns.push_back(std::move(built));
    }
    return std::shared_ptr<const arrow::Batch>(std::move(batch));
}

namespace {

constexpr uint64_t kTextLimit = 2147483647;

}  // namespace

bool AuditCapture::may_overflow() const {
    return rule_bytes_ > kTextLimit || type_bytes_ > kTextLimit || json_bytes_ > kTextLimit;
}

Result<std::shared_ptr<const arrow::Batch>, std::string> AuditCapture::table() const {
    const size_t rows = facts_;
    arrow::ColumnBuilder seq("seq", "l", false, rows), rule("rule", "u", false, rows), pos("pos", "l", false, rows),
        type("type", "u", false, rows), handle("handle", "l", false, rows), json("values_json", "u", false, rows);
    JsonText out;
    // The handle and words of each shape's previous firing, as the builder had them.
    std::vector<std::vector<uint64_t>> words(shapes_.size());
    for (size_t k = 0; k < shapes_.size(); ++k) words[k].assign(shape_words(shapes_[k]), 0);
    const std::string_view text(text_);
    size_t at = 0;
    for (uint64_t i = 0; i < firings_; ++i) {
        const size_t at_shape = unpack_step(bytes_, at, 0);
        const Shape& shape = shapes_[at_shape];
        const std::string& name = rule_names_[shape.rule];
        uint64_t* slot = words[at_shape].data();
        for (size_t p = 0; p < shape.forms.size(); ++p) {
            const uint64_t h = slot[0] = unpack_step(bytes_, at, slot[0]);
            const Form& form = forms_[shape.forms[p]];
            uint64_t* cells = slot + 1;
            at = unpack_words(form.cells.codes, bytes_, at, cells);
            slot = cells + form.cells.words;
            std::string_view values;
            if (form.rendered) {
                values = text.substr(cells[0], cells[1]);
            } else {
                out.clear();
                write_captured(out, form.cells, cells, text);
                values = out.view();
            }
            seq.push_i64(static_cast<int64_t>(i));
            pos.push_i64(static_cast<int64_t>(p));
            handle.push_i64(static_cast<int64_t>(h));
            if (!rule.push_str(name) || !type.push_str(form.type_name) || !json.push_str(values))
                return err(std::string("audit batch build failed: a text column exceeds 2147483647 bytes"));
        }
    }
    auto batch = std::make_shared<arrow::Batch>();
    batch->rows = static_cast<int64_t>(rows);
    for (auto* b : {&seq, &rule, &pos, &type, &handle, &json}) batch->columns.push_back(b->finish());
    return std::shared_ptr<const arrow::Batch>(std::move(batch));
}

AuditBuilder::AuditBuilder(const Session& engine, bool keep_matches) : engine_(engine), keep_matches_(keep_matches) {}

size_t AuditCapture::shape_words(const Shape& shape) const {
    size_t n = 0;
    for (uint32_t form : shape.forms) n += 1 + forms_[form].cells.words;
    return n;
}

uint32_t AuditBuilder::add_form(AuditCapture::Form form) {
    capture_->forms_.push_back(std::move(form));
    return static_cast<uint32_t>(capture_->forms_.size() - 1);
}

namespace {

// A rendered fact's words: its text's place and length.
CapturedForm rendered_form() {
    CapturedForm form;
    form.codes.assign(2, WordCode::Step);
    form.words = 2;
    return form;
}

}  // namespace

uint32_t AuditBuilder::form_of(TypeId type, bool rendered) {
    std::vector<uint32_t>& at = form_at_[rendered ? 1 : 0];
    if (at.size() <= type) at.resize(size_t(type) + 1, 0);
    if (at[type] == 0) {
        AuditCapture::Form form;
        const TypeSchema& schema = engine_.store().schema(type);
        form.type_name = schema.name;
        form.type = type;
        form.rendered = rendered;
        if (rendered) {
            form.cells = rendered_form();
        } else {
            if (schema.fields.size() > 64) invariant_broken("a fact type with more than 64 fields");
            form.cells = captured_form(engine_.store(), type);
        }
        at[type] = add_form(std::move(form)) + 1;
    }
    return at[type] - 1;
}

uint32_t AuditBuilder::query_form() {
    if (query_form_ == 0) query_form_ = add_form(AuditCapture::Form{"QueryArgs", 0, rendered_form(), true}) + 1;
    return query_form_ - 1;
}

uint32_t AuditBuilder::shape_of(uint32_t rule, std::span<const uint32_t> forms) {
    if (rule_shapes_.size() <= rule) rule_shapes_.resize(size_t(rule) + 1);
    AuditCapture& c = *capture_;
    for (uint32_t k : rule_shapes_[rule])
        if (std::equal(forms.begin(), forms.end(), c.shapes_[k].forms.begin(), c.shapes_[k].forms.end())) return k;
    c.shapes_.push_back({rule, std::vector<uint32_t>(forms.begin(), forms.end())});
    shape_words_.emplace_back(c.shape_words(c.shapes_.back()), 0);
    ShapeCost cost{0, kPackedWord};
    for (uint32_t form : forms) {
        cost.type_bytes += c.forms_[form].type_name.size();
        cost.bound += kPackedWord * (1 + c.forms_[form].cells.words);
    }
    shape_costs_.push_back(cost);
    const auto k = static_cast<uint32_t>(c.shapes_.size() - 1);
    rule_shapes_[rule].push_back(k);
    return k;
}

void AuditBuilder::keep_rendered(std::string_view text, uint64_t* words) {
    AuditCapture& c = *capture_;
    words[0] = c.text_.size();
    words[1] = text.size();
    c.text_ += text;
    c.json_bytes_ += text.size();
}

void AuditBuilder::fired(size_t rule, std::span<const FactId> facts) {
    if (keep_matches_) {
        rules_.push_back(rule);
        matched_.insert(matched_.end(), facts.begin(), facts.end());
        match_ends_.push_back(matched_.size());
    }
    ++firings_;
    AuditCapture& c = *capture_;
    if (rule_at_.size() <= rule) rule_at_.resize(rule + 1, 0);
    if (rule_at_[rule] == 0) {
        c.rule_names_.push_back(engine_.rule_name(rule));
        rule_at_[rule] = static_cast<uint32_t>(c.rule_names_.size());
    }
    const uint32_t named = rule_at_[rule] - 1;
    c.rule_bytes_ += c.rule_names_[named].size() * facts.size();
    const FactStore& store = engine_.store();
    // Asked once a firing: in most sessions no fact shows otherwise.
    if (engine_.facts_show_as_stored()) fired_as_stored(named, facts, store);
    else fired_rendering(rule, named, facts, store);
    ++c.firings_;
    c.facts_ += facts.size();
}

void AuditBuilder::fired_as_stored(uint32_t named, std::span<const FactId> facts, const FactStore& store) {
    AuditCapture& c = *capture_;
    // Nearly always the shape of the rule's previous firing.
    uint32_t shape = named < last_shape_.size() ? last_shape_[named] : 0;
    bool same = shape != 0 && c.shapes_[shape - 1].forms.size() == facts.size();
    places_.resize(facts.size());
    for (size_t p = 0; p < facts.size(); ++p) {
        places_[p] = {store.fact_type(facts[p]), store.row_of(facts[p])};
        same = same && stored_form(places_[p].type) == c.shapes_[shape - 1].forms[p];
    }
    if (!same) {
        pending_forms_.resize(facts.size());
        for (size_t p = 0; p < facts.size(); ++p) pending_forms_[p] = stored_form(places_[p].type);
    }
    shape = firing_shape(named, same);
    uint8_t* start;
    uint8_t* out = start_packing(shape, start);
    const uint32_t* forms = c.shapes_[shape].forms.data();
    uint64_t* slot = shape_words_[shape].data();
    uint64_t json_bytes = 0;
    for (size_t p = 0; p < facts.size(); ++p) {
        const FactId f = facts[p];
        out = pack_step(f, slot[0], out);
        slot[0] = f;
        const AuditCapture::Form& form = c.forms_[forms[p]];
        json_bytes += capture_cells(form.cells, store.data(places_[p].type).columns, places_[p].row, slot + 1, out,
                                    c.text_);
        slot += 1 + form.cells.words;
    }
    c.json_bytes_ += json_bytes;
    finish_packing(start, out);
}

void AuditBuilder::fired_rendering(size_t rule, uint32_t named, std::span<const FactId> facts,
                                   const FactStore& store) {
    AuditCapture& c = *capture_;
    // Each fact's form first, as the firing's shape names them; collections
    // and query calls are rendered now.
    pending_.resize(facts.size());
    pending_forms_.resize(facts.size());
    for (size_t p = 0; p < facts.size(); ++p) {
        const FactId f = facts[p];
        Pending& x = pending_[p];
        x = Pending{0, f, {0, 0}};
        if (engine_.is_query_row(f)) {
            // The call's arguments as the answer row held them.
            std::optional<FactView> call = engine_.render_qargs(rule, p, f);
            if (!call) invariant_broken("a query row outside a ?query position");
            x.form = query_form();
            x.handle = call->id;
            keep_rendered(fact_json(*call), x.words);
        } else {
            const std::vector<FactId>* members = engine_.collect_members(f);
            const std::vector<Value>* values = engine_.collect_values(f);
            if (members || values) {
                // A collection shows its members as they are now: rendered at once.
                text_.clear();
                const TypeId type = writer_.write(text_, store, f, members, values);
                x.form = form_of(type, true);
                keep_rendered(text_.view(), x.words);
            } else {
                x.form = stored_form(store.fact_type(f));
            }
        }
        pending_forms_[p] = x.form;
    }
    // Nearly always the shape of the rule's previous firing.
    const uint32_t last = named < last_shape_.size() ? last_shape_[named] : 0;
    const uint32_t shape =
        firing_shape(named, last != 0 && std::ranges::equal(pending_forms_, c.shapes_[last - 1].forms));
    uint8_t* start;
    uint8_t* out = start_packing(shape, start);
    uint64_t* slot = shape_words_[shape].data();
    for (const Pending& x : pending_) {
        out = pack_step(x.handle, slot[0], out);
        slot[0] = x.handle;
        const AuditCapture::Form& form = c.forms_[x.form];
        uint64_t* prev = slot + 1;
        if (form.rendered) out = pack_words(form.cells.codes, x.words, prev, out);
        else c.json_bytes_ += capture_cells(form.cells, store.data(form.type).columns, store.row_of(x.handle), prev, out, c.text_);
        slot = prev + form.cells.words;
    }
    finish_packing(start, out);
}

uint32_t AuditBuilder::firing_shape(uint32_t named, bool same) {
    if (same) return last_shape_[named] - 1;
    if (last_shape_.size() <= named) last_shape_.resize(size_t(named) + 1, 0);
    const uint32_t shape = shape_of(named, pending_forms_);
    last_shape_[named] = shape + 1;
    return shape;
}

uint8_t* AuditBuilder::start_packing(uint32_t shape, uint8_t*& start) {
    AuditCapture& c = *capture_;
    const ShapeCost& cost = shape_costs_[shape];
    c.type_bytes_ += cost.type_bytes;
    start = c.bytes_.room(cost.bound);
    if (!start && packed_.size() < cost.bound) packed_.resize(cost.bound);
    return pack_step(shape, 0, start ? start : packed_.data());
}

void AuditBuilder::finish_packing(uint8_t* start, uint8_t* out) {
    if (start) capture_->bytes_.wrote(size_t(out - start));
    else capture_->bytes_.append(packed_.data(), size_t(out - packed_.data()));
}

const std::string& AuditBuilder::rule(size_t i) const { return engine_.rule_name(rules_[i]); }

std::span<const FactId> AuditBuilder::matches(size_t i) const {
    size_t begin = i == 0 ? 0 : match_ends_[i - 1];
    return std::span<const FactId>(matched_).subspan(begin, match_ends_[i] - begin);
}

Result<void, std::string> AuditBuilder::finish(ResultData& data) {
    // A table that may not fit is built now, so that the fire reports it.
    if (capture_->may_overflow()) {
        QUARN_TRY(data.firings, capture_->table());
        return {};
    }
    data.audit = std::move(capture_);
    return {};
}

}  // namespace quarn::py

namespace quarn::py {

namespace {

// Whether batch_of_facts cannot fail for the type: the store holds it as
// declared, every column is of a kind that converts without a check, a text
// column's bytes fit one Arrow column, and no null can meet a field declared
// without them.
bool builds_without_fail(const FactStore& store, const FactTables::Type& x) {
    if (!x.has_facts) return true;
    if (store.schema(x.store_type).fields != x.declared.fields) return false;
    for (size_t f = 0; f < x.declared.fields.size(); ++f) {
        const ColumnView column = store.column_view(x.store_type, f);
        if (column.nullable() && !x.declared.is_nullable(f)) return false;
        switch (column.kind()) {
            case FieldKind::I64:
            case FieldKind::F64:
            case FieldKind::Bool: break;
            case FieldKind::Str:
                if (column.text_bytes() > kTextLimit) return false;
                break;
            case FieldKind::Dec: return false;
        }
    }
    return true;
}

}  // namespace

Result<void, std::string> FactTables::build(size_t t, bool derived) {
    Type& x = types_[t];
    if (derived ? x.derived != nullptr : x.facts != nullptr) return {};
    if (snapshot_.empty()) invariant_broken("a fact table wanted after its snapshot was let go");
    // The snapshot reads the session's store, which a fire on another thread
    // may be changing with the interpreter lock released: wait for it then,
    // without the interpreter lock, so that the fire can end.
    std::unique_lock<std::mutex> held(*store_lock_, std::try_to_lock);
    if (!held.owns_lock()) {
        GilRelease unlocked;
        held.lock();
    }
    QUARN_CHECK(derived ? build_derived(std::nullopt) : build_facts(t));
    // Every table built: the snapshot, and the changes it holds on to, go.
    if (!waiting()) snapshot_ = FactSnapshot(), new_rows_.reset();
    return {};
}

Result<void, std::string> FactTables::build_facts(size_t t) {
    Type& x = types_[t];
    SnapshotRows rows;
    if (x.has_facts) rows = snapshot_.rows_of_type(x.store_type);
    QUARN_TRY(x.facts, batch_of_facts(snapshot_.base(), x.store_type, x.declared, rows));
    // When every fact is new, the derived table is the same table.
    if (!x.derived && (rows.ids.empty() || rows.ids.front() >= start_fact_count_)) x.derived = x.facts;
    return {};
}

Result<void, std::string> FactTables::build_derived(std::optional<size_t> only) {
    // A fact never comes back once deleted, so the facts alive at the
    // snapshot that were not before the fire are those with the fire's new
    // handles: one pass over those handles finds every type's.
    if (!new_rows_) new_rows_ = snapshot_.rows_since(static_cast<FactId>(start_fact_count_));
    const SnapshotRows none;
    for (size_t t = only.value_or(0); t < (only ? *only + 1 : types_.size()); ++t) {
        Type& x = types_[t];
        if (x.derived) continue;
        const SnapshotRows& rows = x.has_facts && x.store_type < new_rows_->size() ? (*new_rows_)[x.store_type] : none;
        QUARN_TRY(x.derived, batch_of_facts(snapshot_.base(), x.store_type, x.declared, rows));
    }
    return {};
}

Result<void, std::string> FactTables::build_now(size_t t) {
    QUARN_CHECK(build_facts(t));
    return build_derived(t);
}

bool FactTables::waiting() const {
    for (const Type& x : types_)
        if (!x.facts || !x.derived) return true;
    return false;
}

Result<std::shared_ptr<FactTables>, std::string> fire_tables(Session& engine, const std::vector<TypeSchema>& declared,
                                                             uint64_t start_fact_count,
                                                             std::shared_ptr<std::mutex> store_lock) {
    const FactStore& store = engine.store();
    auto tables = std::make_shared<FactTables>(engine.snapshot(), start_fact_count, std::move(store_lock));
    // The declared slot of each store type; the first of a repeated name wins.
    constexpr size_t kNone = SIZE_MAX;
    std::vector<size_t> slot(store.type_count(), kNone);
    for (size_t t = 0; t < declared.size(); ++t) {
        FactTables::Type x{declared[t], 0, false, nullptr, nullptr};
        if (std::optional<TypeId> id = store.type_id(declared[t].name)) {
            x.store_type = *id;
            if (slot[*id] == kNone) slot[*id] = t, x.has_facts = true;
        }
        tables->types().push_back(std::move(x));
    }
    // No fire runs meanwhile: the store is read without its lock.
    for (size_t t = 0; t < declared.size(); ++t)
        if (!builds_without_fail(store, tables->types()[t])) QUARN_CHECK(tables->build_now(t));
    return tables;
}

}  // namespace quarn::py
