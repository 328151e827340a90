// rig-harness.exe: plays a pelkavorn-sim scenario against the real pelkavorn.exe under Wine,
// with the rig's test driver standing in for the bus driver and the sticks, and prints what
// the simulator prints for it: pads plugged in and out, every report a pad takes, the settings
// file, and the program's exit code. Tray menu items are chosen through the real tray menu:
// the icon's click message, then keys into the open menu.
//
//   rig-harness.exe --install INF           installs the driver as a root-enumerated device
//   rig-harness.exe SCENARIO EXE [LATENCY]   plays SCENARIO in the current (empty) directory;
//                                           LATENCY gets the driver's report-to-pad times (us);
//                                           SCENARIO "--demo" is the simulator's demonstration,
//                                           narrated
//
// RIG_MENU_PAUSE_MS=N leaves each opened menu on screen for N ms before the keys (for a look
// or a screenshot).
//
// Not printed here, as Wine does not let another process see them: balloons and the menu's
// lines (the menu belongs to the program's process). Reports whose report ID is not 0 cannot
// be made by a stick whose descriptor has no report IDs, so they are not sent.
#include "rig.h"
#include "scenario.h"

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

HANDLE control = INVALID_HANDLE_VALUE;

bool ask(DWORD code, const void* in, DWORD in_length, void* out = nullptr, DWORD out_length = 0,
         DWORD* got = nullptr) {
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(control, code, const_cast<void*>(in), in_length, out, out_length,
                              &bytes, nullptr);
    if (got)
        *got = bytes;
    return ok != FALSE;
}

bool ask_value(DWORD code, uint32_t value) {
    return ask(code, &value, sizeof(value));
}

RigStatus status() {
    RigStatus s{};
    ask(RIG_CTL_STATUS, nullptr, 0, &s, sizeof(s));
    return s;
}

// Polls `condition` every 10 ms for up to `ms`.
template <typename F> bool wait_for(DWORD ms, F condition) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(10);
    }
    return true;
}

struct Player {
    PROCESS_INFORMATION program{};
    bool running = false;
    uint32_t bus_mode = RIG_BUS_PRESENT;
    std::map<std::string, int> sticks; // scenario name -> stick number
    uint32_t events_seen = 0;
    bool clock_set = false; // the scenario's last clock command: its value and when it came
    int64_t clock = 0;
    DWORD clock_tick = 0;
};

bool program_ended(const Player& p) {
    return !p.running || WaitForSingleObject(p.program.hProcess, 0) == WAIT_OBJECT_0;
}

HWND program_window() {
    return FindWindowW(L"PelkavornViGEmClass", nullptr);
}

// Waits until the driver's log has been quiet for `quiet` ms (at most `limit` ms).
void settle(DWORD quiet = 300, DWORD limit = 5000) {
    DWORD start = GetTickCount(), changed = start;
    uint32_t seen = status().events;
    while (GetTickCount() - changed < quiet && GetTickCount() - start < limit) {
        Sleep(10);
        uint32_t now = status().events;
        if (now != seen) {
            seen = now;
            changed = GetTickCount();
        }
    }
}

int16_t s16(const unsigned char* b) {
    return (int16_t)(b[0] | (b[1] << 8));
}

void print_events(Player& p) {
    for (;;) {
        RigEvent batch[64];
        DWORD got = 0;
        if (!ask(RIG_CTL_EVENTS, &p.events_seen, 4, batch, sizeof(batch), &got))
            break;
        DWORD count = got / sizeof(RigEvent);
        if (count == 0)
            break;
        for (DWORD i = 0; i < count; i++) {
            const RigEvent& e = batch[i];
            const unsigned char* r = e.report;
            if (e.kind == RIG_EVENT_PLUGGED)
                std::printf("plugged %u\n", e.serial);
            else if (e.kind == RIG_EVENT_UNPLUGGED)
                std::printf("unplugged %u\n", e.serial);
            else
                std::printf("pad %u %u %u %u %d %d %d %d\n", e.serial,
                            (unsigned)(r[0] | (r[1] << 8)), r[2], r[3], s16(r + 4), s16(r + 6),
                            s16(r + 8), s16(r + 10));
        }
        p.events_seen += count;
    }
    std::fflush(stdout);
}

