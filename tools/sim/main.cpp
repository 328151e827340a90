// pelkavorn-sim: runs the real program, its entry point and every subsystem unchanged, on the
// simulated machine with a simulated bus driver and simulated sticks, driven by a scenario,
// and prints what a user and a game would see, one event a line.
//
//   pelkavorn-sim [--dir DIR] [--plot FILE.svg] [FILE | -]
//
// Without a scenario it plays the built-in demonstration (with --plot alone it only draws).
// A wrong scenario is reported on standard error with its line number, exit code 2.
#include "plot.h"
#include "scenario.h"
#include "settle.h"

#include "app/entry.h"
#include "bus/bus.h"
#include "translate/translate.h"

#include <shellapi.h>
#include <winsim/desktop.h>
#include <winsim/disk.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <unistd.h>

namespace {

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += (c > 0 && c < 0x80) ? (char)c : '?';
    return out;
}

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

struct Device {
    int id;
    bool other;
    bool plugged;
};

// Another program's hold on a stick: it opens the stick with GENERIC_READ | GENERIC_WRITE and
// its share mode, and keeps a read outstanding, so it takes every report the stick sends.
struct Hold {
    DWORD share = 0;
    bool waiting = false;      // for the stick to be plugged in; it opens it at the arrival
    bool holding = false;      // its handle works
    size_t reports_before = 0; // hid_foreign_reports when it opened the stick
    size_t reports = 0;        // what its reads took, counted when it lost the stick
};

// The scenario being played and what has been printed of the machine so far.
struct Player {
    sim::BusKind bus_kind = sim::BusKind::Present;
    int bus = -1;
    std::map<std::string, Device> devices;
    std::map<std::string, Hold> holds; // by stick name, from hold to release
    int next_number = 1;
    std::thread program;
    std::atomic<bool> program_ended{false};
    int exit_code = 0;
    bool running = false;
    size_t balloons_seen = 0;
    size_t events_seen = 0;
    std::string source;              // how errors name the scenario: "FILE: " or empty
    std::filesystem::path temporary; // the run's own folder, removed at the end; or empty
};

// A scenario that cannot be played as written: what was printed so far stays, the reason goes
// to standard error with the command's line, and the run ends with exit code 2.
[[noreturn]] void scenario_failed(const Player& player, const sim::Command& command,
                                  const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "pelkavorn-sim: %sline %d: %s\n", player.source.c_str(), command.line,
                 what.c_str());
    if (!player.temporary.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(player.temporary, ignored);
    }
    std::_Exit(2);
}

// Puts the settings file in place before the program starts; the reason when it cannot.
std::string write_file(const std::vector<uint8_t>& bytes) {
    FILE* out = std::fopen("pelkavorn.config", "wb");
    if (!out)
        return std::strerror(errno);
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    written = std::fflush(out) == 0 && written;
    int error = written ? 0 : errno;
    if (std::fclose(out) != 0 && written) {
        written = false;
        error = errno;
    }
    return written ? "" : std::strerror(error);
}

std::vector<uint8_t> config_bytes(const std::vector<int64_t>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); i++)
        text += std::to_string(values[i]) + (i + 1 < values.size() ? "\r\n" : "");
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Waits until the program has settled; one that never does is stuck, and the run ends.
void settle(const Player& player) {
    if (!settle_program([&player] { return player.running && !player.program_ended; })) {
        std::fprintf(stderr, "pelkavorn-sim: the program did not settle\n");
        std::fflush(stdout);
        std::_Exit(3);
    }
}

const char* severity_word(DWORD icon) {
    switch (icon) {
    case NIIF_INFO:
        return "info";
    case NIIF_WARNING:
        return "warning";
    case NIIF_ERROR:
        return "error";
    default:
        return "none";
    }
}

int16_t s16(const std::vector<uint8_t>& b, size_t at) {
    return (int16_t)(b[at] | (b[at + 1] << 8));
}

