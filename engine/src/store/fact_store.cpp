// The column-wise fact store.
#include "store/fact_store.h"

#include <algorithm>

#include "store/debug_form.h"
#include "common/text.h"

namespace quarn {

namespace {

TypeData empty_data(const TypeSchema& s) {
    TypeData d;
    d.columns.reserve(s.fields.size());
    for (size_t i = 0; i < s.fields.size(); ++i) d.columns.push_back(Column::empty(s.fields[i].second, s.is_nullable(i)));
    return d;
}

// The cell index a value of this tag lives in, or -1 for Null.
int cell_kind_of(ValueTag t) {
    switch (t) {
        case ValueTag::I64: return 0;
        case ValueTag::F64: return 1;
        case ValueTag::Str: return 2;
        case ValueTag::Bool: return 3;
        case ValueTag::Dec: return 4;
        case ValueTag::Null: break;
    }
    return -1;
}

// Whether `v` may be written into `c`; refusal() says why not.
bool fits(const Column& c, const Value& v) {
    if (v.is_null()) return c.validity.has_value();
    return cell_kind_of(v.tag()) == static_cast<int>(c.cells.index());
}

// The message for a value that does not fit.
std::string refusal(const Column& c, const Value& v) {
    if (v.is_null() && !c.validity) return "null value for a non-nullable field";
    return fmt("column type mismatch for value {}", debug(v));
}

void write_cell(Column& c, uint32_t row, Value v) {
    if (v.is_null()) {
        (*c.validity)[row] = 0;  // the old content stays but is no longer read
        return;
    }
    if (auto* texts = std::get_if<2>(&c.cells)) c.text_bytes += v.as_str().size() - (*texts)[row].size();
    std::visit(
        [&](auto& cells) {
            using Cell = typename std::decay_t<decltype(cells)>::value_type;
            if constexpr (std::is_same_v<Cell, int64_t>) {
                cells.set(row, v.as_i64());
            } else if constexpr (std::is_same_v<Cell, double>) {
                cells.set(row, v.as_f64());
            } else if constexpr (std::is_same_v<Cell, std::string>) {
                cells[row] = std::move(v.as_str_mut());
            } else if constexpr (std::is_same_v<Cell, uint8_t>) {
                cells[row] = v.as_bool() ? 1 : 0;
            } else {
                cells[row] = v.as_dec();
            }
        },
        c.cells);
    if (c.validity) (*c.validity)[row] = 1;
}

// Room for `more` elements. Geometric, so that many small bulk inserts do not
// regrow every time.
template <class Cells>
void grow_for(Cells& v, size_t more) {
    size_t need = v.size() + more;
    if (need > v.capacity()) v.reserve(std::max(need, 2 * v.capacity()));
}

}  // namespace

Column Column::empty(const FieldType& t, bool nullable) {
    Column c;
    switch (t.kind) {
        case FieldKind::I64: c.cells.emplace<0>(); break;
        case FieldKind::F64: c.cells.emplace<1>(); break;
        case FieldKind::Str: c.cells.emplace<2>(); break;
        case FieldKind::Bool: c.cells.emplace<3>(); break;
        case FieldKind::Dec: c.cells.emplace<4>(); break;
    }
    if (nullable) c.validity.emplace();
    return c;
}

void Column::push(Value& v) {
    const bool null = v.is_null();
    switch (cells.index()) {
        case 0: std::get<0>(cells).push_back(null ? 0 : v.as_i64()); break;
        case 1: std::get<1>(cells).push_back(null ? 0.0 : v.as_f64()); break;
        case 2:
            if (null) {
                std::get<2>(cells).emplace_back();
            } else {
                text_bytes += v.as_str().size();
                std::get<2>(cells).push_back(std::move(v.as_str_mut()));
            }
            break;
        case 3: std::get<3>(cells).push_back(null ? 0 : (v.as_bool() ? 1 : 0)); break;
        default: std::get<4>(cells).push_back(null ? DecParts{} : v.as_dec()); break;
    }
    if (validity) validity->push_back(null ? 0 : 1);
}

Value Column::get(uint32_t row) const {
    if (validity && (*validity)[row] == 0) return Value::null();
    switch (cells.index()) {
        case 0: return Value::i64(std::get<0>(cells)[row]);
        case 1: return Value::f64(std::get<1>(cells)[row]);
        case 2: return Value::str(std::get<2>(cells)[row]);
        case 3: return Value::boolean(std::get<3>(cells)[row] != 0);
        default: {
            const DecParts& d = std::get<4>(cells)[row];
            return Value::dec(d.u, d.s);
        }
    }
}

std::optional<std::string_view> Column::text(uint32_t row) const {
    if (cells.index() != 2 || (validity && (*validity)[row] == 0)) return std::nullopt;
    return std::string_view(std::get<2>(cells)[row]);
}

Value Column::take(uint32_t row) {
    if (cells.index() == 2 && !(validity && (*validity)[row] == 0)) {
        std::string& text = std::get<2>(cells)[row];
        text_bytes -= text.size();
        return Value::str(std::move(text));
    }
    return get(row);
}

void Column::keep_rows(std::span<const uint32_t> rows) {
    // Kept cells move down in place (rows ascend, so no cell is read after
    // it was written over), then the column is cut to length; one that kept
    // far more room than it now needs gets a block of its own size.
    auto close_up = [&](auto& v) {
        for (size_t k = 0; k < rows.size(); ++k)
            if (rows[k] != k) v[k] = std::move(v[rows[k]]);
        v.resize(rows.size());
        if (v.capacity() > 2 * rows.size() + 1024) v.shrink_to_fit();
    };
    std::visit(
        [&](auto& v) {
            using Cells = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<Cells, CellVector<int64_t>> || std::is_same_v<Cells, CellVector<double>>) {
                v.keep_rows(rows);
            } else {
                close_up(v);
            }
        },
        cells);
    if (validity) close_up(*validity);
    if (const auto* texts = std::get_if<2>(&cells)) {
        text_bytes = 0;
        for (const std::string& t : *texts) text_bytes += t.size();
    }
}

