// Whole-text matching by simulating the automaton over sets of positions.
//
// Every thread of the automaton advances in lock step over the text, so the cost
// is (text length) x (program size) whatever the pattern, and nothing recurses
// per character. The answer is the one a depth-first backtracking matcher gives:
// both accept exactly the texts in the pattern's language, because a repetition
// that consumes nothing adds no new text to that language.
#include <cstdint>

#include "rx/rx.h"
#include "common/utf8.h"

namespace quarn {

namespace {

using Inst = Regex::Inst;

bool class_admits(const Regex::CharClass& cls, char32_t c) {
    bool in = false;
    for (const auto& [lo, hi] : cls.ranges) {
        if (lo <= c && c <= hi) {
            in = true;
            break;
        }
    }
    return in != cls.negated;
}

// The set of instructions reachable at one text position; only consuming
// instructions and Match are kept, since Split and Jump are followed on entry.
class ThreadSet {
public:
    explicit ThreadSet(size_t prog_size) : mark_(prog_size, 0) { list_.reserve(prog_size); }

    void clear() {
        list_.clear();
        ++stamp_;
    }
    const std::vector<uint32_t>& list() const { return list_; }

    // Adds `pc` and everything its Split / Jump chain reaches, without recursion.
    void add_closure(const std::vector<Inst>& prog, uint32_t pc, std::vector<uint32_t>& stack) {
        stack.clear();
        stack.push_back(pc);
        while (!stack.empty()) {
            uint32_t at = stack.back();
            stack.pop_back();
            if (mark_[at] == stamp_) continue;
            mark_[at] = stamp_;
            const Inst& inst = prog[at];
            if (inst.op == Inst::Op::Jump) {
                stack.push_back(inst.x);
            } else if (inst.op == Inst::Op::Split) {
                stack.push_back(inst.y);
                stack.push_back(inst.x);
            } else {
                list_.push_back(at);
            }
        }
    }

private:
    std::vector<uint64_t> mark_;  // mark_[pc] == stamp_: pc is in the set
    uint64_t stamp_ = 1;
    std::vector<uint32_t> list_;
};

}  // namespace

bool Regex::accepts(std::string_view text) const {
    ThreadSet now(prog_.size());
    ThreadSet next(prog_.size());
    std::vector<uint32_t> stack;
    now.add_closure(prog_, 0, stack);
    for (size_t i = 0; i < text.size();) {
        if (now.list().empty()) return false;
        Decoded d = decode_utf8(text, i);
        char32_t c = d.ok ? d.cp : U'\uFFFD';
        i += d.len;
        next.clear();
        for (uint32_t pc : now.list()) {
            const Inst& inst = prog_[pc];
            bool step = (inst.op == Inst::Op::Char && inst.ch == c) || inst.op == Inst::Op::Any ||
                        (inst.op == Inst::Op::Class && class_admits(classes_[inst.x], c));
            if (step) next.add_closure(prog_, pc + 1, stack);
        }
        std::swap(now, next);
    }
    for (uint32_t pc : now.list()) {
        if (prog_[pc].op == Inst::Op::Match) return true;
    }
    return false;
}

}  // namespace quarn