// Prints what happened since the last print: another program losing a stick it held (a
// restart or unplugging ended its handle), pads arriving and leaving and every report a pad
// took, in the order the bus saw them, then the balloons.
void print_events(Player& player) {
    for (auto& [name, hold] : player.holds) {
        if (!hold.holding)
            continue;
        int id = player.devices.at(name).id;
        if (winsim::hid_foreign_holders(id) > 0)
            continue;
        hold.holding = false;
        hold.reports = winsim::hid_foreign_reports(id) - hold.reports_before;
        std::printf("holder %s lost\n", name.c_str());
    }
    if (player.bus >= 0) {
        auto events = winsim::bus_events(player.bus);
        for (size_t i = player.events_seen; i < events.size(); i++) {
            const auto& event = events[i];
            const auto& r = event.report;
            if (event.kind == winsim::BusEvent::Plugged)
                std::printf("plugged %u\n", event.serial);
            else if (event.kind == winsim::BusEvent::Unplugged)
                std::printf("unplugged %u\n", event.serial);
            else if (r.size() == sizeof(GamepadReport))
                std::printf("pad %u %u %u %u %d %d %d %d\n", event.serial,
                            (unsigned)(r[0] | (r[1] << 8)), r[2], r[3], s16(r, 4), s16(r, 6),
                            s16(r, 8), s16(r, 10));
        }
        player.events_seen = events.size();
    }
    auto balloons = winsim::balloons();
    for (size_t i = player.balloons_seen; i < balloons.size(); i++)
        std::printf("balloon %s %s\n", severity_word(balloons[i].icon),
                    narrow(balloons[i].text).c_str());
    player.balloons_seen = balloons.size();
    std::fflush(stdout);
}

void print_menu(const std::vector<winsim::MenuEntry>& items, const std::string& indent) {
    for (auto& item : items) {
        if (item.separator) {
            std::printf("menu %s----\n", indent.c_str());
            continue;
        }
        std::printf("menu %s%s%s%s%s\n", indent.c_str(), item.checked ? "[x] " : "",
                    narrow(item.text).c_str(), item.grayed ? " (greyed)" : "",
                    item.has_submenu ? " >" : "");
        if (item.has_submenu)
            print_menu(item.submenu, indent + "  ");
    }
}

// Opens the tray menu as the user would, with `choice` scripted (empty: dismissed); returns
// the menu as it was shown.
std::vector<winsim::MenuEntry> open_menu(Player& player, const std::vector<std::wstring>& choice) {
    if (choice.empty())
        winsim::dismiss_menu();
    else
        winsim::choose_menu_item(choice);
    size_t shown = winsim::shown_menus().size();
    winsim::click_tray_icon(WM_RBUTTONUP);
    settle(player);
    auto menus = winsim::shown_menus();
    if (menus.size() == shown)
        return {};
    return menus.back().items;
}

// The path to the item a click names, through the submenus; false when the menu as shown has
// no such item. A submenu itself is no choice: `submenu` tells that it was named.
bool find_path(const std::vector<winsim::MenuEntry>& items, const std::wstring& text,
               std::vector<std::wstring>* path, bool* submenu) {
    for (auto& item : items) {
        if (item.separator)
            continue;
        path->push_back(item.text);
        if (item.text == text && !item.has_submenu)
            return true;
        if (item.text == text)
            *submenu = true;
        if (item.has_submenu && find_path(item.submenu, text, path, submenu))
            return true;
        path->pop_back();
    }
    return false;
}

// Sends one input report and waits until the program has finished with it: the reader has
// issued its next read, or nobody holds the device.
void send_report(Player& player, const Device& device, const std::vector<uint8_t>& report) {
    size_t issued = winsim::hid_reads_issued(device.id);
    bool held = winsim::hid_open_files(device.id) > 0;
    winsim::hid_deliver(device.id, report);
    if (held) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (winsim::hid_reads_issued(device.id) == issued &&
               winsim::hid_open_files(device.id) > 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "pelkavorn-sim: the report was never read\n");
                std::_Exit(3);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    settle(player);
}

// Sends every held device-change notice, in the order the changes made them.
void release_held_device_changes() {
    std::vector<size_t> all(winsim::held_device_changes().size());
    for (size_t i = 0; i < all.size(); i++)
        all[i] = i;
    winsim::release_device_changes(all);
}

