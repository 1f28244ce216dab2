// Runs the rule-compilation cases under engine/tests/data/compile/: each case is
// a rule text and the dump of every rule it compiles to, or the refusal.
//
// File format. Header lines before the first case declare the engine:
//   type Name field:spec ...      spec i64, f64, String, bool or decimal(p,s); a trailing ? = nullable
//   event Name ts_field [duration=field] [expires=ms]
// Then cases, each on a fresh engine:
//   case <title>
//   <rule text lines, queries included>
//   ----
//   <expected output lines>
// The output is, for each rule in file order, its dump or "error: <message>";
// each rule compiles on its own, as if the ones before it had loaded. When compilation recorded event retention, the
// lines "retention <type> <ms>" and "unbounded <type>" follow, by type name.
// With QUARN_UPDATE_CASES set, the files are rewritten with the actual outputs
// (review the diff before committing it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine.h"
#include "engine_case_header.h"

using namespace quarn;
using namespace quarn::testing;

namespace {

struct Case {
    std::string file;
    std::string head;  // the file's lines before this case's expected output
    int line = 0;
    std::string title;
    std::string rules;
    std::string expected;
};

struct CaseFile {
    CaseHeader header_lines;
    std::vector<Case> cases;
    std::string header;  // the lines before the first case
};

CaseFile read_cases(const std::filesystem::path& path) {
    CaseFile f;
    std::ifstream in(path);
    std::string line;
    int n = 0;
    enum { Header, Rules, Expected } mode = Header;
    std::string raw;  // the text of the current piece, up to the expected output
    while (std::getline(in, line)) {
        ++n;
        if (line.rfind("case ", 0) == 0) {
            if (f.cases.empty()) f.header = raw;
            f.cases.push_back({path.filename().string(), "", n, line.substr(5), "", ""});
            raw = line + "\n";
            mode = Rules;
            continue;
        }
        if (mode != Expected) raw += line + "\n";
        if (mode == Header) {
            f.header_lines.read_line(line);
            continue;
        }
        if (mode == Rules && line == "----") {
            f.cases.back().head = raw;
            mode = Expected;
            continue;
        }
        (mode == Rules ? f.cases.back().rules : f.cases.back().expected) += line + "\n";
    }
    for (Case& c : f.cases) c.expected = trim_end(c.expected);
    return f;
}

std::string run_case(const CaseFile& f, const Case& c) {
    EngineResult<Engine> made = f.header_lines.make_engine();
    if (!made) return "create: " + made.error().message;
    Engine& e = made.value();
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
    for (const auto& [t, ms] : e.event_retention_ms)
        tail.push_back(fmt("retention {} {}", e.store.schema(t).name, ms));
    for (TypeId t : e.unbounded_event_types) tail.push_back(fmt("unbounded {}", e.store.schema(t).name));
    std::sort(tail.begin(), tail.end());
    for (const std::string& l : tail) out += l + "\n";
    return trim_end(out);
}

std::vector<std::filesystem::path> case_files() {
    const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "data" / "compile";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".test") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(EngineCompileCases, EveryCaseGivesItsDumpOrRefusal) {
    const bool update = std::getenv("QUARN_UPDATE_CASES") != nullptr;
    const std::vector<std::filesystem::path> files = case_files();
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        const CaseFile f = read_cases(path);
        EXPECT_FALSE(f.cases.empty()) << path;
        std::string rewritten = f.header;
        for (const Case& c : f.cases) {
            const std::string actual = run_case(f, c);
            rewritten += c.head + actual + "\n\n";
            if (!update) {
                EXPECT_EQ(actual, c.expected) << c.file << ":" << c.line << ": " << c.title;
            }
        }
        if (update) std::ofstream(path) << trim_end(rewritten) << "\n";
    }
}