void end_program(Player& p) {
    if (WaitForSingleObject(p.program.hProcess, 20000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "rig-harness: the program did not end\n");
        TerminateProcess(p.program.hProcess, 99);
    }
    DWORD code = 0;
    GetExitCodeProcess(p.program.hProcess, &code);
    CloseHandle(p.program.hProcess);
    CloseHandle(p.program.hThread);
    p.running = false;
    settle(200);
    print_events(p);
    std::printf("exit %lu\n", (unsigned long)code);
    std::fflush(stdout);
}

HWND open_menu_window() {
    HWND menu = FindWindowW(reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0x8000)), nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

// The tray menu as the program builds it: top-level rows (the status line first, the separator
// skipped by the keys), "FN Modes" holding two items.
bool menu_keys(const std::string& text, std::vector<WPARAM>* keys) {
    static const std::map<std::string, std::pair<int, int>> rows = {
        {"Rotate 40-Deg", {1, -1}}, {"Driving Mode", {2, -1}}, {"76-Deg Movement Lock", {3, 0}},
        {"Fast Turns", {3, 1}},     {"Quit", {4, -1}},
    };
    auto found = rows.find(text);
    if (found == rows.end())
        return false;
    for (int i = 0; i <= found->second.first; i++)
        keys->push_back(VK_DOWN);
    if (found->second.second >= 0) {
        keys->push_back(VK_RIGHT); // opens the submenu on its first item
        for (int i = 0; i < found->second.second; i++)
            keys->push_back(VK_DOWN);
    }
    return true;
}

// Opens the real tray menu with the icon's message and walks it with keys; empty `text`
// dismisses it.
void use_menu(Player& p, const std::string& text) {
    HWND window = program_window();
    std::vector<WPARAM> keys;
    if (!text.empty() && !menu_keys(text, &keys)) {
        std::printf("no menu item '%s'\n", text.c_str());
        return;
    }
    if (!window)
        return;
    PostMessageW(window, WM_USER + 1, 0, WM_RBUTTONUP);
    if (!wait_for(10000, [] { return open_menu_window() != nullptr; })) {
        std::fprintf(stderr, "rig-harness: the tray menu did not open\n");
        return;
    }
    DWORD pause = 50;
    if (const char* wanted = std::getenv("RIG_MENU_PAUSE_MS"))
        pause = (DWORD)std::strtoul(wanted, nullptr, 10);
    Sleep(pause);
    for (WPARAM key : keys) {
        PostMessageW(window, WM_KEYDOWN, key, 1);
        PostMessageW(window, WM_KEYUP, key, 0xC0000001);
        Sleep(30);
    }
    if (text.empty())
        PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
    else
        PostMessageW(window, WM_CHAR, '\r', 1);
    if (!wait_for(10000, [] { return open_menu_window() == nullptr; }))
        std::fprintf(stderr, "rig-harness: the tray menu did not close\n");
    (void)p;
}

void send_report(Player& p, const std::string& name, const std::vector<uint8_t>& bytes) {
    auto stick = p.sticks.find(name);
    if (stick == p.sticks.end() || bytes.empty())
        return;
    if (bytes[0] != 0) // only a stick with report IDs could send this one
        return;
    unsigned char in[4 + RIG_REPORT_BYTES] = {};
    uint32_t number = (uint32_t)stick->second;
    memcpy(in, &number, 4);
    for (size_t i = 1; i < bytes.size() && i <= RIG_REPORT_BYTES; i++)
        in[3 + i] = bytes[i];
    uint32_t before = status().events;
    uint32_t taken = status().reads_taken[number];
    if (!ask(RIG_CTL_REPORT, in, sizeof(in)))
        return;
    // The HID stack takes it at once when it has a read waiting.
    wait_for(2000, [&] { return status().reads_taken[number] != taken; });
    bool pad_possible = p.bus_mode == RIG_BUS_PRESENT && p.running;
    if (pad_possible)
        wait_for(1000, [&] { return status().events != before; });
    settle(pad_possible ? 60 : 300);
}

