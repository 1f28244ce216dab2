// The behaviour cases under engine/tests/data/ (run/ and compile/): one file
// format, replayed on the engine by engine_cases_test.cpp and through the
// Python session by tests/test_cases.py.
//
// A file opens with the header lines that declare the engine each of its cases
// starts from, fresh (engine_case_header.h), among blank lines and # comments:
//   type Name field:spec ...      spec i64, f64, String, bool or decimal(p,s); a trailing ? = nullable
//   event Name ts_field [duration=field] [expires=ms]
// Then the cases. Each is a heading, an optional marker, its rule text and
// commands, a line "----", and its expected output, up to the next heading
// (trailing blank lines do not count):
//   case <title>          loads the rule text, then runs the commands
//   compile <title>       compiles the rule text rule by rule; no commands
//   engine-only: <why>    right below a run case's heading: the Python replay
//                         leaves the case out, for the reason given
//   <rule text lines, queries included>
//   > <command>           one per line, in order, after the rule text
//   ----
//   <expected output lines>
//
// Run cases. A rule text the engine refuses prints "error: <message>" first.
// Commands: `insert Type field=value ...`, `update <handle> field=value ...`,
// `delete <handle>`, `advance <ms>`, `load <rule text>` (a further rule text),
// `fire [limit] [trace]`, `facts`, `reset` and `tms-debug` (from then on every
// command runs with QUARN_TMS_DEBUG set and its standard error comes first in
// its output); `trace <command>` runs one command with QUARN_FLUSH_DEBUG and
// QUARN_EVAL_DEBUG set, their lines first. A value is an integer, a number
// with a point (a float), "text" (which also fills decimal fields; \ escapes
// the next character), true, false or null. Output: a command that fails
// prints "error: <message>"; fire prints one line "<rule>: <fact> <fact> ..."
// per firing, or "no firings", and with `trace` first the QUARN_EVAL_DEBUG and
// QUARN_AG_DEBUG lines; facts prints working memory, one fact per line. A fact
// shows as Type#handle(field=value, ...), a collection result or a ?query call
// (QueryArgs) followed by its members: [Type#handle(...), ...] or [I64(3), ...],
// None for an empty slot.
//
// Compile cases. The output is, for each rule in text order, its dump or
// "error: <message>"; each rule compiles on its own, as if the ones before it
// had loaded. When compilation recorded event retention, the lines
// "retention <type> <ms>" and "unbounded <type>" follow, by type name.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/text.h"
#include "engine_case_header.h"

namespace quarn::testing {

enum class CaseKind { Run, Compile };

struct CaseCommand {
    int line = 0;
    std::string text;
};

struct Case {
    CaseKind kind = CaseKind::Run;
    int line = 0;  // of the heading
    std::string title;
    std::optional<std::string> engine_only;  // why the Python replay leaves it out
    std::string rules;
    std::vector<CaseCommand> commands;
    std::string head;  // the case as written, up to and including "----"
    std::string expected;
};

struct CaseFile {
    std::string name;      // as the tests name it: "run/accumulate.test"
    std::string preamble;  // the lines before the first case, as written
    CaseHeader header;
    std::vector<Case> cases;
};

inline bool is_case_command(const std::string& text) {
    static const char* const ops[] = {"insert", "update", "delete", "advance", "load",
                                      "fire",   "facts",  "reset",  "tms-debug"};
    const std::string body = text.starts_with("trace ") ? text.substr(6) : text;
    const std::string op = body.substr(0, body.find(' '));
    for (const char* known : ops)
        if (op == known) return !(text.starts_with("trace ") && op == "tms-debug");
    return false;
}

// The file, or "<name>:<line>: <what is wrong>".
inline Result<CaseFile, std::string> read_case_file(const std::filesystem::path& path, std::string name) {
    std::ifstream in(path);
    if (!in) return err(fmt("{}: cannot be read", name));
    CaseFile f;
    f.name = std::move(name);
    enum { Header, Heading, Body, Expected } mode = Header;
    std::string line;
    int n = 0;
    auto fail = [&](const std::string& what) { return err(fmt("{}:{}: {}", f.name, n, what)); };
    while (std::getline(in, line)) {
        ++n;
        const bool run_heading = line.starts_with("case ");
        if (run_heading || line.starts_with("compile ")) {
            if (mode == Heading || mode == Body) return fail("the case before this one has no \"----\" line");
            Case c;
            c.kind = run_heading ? CaseKind::Run : CaseKind::Compile;
            c.line = n;
            c.title = line.substr(run_heading ? 5 : 8);
            c.head = line + "\n";
            if (c.title.empty()) return fail("a case needs a title");
            f.cases.push_back(std::move(c));
            mode = Heading;
            continue;
        }
        if (mode == Header) {
            if (!line.empty() && !line.starts_with("#") && !line.starts_with("type ") && !line.starts_with("event "))
                return fail("before the first case only type and event lines, # comments and blank lines");
            f.preamble += line + "\n";
            f.header.read_line(line);
            continue;
        }
        Case& c = f.cases.back();
        if (mode == Expected) {
            c.expected += line + "\n";
            continue;
        }
        c.head += line + "\n";
        if (line == "----") {
            mode = Expected;
        } else if (mode == Heading && line.starts_with("engine-only:")) {
            if (c.kind != CaseKind::Run) return fail("only a run case can be engine-only");
            const std::string why = trim_end(line.substr(12));
            if (why.find_first_not_of(' ') == std::string::npos) return fail("engine-only needs its reason");
            c.engine_only = why.substr(why.find_first_not_of(' '));
        } else if (line.starts_with("> ")) {
            if (c.kind != CaseKind::Run) return fail("a compile case takes no commands");
            if (!is_case_command(line.substr(2))) return fail(fmt("unknown command {}", quarn::quoted(line.substr(2))));
            c.commands.push_back({n, line.substr(2)});
        } else {
            c.rules += line + "\n";
        }
        if (mode == Heading) mode = Body;
    }
    if (mode == Heading || mode == Body) return fail("the last case has no \"----\" line");
    for (Case& c : f.cases) c.expected = trim_end(c.expected);
    return f;
}

}  // namespace quarn::testing
