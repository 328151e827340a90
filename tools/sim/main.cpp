// pelkavorn-sim: runs the real program, its entry point and every subsystem unchanged, on the
// simulated machine with a simulated bus driver and simulated sticks, driven by a scenario,
// and prints what a user and a game would see, one event a line.
//
//   pelkavorn-sim [--dir DIR] [--plot FILE.svg] [FILE | -]
//
// Without a scenario it plays the built-in demonstration (with --plot alone it only draws).
#include "plot.h"
#include "scenario.h"
#include "settle.h"

#include "app/entry.h"
#include "bus/bus.h"
#include "translate/translate.h"

#include <shellapi.h>
#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace {

std::atomic<int64_t> clock_seconds{0};

// The program's time function, pinned so that the same scenario always prints the same bytes.
int64_t scenario_clock() {
    return clock_seconds.load();
}

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

// The scenario being played and what has been printed of the machine so far.
struct Player {
    sim::BusKind bus_kind = sim::BusKind::Present;
    int bus = -1;
    std::map<std::string, Device> devices;
    int next_number = 1;
    std::thread program;
    std::atomic<bool> program_ended{false};
    int exit_code = 0;
    bool running = false;
    size_t balloons_seen = 0;
    size_t events_seen = 0;
};

void write_file(const std::vector<uint8_t>& bytes) {
    std::ofstream out("pelkavorn.config", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
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

// Prints what happened since the last print: pads arriving and leaving and every report a pad
// took, in the order the bus saw them, then the balloons.
void print_events(Player& player) {
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

bool find_path(const std::vector<winsim::MenuEntry>& items, const std::wstring& text,
               std::vector<std::wstring>* path) {
    for (auto& item : items) {
        if (item.separator)
            continue;
        path->push_back(item.text);
        if (item.text == text && !item.has_submenu)
            return true;
        if (item.has_submenu && find_path(item.submenu, text, path))
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
        write_file(config_bytes(command.numbers));
        return;
    case Verb::ConfigBytes:
        write_file(command.bytes);
        return;
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
    case Verb::Start:
        start_program(player);
        break;
    case Verb::Clock:
        clock_seconds = command.numbers[0];
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
        if (!find_path(open_menu(player, {}), widen(command.name), &path)) {
            std::printf("no menu item '%s'\n", command.name.c_str());
            break;
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

int usage() {
    std::fprintf(stderr, "usage: pelkavorn-sim [--dir DIR] [--plot FILE.svg] [FILE | -]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir, plot, file;
    bool have_file = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
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
    if (!plot.empty()) {
        std::string error = sim::plot_modes(plot);
        if (!error.empty()) {
            std::fprintf(stderr, "pelkavorn-sim: %s\n", error.c_str());
            return 1;
        }
        if (!have_file)
            return 0;
    }

    std::string text;
    if (!have_file) {
        text = sim::scenario_demo();
    } else if (file == "-") {
        std::stringstream in;
        in << std::cin.rdbuf();
        text = in.str();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "pelkavorn-sim: cannot read %s\n", file.c_str());
            return 2;
        }
        std::stringstream buffer;
        buffer << in.rdbuf();
        text = buffer.str();
    }
    sim::Scenario scenario = sim::scenario_parse(text);
    if (!scenario.error.empty()) {
        std::fprintf(stderr, "pelkavorn-sim: %s%s\n", have_file ? (file + ": ").c_str() : "",
                     scenario.error.c_str());
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
    translate_clock = scenario_clock;
    Player player;
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
    return 0;
}
