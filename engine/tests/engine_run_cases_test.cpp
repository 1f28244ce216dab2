// Runs the whole-program cases under engine/tests/data/run/: each case loads a
// rule text, changes facts, moves the clock and fires, and states what came out.
//
// File format. Header lines before the first case declare the engine (see
// engine_case_header.h). Then cases, each on a fresh engine:
//   case <title>
//   <rule text lines>
//   > <command>          one per line, in order, after the rule text
//   ----
//   <expected output lines>
// Commands: `insert Type field=value ...`, `update <handle> field=value ...`,
// `delete <handle>`, `advance <ms>`, `load <rule text>` (a further rule text),
// `fire [limit] [trace]`, `facts`, `reset` and `tms-debug` (from then on every
// command runs with QUARN_TMS_DEBUG set and its standard error comes first in
// its output); `trace <command>` runs one command with QUARN_FLUSH_DEBUG and
// QUARN_EVAL_DEBUG set, their lines first. A value is an integer, a number with a
// point (a float), "text" (which also fills decimal fields), true, false or
// null. Output: a command that fails prints "error: <message>"; fire prints
// one line "<rule>: <fact> <fact> ..." per firing, or "no firings", and with
// `trace` first the QUARN_EVAL_DEBUG and QUARN_AG_DEBUG lines; facts prints
// working memory, one fact per line. A fact shows as Type#handle(field=value, ...),
// a collection result or a ?query call (QueryArgs) followed by its members:
// [Type#handle(...), ...] or [I64(3), ...], None for an empty slot.
// With QUARN_UPDATE_CASES set, the files are rewritten with the actual outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_case_header.h"
#include "store/debug_form.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

struct Case {
    std::string head;  // the case's lines up to its expected output
    int line = 0;
    std::string title, rules;
    std::vector<std::string> commands;
    std::string expected;
};

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

std::string facts_text(const Engine& e) {
    std::string out;
    for (const FactView& v : e.facts()) out += show(v) + "\n";
    return out;
}

template <class T>
void note_error(std::string& out, const EngineResult<T>& r) {
    if (!r) out += "error: " + r.error().message + "\n";
}

// `captured`: standard error is being captured already, for the whole command.
void run_fire(Engine& e, const std::vector<std::string>& w, std::string& out, bool captured) {
    uint64_t limit = 100000;
    bool trace = false;
    for (size_t i = 1; i < w.size(); ++i) w[i] == "trace" ? void(trace = true) : void(limit = std::stoull(w[i]));
    if (trace) {
        setenv("QUARN_EVAL_DEBUG", "1", 1);
        setenv("QUARN_AG_DEBUG", "1", 1);
        if (!captured) ::testing::internal::CaptureStderr();
    }
    EngineResult<std::vector<Firing>> fired = e.fire_all(limit);
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

std::string run_case(const CaseHeader& header, const Case& c) {
    EngineResult<Engine> made = header.make_engine();
    if (!made) return "error: " + made.error().message;
    Engine& e = *made;
    std::string out;
    note_error(out, e.add_rules_text(c.rules));
    bool tms_debug = false;
    for (const std::string& line : c.commands) {
        const bool trace = line.rfind("trace ", 0) == 0;
        const std::string cmd = trace ? line.substr(6) : line;
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
        else ADD_FAILURE() << "unknown command " << cmd;
        if (captured) {
            // The lines go before the command's own output.
            const std::string lines = ::testing::internal::GetCapturedStderr();
            unsetenv("QUARN_TMS_DEBUG");
            unsetenv("QUARN_FLUSH_DEBUG");
            unsetenv("QUARN_EVAL_DEBUG");
            out.insert(before, lines);
        }
    }
    return trim_end(out);
}

}  // namespace

TEST(EngineRunCases, EveryCaseGivesItsFiringsFactsAndErrors) {
    const bool update = std::getenv("QUARN_UPDATE_CASES") != nullptr;
    const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "data" / "run";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".test") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        CaseHeader header;
        std::vector<Case> cases;
        std::string preamble, line;
        std::ifstream in(path);
        enum { Header, Body, Expected } mode = Header;
        for (int n = 1; std::getline(in, line); ++n) {
            if (line.rfind("case ", 0) == 0) {
                cases.push_back({line + "\n", n, line.substr(5), "", {}, ""});
                mode = Body;
            } else if (mode == Header) {
                preamble += line + "\n";
                header.read_line(line);
            } else if (mode == Body) {
                cases.back().head += line + "\n";
                if (line == "----") mode = Expected;
                else if (line.rfind("> ", 0) == 0) cases.back().commands.push_back(line.substr(2));
                else cases.back().rules += line + "\n";
            } else {
                cases.back().expected += line + "\n";
            }
        }
        EXPECT_FALSE(cases.empty()) << path;
        std::string rewritten = preamble;
        for (const Case& c : cases) {
            const std::string actual = run_case(header, c);
            rewritten += c.head + actual + "\n\n";
            if (!update) {
                EXPECT_EQ(actual, trim_end(c.expected)) << path.filename().string() << ":" << c.line << ": " << c.title;
            }
        }
        if (update) std::ofstream(path) << trim_end(rewritten) << "\n";
    }
}