// The other program opens the stick now; "holder NAME refused" when that fails as its
// CreateFile would (this program has the stick open and does not share it).
void open_hold(Player& player, const std::string& name, Hold& hold) {
    int id = player.devices.at(name).id;
    hold.waiting = false;
    hold.holding = winsim::hid_hold(id, GENERIC_READ | GENERIC_WRITE, hold.share);
    hold.reports_before = winsim::hid_foreign_reports(id);
    if (!hold.holding)
        std::printf("holder %s refused\n", name.c_str());
}

void start_program(Player& player) {
    if (player.bus_kind != sim::BusKind::Absent) {
        winsim::BusOptions options;
        // A driver of another protocol version refuses the program's version request.
        if (player.bus_kind == sim::BusKind::OldVersion)
            options.protocol_version = 2;
        player.bus = winsim::bus_add(options);
    }
    std::fflush(stdout);
    player.running = true;
    player.program = std::thread([&player] {
        wchar_t name[] = L"pelkavorn.exe";
        wchar_t* argv[] = {name, nullptr};
        wchar_t* envp[] = {nullptr};
        player.exit_code = wmain(1, argv, envp);
        std::fflush(stdout);
        player.program_ended = true;
    });
    // Start-up is over once the window exists and the loop waits for messages, or the entry
    // point returned.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!player.program_ended && !program_main_thread()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "pelkavorn-sim: the program never made its window\n");
            std::_Exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    settle(player);
}

void end_program(Player& player) {
    player.program.join();
    player.running = false;
    settle(player);
    print_events(player);
    std::printf("exit %d\n", player.exit_code);
}

