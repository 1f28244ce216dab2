// Column builders, and the export of a built batch as an Arrow C stream whose
// arrays share the batch's buffers.
#include "arrow_export.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace quarn::arrow {

Buffer::Buffer(Buffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), capacity_(std::exchange(o.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& o) noexcept {
    if (this != &o) {
        std::free(data_);
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
}

void Buffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return;
    size_t cap = capacity_ ? capacity_ : 64;
    while (cap < bytes) cap *= 2;
    // aligned_alloc wants a size that is a multiple of the alignment.
    cap = (cap + 63) & ~size_t(63);
    auto* p = static_cast<uint8_t*>(std::aligned_alloc(64, cap));
    if (!p) throw std::bad_alloc();
    if (size_) std::memcpy(p, data_, size_);
    std::free(data_);
    data_ = p;
    capacity_ = cap;
}

void Buffer::resize(size_t bytes) {
    if (bytes > size_) {
        reserve(bytes);
        std::memset(data_ + size_, 0, bytes - size_);
    }
    size_ = bytes;
}

ColumnBuilder::ColumnBuilder(std::string name, std::string format, bool nullable, size_t expected_rows)
    : c_(std::make_shared<ColumnData>()) {
    c_->name = std::move(name);
    c_->format = std::move(format);
    c_->nullable = nullable;
    size_t width = 0;
    if (c_->format == "l" || c_->format == "g") width = 8;
    else if (c_->format.starts_with("d:")) width = 16;
    else if (c_->format == "u") width = 4;
    if (width) c_->values.reserve(width * (expected_rows + (c_->format == "u" ? 1 : 0)));
    if (c_->format == "u") {
        c_->text.reserve(1024);
        c_->values.push<int32_t>(0);
    }
}

void ColumnBuilder::set_valid_bit() {
    int64_t i = c_->length;
    c_->validity.resize(size_t(i / 8 + 1));
    c_->validity.data()[i / 8] |= uint8_t(1u << (i % 8));
}

void ColumnBuilder::push_null() {
    if (!c_->has_validity) {
        // Every earlier row was valid.
        c_->has_validity = true;
        int64_t n = c_->length;
        c_->validity.resize(size_t(n / 8 + 1));
        std::memset(c_->validity.data(), 0, c_->validity.size());
        for (int64_t i = 0; i < n; ++i) c_->validity.data()[i / 8] |= uint8_t(1u << (i % 8));
    }
    int64_t i = c_->length;
    c_->validity.resize(size_t(i / 8 + 1));
    // A null's value slot holds zeros (or an empty text).
    if (c_->format == "u") {
        c_->values.push<int32_t>(static_cast<int32_t>(c_->text.size()));
    } else if (c_->format == "b") {
        c_->values.resize(size_t(i / 8 + 1));
    } else {
        size_t width = c_->format.starts_with("d:") ? 16 : 8;
        c_->values.resize(c_->values.size() + width);
    }
    ++c_->null_count;
    ++c_->length;
}

void ColumnBuilder::push_bool(bool v) {
    int64_t i = c_->length;
    c_->values.resize(size_t(i / 8 + 1));
    if (v) c_->values.data()[i / 8] |= uint8_t(1u << (i % 8));
    mark_valid();
}

void ColumnBuilder::push_dec(__int128 v) {
    c_->values.push(v);
    mark_valid();
}

std::shared_ptr<const ColumnData> ColumnBuilder::finish() {
    // Bit-packed buffers cover every row even when the last pushes were nulls.
    size_t bytes = size_t((c_->length + 7) / 8);
    if (c_->format == "b" && c_->values.size() < bytes) c_->values.resize(bytes);
    if (c_->has_validity && c_->validity.size() < bytes) c_->validity.resize(bytes);
    return std::move(c_);
}

std::shared_ptr<const ColumnData> shared_column(std::string name, std::string format, bool nullable, int64_t length,
                                                const void* values, std::shared_ptr<const void> keeper) {
    auto c = std::make_shared<ColumnData>();
    c->name = std::move(name);
    c->format = std::move(format);
    c->nullable = nullable;
    c->length = length;
    c->shared_values = values;
    c->keeper = std::move(keeper);
    return c;
}

namespace {

constexpr int64_t kFlagNullable = 2;

// --- Schemas: each node owns its texts and children.

struct SchemaPrivate {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* s) {
    if (!s->release) return;
    auto* p = static_cast<SchemaPrivate*>(s->private_data);
    for (ArrowSchema* child : p->children) {
        if (child->release) child->release(child);
        delete child;
    }
    delete p;
    s->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name, int64_t flags) {
    auto* p = new SchemaPrivate{std::move(format), std::move(name), {}};
    *out = ArrowSchema{p->format.c_str(), p->name.c_str(), nullptr, flags, 0, nullptr, nullptr, release_schema, p};
}

void export_schema(const Batch& batch, ArrowSchema* out) {
    fill_schema(out, "+s", "", 0);
    auto* p = static_cast<SchemaPrivate*>(out->private_data);
    p->children.reserve(batch.columns.size());
    for (const auto& c : batch.columns) {
        auto* child = new ArrowSchema;
        try {
            fill_schema(child, c->format, c->name, c->nullable ? kFlagNullable : 0);
        } catch (...) {
            delete child;
            throw;
        }
        p->children.push_back(child);
    }
    out->n_children = static_cast<int64_t>(p->children.size());
    out->children = p->children.data();
}

// --- Arrays: a child keeps its column alive, the parent its children.

struct ColumnArrayPrivate {
    std::shared_ptr<const ColumnData> column;
    const void* buffers[3];
};

void release_column_array(ArrowArray* a) {
    if (!a->release) return;
    delete static_cast<ColumnArrayPrivate*>(a->private_data);
    a->release = nullptr;
}

struct BatchArrayPrivate {
    std::vector<ArrowArray*> children;
    const void* buffers[1] = {nullptr};
};

void release_batch_array(ArrowArray* a) {
    if (!a->release) return;
    auto* p = static_cast<BatchArrayPrivate*>(a->private_data);
    // A consumer may have moved a child out; its own release then ran or will
    // run on the moved copy, and the slot here is marked released.
    for (ArrowArray* child : p->children) {
        if (child->release) child->release(child);
        delete child;
    }
    delete p;
    a->release = nullptr;
}

void export_column(const std::shared_ptr<const ColumnData>& c, ArrowArray* out) {
    auto* p = new ColumnArrayPrivate{c, {nullptr, nullptr, nullptr}};
    p->buffers[0] = c->has_validity ? c->validity.data() : nullptr;
    p->buffers[1] = c->values_data();
    int64_t n_buffers = 2;
    if (c->format == "u") {
        n_buffers = 3;
        // An empty text buffer still needs a non-null address.
        static const uint8_t empty = 0;
        p->buffers[2] = c->text.size() ? c->text.data() : &empty;
    }
    static const uint8_t zero[16] = {};
    if (!p->buffers[1]) p->buffers[1] = zero;
    *out = ArrowArray{c->length, c->null_count, 0, n_buffers, 0, p->buffers, nullptr, nullptr, release_column_array, p};
}

void export_batch(const Batch& batch, ArrowArray* out) {
    auto* p = new BatchArrayPrivate;
    try {
        p->children.reserve(batch.columns.size());
        for (const auto& c : batch.columns) {
            auto* child = new ArrowArray;
            child->release = nullptr;
            p->children.push_back(child);
            export_column(c, child);
        }
    } catch (...) {
        ArrowArray tmp{};
        tmp.private_data = p;
        tmp.release = release_batch_array;
        release_batch_array(&tmp);
        throw;
    }
    *out = ArrowArray{batch.rows, 0, 0, 1, static_cast<int64_t>(p->children.size()), p->buffers, p->children.data(),
                      nullptr, release_batch_array, p};
}

// --- The stream.

struct StreamPrivate {
    std::shared_ptr<const Batch> batch;
    bool done = false;
    std::string error;
};

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    try {
        export_schema(*p->batch, out);
        return 0;
    } catch (...) {
        p->error = "out of memory";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    if (p->done) {
        std::memset(out, 0, sizeof *out);
        out->release = nullptr;
        return 0;
    }
    try {
        export_batch(*p->batch, out);
        p->done = true;
        return 0;
    } catch (...) {
        p->error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_last_error(ArrowArrayStream* s) {
    auto* p = static_cast<StreamPrivate*>(s->private_data);
    return p->error.empty() ? nullptr : p->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (!s->release) return;
    delete static_cast<StreamPrivate*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_stream(std::shared_ptr<const Batch> batch, ArrowArrayStream* out) {
    auto* p = new StreamPrivate{std::move(batch), false, {}};
    *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_last_error, stream_release, p};
}

}  // namespace quarn::arrow
