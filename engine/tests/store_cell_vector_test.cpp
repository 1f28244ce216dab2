#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "store/cell_vector.h"
#include "store/fact_store.h"

using namespace quarn;

namespace {

// What a holder of share() took: the cells it must go on reading.
struct Held {
    std::shared_ptr<const void> keeper;
    const int64_t* at;
    std::vector<int64_t> expected;
};

}  // namespace

// Random pushes, appends, sets and reserves on two vectors (the second a copy
// of the first taken halfway), with shares taken and dropped along the way:
// each vector always equals its reference, and every held share still reads
// the cells it was taken with.
TEST(CellVector, SharesAndCopiesKeepTheirCellsWhateverTheVectorDoesLater) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 40; ++round) {
        std::vector<CellVector<int64_t>> cells(1);
        std::vector<std::vector<int64_t>> model(1);
        std::vector<Held> held;
        for (int step = 0; step < 400; ++step) {
            if (step == 200) {
                cells.push_back(cells[0]);
                model.push_back(model[0]);
            }
            const size_t k = rng() % cells.size();
            CellVector<int64_t>& c = cells[k];
            std::vector<int64_t>& m = model[k];
            const int64_t v = static_cast<int64_t>(rng() % 1000);
            switch (rng() % 8) {
                case 0:
                case 1:
                case 2: c.push_back(v), m.push_back(v); break;
                case 3: {
                    std::vector<int64_t> more(rng() % 40, v);
                    c.append(more.data(), more.size());
                    m.insert(m.end(), more.begin(), more.end());
                    break;
                }
                case 4:
                    if (!m.empty()) {
                        const size_t i = rng() % m.size();
                        c.set(i, v), m[i] = v;
                    }
                    break;
                case 5: c.reserve(c.size() + rng() % 64); break;
                case 6:
                    if (auto keeper = c.share()) held.push_back({std::move(keeper), c.data(), m});
                    break;
                default:
                    if (!held.empty()) held.erase(held.begin() + static_cast<long>(rng() % held.size()));
                    break;
            }
            ASSERT_EQ(std::vector<int64_t>(c.begin(), c.end()), m) << "round " << round << " step " << step;
            for (const Held& h : held)
                ASSERT_TRUE(std::equal(h.expected.begin(), h.expected.end(), h.at)) << "round " << round << " step " << step;
        }
    }
}

// A table read from the store's columns keeps what it read through a later
// change of a cell, more facts, a reset and the store's end.
TEST(CellVector, ColumnSharedByTheStoreOutlivesItsChanges) {
    std::shared_ptr<const void> id_keeper, w_keeper;
    std::span<const int64_t> ids;
    std::span<const double> weights;
    {
        FactStore store({TypeSchema{"T", {{"id", FieldType::i64()}, {"w", FieldType::f64()}}, 0}});
        for (int64_t i = 0; i < 100; ++i) ASSERT_TRUE(store.insert(0, {Value::i64(i), Value::f64(i * 0.5)}));
        // A share let go before the next write leaves the cells in place.
        const double* before = store.column_view(0, 1).f64s().data();
        store.column_view(0, 1).share();
        ASSERT_TRUE(store.set_value(6, 1, Value::f64(-6.0)));
        EXPECT_EQ(store.column_view(0, 1).f64s().data(), before);

        id_keeper = store.column_view(0, 0).share();
        w_keeper = store.column_view(0, 1).share();
        ids = store.column_view(0, 0).i64s();
        weights = store.column_view(0, 1).f64s();
        ASSERT_TRUE(store.set_value(5, 0, Value::i64(-5)));
        ASSERT_TRUE(store.set_value(7, 1, Value::f64(-7.0)));
        ASSERT_TRUE(store.insert(0, {Value::i64(100), Value::f64(1.0)}));
        EXPECT_EQ(store.get(5, 0), Value::i64(-5));
        EXPECT_EQ(store.get(7, 1), Value::f64(-7.0));
        EXPECT_EQ(store.column_view(0, 0).i64s().size(), 101u);
        EXPECT_EQ((std::pair{ids[5], weights[7]}), (std::pair{int64_t{5}, 3.5}));
        store.reset();
    }
    ASSERT_EQ(ids.size(), 100u);
    for (int64_t i = 0; i < 100; ++i) EXPECT_EQ(ids[i], i);
    EXPECT_EQ((std::pair{weights[6], weights[99]}), (std::pair{-6.0, 49.5}));
}