void play(const sim::Command& command, Player& player) {
    using sim::Verb;
    switch (command.verb) {
    case Verb::Config:
    case Verb::ConfigBytes: {
        std::string error = write_file(command.verb == Verb::Config ? config_bytes(command.numbers)
                                                                    : command.bytes);
        if (!error.empty())
            scenario_failed(player, command, "cannot write the settings file: " + error);
        return;
    }
    case Verb::Bus:
        player.bus_kind = command.bus;
        return;
    case Verb::Plug: {
        // The system's notices of one plug-in go out together, so that one rescan sees them all
        // (the program asks for one rescan per burst); otherwise thread timing could split the
        // burst and show a balloon twice.
        winsim::hold_device_changes();
        auto found = player.devices.find(command.name);
        if (found != player.devices.end()) {
            winsim::hid_plug(found->second.id);
            found->second.plugged = true;
        } else {
            int number = player.next_number++;
            auto options = command.other ? winsim::hid_mouse(number) : winsim::hid_stick(number);
            player.devices[command.name] = {winsim::hid_add(options), command.other, true};
        }
        // A program that waits for the stick opens it on its arrival, before this program
        // hears of it.
        auto hold = player.holds.find(command.name);
        if (hold != player.holds.end() && hold->second.waiting)
            open_hold(player, command.name, hold->second);
        release_held_device_changes();
        break;
    }
    case Verb::Unplug: {
        Device& device = player.devices.at(command.name);
        device.plugged = false;
        // The stick's outstanding read fails at once and its reader ends; the system's device
        // change notices come a moment later. Holding them until the reader is done keeps the
        // output independent of thread timing (the program copes with either order).
        winsim::hold_device_changes();
        winsim::hid_unplug(device.id);
        settle(player);
        release_held_device_changes();
        break;
    }
    case Verb::Hold: {
        Hold& hold = player.holds[command.name];
        hold.share = command.shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
        auto found = player.devices.find(command.name);
        if (found != player.devices.end() && found->second.plugged)
            open_hold(player, command.name, hold);
        else
            hold.waiting = true;
        break;
    }
    case Verb::Release: {
        Hold& hold = player.holds.at(command.name);
        if (hold.holding) {
            int id = player.devices.at(command.name).id;
            hold.reports = winsim::hid_foreign_reports(id) - hold.reports_before;
            winsim::hid_release(id);
        }
        // The program hears nothing of another program's close: no device change.
        std::printf("holder %s released %zu\n", command.name.c_str(), hold.reports);
        player.holds.erase(command.name);
        break;
    }
    case Verb::Windows:
        winsim::set_wow64(command.wow64);
        return;
    case Verb::HoldFile:
        // A viewer, an editor or a sync client: reading, sharing reading and writing at most,
        // never deleting.
        if (!winsim::hold_file(L"pelkavorn.config", GENERIC_READ,
                               command.shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0))
            scenario_failed(player, command, "the settings file cannot be held");
        break;
    case Verb::ReleaseFile:
        winsim::release_files();
        break;
    case Verb::ReadOnly:
        if (!SetFileAttributesW(L"pelkavorn.config", FILE_ATTRIBUTE_READONLY))
            scenario_failed(player, command, "the settings file cannot be marked read-only");
        break;
    case Verb::DiskFull:
        winsim::set_disk_room(0);
        break;
    case Verb::Start:
        start_program(player);
        break;
    case Verb::Clock:
        winsim::pin_time(command.numbers[0]);
        return;
    case Verb::Stick: {
        uint16_t x = (uint16_t)command.numbers[0], y = (uint16_t)command.numbers[1];
        send_report(player, player.devices.at(command.name),
                    {0, (uint8_t)(x & 0xFF), (uint8_t)(x >> 8), (uint8_t)(y & 0xFF),
                     (uint8_t)(y >> 8), (uint8_t)command.numbers[2]});
        break;
    }
    case Verb::Report:
        send_report(player, player.devices.at(command.name), command.bytes);
        break;
    case Verb::Click: {
        std::vector<std::wstring> path;
        bool submenu = false;
        if (!find_path(open_menu(player, {}), widen(command.name), &path, &submenu)) {
            const std::string name = "'" + sim::printable(command.name) + "'";
            scenario_failed(player, command,
                            submenu ? name + " opens a submenu; click one of its items"
                                    : "the menu has no item " + name);
        }
        open_menu(player, path);
        if (player.program_ended)
            end_program(player);
        break;
    }
    case Verb::Menu:
        print_events(player);
        print_menu(open_menu(player, {}), "");
        break;
    case Verb::Settings: {
        std::ifstream in("pelkavorn.config", std::ios::binary);
        if (!in) {
            std::printf("settings none\n");
            break;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("settings");
        for (unsigned char c : bytes)
            std::printf(" %02X", c);
        std::printf("\n");
        break;
    }
    case Verb::Close:
        PostMessageW(program_window(), WM_CLOSE, 0, 0);
        end_program(player);
        return;
    }
    if (player.running)
        settle(player);
    print_events(player);
    if (player.running && player.program_ended)
        end_program(player);
}

const char usage_line[] = "usage: pelkavorn-sim [--dir DIR] [--plot FILE.svg] [FILE | -]\n";

int usage() {
    std::fputs(usage_line, stderr);
    return 2;
}

int help() {
    std::fputs(usage_line, stdout);
    std::fputs(
        "\n"
        "Plays the scenario FILE (- reads standard input; none plays the demonstration) with the\n"
        "real program on a simulated machine and prints one event a line: pad, plugged,\n"
        "unplugged, holder, balloon, menu, settings, exit. --dir DIR runs it in DIR instead of\n"
        "a fresh temporary folder; --plot draws what the modes do to the stick's circle into\n"
        "FILE.svg.\n"
        "A wrong scenario is reported on standard error with its line number, exit code 2.\n"
        "\n"
        "A scenario has one command a line; # starts a comment.\n"
        "  config A B C D, config-bytes HEX...  before start: the settings file's values or bytes\n"
        "  bus present|absent|old-version       before start: the bus driver (present by default)\n"
        "  windows native|wow64                 before start: the program is 32-bit on 64-bit\n"
        "                                       Windows (wow64), or native (by default)\n"
        "  plug NAME [other], unplug NAME       a stick (or an unrelated HID device) comes or "
        "goes\n"
        "  hold NAME [shared], release NAME     another program opens the stick (now, or as it\n"
        "                                       is plugged in) sharing nothing (or reading and\n"
        "                                       writing) and keeps reading it; it closes it\n"
        "  hold-file [shared], release-file     another program opens the settings file for\n"
        "                                       reading, sharing nothing (or reading and\n"
        "                                       writing, never deleting); it closes it\n"
        "  readonly                             the settings file is marked read-only\n"
        "  disk-full                            the disk has no room left for growing files\n"
        "  start                                the program's entry point begins\n"
        "  clock SECONDS                        from now on the time function returns SECONDS\n"
        "  stick NAME X Y BUTTON                one report: X, Y 0 to 65535, button 0 or 1\n"
        "  report NAME HEX...                   one report of exactly these bytes\n"
        "  click TEXT                           choose the menu item of that text\n"
        "  menu, settings                       print the menu; print the settings file's bytes\n"
        "  close                                a close request to the program's window\n"
        "A program still running at the end is ended with \"Quit\".\n",
        stdout);
    return 0;
}

// The whole of a scenario file or of standard input; false (errno set) when it cannot be read,
// a folder included.
bool read_all(FILE* in, std::string* text) {
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text->append(buffer, count);
    return !std::ferror(in);
}

} // namespace

