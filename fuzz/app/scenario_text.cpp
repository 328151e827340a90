// Scenario text of any bytes through the simulator's reader. A wrong scenario must come back as
// "line N: ..." naming a line that holds a command, in printable ASCII whatever bytes it quotes,
// with no commands kept, and every line before it must read cleanly on its own; a sound one
// must keep its commands in line order with their arguments in range.
#include "scenario.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

// The lines as the reader numbers them: split at line feeds, a final line without one counts.
size_t line_count(const std::string& text) {
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// The text of the first `lines` lines, each with its line feed.
std::string first_lines(const std::string& text, size_t lines) {
    size_t at = 0;
    for (size_t i = 0; i < lines && at < text.size(); i++) {
        size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return text.substr(0, at);
}

bool in_range(const std::vector<int64_t>& numbers, size_t count, int64_t low, int64_t high) {
    if (numbers.size() != count)
        return false;
    for (int64_t n : numbers)
        if (n < low || n > high)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario scenario = sim::scenario_parse(text);
    size_t lines = line_count(text);

    if (!scenario.error.empty()) {
        unsigned long line = 0;
        int consumed = 0;
        if (std::sscanf(scenario.error.c_str(), "line %lu: %n", &line, &consumed) != 1 ||
            consumed == 0 || scenario.error.size() <= (size_t)consumed)
            fail("error without its line", scenario.error);
        if (line < 1 || line > lines)
            fail("error names a line the text does not have", scenario.error);
        for (unsigned char c : scenario.error)
            if (c < 0x20 || c >= 0x7F)
                fail("error with a byte a terminal cannot show", scenario.error);
        if (!scenario.commands.empty())
            fail("commands kept from a wrong scenario", scenario.error);
        sim::Scenario before = sim::scenario_parse(first_lines(text, line - 1));
        if (!before.error.empty())
            fail("an earlier line was wrong too", scenario.error + " / " + before.error);
        return 0;
    }

    int previous = 0;
    for (const sim::Command& command : scenario.commands) {
        if (command.line <= previous || (size_t)command.line > lines)
            fail("command out of line order", std::to_string(command.line));
        previous = command.line;
        bool sound = true;
        switch (command.verb) {
        case sim::Verb::Config:
            sound = in_range(command.numbers, 4, INT32_MIN, INT32_MAX);
            break;
        case sim::Verb::Clock:
            sound = in_range(command.numbers, 1, 0, INT64_MAX);
            break;
        case sim::Verb::Stick:
            sound = command.numbers.size() == 3 && in_range({command.numbers[0]}, 1, 0, 65535) &&
                    in_range({command.numbers[1]}, 1, 0, 65535) &&
                    in_range({command.numbers[2]}, 1, 0, 1);
            break;
        case sim::Verb::Report:
            sound = !command.bytes.empty() && !command.name.empty();
            break;
        case sim::Verb::Click:
            sound = !command.name.empty();
            break;
        default:
            break;
        }
        if (!sound)
            fail("a command's arguments out of range", std::to_string(command.line));
    }
    return 0;
}
