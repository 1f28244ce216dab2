// The Arrow C data and C stream interfaces: the three structures of the
// published ABI, and owners that call each release callback exactly once.
#pragma once

#include <cstdint>
#include <utility>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif
}

namespace quarn::arrow {

// Owns one released-or-live structure. A structure whose release pointer is
// null is released (the ABI's own marker); the owner releases a live one once
// and leaves it marked released, whatever the producer's callback does.
template <class S>
class Owned {
public:
    Owned() { raw_ = S{}; }
    // Moves the structure in; the source is marked released.
    explicit Owned(S* from) : raw_(*from) { from->release = nullptr; }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& o) noexcept : raw_(o.raw_) { o.raw_.release = nullptr; }
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            reset();
            raw_ = o.raw_;
            o.raw_.release = nullptr;
        }
        return *this;
    }
    ~Owned() { reset(); }

    void reset() {
        if (raw_.release) {
            auto release = raw_.release;
            release(&raw_);
            raw_.release = nullptr;
        }
    }
    bool live() const { return raw_.release != nullptr; }
    S* get() { return &raw_; }
    const S* get() const { return &raw_; }
    S* operator->() { return &raw_; }
    const S* operator->() const { return &raw_; }

private:
    S raw_;
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

}  // namespace quarn::arrow
