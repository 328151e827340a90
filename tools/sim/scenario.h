// Scenarios for the simulator: one command a line, checked whole before anything runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Verb {
    Config,      // config A B C D
    ConfigBytes, // config-bytes HEX...
    Bus,         // bus present|absent|old-version
    Plug,        // plug NAME [other]
    Unplug,      // unplug NAME
    Start,       // start
    Clock,       // clock SECONDS
    Stick,       // stick NAME X Y BUTTON
    Report,      // report NAME HEX...
    Click,       // click TEXT
    Menu,        // menu
    Settings,    // settings
    Close,       // close
    Hold,        // hold NAME [shared]
    Release,     // release NAME
    Windows,     // windows native|wow64
    HoldFile,    // hold-file [shared]
    ReleaseFile, // release-file
    ReadOnly,    // readonly
    DiskFull,    // disk-full
};

enum class BusKind { Present, Absent, OldVersion };

struct Command {
    int line = 0;
    Verb verb = Verb::Start;
    std::string name;    // plug, unplug, stick, report, hold, release; the item's text for click
    bool other = false;  // plug NAME other: an unrelated HID device
    bool shared = false; // hold NAME shared, hold-file shared: the other program shares reading
                         // and writing
    bool wow64 = false;  // windows wow64: a 32-bit program on 64-bit Windows
    BusKind bus = BusKind::Present;
    std::vector<int64_t> numbers;       // config (4), clock (1), stick (X, Y, button)
    std::vector<uint8_t> bytes;         // config-bytes, report
    std::vector<std::string> narration; // whole-line comments just before the command
};

struct Scenario {
    std::vector<Command> commands;
    std::string error; // "line N: what is wrong"; empty when the scenario is sound
};

// Parses and checks a whole scenario: every command known, its arguments in range, commands
// that need the program running only while it runs, set-up commands only before "start", and
// names that refer to devices plugged in by the scenario (hold may name a stick still to come).
Scenario scenario_parse(const std::string& text);

// The text as it can be shown in a message: every byte outside printable ASCII as \xHH.
std::string printable(const std::string& text);

// The built-in demonstration: a stick plugged in, swept around its circle and pressed, each
// mode switched on from the menu in turn, unplugged, and "Quit".
std::string scenario_demo();

} // namespace sim
