#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/engine.h"

using namespace quarn;

namespace {

using Facts = std::vector<FactId>;
using E = StagedEntry<TupleId>;

// The tuples of this test, interned once for the whole program.
TupleTable& table() {
    static TupleTable tuples;
    return tuples;
}

TupleId tup(const Facts& facts) { return table().intern(facts); }

E ent(const Facts& t, Stamp stamp = std::nullopt, StagedFlag flag = StagedFlag::Insert) { return E{tup(t), stamp, flag}; }

// Lists are given front first (newest first).
EntryList<TupleId> list(const std::vector<E>& entries) {
    EntryList<TupleId> l;
    for (const E& e : entries) l.push_back(e);
    return l;
}

struct Batch {
    std::vector<E> ins{}, upd{}, del{}, cancelled{};
    Staged<TupleId> staged() const {
        Staged<TupleId> s;
        s.ins = list(ins);
        s.upd = list(upd);
        s.del = list(del);
        s.cancelled = list(cancelled);
        return s;
    }
};

std::string tuple_text(TupleId id) {
    TupleView t = table().view(id);
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) out += (i ? "." : "") + std::to_string(t[i]);
    return out;
}

// "1.2/s5/0": tuple, stamp (or -), flag.
std::string text(const EntryList<TupleId>& l) {
    std::string out;
    for (const E& e : l) {
        if (!out.empty()) out += " ";
        out += tuple_text(e.item) + "/" + (e.stamp ? "s" + std::to_string(*e.stamp) : "-") + "/" +
               std::to_string(static_cast<unsigned>(e.flag));
    }
    return out;
}

std::string text(const RuleNet& n) {
    std::vector<std::string> peers;
    for (TupleId t : n.peer_tuples) peers.push_back(tuple_text(t));
    std::sort(peers.begin(), peers.end());
    std::string p;
    for (const std::string& s : peers) p += (p.empty() ? "" : " ") + s;
    return "ins[" + text(n.term.ins) + "] upd[" + text(n.term.upd) + "] del[" + text(n.term.del) + "] peers[" + p +
           "]";
}

}  // namespace