FactStore::FactStore(std::vector<TypeSchema> schemas) : schemas_(std::move(schemas)) {
    data_.reserve(schemas_.size());
    for (const TypeSchema& s : schemas_) {
        if (Status ok = check_schema(s); !ok) invariant_broken(ok.error());
        data_.push_back(empty_data(s));
    }
}

FactStore::FactStore(FactStore&& o) noexcept { *this = std::move(o); }

FactStore::FactStore(const FactStore& o)
    : reclaim_slack(o.reclaim_slack),
      expired(o.expired),
      event_ts(o.event_ts),
      entry_points(o.entry_points),
#ifdef QUARN_VERIFY_ENGINE
      died_at_(o.died_at_),
      reclaims_(o.reclaims_),
#endif
      schemas_(o.schemas_),
      data_(o.data_),
      places_(o.places_),
      removal_log_(o.removal_log_),
      rows_(o.rows_),
      dead_rows_(o.dead_rows_),
      dead_rows_kept_(o.dead_rows_kept_),
      dead_facts_(o.dead_facts_) {
}

FactStore& FactStore::operator=(const FactStore& o) {
    if (this != &o) *this = FactStore(o);
    return *this;
}

FactStore& FactStore::operator=(FactStore&& o) noexcept {
    if (this == &o) return *this;
    leave_history();
    schemas_ = std::move(o.schemas_);
    data_ = std::move(o.data_);
    places_ = std::move(o.places_);
    removal_log_ = std::move(o.removal_log_);
    expired = std::move(o.expired);
    event_ts = std::move(o.event_ts);
    entry_points = std::move(o.entry_points);
    rows_ = std::exchange(o.rows_, 0);
    dead_rows_ = std::exchange(o.dead_rows_, 0);
    dead_rows_kept_ = std::exchange(o.dead_rows_kept_, 0);
    dead_facts_ = std::move(o.dead_facts_);
    o.dead_facts_.clear();
    reclaim_slack = o.reclaim_slack;
    history_ = std::move(o.history_);
    logged_below_ = std::exchange(o.logged_below_, 0);
    if (history_) history_->follow(this);
#ifdef QUARN_VERIFY_ENGINE
    died_at_ = std::move(o.died_at_);
    reclaims_ = o.reclaims_;
#endif
    return *this;
}