void start_program(Player& p, const std::string& exe) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::wstring command = L"\"" + std::wstring(exe.begin(), exe.end()) + L"\"";
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &p.program)) {
        std::fprintf(stderr, "rig-harness: cannot start %s (%lu)\n", exe.c_str(), GetLastError());
        std::exit(3);
    }
    p.running = true;
    if (!wait_for(30000, [&] { return program_window() || program_ended(p); })) {
        std::fprintf(stderr, "rig-harness: the program never made its window\n");
        std::exit(3);
    }
    settle(700, 10000);
}

void play(const sim::Command& c, Player& p, const std::string& exe) {
    using sim::Verb;
    switch (c.verb) {
    case Verb::Config:
    case Verb::ConfigBytes: {
        std::string text;
        if (c.verb == Verb::Config) {
            for (size_t i = 0; i < c.numbers.size(); i++)
                text += std::to_string(c.numbers[i]) + (i + 1 < c.numbers.size() ? "\r\n" : "");
        } else {
            text.assign(c.bytes.begin(), c.bytes.end());
        }
        std::ofstream out("pelkavorn.config", std::ios::binary | std::ios::trunc);
        out.write(text.data(), (std::streamsize)text.size());
        return;
    }
    case Verb::Bus:
        return;
    case Verb::Windows:
        // The program runs on whichever Windows Wine is: the executable and the prefix say.
        return;
    case Verb::Hold:
    case Verb::Release:
        // No other program holds a rig stick yet; scripts/wine-e2e leaves such scenarios out.
        std::fprintf(stderr,
                     "rig-harness: line %d: another program holding a stick is not "
                     "played here yet\n",
                     c.line);
        std::exit(2);
    case Verb::Clock: {
        // The simulator sets the program's clock; here real time has to pass instead, at least
        // as much as the scenario's clock moves on.
        DWORD now = GetTickCount();
        if (p.clock_set && c.numbers[0] > p.clock) {
            DWORD wanted = (DWORD)(c.numbers[0] - p.clock) * 1000 + 100;
            if (now - p.clock_tick < wanted)
                Sleep(wanted - (now - p.clock_tick));
        }
        p.clock_set = true;
        p.clock = c.numbers[0];
        p.clock_tick = GetTickCount();
        return;
    }
    case Verb::Plug: {
        if (!p.sticks.count(c.name)) {
            int number = (int)p.sticks.size();
            p.sticks[c.name] = number;
        }
        uint32_t number = (uint32_t)p.sticks[c.name];
        // A stick unplugged a moment ago is gone once the system has removed it.
        wait_for(10000, [&] { return !status().stick_started[number]; });
        uint32_t plug[2] = {number, c.other ? 1u : 0u};
        if (!ask(RIG_CTL_PLUG, plug, sizeof(plug)))
            std::fprintf(stderr, "rig-harness: plug %s refused (%lu)\n", c.name.c_str(),
                         GetLastError());
        // Started by its HID stack, which then keeps a read waiting.
        if (!wait_for(15000, [&] {
                RigStatus s = status();
                return s.stick_started[number] && s.reads_pending[number];
            }))
            std::fprintf(stderr, "rig-harness: stick %s did not start\n", c.name.c_str());
        if (p.running)
            settle(800, 8000);
        break;
    }
    case Verb::Unplug: {
        uint32_t number = (uint32_t)p.sticks.at(c.name);
        ask_value(RIG_CTL_UNPLUG, number);
        wait_for(10000, [&] { return !status().stick_started[number]; });
        if (p.running)
            settle(800, 8000);
        break;
    }
    case Verb::Start:
        start_program(p, exe);
        break;
    case Verb::Stick: {
        uint16_t x = (uint16_t)c.numbers[0], y = (uint16_t)c.numbers[1];
        send_report(p, c.name,
                    {0, (uint8_t)(x & 0xFF), (uint8_t)(x >> 8), (uint8_t)(y & 0xFF),
                     (uint8_t)(y >> 8), (uint8_t)c.numbers[2]});
        break;
    }
    case Verb::Report:
        send_report(p, c.name, c.bytes);
        break;
    case Verb::Click:
        use_menu(p, c.name);
        if (c.name == "Quit") {
            end_program(p);
            return;
        }
        settle(300);
        break;
    case Verb::Menu:
        print_events(p);
        use_menu(p, "");
        settle(200);
        break;
    case Verb::Settings: {
        std::ifstream in("pelkavorn.config", std::ios::binary);
        if (!in) {
            std::printf("settings none\n");
            break;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("settings");
        for (unsigned char ch : bytes)
            std::printf(" %02X", ch);
        std::printf("\n");
        break;
    }
    case Verb::Close:
        PostMessageW(program_window(), WM_CLOSE, 0, 0);
        end_program(p);
        return;
    }
    print_events(p);
    if (p.running && program_ended(p))
        end_program(p);
}

int install(const char* inf_path) {
    static const GUID system_class = {
        0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    static const wchar_t hardware_id[] = L"root\\pelkrig\0";
    std::string narrow(inf_path);
    std::wstring inf(narrow.begin(), narrow.end());
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (set == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoW(set, L"ROOT\\SYSTEM\\PELKRIG", &system_class, nullptr, nullptr, 0,
                                  &device) ||
        !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardware_id),
                                           sizeof(hardware_id)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        std::fprintf(stderr, "rig-harness: registering the device failed (%lu)\n", GetLastError());
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\pelkrig", inf.c_str(),
                                            INSTALLFLAG_FORCE, &reboot)) {
        std::fprintf(stderr, "rig-harness: installing the driver failed (%lu)\n", GetLastError());
        return 1;
    }
    return 0;
}

