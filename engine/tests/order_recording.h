// Recorded orders for randomized tests whose exact output order is part of
// what they check. A test writes one transcript per seed (every output list
// in the order it came out, every memory in its order) and compares its hash
// with the recording kept under engine/tests/data/orders/<name>.txt, one line
// "seed <n> <hash>" per seed. A change that keeps every answer but moves one
// entry changes the hash.
//
// Re-recording, only after an intended change of order:
//   QUARN_UPDATE_CASES=1 build/<test>     (rewrites the files it reads)
// then review the diff and say in the commit why the order moved. To find
// where two builds part, run the test on both with QUARN_ORDER_DUMP=<dir>:
// each transcript is written whole to <dir>/<name>.<seed>.txt, ready to diff.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace quarn::testing {

// FNV-1a, 64 bits: the same on every platform and build.
inline uint64_t transcript_hash(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

class OrderRecording {
public:
    explicit OrderRecording(std::string name)
        : name_(std::move(name)),
          path_(std::filesystem::path(__FILE__).parent_path() / "data" / "orders" / (name_ + ".txt")),
          updating_(std::getenv("QUARN_UPDATE_CASES") != nullptr) {
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string kw, hash;
            uint32_t seed = 0;
            if (words >> kw >> seed >> hash && kw == "seed") recorded_[seed] = hash;
        }
    }
    OrderRecording(const OrderRecording&) = delete;
    ~OrderRecording() {
        // A failed run records nothing: its transcripts may be cut short.
        if (!updating_ || seen_.empty() || ::testing::Test::HasFailure()) return;
        std::ofstream out(path_);
        out << "# " << name_ << ": transcript hash per seed; see engine/tests/order_recording.h\n";
        for (const auto& [seed, hash] : seen_) out << "seed " << seed << " " << hash << "\n";
    }

    // Compares (or, when updating, records) one seed's transcript.
    void check(uint32_t seed, const std::string& transcript) {
        const std::string hash = hex(transcript_hash(transcript));
        seen_[seed] = hash;
        if (const char* dir = std::getenv("QUARN_ORDER_DUMP")) {
            std::ofstream(std::filesystem::path(dir) / (name_ + "." + std::to_string(seed) + ".txt")) << transcript;
        }
        if (updating_) return;
        auto it = recorded_.find(seed);
        if (it == recorded_.end()) {
            ADD_FAILURE() << name_ << " seed " << seed << ": no recording in " << path_.string()
                          << " (record with QUARN_UPDATE_CASES=1)";
            return;
        }
        EXPECT_EQ(hash, it->second) << name_ << " seed " << seed
                                    << ": the output order differs from the recording (QUARN_ORDER_DUMP=<dir> writes "
                                       "the transcript for a diff against another build)";
    }

private:
    static std::string hex(uint64_t h) {
        char buf[17];
        std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
        return buf;
    }

    std::string name_;
    std::filesystem::path path_;
    bool updating_;
    std::map<uint32_t, std::string> recorded_;
    std::map<uint32_t, std::string> seen_;
};

}  // namespace quarn::testing
