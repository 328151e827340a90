#include "scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

namespace sim {
namespace {

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

bool parse_integer(const std::string& word, int64_t low, int64_t high, int64_t* value) {
    if (word.empty() || word.size() > 20)
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Words of hexadecimal digit pairs ("30 0D0A 30"); false on anything else.
bool parse_hex(const std::vector<std::string>& words, size_t first, std::vector<uint8_t>* bytes) {
    for (size_t i = first; i < words.size(); i++) {
        const std::string& word = words[i];
        if (word.size() % 2 != 0)
            return false;
        for (size_t j = 0; j < word.size(); j += 2) {
            int high = hex_digit(word[j]), low = hex_digit(word[j + 1]);
            if (high < 0 || low < 0)
                return false;
            bytes->push_back((uint8_t)(high * 16 + low));
        }
    }
    return true;
}

struct DeviceState {
    bool other;
    bool plugged;
    bool held = false;  // by another program, from hold to release
    bool named = false; // by hold only, not plugged in yet
};

// What the checks need to know while walking the scenario.
struct Walk {
    bool started = false;
    bool running = false;
    bool settings_given = false;
    bool bus_given = false;
    bool windows_given = false;
    bool file_held = false; // the settings file, by another program
    bool read_only = false;
    bool disk_full = false;
    std::map<std::string, DeviceState> devices;
};

// Checks one command against the scenario so far; the error text, or empty.
std::string check(const std::vector<std::string>& words, const std::string& rest, Walk& walk,
                  Command& command) {
    const std::string& verb = words[0];
    size_t args = words.size() - 1;
    auto before_start = [&](const char* what) -> std::string {
        return walk.started ? std::string(what) + " must come before start" : "";
    };
    auto while_running = [&]() -> std::string {
        return walk.running ? "" : "'" + verb + "' needs the program running";
    };
    if (verb == "config") {
        command.verb = Verb::Config;
        if (args != 4)
            return "config takes four integers";
        for (size_t i = 1; i <= 4; i++) {
            int64_t value;
            if (!parse_integer(words[i], INT32_MIN, INT32_MAX, &value))
                return "config: '" + printable(words[i]) + "' is not a 32-bit integer";
            command.numbers.push_back(value);
        }
    } else if (verb == "config-bytes") {
        command.verb = Verb::ConfigBytes;
        if (!parse_hex(words, 1, &command.bytes))
            return "config-bytes takes bytes as pairs of hexadecimal digits";
    } else if (verb == "bus") {
        command.verb = Verb::Bus;
        if (args != 1)
            return "bus takes one of present, absent, old-version";
        if (words[1] == "present")
            command.bus = BusKind::Present;
        else if (words[1] == "absent")
            command.bus = BusKind::Absent;
        else if (words[1] == "old-version")
            command.bus = BusKind::OldVersion;
        else
            return "bus takes one of present, absent, old-version";
        if (walk.bus_given)
            return "the bus is given twice";
        walk.bus_given = true;
        return before_start("bus");
    } else if (verb == "plug") {
        command.verb = Verb::Plug;
        if (args < 1 || args > 2 || (args == 2 && words[2] != "other"))
            return "plug takes a name and, for an unrelated device, 'other'";
        command.name = words[1];
        command.other = args == 2;
        auto found = walk.devices.find(command.name);
        if (found != walk.devices.end()) {
            if (found->second.plugged)
                return "'" + printable(command.name) + "' is plugged in already";
            if (found->second.other != command.other)
                return "'" + printable(command.name) +
                       (found->second.named ? "' is held, so it is a stick"
                                            : "' was plugged in as another kind of device");
            found->second.plugged = true;
            found->second.named = false;
        } else {
            walk.devices[command.name] = {command.other, true};
        }
    } else if (verb == "unplug") {
        command.verb = Verb::Unplug;
        if (args != 1)
            return "unplug takes a name";
        command.name = words[1];
        auto found = walk.devices.find(command.name);
        if (found == walk.devices.end() || !found->second.plugged)
            return "'" + printable(command.name) + "' is not plugged in";
        found->second.plugged = false;
    } else if (verb == "hold") {
        command.verb = Verb::Hold;
        if (args < 1 || args > 2 || (args == 2 && words[2] != "shared"))
            return "hold takes a stick's name and, for a holder that shares, 'shared'";
        command.name = words[1];
        command.shared = args == 2;
        auto found = walk.devices.find(command.name);
        if (found == walk.devices.end()) {
            DeviceState named = {false, false};
            named.named = true;
            found = walk.devices.emplace(command.name, named).first;
        }
        if (found->second.other)
            return "'" + printable(command.name) + "' is not a stick";
        if (found->second.held)
            return "'" + printable(command.name) + "' is held already";
        found->second.held = true;
    } else if (verb == "release") {
        command.verb = Verb::Release;
        if (args != 1)
            return "release takes a name";
        command.name = words[1];
        auto found = walk.devices.find(command.name);
        if (found == walk.devices.end() || !found->second.held)
            return "'" + printable(command.name) + "' is not held";
        found->second.held = false;
    } else if (verb == "windows") {
        command.verb = Verb::Windows;
        if (args != 1 || (words[1] != "native" && words[1] != "wow64"))
            return "windows takes native or wow64";
        command.wow64 = words[1] == "wow64";
        if (walk.windows_given)
            return "windows is given twice";
        walk.windows_given = true;
        return before_start("windows");
    } else if (verb == "hold-file") {
        command.verb = Verb::HoldFile;
        if (args > 1 || (args == 1 && words[1] != "shared"))
            return "hold-file takes nothing or, for a holder that shares, 'shared'";
        command.shared = args == 1;
        if (walk.file_held)
            return "the settings file is held already";
        walk.file_held = true;
    } else if (verb == "release-file") {
        command.verb = Verb::ReleaseFile;
        if (args)
            return "release-file takes nothing";
        if (!walk.file_held)
            return "the settings file is not held";
        walk.file_held = false;
    } else if (verb == "readonly" || verb == "disk-full") {
        const bool read_only = verb == "readonly";
        command.verb = read_only ? Verb::ReadOnly : Verb::DiskFull;
        if (args)
            return verb + " takes nothing";
        bool& given = read_only ? walk.read_only : walk.disk_full;
        if (given)
            return verb + " is given twice";
        given = true;
    } else if (verb == "start") {
        command.verb = Verb::Start;
        if (args != 0)
            return "start takes nothing";
        if (walk.started)
            return "the program is started once";
        walk.started = walk.running = true;
    } else if (verb == "clock") {
        command.verb = Verb::Clock;
        int64_t seconds;
        if (args != 1 || !parse_integer(words[1], 0, INT64_MAX, &seconds))
            return "clock takes the seconds since 1970, a whole number";
        command.numbers.push_back(seconds);
    } else if (verb == "stick" || verb == "report") {
        bool raw = verb == "report";
        command.verb = raw ? Verb::Report : Verb::Stick;
        if (args < 1)
            return verb + " takes a device name first";
        command.name = words[1];
        auto found = walk.devices.find(command.name);
        if (found == walk.devices.end() || !found->second.plugged)
            return "'" + printable(command.name) + "' is not plugged in";
        if (raw) {
            if (args < 2 || !parse_hex(words, 2, &command.bytes))
                return "report takes bytes as pairs of hexadecimal digits";
        } else {
            if (found->second.other)
                return "'" + printable(command.name) + "' is not a stick";
            const int64_t highs[] = {65535, 65535, 1};
            if (args != 4)
                return "stick takes a name, X and Y (0 to 65535) and the button (0 or 1)";
            for (size_t i = 0; i < 3; i++) {
                int64_t value;
                if (!parse_integer(words[i + 2], 0, highs[i], &value))
                    return "stick takes a name, X and Y (0 to 65535) and the button (0 or 1)";
                command.numbers.push_back(value);
            }
        }
    } else if (verb == "click") {
        command.verb = Verb::Click;
        command.name = rest;
        if (command.name.empty())
            return "click takes the text of a menu item";
        std::string error = while_running();
        if (error.empty() && command.name == "Quit")
            walk.running = false;
        return error;
    } else if (verb == "menu") {
        command.verb = Verb::Menu;
        return args ? "menu takes nothing" : while_running();
    } else if (verb == "settings") {
        command.verb = Verb::Settings;
        return args ? "settings takes nothing" : "";
    } else if (verb == "close") {
        command.verb = Verb::Close;
        if (args)
            return "close takes nothing";
        std::string error = while_running();
        walk.running = false;
        return error;
    } else {
        return "unknown command '" + printable(verb) + "'";
    }
    if (command.verb == Verb::Config || command.verb == Verb::ConfigBytes) {
        if (walk.settings_given)
            return "the settings file is given twice";
        walk.settings_given = true;
        return before_start(verb.c_str());
    }
    return "";
}

} // namespace

std::string printable(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown += (char)c;
        } else {
            shown += "\\x";
            shown += digits[c >> 4];
            shown += digits[c & 15];
        }
    }
    return shown;
}