FactStore::~FactStore() { leave_history(); }

void FactStore::leave_history() {
    if (!history_) return;
    // Snapshots that may still read the facts get them whole, as they are;
    // none of the changes after this point concerns them.
    if (history_->prune()) {
        auto frozen = std::make_unique<FactStore>();
        frozen->schemas_ = schemas_;
        frozen->data_ = std::move(data_);
        frozen->places_ = std::move(places_);
        frozen->entry_points = std::move(entry_points);
        frozen->rows_ = rows_;
        frozen->dead_rows_ = dead_rows_;
        history_->freeze(std::move(frozen));
    } else {
        history_->freeze(nullptr);
    }
    history_.reset();
    logged_below_ = 0;
}

FactSnapshot FactStore::snapshot() {
    if (!history_) history_ = std::make_shared<FactHistory>(this);
    const auto count = static_cast<FactId>(places_.size());
    std::shared_ptr<const FactHistory::Mark> mark = history_->add_mark(count);
    logged_below_ = count;
    return FactSnapshot(history_, std::move(mark));
}

bool FactStore::logging(FactId f) {
    if (f >= logged_below_) return false;
    if (history_->prune_due() && !history_->prune()) {
        logged_below_ = 0;
        return false;
    }
    return true;
}

void FactStore::log_overwrite(FactId f, FactPlaces::Place r, size_t field) {
    if (!logging(f) || !history_->first_overwrite(f, static_cast<uint32_t>(field))) return;
    history_->note_overwrite(f, r.type, static_cast<uint32_t>(field), data_[r.type].columns[field].get(r.row));
}

Status FactStore::check_schema(const TypeSchema& schema) {
    if (schema.fields.size() > TypeSchema::max_fields) return err(fmt("type {}: more than 64 fields", schema.name));
    return {};
}

void FactStore::unknown_handle(FactId f) { invariant_broken(fmt("unknown handle {}", f)); }

const Column& FactStore::column(FactPlaces::Place r, size_t field) const {
    const TypeData& d = data_[r.type];
    if (field >= d.columns.size())
        invariant_broken(fmt("type {} has no field {}", schemas_[r.type].name, field));
    return d.columns[field];
}

void FactStore::reset() {
    leave_history();
    removal_log_.reset();
    expired.clear();
    event_ts.clear();
    entry_points.clear();
    places_.clear();
    rows_ = dead_rows_ = dead_rows_kept_ = 0;
    dead_facts_.clear();
    data_.resize(schemas_.size());
    for (size_t t = 0; t < schemas_.size(); ++t) data_[t] = empty_data(schemas_[t]);
#ifdef QUARN_VERIFY_ENGINE
    died_at_.clear();
#endif
}

Result<TypeId, std::string> FactStore::add_schema(TypeSchema schema) {
    QUARN_CHECK(check_schema(schema));
    if (schemas_.size() >= (size_t{1} << 31)) invariant_broken("a store with 2^31 fact types");
    data_.push_back(empty_data(schema));
    schemas_.push_back(std::move(schema));
    return static_cast<TypeId>(schemas_.size() - 1);
}

void FactStore::truncate_schemas(size_t count) {
    if (count > schemas_.size()) invariant_broken("truncating schemas that do not exist");
    for (size_t t = count; t < schemas_.size(); ++t)
        if (data_[t].rows != 0) invariant_broken("dropping the schema of stored facts");
    schemas_.resize(count);
    data_.resize(count);
}

std::optional<TypeId> FactStore::type_id(std::string_view name) const {
    for (size_t t = 0; t < schemas_.size(); ++t)
        if (schemas_[t].name == name) return static_cast<TypeId>(t);
    return std::nullopt;
}

std::optional<size_t> FactStore::field_index(TypeId t, std::string_view field) const {
    const auto& fields = schemas_[t].fields;
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].first == field) return i;
    return std::nullopt;
}

Result<FactId, std::string> FactStore::insert(TypeId t, std::vector<Value> values) {
    return insert_taking(t, values);
}

