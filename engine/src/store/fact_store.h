// The column-wise store of every fact of an engine.
//
// A fact is one row of its type's columns, named by a FactId handed out in
// insertion order. Facts are never moved: a deleted fact only loses its alive
// flag, and its row and FactId stay readable until reset().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "store/hash.h"
#include "store/result.h"
#include "store/value.h"

namespace quarn {

using TypeId = uint32_t;
using FactId = uint32_t;

struct TypeSchema {
    std::string name;
    std::vector<std::pair<std::string, FieldType>> fields;  // declaration order
    uint64_t nullable = 0;                                  // bit i (mod 64): field i may be null

    bool is_nullable(size_t field) const { return (nullable >> (field % 64)) & 1; }
};

// One field of one type. A Dec cell keeps its own scale.
struct Column {
    using Cells = std::variant<std::vector<int64_t>, std::vector<double>, std::vector<std::string>,
                               std::vector<uint8_t>, std::vector<DecParts>>;
    Cells cells;
    // Present exactly when the field is nullable; 0 = null, 1 = a value.
    std::optional<std::vector<uint8_t>> validity;

    Value get(uint32_t row) const;
};

struct TypeData {
    std::vector<Column> columns;  // field order; each holds exactly `rows` cells
    uint32_t rows = 0;
};

struct FactRec {
    TypeId type;
    uint32_t row;
    bool alive;
};

// The read view of one fact.
struct FactView {
    std::string type_name;
    std::vector<std::pair<std::string, Value>> fields;  // schema order
    // Members of a collection fact; absent in views made by the store.
    std::optional<std::vector<std::optional<FactView>>> members;
    FactId id = 0;
};

class FactStore {
public:
    explicit FactStore(std::vector<TypeSchema> schemas = {});

    // Empties the facts; schemas and TypeIds stay, FactIds restart at 0.
    void reset();
    TypeId add_schema(TypeSchema schema);

    size_t type_count() const { return schemas_.size(); }
    std::optional<TypeId> type_id(std::string_view name) const;
    const TypeSchema& schema(TypeId t) const { return schemas_[t]; }
    std::optional<size_t> field_index(TypeId t, std::string_view field) const;
    const FieldType& field_type(TypeId t, size_t field) const { return schemas_[t].fields[field].second; }

    // Values must match the columns' kinds exactly (conversion is coerce's job).
    // On failure nothing is stored and no FactId is consumed.
    Result<FactId, std::string> insert(TypeId t, std::vector<Value> values);
    Status set_value(FactId f, size_t field, Value v);

    size_t fact_count() const { return facts_.size(); }
    TypeId fact_type(FactId f) const { return facts_[f].type; }
    bool is_alive(FactId f) const { return facts_[f].alive; }
    void remove(FactId f);  // the spec's FactStore::delete; callers test is_alive first

    // Reads work on dead facts too.
    Value get(FactId f, size_t field) const;
    // The timestamp recorded at insertion, else the field's current value.
    Value temporal_ts(FactId f, size_t ts_field) const;
    FactView render(FactId f) const;

    const TypeData& data(TypeId t) const { return data_[t]; }

    // Events past their expiry that the engine has not retracted yet.
    HashSet<FactId> expired;
    // Timestamps of event facts as inserted, kept when the field changes later.
    HashMap<FactId, int64_t> event_ts;

private:
    std::vector<TypeSchema> schemas_;
    std::vector<TypeData> data_;  // same index as schemas_
    std::vector<FactRec> facts_;  // indexed by FactId
};

}  // namespace quarn