Scenario scenario_parse(const std::string& text) {
    Scenario scenario;
    Walk walk;
    // Some editors start a UTF-8 file with a byte-order mark; it is not part of the first line.
    const std::string bom = "\xEF\xBB\xBF";
    std::istringstream in(text.compare(0, bom.size(), bom) == 0 ? text.substr(bom.size()) : text);
    std::string line;
    std::vector<std::string> narration;
    for (int number = 1; std::getline(in, line); number++) {
        size_t comment = line.find('#');
        if (comment != std::string::npos) {
            if (line.find_first_not_of(" \t") == comment)
                narration.push_back(line.substr(comment));
            line.erase(comment);
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> words = split(line);
        if (words.empty())
            continue;
        // The text of a click is the rest of the line, inner spaces kept.
        std::string rest;
        size_t verb_at = line.find(words[0]);
        size_t after = line.find_first_not_of(" \t\r", verb_at + words[0].size());
        if (after != std::string::npos) {
            rest = line.substr(after);
            rest.erase(rest.find_last_not_of(" \t\r") + 1);
        }
        Command command;
        command.line = number;
        std::string error = check(words, rest, walk, command);
        if (!error.empty()) {
            scenario.error = "line " + std::to_string(number) + ": " + error;
            scenario.commands.clear();
            return scenario;
        }
        command.narration.swap(narration);
        scenario.commands.push_back(command);
    }
    return scenario;
}

std::string scenario_demo() {
    // Eight points around the stick's full circle, starting straight up (Y grows downwards on
    // the stick, as on most sticks), then the button.
    std::string circle;
    for (int step = 0; step < 8; step++) {
        double angle = step * 3.14159265358979 / 4;
        int x = (int)std::lround(32768 + 32767 * std::sin(angle));
        int y = (int)std::lround(32768 - 32767 * std::cos(angle));
        circle += "stick k7 " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
    }
    circle += "stick k7 32768 32768 1\nstick k7 32768 32768 0\n";
    std::string demo = "# The stick is plugged in and the program started; no mode is on.\n"
                       "plug k7\nstart\nmenu\n" +
                       circle +
                       "# Rotate 40-Deg turns every position by 40 degrees.\n"
                       "click Rotate 40-Deg\n" +
                       circle + "click Rotate 40-Deg\n" +
                       "# Movement lock snaps near-horizontal full deflections upwards.\n"
                       "click 76-Deg Movement Lock\n" +
                       circle + "click 76-Deg Movement Lock\n" +
                       "# Fast Turns moves near-full deflections in the upper half sideways.\n"
                       "click Fast Turns\n" +
                       circle + "click Fast Turns\n" +
                       "# Driving Mode: a press engages it; forward is the right trigger,\n"
                       "# back the left one; a press two seconds later releases it.\n"
                       "click Driving Mode\nclock 1000\nstick k7 32768 32768 1\n"
                       "stick k7 32768 0 0\nstick k7 32768 65535 0\n"
                       "clock 1003\nstick k7 32768 32768 1\nstick k7 32768 0 0\n"
                       "click Driving Mode\nmenu\nsettings\n"
                       "# The stick is unplugged; the pad leaves the bus with it.\n"
                       "unplug k7\nmenu\n";
    return demo;
}

} // namespace sim