Result<FactId, std::string> FactStore::insert_taking(TypeId t, std::span<Value> values) {
    const TypeSchema& s = schemas_[t];
    TypeData& d = data_[t];
    if (values.size() != s.fields.size())
        return err(fmt("type {} expects {} fields, got {}", s.name, s.fields.size(), values.size()));
    for (size_t i = 0; i < values.size(); ++i)
        if (!fits(d.columns[i], values[i])) return err(refusal(d.columns[i], values[i]));
    if (places_.size() >= UINT32_MAX || d.rows == UINT32_MAX)
        return err(fmt("type {} cannot hold more facts", s.name));
    for (size_t i = 0; i < values.size(); ++i) {
        Column& c = d.columns[i];
        // An integer into a column without nulls, the usual cell, goes straight in.
        if (auto* ints = std::get_if<0>(&c.cells); ints != nullptr && !c.validity && values[i].tag() == ValueTag::I64)
            ints->push_back(values[i].as_i64());
        else
            c.push(values[i]);
    }
    return add_row(t, d);
}

Result<FactId, std::string> FactStore::insert_i64s(TypeId t, std::span<const int64_t> cells) {
    const TypeSchema& s = schemas_[t];
    TypeData& d = data_[t];
    if (cells.size() != s.fields.size())
        return err(fmt("type {} expects {} fields, got {}", s.name, s.fields.size(), cells.size()));
    for (size_t i = 0; i < cells.size(); ++i)
        if (d.columns[i].cells.index() != 0) return err(refusal(d.columns[i], Value::i64(cells[i])));
    if (places_.size() >= UINT32_MAX || d.rows == UINT32_MAX)
        return err(fmt("type {} cannot hold more facts", s.name));
    for (size_t i = 0; i < cells.size(); ++i) {
        Column& c = d.columns[i];
        std::get<0>(c.cells).push_back(cells[i]);
        if (c.validity) c.validity->push_back(1);
    }
    return add_row(t, d);
}

FactId FactStore::add_row(TypeId t, TypeData& d) {
    const uint32_t row = d.rows++;
    ++rows_;
    const FactId id = static_cast<FactId>(places_.size());
    places_.push(t, row);
    d.listed.push_back(id);
    return id;
}

Result<FactId, std::string> FactStore::append_columns(TypeId t, std::vector<Column> columns, size_t rows) {
    const TypeSchema& s = schemas_[t];
    TypeData& d = data_[t];
    if (columns.size() != s.fields.size())
        return err(fmt("type {} expects {} fields, got {}", s.name, s.fields.size(), columns.size()));
    for (size_t i = 0; i < columns.size(); ++i) {
        const Column& c = columns[i];
        size_t cells = std::visit([](const auto& v) { return v.size(); }, c.cells);
        if (c.cells.index() != d.columns[i].cells.index() || c.validity.has_value() != d.columns[i].validity.has_value() ||
            cells != rows || (c.validity && c.validity->size() != rows))
            return err(fmt("type {}: column {} does not fit field {}", s.name, i, s.fields[i].first));
    }
    if (rows > UINT32_MAX - places_.size() || rows > UINT32_MAX - d.rows)
        return err(fmt("type {} cannot hold more facts", s.name));
    if (rows == 0) return static_cast<FactId>(places_.size());

    auto append = [](auto& to, auto& from) {
        if (to.empty()) {
            to = std::move(from);
        } else if constexpr (requires { to.append(from.data(), from.size()); }) {
            to.append(from.data(), from.size());
        } else {
            to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
        }
    };
    for (size_t i = 0; i < columns.size(); ++i) {
        Column& to = d.columns[i];
        if (const auto* texts = std::get_if<2>(&columns[i].cells))
            for (const std::string& text : *texts) to.text_bytes += text.size();
        std::visit(
            [&](auto& from) {
                using Cells = std::decay_t<decltype(from)>;
                append(std::get<Cells>(to.cells), from);
            },
            columns[i].cells);
        if (to.validity) append(*to.validity, *columns[i].validity);
    }
    const FactId first = static_cast<FactId>(places_.size());
    const uint32_t first_row = d.rows;
    d.rows += static_cast<uint32_t>(rows);
    rows_ += rows;
    places_.append(t, first_row, rows);
    d.listed.push_run(first, rows);
    return first;
}

