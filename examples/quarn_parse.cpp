// Reads rule text from standard input (or the file named as the argument) and
// prints what the parser made of it, or the parse error with line, column and
// caret. Exits 1 on a parse error.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "quarn.h"

int main(int argc, char** argv) {
    std::string text;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << argv[1] << "\n";
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        std::ostringstream buf;
        buf << std::cin.rdbuf();
        text = buf.str();
    }
    auto parsed = quarn::parse_file(text);
    if (!parsed.ok()) {
        std::cout << "rule parse error: " << parsed.error().msg << "\n";
        return 1;
    }
    std::cout << quarn::dump_rule_file(*parsed);
    return 0;
}
