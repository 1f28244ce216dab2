// Staged insert, update and delete deltas: merge, cancel and fold.
#include "network/staged.h"

#include "common/internal_error.h"

namespace quarn {

template <class T>
std::optional<size_t> EntryList<T>::find(const T& item) const {
    if (!contains(item)) return std::nullopt;
    for (size_t i = 0; i < rev_.size(); ++i) {
        if ((*this)[i].item == item) return i;
    }
    invariant_broken("staged list counts an item it does not hold");
}

template <class T>
void EntryList<T>::count_out(const T& item) {
    auto it = counts_.find(item);
    if (it == counts_.end()) invariant_broken("staged list lost count of an item");
    if (--it->second == 0) counts_.erase(it);
}

template <class T>
void EntryList<T>::push_front(Entry e) {
    count_in(e.item);
    rev_.push_back(std::move(e));
}

template <class T>
void EntryList<T>::push_back(Entry e) {
    count_in(e.item);
    rev_.push_front(std::move(e));
}

template <class T>
void EntryList<T>::insert_at(size_t i, Entry e) {
    if (i > rev_.size()) invariant_broken("staged list insert beyond its end");
    count_in(e.item);
    rev_.insert(rev_.begin() + static_cast<std::ptrdiff_t>(rev_.size() - i), std::move(e));
}

template <class T>
typename EntryList<T>::Entry EntryList<T>::erase_at(size_t i) {
    if (i >= rev_.size()) invariant_broken("staged list erase beyond its end");
    auto it = rev_.begin() + static_cast<std::ptrdiff_t>(rev_.size() - 1 - i);
    Entry e = std::move(*it);
    rev_.erase(it);
    count_out(e.item);
    return e;
}

template <class T>
std::optional<typename EntryList<T>::Entry> EntryList<T>::remove_first(const T& item) {
    auto i = find(item);
    if (!i) return std::nullopt;
    return erase_at(*i);
}

template <class T>
void EntryList<T>::clear() {
    rev_.clear();
    counts_.clear();
}

template <class T>
void Staged<T>::add_ins_ph(T item, Stamp stamp, uint8_t flag) {
    if (upd.contains(item) || ins.contains(item)) return;
    if (placeholders_on) {
        for (size_t k = 0; k < placeholders.size(); ++k) {
            if (placeholders[k].first != item) continue;
            size_t at = placeholders[k].second;
            placeholders.erase(placeholders.begin() + static_cast<std::ptrdiff_t>(k));
            if (at > ins.size()) at = ins.size();
            ins.insert_at(at, {std::move(item), stamp, flag});
            return;
        }
    }
    ins.push_front({std::move(item), stamp, flag});
}

template <class T>
void Staged<T>::add_upd_ph(T item, Stamp stamp, uint8_t flag) {
    if (ins.contains(item) || upd.contains(item) || del.contains(item)) return;
    upd.push_front({std::move(item), stamp, flag});
}

template <class T>
void Staged<T>::add_del(T item, Stamp stamp) {
    if (auto i = ins.find(item)) {
        ins.erase_at(*i);
        if (placeholders_on) placeholders.emplace_back(std::move(item), *i);
        return;
    }
    upd.remove_first(item);
    if (del.contains(item)) return;
    del.push_front({std::move(item), stamp, 0});
}

template <class T>
bool Staged<T>::remove_ins(const T& item) {
    return ins.remove_first(item).has_value();
}

template <class T>
bool Staged<T>::remove_upd(const T& item) {
    return upd.remove_first(item).has_value();
}

template <class T>
Staged<T> Staged<T>::merge_into_pending(Staged pending, Staged incoming) {
    // Each pass walks incoming oldest first and puts survivors at the front, so
    // they end up ahead of pending's entries in their incoming order.
    for (const auto& e : incoming.del.oldest_first()) pending.add_del(e.item, e.stamp);
    for (const auto& e : incoming.upd.oldest_first()) {
        if (auto i = pending.ins.find(e.item)) {
            pending.ins.push_front(pending.ins.erase_at(*i));
            continue;
        }
        pending.upd.remove_first(e.item);
        if (pending.del.contains(e.item)) continue;
        pending.upd.push_front(e);
    }
    for (const auto& e : incoming.ins.oldest_first()) {
        if (pending.ins.contains(e.item)) continue;
        pending.ins.push_front(e);
    }
    return pending;
}

template <class T>
Staged<T> Staged<T>::append_into_pending(Staged pending, Staged incoming) {
    for (const auto& e : incoming.ins) pending.ins.push_back(e);
    for (const auto& e : incoming.del) pending.del.push_back(e);
    for (const auto& e : incoming.upd) pending.upd.push_back(e);
    for (auto& t : incoming.reinserted) pending.reinserted.push_back(std::move(t));
    return pending;
}

void Out::child_del(Tuple tuple, Stamp stamp) {
    if (pending.remove_ins(tuple)) {
        trg.cancelled.push_back({std::move(tuple), stamp, 0});
        return;
    }
    pending.remove_upd(tuple);
    trg.add_del(std::move(tuple), stamp);
}

void Out::child_upd(Tuple tuple, Stamp stamp, uint8_t flag) {
    if (pending.remove_ins(tuple)) {
        trg.reinserted.push_back(tuple);
        trg.add_ins_ph(std::move(tuple), stamp, flag);
        return;
    }
    pending.remove_upd(tuple);
    trg.add_upd_ph(std::move(tuple), stamp, flag);
}

template class EntryList<FactId>;
template class EntryList<Tuple>;
template struct Staged<FactId>;
template struct Staged<Tuple>;

}  // namespace quarn