void FactStore::reserve(TypeId t, size_t more) {
    auto room = [more](auto& v) { grow_for(v, more); };
    places_.reserve(more);
    for (Column& c : data_[t].columns) {
        std::visit(room, c.cells);
        if (c.validity) room(*c.validity);
    }
}

Status FactStore::set_value(FactId f, size_t field, Value v) {
    if (!knows(f)) return err(fmt("unknown handle {}", f));
    const FactPlaces::Place r = places_.at(f);
    if (field >= data_[r.type].columns.size()) return err(fmt("type {} has no field {}", schemas_[r.type].name, field));
    Column& c = data_[r.type].columns[field];
    if (!fits(c, v)) return err(refusal(c, v));
    if (f < logged_below_) log_overwrite(f, r, field);
    write_cell(c, r.row, std::move(v));
    return {};
}

Status FactStore::check_value(TypeId t, size_t field, const Value& v) const {
    const TypeData& d = data_[t];
    if (field >= d.columns.size()) return err(fmt("type {} has no field {}", schemas_[t].name, field));
    if (!fits(d.columns[field], v)) return err(refusal(d.columns[field], v));
    return {};
}

void FactStore::remove(FactId f) {
    if (!knows(f)) return;
    expired.erase(f);
    if (!places_.alive(f)) return;
    const FactPlaces::Place r = places_.at(f);
    TypeData& d = data_[r.type];
    if (logging(f)) {
        // A snapshot that sees the fact reads its cells from the log once the
        // row is given back.
        history_->note_removal(f, r.type, entry_point(f), d.columns.size(),
                               [&](size_t i) { return d.columns[i].get(r.row); });
    }
    places_.kill(f);
    ++d.dead_rows;
    ++dead_rows_;
    dead_facts_.push_back(f);
#ifdef QUARN_VERIFY_ENGINE
    if (died_at_.size() <= f) died_at_.resize(size_t{f} + 1, 0);
    died_at_[f] = reclaims_ + 1;
#endif
    if (removal_log_) removal_log_->push_back(f);
    // Deleted facts leave their type's list in batches, so that a delete costs
    // O(1) amortised and the list stays proportional to the live facts.
    if (++d.dead_listed > d.listed.size() / 2 + 16) {
        d.listed.keep_if([&](FactId g) { return places_.alive(g); });
        d.dead_listed = 0;
    }
}

size_t FactStore::reclaim_dead_rows(std::span<const FactId> keep, std::vector<FactId>* reclaimed) {
    for (FactId f : keep)
        if (!knows(f) || places_.alive(f)) invariant_broken(fmt("fact {} kept as dead is not", f));
    const size_t given_back = dead_rows_ - keep.size();
    const size_t kept_before = std::exchange(dead_rows_kept_, keep.size());
    if (given_back == 0) {
        dead_facts_.assign(keep.begin(), keep.end());
        return 0;
    }
    if (reclaimed != nullptr) {
        // The facts the last reclaim kept lead, ascending: a merge finds
        // those kept again; the ones that died since are looked up.
        auto k = keep.begin();
        for (size_t i = 0; i < dead_facts_.size(); ++i) {
            const FactId f = dead_facts_[i];
            if (i < kept_before) {
                while (k != keep.end() && *k < f) ++k;
                if (k == keep.end() || *k != f) reclaimed->push_back(f);
            } else if (!std::binary_search(keep.begin(), keep.end(), f)) {
                reclaimed->push_back(f);
            }
        }
    }
    dead_facts_.assign(keep.begin(), keep.end());
    // A type whose dead rows are all kept gives nothing back: its rows stay
    // as they are rather than being copied in place (a loop of deletes keeps
    // the rows of its pending deletes at every reclaim).
    std::vector<uint32_t> kept_of_type(data_.size(), 0);
    for (FactId f : keep) ++kept_of_type[places_.at(f).type];
    for (TypeId t = 0; t < data_.size(); ++t)
        if (data_[t].dead_rows > kept_of_type[t]) close_up_rows(t, keep);
    places_.drop_dead_pages(keep);
    if (!event_ts.empty()) {
        HashMap<FactId, int64_t> kept;
        for (const auto& [f, ts] : event_ts)
            if (places_.alive(f) || std::binary_search(keep.begin(), keep.end(), f)) kept.emplace(f, ts);
        event_ts = std::move(kept);
    }
    dead_rows_ = dead_rows_kept_ = keep.size();
    rows_ -= given_back;
#ifdef QUARN_VERIFY_ENGINE
    ++reclaims_;
    for (FactId f : keep) died_at_[f] = reclaims_ + 1;
#endif
    return given_back;
}

