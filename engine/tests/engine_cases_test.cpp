// Replays the behaviour cases under engine/tests/data/ on the engine: one
// registered test per file (EngineCases.run_accumulate for run/accumulate.test),
// its failures naming the file, the case's line and title, and the hash key the
// process ran with. The format is engine_case_file.h's; new files in data/run/
// and data/compile/ are picked up when the tests are listed.
// With QUARN_UPDATE_CASES set, the files are rewritten with the actual outputs
// (review the diff before committing it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/hash.h"
#include "common/text.h"
#include "engine/engine.h"
#include "engine_case_file.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

const std::filesystem::path& data_dir() {
    static const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "data";
    return dir;
}

// "run/accumulate.test", ..., sorted.
std::vector<std::string> case_file_names() {
    std::vector<std::string> names;
    for (const char* folder : {"compile", "run"}) {
        if (!std::filesystem::is_directory(data_dir() / folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(data_dir() / folder))
            if (entry.path().extension() == ".test")
                names.push_back(std::string(folder) + "/" + entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// "run/accumulate.test" -> "run_accumulate"; gtest names take letters, digits and _.
std::string test_name_of(const std::string& file) {
    std::string name = file.substr(0, file.size() - std::string(".test").size());
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// --- Compile cases.

std::string compile_case(const CaseHeader& header, const Case& c) {
    EngineResult<Session> made = header.make_session();
    if (!made) return "create: " + made.error().message;
    Engine& e = engine_of(*made);
    Result<RuleFile, ParseError> parsed = parse_file(c.rules);
    if (!parsed) return "parse: " + parsed.error().msg;
    std::string out;
    if (!parsed->queries.empty()) {
        const std::vector<std::string> reserved = {"InitialFact", "Long",          "Double",
                                                   "Collection",  "SetCollection", "Decimal"};
        auto queries = compile_queries(e.store, parsed->queries, reserved);
        if (!queries) return "queries: " + queries.error();
        e.queries = std::move(queries).value();
        auto rows = declare_row_types(e.store, e.queries);
        if (!rows) return "row types: " + rows.error();
        e.qrow_types = std::move(rows).value();
    }
    for (const RuleDef& def : parsed->rules) {
        Result<CompiledRule, std::string> r = e.compile_rule(def);
        out += r ? dump_compiled_rule(*r, e.store) : "error: " + r.error() + "\n";
    }
    std::vector<std::string> tail;
    for (const auto& [t, ms] : e.event_retention_ms) tail.push_back(fmt("retention {} {}", e.store.schema(t).name, ms));
    for (TypeId t : e.unbounded_event_types) tail.push_back(fmt("unbounded {}", e.store.schema(t).name));
    std::sort(tail.begin(), tail.end());
    for (const std::string& l : tail) out += l + "\n";
    return trim_end(out);
}

// --- Run cases.

// Words split at blanks outside double quotes; quotes stay in the word.
std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> out;
    std::string w;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') quoted = !quoted;
        if (c == '\\' && quoted && i + 1 < line.size()) {
            w += line[++i];
            continue;
        }
        if (c == ' ' && !quoted) {
            if (!w.empty()) out.push_back(std::exchange(w, {}));
            continue;
        }
        w += c;
    }
    if (!w.empty()) out.push_back(w);
    return out;
}

Value value_of(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"') return Value::str(text.substr(1, text.size() - 2));
    if (text == "true" || text == "false") return Value::boolean(text == "true");
    if (text == "null") return Value::null();
    if (text.find_first_of(".eE") != std::string::npos && text.find_first_not_of("0123456789+-") != std::string::npos)
        return Value::f64(std::stod(text));
    return Value::i64(std::stoll(text));
}

std::vector<std::pair<std::string, Value>> row_of(const std::vector<std::string>& words, size_t from) {
    std::vector<std::pair<std::string, Value>> row;
    for (size_t i = from; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        row.emplace_back(words[i].substr(0, eq), value_of(words[i].substr(eq + 1)));
    }
    return row;
}

std::string show(const FactView& v) {
    std::string s = v.type_name + "#" + std::to_string(v.id) + "(";
    for (size_t i = 0; i < v.fields.size(); ++i)
        s += (i ? ", " : "") + v.fields[i].first + "=" + debug(v.fields[i].second);
    s += ")";
    if (!v.members) return s;
    // A collection's members: facts as facts, collected values by their value.
    s += "[";
    for (size_t i = 0; i < v.members->size(); ++i) {
        const std::optional<FactView>& m = (*v.members)[i];
        s += i ? ", " : "";
        if (!m) s += "None";
        else if (m->id == UINT32_MAX && m->fields.size() == 1) s += debug(m->fields[0].second);
        else s += show(*m);
    }
    return s + "]";
}

std::string facts_text(const Session& e) {
    std::string out;
    for (const FactView& v : e.facts()) out += show(v) + "\n";
    return out;
}

template <class T>
void note_error(std::string& out, const EngineResult<T>& r) {
    if (!r) out += "error: " + r.error().message + "\n";
}

// `captured`: standard error is being captured already, for the whole command.
void run_fire(Session& e, const std::vector<std::string>& w, std::string& out, bool captured) {
    uint64_t limit = 100000;
    bool trace = false;
    for (size_t i = 1; i < w.size(); ++i) w[i] == "trace" ? void(trace = true) : void(limit = std::stoull(w[i]));
    if (trace) {
        setenv("QUARN_EVAL_DEBUG", "1", 1);
        setenv("QUARN_AG_DEBUG", "1", 1);
        if (!captured) ::testing::internal::CaptureStderr();
    }
    EngineResult<Firings> fired = e.fire_all(limit);
    if (trace) {
        if (!captured) out += ::testing::internal::GetCapturedStderr();
        unsetenv("QUARN_EVAL_DEBUG");
        unsetenv("QUARN_AG_DEBUG");
    }
    note_error(out, fired);
    if (!fired) return;
    if (fired->empty()) out += "no firings\n";
    for (const Firing& f : *fired) {
        out += f.rule + ":";
        for (const FactView& v : f.facts) out += " " + show(v);
        out += "\n";
    }
}

// The output of `commands` run on `e`, trailing blank lines kept.
std::string run_commands(Session& e, const std::vector<CaseCommand>& commands) {
    std::string out;
    bool tms_debug = false;
    for (const CaseCommand& command : commands) {
        const bool trace = command.text.starts_with("trace ");
        const std::string cmd = trace ? command.text.substr(6) : command.text;
        const std::vector<std::string> w = words_of(cmd);
        const std::string& op = w.front();
        if (op == "tms-debug") {
            tms_debug = true;
            continue;
        }
        const size_t before = out.size();
        if (trace) {
            setenv("QUARN_FLUSH_DEBUG", "1", 1);
            setenv("QUARN_EVAL_DEBUG", "1", 1);
        }
        if (tms_debug) setenv("QUARN_TMS_DEBUG", "1", 1);
        const bool captured = tms_debug || trace;
        if (captured) ::testing::internal::CaptureStderr();
        if (op == "insert") note_error(out, e.insert(w.at(1), row_of(w, 2)));
        else if (op == "update") note_error(out, e.update_fact(std::stoul(w.at(1)), row_of(w, 2)));
        else if (op == "delete") note_error(out, e.delete_fact(std::stoul(w.at(1))));
        else if (op == "advance") note_error(out, e.advance(std::stoll(w.at(1))));
        else if (op == "load") note_error(out, e.add_rules_text(cmd.substr(5)));
        else if (op == "reset") note_error(out, e.reset());
        else if (op == "fire") run_fire(e, w, out, captured);
        else if (op == "facts") out += facts_text(e);
        else ADD_FAILURE() << "line " << command.line << ": unknown command " << cmd;
        if (captured) {
            // The lines go before the command's own output.
            const std::string lines = ::testing::internal::GetCapturedStderr();
            unsetenv("QUARN_TMS_DEBUG");
            unsetenv("QUARN_FLUSH_DEBUG");
            unsetenv("QUARN_EVAL_DEBUG");
            out.insert(before, lines);
        }
    }
    return out;
}

std::string run_case(const CaseHeader& header, const Case& c) {
    EngineResult<Session> made = header.make_session();
    if (!made) return "error: " + made.error().message;
    Session& e = *made;
    // Dead rows go back at every command: the output must not change.
    engine_of(e).reclaim_eagerly = true;
    std::string out;
    note_error(out, e.add_rules_text(c.rules));
    return trim_end(out + run_commands(e, c.commands));
}

// A run case whose commands a reset can replay: its rules load, and it neither
// loads, resets nor traces (trace lines show counters that outlive a reset).
// A case that runs a query into its step limit is left out too: it spends its
// time there, and a replay after every command would take seconds.
bool replays_after_reset(const CaseHeader& header, const Case& c) {
    if (c.kind != CaseKind::Run || c.expected.find("step limit exceeded") != std::string::npos) return false;
    for (const CaseCommand& command : c.commands)
        if (command.text.starts_with("trace ") || command.text.starts_with("load") ||
            command.text.starts_with("reset") || command.text.starts_with("tms-debug") ||
            command.text.find(" trace") != std::string::npos)
            return false;
    EngineResult<Session> made = header.make_session();
    return made && made->add_rules_text(c.rules).ok();
}

// --- One test per file.

void replay_file(const std::string& name) {
    const uint64_t key = process_hash_key();
    SCOPED_TRACE(fmt("hash key {}; run again under it with QUARN_HASH_SEED={}", key, key));
    Result<CaseFile, std::string> read = read_case_file(data_dir() / name, name);
    ASSERT_TRUE(read.ok()) << read.error();
    const CaseFile& f = read.value();
    EXPECT_FALSE(f.cases.empty()) << name << ": no cases";
    const bool update = std::getenv("QUARN_UPDATE_CASES") != nullptr;
    std::string rewritten = f.preamble;
    for (const Case& c : f.cases) {
        const std::string actual = c.kind == CaseKind::Compile ? compile_case(f.header, c) : run_case(f.header, c);
        rewritten += c.head + actual + "\n\n";
        if (!update) {
            EXPECT_EQ(actual, c.expected) << name << ":" << c.line << ": " << c.title;
        }
    }
    if (update) std::ofstream(data_dir() / name) << trim_end(rewritten) << "\n";
}

class CaseFileTest : public ::testing::Test {
public:
    explicit CaseFileTest(std::string name) : name_(std::move(name)) {}
    void TestBody() override { replay_file(name_); }

private:
    std::string name_;
};

const bool registered = [] {
    for (const std::string& name : case_file_names())
        ::testing::RegisterTest("EngineCases", test_name_of(name).c_str(), nullptr, name.c_str(), __FILE__, __LINE__,
                                [name]() -> ::testing::Test* { return new CaseFileTest(name); });
    return true;
}();

}  // namespace

TEST(CaseFiles, BothFoldersHoldFilesAndEachFileHasATestOfItsOwn) {
    ASSERT_TRUE(registered);
    const std::vector<std::string> names = case_file_names();
    std::set<std::string> tests;
    size_t run = 0, compile = 0;
    for (const std::string& name : names) {
        EXPECT_TRUE(tests.insert(test_name_of(name)).second) << name << " takes another file's test name";
        (name.starts_with("run/") ? run : compile) += 1;
    }
    EXPECT_GT(run, 0u);
    EXPECT_GT(compile, 0u);
}

// Every run case, its commands cut after each of them and the engine reset
// there, then replayed: a reset must leave nothing of the runtime the cut
// reached (accumulate and groupby state, windows and their deadlines, truth
// maintenance, shadows, ?query answers, the clock, the agenda), so the replay
// prints what a fresh engine prints.
TEST(CaseFiles, AResetAfterAnyCommandReplaysAsAFreshEngine) {
    const uint64_t key = process_hash_key();
    SCOPED_TRACE(fmt("hash key {}; run again under it with QUARN_HASH_SEED={}", key, key));
    size_t replayed = 0;
    for (const std::string& name : case_file_names()) {
        if (!name.starts_with("run/")) continue;
        Result<CaseFile, std::string> read = read_case_file(data_dir() / name, name);
        ASSERT_TRUE(read.ok()) << read.error();
        for (const Case& c : read->cases) {
            if (!replays_after_reset(read->header, c)) continue;
            // After the reset the whole case again, and, after the same cut
            // and reset once more, a replay that only lets time pass: what the
            // cut left scheduled or held must not fire, expire or show.
            const std::vector<CaseCommand> idle = {{0, "fire"}, {0, "advance 86400000"}, {0, "fire"}, {0, "facts"}};
            std::string expected[2], network;
            for (int replay = 0; replay < 2; ++replay) {
                EngineResult<Session> fresh = read->header.make_session();
                ASSERT_TRUE(fresh.ok() && fresh->add_rules_text(c.rules).ok());
                network = engine_of(*fresh).dump_network();
                expected[replay] = run_commands(*fresh, replay == 0 ? c.commands : idle);
            }
            // One engine for every cut: each cut starts from the reset that
            // ended the one before.
            EngineResult<Session> e = read->header.make_session();
            ASSERT_TRUE(e.ok() && e->add_rules_text(c.rules).ok());
            const std::vector<CaseCommand> commands = c.commands;
            for (size_t cut = 0; cut <= commands.size(); ++cut) {
                for (int replay = 0; replay < 2; ++replay) {
                    run_commands(*e, std::vector<CaseCommand>(commands.begin(), commands.begin() + cut));
                    ASSERT_TRUE(e->reset().ok());
                    EXPECT_EQ(engine_of(*e).dump_network(), network) << name << ":" << c.line << ": " << c.title;
                    EXPECT_EQ(run_commands(*e, replay == 0 ? commands : idle), expected[replay])
                        << name << ":" << c.line << ": " << c.title << ", reset after command " << cut
                        << (replay == 0 ? ", whole replay" : ", idle replay");
                    ASSERT_TRUE(e->reset().ok());
                }
            }
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 80u);
}

TEST(CaseFiles, FormatFaultsNameTheirLine) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / fmt("quarn_case_{}.test", getpid());
    auto read = [&](const std::string& text) {
        std::ofstream(path) << text;
        Result<CaseFile, std::string> f = read_case_file(path, "x.test");
        return f ? fmt("{} cases", f->cases.size()) : f.error();
    };
    const std::pair<std::string, std::string> cases[] = {
        {"type A x:i64\n\ncase one\nrule r when A() then end\n> fire\n----\nno firings\n", "1 cases"},
        {"type A x:i64\nrule r when A() then end\n", "x.test:2: before the first case only type and event lines, # "
                                                     "comments and blank lines"},
        {"case one\n> fire\ncase two\n> fire\n----\n", "x.test:3: the case before this one has no \"----\" line"},
        {"case one\n> fire\n", "x.test:2: the last case has no \"----\" line"},
        {"case one\n> shoot\n----\n", "x.test:2: unknown command \"shoot\""},
        {"case one\n> trace tms-debug\n----\n", "x.test:2: unknown command \"trace tms-debug\""},
        {"compile one\n> fire\n----\n", "x.test:2: a compile case takes no commands"},
        {"compile one\nengine-only: why\n----\n", "x.test:2: only a run case can be engine-only"},
        {"case one\nengine-only:  \n----\n", "x.test:2: engine-only needs its reason"},
        {"case \n----\n", "x.test:1: a case needs a title"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(read(text), expected) << text;
    std::ofstream(path) << "case one\nengine-only: trace lines\nrule r when A() then end\n> trace fire\n----\nx\n\n\n";
    Result<CaseFile, std::string> f = read_case_file(path, "x.test");
    ASSERT_TRUE(f.ok()) << f.error();
    ASSERT_EQ(f->cases.size(), 1u);
    const Case& c = f->cases[0];
    EXPECT_EQ(c.engine_only, std::optional<std::string>("trace lines"));
    EXPECT_EQ(c.rules, "rule r when A() then end\n");
    ASSERT_EQ(c.commands.size(), 1u);
    EXPECT_EQ(c.commands[0].line, 4);
    EXPECT_EQ(c.expected, "x");
    std::filesystem::remove(path);
}
