// The child side of a node evaluation: changes that meet the child's pending batch.
#include "network/staged.h"

namespace quarn {

void Out::child_del(TupleId tuple, Stamp stamp) {
    if (into_pending_) {
        trg.add_del(tuple, stamp);
        return;
    }
    if (pending.remove_ins(tuple)) {
        trg.cancelled.push_back({tuple, stamp, StagedFlag::Insert});
        return;
    }
    pending.remove_upd(tuple);
    trg.add_del(tuple, stamp);
}

void Out::child_upd(TupleId tuple, Stamp stamp, StagedFlag flag) {
    if (into_pending_) {
        trg.add_upd_ph(tuple, stamp, flag);
        return;
    }
    if (pending.remove_ins(tuple)) {
        trg.reinserted.push_back(tuple);
        trg.add_ins_ph(tuple, stamp, flag);
        return;
    }
    pending.remove_upd(tuple);
    trg.add_upd_ph(tuple, stamp, flag);
}

}  // namespace quarn
