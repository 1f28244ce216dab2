// Time and peak memory of the worst known shapes of hostile input: recursive
// queries whose environments multiply at every level, over 10, 100 and 1000
// facts, and rule texts whose or-groups multiply large patterns. Each case runs
// in a child process capped at 4 GiB of address space and 60 s, so a shape
// that would take the whole machine shows as killed instead of taking it.
//
// Release build, 8 cores, before the bounds on live environments and the
// size-charged or-expansion -> after (ms, peak MB):
//   query shapes, 10 facts         2.5-6.0 s, 2.0-4.0 GB (bad_alloc)  -> 130-195 ms, 125-168 MB
//   query shapes, 100/1000 facts   killed by bad_alloc at the cap      -> 135-200 ms, 132-142 MB
//   or-groups then 63 wide         2340 ms, 399 MB, refused            -> 7 ms, 2 MB, refused
//   600 wide then or-groups        3018 ms, 3231 MB, 512 rules         -> 18 ms, 11 MB, refused
//   900 wide then or-groups        2794 ms, 2531 MB, refused           -> 19 ms, 14 MB, refused
//   1000 actions, 1000 branches    1280 ms, 1375 MB, 1000 rules        -> 4 ms, 4 MB, refused
//   980 wide, 1000-way or          462 ms, 543 MB, 1000 rules          -> unchanged (within the budget)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quarn.h"

using namespace quarn;

namespace {

constexpr rlim_t kAddressSpaceCap = rlim_t{4} << 30;
constexpr unsigned kSecondsCap = 60;

// Parent facts over three names in a cycle: n0 -> n1 -> n2 -> n0, repeated,
// so that the query indexes stay within their key limit at any size.
FactStore parent_cycle(int facts) {
    FactStore store({{"Parent", {{"parent", FieldType::str()}, {"child", FieldType::str()}}, 0}});
    const TypeId type = *store.type_id("Parent");
    const char* const names[] = {"n0", "n1", "n2"};
    for (int i = 0; i < facts; ++i) (void)store.insert(type, {Value::str(names[i % 3]), Value::str(names[(i + 1) % 3])});
    return store;
}

std::string run_query(const std::string& text, int facts, const QueryArgs& args) {
    FactStore store = parent_cycle(facts);
    auto file = parse_file(text);
    if (!file) return "parse: " + file.error().msg;
    auto queries = compile_queries(store, std::move(file->queries), {});
    if (!queries) return "compile: " + queries.error();
    QueryCache cache;
    auto rows = run_site(store, *queries, cache, 0, {args});
    if (!rows) return rows.error();
    return std::to_string(rows->size()) + " rows";
}

std::string run_parse(const std::string& text) {
    auto file = parse_file(text);
    if (!file) return file.error().msg;
    return std::to_string(file->rules.size()) + " rules";
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::string cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) out += p;
    return out;
}

// A pattern of twelve constraints.
const std::string kWide = cat({"P(", repeat("a>1,", 11), "a>1) "});

struct Outcome {
    double ms = 0;
    long peak_kb = 0;
    std::string text;
};

// Runs `job` in a child under the caps; its result comes back through a pipe.
Outcome in_child(const std::function<std::string()>& job) {
    int fds[2];
    if (pipe(fds) != 0) return {0, 0, "pipe failed"};
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        rlimit cap{kAddressSpaceCap, kAddressSpaceCap};
        setrlimit(RLIMIT_AS, &cap);
        alarm(kSecondsCap);
        std::string out = job();
        (void)!write(fds[1], out.data(), out.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Outcome o;
    o.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    o.peak_kb = usage.ru_maxrss;
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        o.text = sig == SIGALRM  ? "killed: over 60 s"
                 : sig == SIGABRT ? "killed: abort (std::bad_alloc under the 4 GiB cap?)"
                                  : "killed by signal " + std::to_string(sig);
    } else {
        o.text = out;
    }
    return o;
}

void print(const char* shape, const std::string& size, const Outcome& o) {
    std::printf("%-22s %8s %10.1f %10.1f  %s\n", shape, size.c_str(), o.ms, static_cast<double>(o.peak_kb) / 1024.0,
                o.text.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() {
    struct QueryShape {
        const char* name;
        const char* text;
        QueryArgs args;
    };
    const std::optional<Value> unbound;
    const std::vector<QueryShape> queries = {
        {"any-parent recursion", "query ancestor(String $y) Parent() or Parent() ancestor($y;) end", {Value::str("n0")}},
        {"unbound-arg recursion", "query q(String $x) Parent($x, $c;) or Parent($x, $z;) q($w;) end", {Value::str("n0")}},
        {"ancestor over a cycle",
         "query ancestor(String $x, String $y) Parent($x, $y;) or Parent($x, $z;) ancestor($z, $y;) end",
         {Value::str("n0"), unbound}},
    };
    std::printf("%-22s %8s %10s %10s  %s\n", "shape", "facts", "ms", "peak MB", "outcome");
    for (const QueryShape& s : queries) {
        for (int facts : {10, 100, 1000}) {
            print(s.name, std::to_string(facts), in_child([&] { return run_query(s.text, facts, s.args); }));
        }
    }

    // Nine two-way or-groups multiply into 512 branches; the wide patterns are
    // copied into every branch.
    const std::string groups = repeat("(A() or B()) ", 9);
    struct TextShape {
        const char* name;
        std::string text;
    };
    const std::vector<TextShape> texts = {
        {"or-groups, 63 wide", cat({"rule r when ", groups, repeat(kWide, 63), "then end"})},
        {"600 wide, or-groups", cat({"rule r when ", repeat(kWide, 600), groups, "then end"})},
        {"900 wide, or-groups", cat({"rule r when ", repeat(kWide, 900), groups, "then end"})},
        {"400 wide, no or", cat({"rule r when ", repeat(kWide, 400), "then end"})},
        // One step multiplies a pattern of 980 constraints into 1,000 branches:
        // the most the budget lets through.
        // Every branch's rule copies the actions.
        {"1000 actions, 1000 br.", cat({"rule r when ", repeat(cat({"(A()", repeat(" or A()", 9), ") "}), 3), "then ",
                                        repeat("insert(new T(1, 2, \"s\", 3, 4, 5, 6, 7)); ", 1000), "end"})},
        {"980 wide, 1000-way or",
         cat({"rule r when P(", repeat("a>1,", 979), "a>1) (A()", repeat(" or A()", 999), ") then end"})},
    };
    std::printf("\n%-22s %8s %10s %10s  %s\n", "rule text", "KB", "ms", "peak MB", "outcome");
    for (const TextShape& t : texts) {
        print(t.name, std::to_string(t.text.size() / 1024), in_child([&] { return run_parse(t.text); }));
    }
    return 0;
}