TEST(PeerMerge, MergesIncomingDeltasIntoTheTerminal) {
    struct Case {
        const char* what;
        Batch term;                    // the terminal's pending input before
        std::vector<Facts> peers;      // tuples the terminal knows before
        std::vector<Batch> incoming;   // merged one after the other
        std::string expected;
    };
    const Case cases[] = {
        {"new inserts enter in list order, each at the front", {}, {},
         {{{ent({1, 2}, 7), ent({3, 4}, 8, StagedFlag::RightInsert)}}},
         "ins[3.4/s8/1 1.2/s7/0] upd[] del[] peers[1.2 3.4]"},
        {"an insert of a known tuple arrives as an update", {}, {{1, 2}},
         {{{ent({1, 2}, 5, StagedFlag::RightInsert)}}},
         "ins[] upd[1.2/s5/1] del[] peers[1.2]"},
        {"an insert then a delete of the same tuple leaves nothing", {}, {},
         {{{ent({1, 2}, 5)}}, {{}, {}, {ent({1, 2}, 6)}}},
         "ins[] upd[] del[] peers[]"},
        {"a cancellation withdraws like a delete", {}, {},
         {{{ent({1, 2}, 5)}}, {{}, {}, {}, {ent({1, 2}, 6)}}},
         "ins[] upd[] del[] peers[]"},
        {"an update of a tuple with a pending insert is ignored", {{ent({1, 2}, 3)}}, {{1, 2}},
         {{{}, {ent({1, 2}, 9, StagedFlag::Change)}}},
         "ins[1.2/s3/0] upd[] del[] peers[1.2]"},
        {"an update of a tuple with a pending delete is ignored", {{}, {}, {ent({1, 2}, 3)}}, {},
         {{{}, {ent({1, 2}, 9, StagedFlag::Change)}}},
         "ins[] upd[] del[1.2/s3/0] peers[]"},
        {"updates enter in list order", {}, {},
         {{{}, {ent({1}, 1, StagedFlag::Change), ent({2}, 2, StagedFlag::Change)}}},
         "ins[] upd[2/s2/2 1/s1/2] del[] peers[]"},
        {"a delete of an unknown tuple is still staged", {}, {},
         {{{}, {}, {ent({7, 8}, 4)}}},
         "ins[] upd[] del[7.8/s4/0] peers[]"},
        {"a delete drops a pending update and is not doubled", {{}, {ent({1, 2}, 1, StagedFlag::Change)}, {ent({5}, 2)}}, {{1, 2}, {5}},
         {{{}, {}, {ent({1, 2}, 3), ent({5}, 4)}}},
         "ins[] upd[] del[1.2/s3/0 5/s2/0] peers[]"},
        {"an insert beside a pending delete is staged as an insert", {{}, {}, {ent({1, 2}, 3)}}, {},
         {{{ent({1, 2}, 4)}}},
         "ins[1.2/s4/0] upd[] del[1.2/s3/0] peers[1.2]"},
        {"a pending insert moves to the front with its own stamp", {{ent({9}, 1), ent({1, 2}, 2, StagedFlag::RightInsert)}}, {{9}, {1, 2}},
         {{{ent({1, 2}, 7)}}},
         "ins[1.2/s2/1 9/s1/0] upd[] del[] peers[1.2 9]"},
        {"a pending update gives way to the incoming insert's entry", {{}, {ent({1, 2}, 2, StagedFlag::Change), ent({3}, 1, StagedFlag::Change)}}, {},
         {{{ent({1, 2}, 7, StagedFlag::RightInsert)}}},
         "ins[] upd[1.2/s7/1 3/s1/2] del[] peers[]"},
        {"deletes are merged before updates and inserts",
         {}, {{1}},
         {{{ent({1}, 3)}, {}, {ent({1}, 2)}}},
         "ins[1/s3/0] upd[] del[1/s2/0] peers[1]"},
    };
    for (const Case& c : cases) {
        RuleNet net;
        net.term = c.term.staged();
        for (const Facts& t : c.peers) net.peer_tuples.insert(tup(t));
        for (const Batch& b : c.incoming) {
            Staged<TupleId> in = b.staged();
            in.reinserted.push_back(tup({42}));
            in.placeholders.emplace_back(tup({43}), 0);
            net.peer_merge_term(in);
            EXPECT_EQ(in.ins.size(), b.ins.size()) << "the incoming batch is read, not consumed";
        }
        EXPECT_EQ(text(net), c.expected) << c.what;
        EXPECT_TRUE(net.term.reinserted.empty() && net.term.placeholders.empty()) << c.what;
    }
}

TEST(WindowClose, OnlyANonEmptyOpenWindowIsClosed) {
    struct Case {
        const char* what;
        std::function<void(Staged<FactId>&)> stage;
        size_t windows;
    };
    const Case cases[] = {
        {"empty", [](Staged<FactId>&) {}, 1},
        {"insert", [](Staged<FactId>& w) { w.add_ins_ph(1, std::nullopt, StagedFlag::Insert); }, 2},
        {"update", [](Staged<FactId>& w) { w.add_upd_ph(1, std::nullopt, StagedFlag::Change); }, 2},
        {"delete", [](Staged<FactId>& w) { w.add_del(1, std::nullopt); }, 2},
        {"cancelled", [](Staged<FactId>& w) { w.cancelled.push_front({1, std::nullopt, StagedFlag::Insert}); }, 2},
        {"reinserted only", [](Staged<FactId>& w) { w.reinserted.push_back(1); }, 1},
        {"placeholders only", [](Staged<FactId>& w) { w.placeholders.emplace_back(1, 0); }, 1},
    };
    for (const Case& c : cases) {
        RuleNet net;
        c.stage(net.s0_windows.back());
        net.s0_close_window();
        net.s0_close_window();  // nothing changed in between: no second window
        EXPECT_EQ(net.s0_windows.size(), c.windows) << c.what;
        EXPECT_TRUE(net.s0_windows.back().empty() || c.windows == 1) << c.what;
        EXPECT_FALSE(net.s0_windows.back().placeholders_on) << c.what;
    }
    RuleNet broken;
    broken.s0_windows.clear();
    EXPECT_THROW(broken.s0_close_window(), InternalError);
}