int main(int argc, char** argv) {
    std::string dir, plot, file;
    bool have_file = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return help();
        if ((arg == "--dir" || arg == "--plot") && i + 1 < argc)
            (arg == "--dir" ? dir : plot) = argv[++i];
        else if (arg.size() > 1 && arg[0] == '-' && arg != "-")
            return usage();
        else if (!have_file) {
            file = arg;
            have_file = true;
        } else
            return usage();
    }
    // The plot is drawn once the scenario has been played without fault, so a wrong one
    // leaves nothing behind.
    auto draw = [&plot]() {
        std::string error = plot.empty() ? "" : sim::plot_modes(plot);
        if (!error.empty())
            std::fprintf(stderr, "pelkavorn-sim: %s\n", error.c_str());
        return error.empty() ? 0 : 1;
    };
    if (!plot.empty() && !have_file)
        return draw();
    if (!plot.empty())
        plot = std::filesystem::absolute(plot).string(); // the run changes the current folder

    std::string text;
    if (!have_file) {
        text = sim::scenario_demo();
    } else {
        FILE* in = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
        bool read = in && read_all(in, &text);
        const int error = errno;
        if (in && in != stdin)
            std::fclose(in);
        if (!read) {
            std::fprintf(stderr, "pelkavorn-sim: cannot read %s: %s\n",
                         sim::printable(file).c_str(), std::strerror(error));
            return 2;
        }
    }
    const std::string source = have_file ? sim::printable(file) + ": " : "";
    sim::Scenario scenario = sim::scenario_parse(text);
    if (!scenario.error.empty()) {
        std::fprintf(stderr, "pelkavorn-sim: %s%s\n", source.c_str(), scenario.error.c_str());
        return 2;
    }

    std::filesystem::path temporary;
    if (dir.empty()) {
        char name[] = "/tmp/pelkavorn-sim-XXXXXX";
        if (!mkdtemp(name)) {
            std::perror("pelkavorn-sim: temporary directory");
            return 1;
        }
        temporary = dir = name;
    }
    if (chdir(dir.c_str()) != 0) {
        std::perror(("pelkavorn-sim: " + dir).c_str());
        return 1;
    }

    winsim::reset();
    // The program's time function, pinned so that the same scenario always prints the same
    // bytes.
    winsim::pin_time(0);
    Player player;
    player.source = source;
    player.temporary = temporary;
    for (const sim::Command& command : scenario.commands) {
        // The demonstration tells what each part shows.
        if (!have_file)
            for (const std::string& line : command.narration)
                std::printf("%s\n", line.c_str());
        play(command, player);
    }
    if (player.running) {
        sim::Command quit;
        quit.verb = sim::Verb::Click;
        quit.name = "Quit";
        play(quit, player);
    }
    std::fflush(stdout);
    if (!temporary.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temporary, ignored);
    }
    return draw();
}