bool open_control() {
    return wait_for(20000, [] {
        control = CreateFileW(RIG_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        return control != INVALID_HANDLE_VALUE;
    });
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--install")
        return install(argv[2]);
    if (argc < 3) {
        std::fprintf(stderr, "usage: rig-harness --install INF | SCENARIO EXE [LATENCY]\n");
        return 2;
    }
    bool demo = std::string(argv[1]) == "--demo";
    std::stringstream text;
    if (demo) {
        text << sim::scenario_demo();
    } else {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "rig-harness: cannot read %s\n", argv[1]);
            return 2;
        }
        text << in.rdbuf();
    }
    sim::Scenario scenario = sim::scenario_parse(text.str());
    if (!scenario.error.empty()) {
        std::fprintf(stderr, "rig-harness: %s\n", scenario.error.c_str());
        return 2;
    }
    if (!open_control()) {
        std::fprintf(stderr, "rig-harness: no rig driver (%lu)\n", GetLastError());
        return 3;
    }
    Player p;
    for (const sim::Command& c : scenario.commands)
        if (c.verb == sim::Verb::Bus)
            p.bus_mode = c.bus == sim::BusKind::Absent       ? RIG_BUS_ABSENT
                         : c.bus == sim::BusKind::OldVersion ? RIG_BUS_OLD_VERSION
                                                             : RIG_BUS_PRESENT;
    ask_value(RIG_CTL_RESET, p.bus_mode);
    wait_for(10000, [] {
        RigStatus s = status();
        for (int i = 0; i < RIG_STICKS; i++)
            if (s.stick_started[i])
                return false;
        return true;
    });
    for (const sim::Command& c : scenario.commands) {
        if (demo)
            for (const std::string& line : c.narration)
                std::printf("%s\n", line.c_str());
        play(c, p, argv[2]);
    }
    if (p.running) {
        sim::Command quit;
        quit.verb = sim::Verb::Click;
        quit.name = "Quit";
        play(quit, p, argv[2]);
    }
    if (argc > 3) {
        std::vector<int64_t> buffer(1 + 4096);
        DWORD got = 0;
        if (ask(RIG_CTL_LATENCIES, nullptr, 0, buffer.data(), (DWORD)(buffer.size() * 8), &got) &&
            got >= 8 && buffer[0] > 0) {
            std::ofstream out(argv[3], std::ios::app);
            for (DWORD i = 1; i < got / 8; i++)
                out << (buffer[i] * 1000000 / buffer[0]) << "\n";
        }
    }
    // A record the bus refused for its form is a fault of the program's client, whatever the
    // output says.
    unsigned refused = status().refused;
    if (refused)
        std::fprintf(stderr, "rig-harness: the bus refused %u malformed requests\n", refused);
    // The next scenario starts from a bus without sticks.
    ask_value(RIG_CTL_RESET, RIG_BUS_PRESENT);
    return refused ? 4 : 0;
}