void FactStore::close_up_rows(TypeId t, std::span<const FactId> keep) {
    TypeData& d = data_[t];
    // The type's list holds every live fact, ascending; merged with the kept
    // dead facts of the type, ascending too, that is their rows' order. Every
    // old row is read before the first move: a run page's move shifts the
    // rows of all its facts at once.
    std::vector<FactId> facts;
    facts.reserve(d.rows - d.dead_rows);
    for (FactId f : d.listed)
        if (places_.alive(f)) facts.push_back(f);
    const size_t live = facts.size();
    for (FactId f : keep)
        if (places_.at(f).type == t) facts.push_back(f);
    std::inplace_merge(facts.begin(), facts.begin() + static_cast<ptrdiff_t>(live), facts.end());
    std::vector<uint32_t> kept;
    kept.reserve(facts.size());
    FactList listed;
    for (FactId f : facts) {
        kept.push_back(places_.at(f).row);
        listed.push_back(f);
    }
    places_.begin_moves();
    uint32_t row = 0;
    for (FactId f : facts) places_.move(f, row++);
    for (Column& c : d.columns) c.keep_rows(kept);
    d.listed = std::move(listed);
    d.dead_listed = facts.size() - live;
    d.rows = static_cast<uint32_t>(kept.size());
    d.dead_rows = static_cast<uint32_t>(facts.size() - live);
}

#ifdef QUARN_VERIFY_ENGINE
void FactStore::check_not_reclaimed(FactId f) const {
    if (f < died_at_.size() && died_at_[f] != 0 && died_at_[f] <= reclaims_)
        invariant_broken(fmt("fact {} read after its row was reclaimed", f));
}
#endif

void FactStore::start_removal_log() { removal_log_.emplace(); }

std::vector<FactId> FactStore::take_removal_log() {
    std::vector<FactId> out = removal_log_ ? std::move(*removal_log_) : std::vector<FactId>();
    removal_log_.reset();
    return out;
}

Value FactStore::get(FactId f, size_t field) const {
    const FactPlaces::Place r = rec(f);
    return column(r, field).get(r.row);
}

std::optional<std::string_view> FactStore::text(FactId f, size_t field) const {
    const FactPlaces::Place r = rec(f);
    return column(r, field).text(r.row);
}

Value FactStore::temporal_ts(FactId f, size_t ts_field) const {
    if (auto it = event_ts.find(f); it != event_ts.end()) return Value::i64(it->second);
    return get(f, ts_field);
}

FactView FactStore::render(FactId f) const {
    const FactPlaces::Place r = rec(f);
    const TypeSchema& s = schemas_[r.type];
    const std::vector<Column>& columns = data_[r.type].columns;
    FactView v{s.name, {}, std::nullopt, f};
    v.fields.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const Column& c = columns[i];
        const std::string& name = s.fields[i].first;
        // The common cells are read straight from their column.
        if (!c.validity) {
            if (const auto* ints = std::get_if<CellVector<int64_t>>(&c.cells)) {
                v.fields.emplace_back(name, Value::i64((*ints)[r.row]));
                continue;
            }
            if (const auto* floats = std::get_if<CellVector<double>>(&c.cells)) {
                v.fields.emplace_back(name, Value::f64((*floats)[r.row]));
                continue;
            }
        }
        v.fields.emplace_back(name, c.get(r.row));
    }
    return v;
}

}  // namespace quarn
