// rig-harness.exe: plays a pelkavorn-sim scenario against the real pelkavorn.exe under Wine,
// with the rig's test driver standing in for the bus driver and the sticks, and prints what
// the simulator prints for it: pads plugged in and out, every report a pad takes, the settings
// file, and the program's exit code. Tray menu items are chosen through the real tray menu:
// the icon's click message, then keys into the open menu.
//
//   rig-harness.exe --install INF           installs the driver as a root-enumerated device
//   rig-harness.exe SCENARIO EXE [LATENCY]   plays SCENARIO in the current (empty) directory;
//                                           LATENCY gets the times (us) from a stick report to
//                                           the pad report ("bus"), from there to XInput
//                                           ("visible") and end to end ("game");
//                                           SCENARIO "--demo" is the simulator's demonstration,
//                                           narrated
//
// RIG_MENU_PAUSE_MS=N leaves each opened menu on screen for N ms before the keys (for a look
// or a screenshot). RIG_SHOT_FILE=PATH: after the first report that deflects the stick far,
// once a game sees it, the harness makes PATH and waits (at most 20 s) until it is deleted, so
// that a screenshot shows the deflection.
//
// Not printed here, as Wine does not let another process see them: balloons and the menu's
// lines (the menu belongs to the program's process). Reports whose report ID is not 0 cannot
// be made by a stick whose descriptor has no report IDs, so they are not sent.
#include "rig.h"
#include "scenario.h"
#include "tray/tray.h"

#include <windows.h>

#include <dinput.h>
#include <newdev.h>
#include <setupapi.h>
#include <xinput.h>

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

// Polls `condition` every `every` ms for up to `ms`.
template <typename F> bool wait_for(DWORD ms, F condition, DWORD every = 10) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(every);
    }
    return true;
}

// Another program holding a stick ("hold NAME [shared]"): the harness itself opens the stick's
// HID interface for reading and writing, sharing nothing or reading and writing, and keeps a
// read outstanding on a thread of its own, which counts every report it takes.
struct Holder {
    std::string name;
    DWORD share = 0;
    bool waiting = false; // for the stick's plug-in, which it opens at once (RIG_CTL_RESERVE)
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    volatile LONG reads = 0;    // reports its reads took
    volatile LONG lost = 0;     // a read failed: the stick's handle stopped working
    volatile LONG stopping = 0; // its release cancels the read
    bool told_lost = false;
    LONG sent = 0; // stick reports handed to the HID stack while it held the stick
};

struct Player {
    PROCESS_INFORMATION program{};
    bool running = false;
    uint32_t bus_mode = RIG_BUS_PRESENT;
    std::map<std::string, int> sticks; // scenario name -> stick number
    bool other[RIG_STICKS] = {};       // the number is an unrelated HID device, not a stick
    uint32_t events_seen = 0;
    bool clock_set = false; // the scenario's last clock command: its value and when it came
    int64_t clock = 0;
    DWORD clock_tick = 0;
    bool windowless = false;       // a client without the program's window (the latency baseline)
    bool timing = false;           // a latency run: the watcher notes when XInput shows each report
    std::string idle_mark;         // timing: a file made when the program is left idle
    std::vector<RigEvent> reports; // timing: every pad report the bus took, in order
    std::map<std::string, Holder> holders;     // by stick name, from hold to release
    HANDLE file_holder = INVALID_HANDLE_VALUE; // the settings file, from hold-file to release-file
};

bool program_ended(const Player& p) {
    return !p.running || WaitForSingleObject(p.program.hProcess, 0) == WAIT_OBJECT_0;
}

HWND program_window() {
    return FindWindowW(L"PelkavornViGEmClass", nullptr);
}

// Waits until the program has done with the menu item chosen last, which writes the settings
// file: the item runs straight after the menu closes, and its thread takes a message sent to it
// only between its tray calls (which send to the shell and wait) or once it is back in its
// loop. The third of three sent in a row arrives after the item's write either way.
void wait_for_program_idle() {
    HWND window = program_window();
    for (int i = 0; window && i < 3; i++)
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, nullptr);
}

RigSettle settle_state() {
    RigSettle s{};
    ask(RIG_CTL_SETTLE, nullptr, 0, &s, sizeof(s));
    return s;
}

// Sticks that the program (or the latency baseline) reads now.
unsigned readers(const RigSettle& s) {
    unsigned n = 0;
    for (int i = 0; i < RIG_STICKS; i++)
        n += s.readers[i];
    return n;
}

// The program has done all it will do until the next outside event: every stick it reads has
// asked for its next report (so the last one has gone to the bus), no bus request is being
// answered, its main thread has run everything queued for it (the round trip of its wake
// message, which runs the queue when handled, and is handled only once the main thread is back
// in its loop) and, with a bus, every stick it reads has its pad and no other pad is left.
bool program_settled(const Player& p) {
    RigSettle s = settle_state();
    for (int i = 0; i < RIG_STICKS; i++)
        if (s.readers_behind[i])
            return false;
    if (s.bus_requests)
        return false;
    bool alive = p.running && !program_ended(p);
    if (HWND window = alive ? program_window() : nullptr) {
        static const UINT wake = RegisterWindowMessageW(TRAY_WAKE_MESSAGE_NAME);
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(window, wake, 0, 0, SMTO_NORMAL, 10000, &result) &&
            !program_ended(p))
            return false;
    }
    if (alive && p.bus_mode == RIG_BUS_PRESENT && status().views_present != 2 * readers(s))
        return false;
    return true;
}

// Waits until program_settled holds twice running: a reader that ends posts its work to the
// main thread just after its pad's unplug. Far beyond what the program needs; one that has not
// settled by then is compared as it is.
void settle(const Player& p, DWORD limit = 30000) {
    DWORD start = GetTickCount();
    for (int calm = 0; calm < 2;) {
        if (GetTickCount() - start > limit) {
            std::fprintf(stderr, "rig-harness: the program did not settle\n");
            return;
        }
        calm = program_settled(p) ? calm + 1 : 0;
        if (calm < 2)
            Sleep(calm ? 1 : 10);
    }
}

// After a stick comes (or the program starts with sticks there), the program's first sign of
// hearing of it: an open that shares less than reading and writing. None comes while it reads
// another stick already, its table being full.
void wait_for_open(const Player& p, const RigSettle& before) {
    wait_for(30000, [&] {
        if (program_ended(p))
            return true;
        RigSettle now = settle_state();
        for (int i = 0; i < RIG_STICKS; i++)
            if (now.private_opens[i] != before.private_opens[i])
                return true;
        return readers(now) > 0;
    });
}

int16_t s16(const unsigned char* b) {
    return (int16_t)(b[0] | (b[1] << 8));
}

// ---- what a game sees ----
//
// After every batch of the driver's log, the harness reads each pad the way a game does: Wine's
// XInputGetState (xinput1_4, or xinput1_3 where the scenario says "#wine: xinput1_3") and
// DirectInput's device state, and compares both with the last pad report the bus took. A pad
// plugged in must appear to both, one pulled out must go from both. Every difference is a line
// of its own ("game ..."), which the simulator never prints.

// A pad's state in the pad report's terms.
struct PadState {
    unsigned buttons = 0, lt = 0, rt = 0;
    int lx = 0, ly = 0, rx = 0, ry = 0;
    bool operator==(const PadState& o) const {
        return buttons == o.buttons && lt == o.lt && rt == o.rt && lx == o.lx && ly == o.ly &&
               rx == o.rx && ry == o.ry;
    }
    std::string text() const {
        char line[96];
        std::snprintf(line, sizeof(line), "%u %u %u %d %d %d %d", buttons, lt, rt, lx, ly, rx, ry);
        return line;
    }
};

PadState state_from_report(const unsigned char* r) {
    PadState s;
    s.buttons = (unsigned)(r[0] | (r[1] << 8));
    s.lt = r[2];
    s.rt = r[3];
    s.lx = s16(r + 4);
    s.ly = s16(r + 6);
    s.rx = s16(r + 8);
    s.ry = s16(r + 10);
    return s;
}

PadState state_from_xinput(const XINPUT_GAMEPAD& g) {
    PadState s;
    s.buttons = g.wButtons;
    s.lt = g.bLeftTrigger;
    s.rt = g.bRightTrigger;
    s.lx = g.sThumbLX;
    s.ly = g.sThumbLY;
    s.rx = g.sThumbRX;
    s.ry = g.sThumbRY;
    return s;
}

// DirectInput's buttons 1 to 11 are the pad's A, B, X, Y, LB, RB, Back, Start, left thumb, right
// thumb, Guide; the hat is the D-pad. The rig's pad sends its Y axes inverted (so that xinput,
// which inverts them, reads the pad's values), and DirectInput passes them on as they come.
PadState state_from_dinput(const DIJOYSTATE2& j) {
    static const unsigned buttons[11] = {0x1000, 0x2000, 0x4000, 0x8000, 0x0100, 0x0200,
                                         0x0020, 0x0010, 0x0040, 0x0080, 0x0400};
    static const unsigned hats[8] = {0x1, 0x9, 0x8, 0xA, 0x2, 0x6, 0x4, 0x5};
    PadState s;
    for (int i = 0; i < 11; i++)
        if (j.rgbButtons[i] & 0x80)
            s.buttons |= buttons[i];
    DWORD pov = j.rgdwPOV[0];
    if (LOWORD(pov) != 0xFFFF && pov % 4500 == 0 && pov / 4500 < 8)
        s.buttons |= hats[pov / 4500];
    s.lt = (unsigned)j.lZ;
    s.rt = (unsigned)j.lRz;
    s.lx = (int)j.lX;
    s.ly = -(int)j.lY - 1;
    s.rx = (int)j.lRx;
    s.ry = -(int)j.lRy - 1;
    return s;
}

using GetStateFunction = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);

struct GamePad {
    int slot = -1;    // its XInput user index, once it appeared there
    DWORD packet = 0; // XInput's packet number when it last showed a report of this pad
    IDirectInputDevice8W* device = nullptr; // its DirectInput device, once it appeared there
    GUID instance{};
};

// One observation of the latency watcher: when XInput's packet number moved, and to what.
struct Seen {
    int64_t at;
    PadState state;
};

struct Game {
    const char* xinput_dll = "";
    GetStateFunction get_state = nullptr;
    IDirectInput8W* input = nullptr;
    std::map<uint32_t, GamePad> pads; // by the bus's serial; main thread only
    // The latency watcher (latency runs only): polls one XInput slot and notes every change.
    HANDLE watcher = nullptr;
    HANDLE wake = nullptr; // set when a report is on its way: the watcher polls until it shows
    volatile LONG watching = 0;
    volatile LONG watched_slot = -1;
    CRITICAL_SECTION seen_lock;
    std::vector<Seen> seen; // guarded by seen_lock
};

Game game;

int64_t counter_now() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

void game_open(const char* xinput_dll) {
    game.xinput_dll = xinput_dll;
    HMODULE xinput = LoadLibraryA(xinput_dll);
    if (xinput)
        game.get_state =
            reinterpret_cast<GetStateFunction>( // through void (*)(): its real type, by name
                reinterpret_cast<void (*)()>(GetProcAddress(xinput, "XInputGetState")));
    if (!game.get_state) {
        std::fprintf(stderr, "rig-harness: no XInputGetState in %s\n", xinput_dll);
        std::exit(3);
    }
    XINPUT_STATE s;
    game.get_state(0, &s); // starts xinput's thread, which follows the pads from now on
    if (FAILED(DirectInput8Create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION,
                                  IID_IDirectInput8W, reinterpret_cast<void**>(&game.input),
                                  nullptr))) {
        std::fprintf(stderr, "rig-harness: DirectInput8Create failed\n");
        std::exit(3);
    }
    InitializeCriticalSection(&game.seen_lock);
}

bool xinput_connected(int slot) {
    XINPUT_STATE s;
    return game.get_state((DWORD)slot, &s) == ERROR_SUCCESS;
}

bool slot_held(int slot) {
    for (auto& [serial, pad] : game.pads)
        if (pad.slot == slot)
            return true;
    return false;
}

BOOL CALLBACK collect_pad(LPCDIDEVICEINSTANCEW instance, LPVOID context) {
    // The Xbox 360 pad's vendor and product, as DirectInput puts them in the product GUID.
    if (instance->guidProduct.Data1 == MAKELONG(0x045E, 0x028E))
        static_cast<std::vector<GUID>*>(context)->push_back(instance->guidInstance);
    return DIENUM_CONTINUE;
}

// A DirectInput pad that no other pad of ours holds, set up to read the pad report's ranges.
bool dinput_take(GamePad* pad, uint32_t serial) {
    std::vector<GUID> found;
    game.input->EnumDevices(DI8DEVCLASS_GAMECTRL, collect_pad, &found, DIEDFL_ATTACHEDONLY);
    for (const GUID& instance : found) {
        bool held = false;
        for (auto& [other, held_pad] : game.pads)
            held = held || (held_pad.device && IsEqualGUID(held_pad.instance, instance));
        if (held)
            continue;
        IDirectInputDevice8W* device = nullptr;
        HRESULT hr = game.input->CreateDevice(instance, &device, nullptr);
        if (SUCCEEDED(hr))
            hr = device->SetDataFormat(&c_dfDIJoystick2);
        static const struct {
            DWORD offset;
            LONG min, max;
        } ranges[] = {{DIJOFS_X, -32768, 32767},  {DIJOFS_Y, -32768, 32767},
                      {DIJOFS_RX, -32768, 32767}, {DIJOFS_RY, -32768, 32767},
                      {DIJOFS_Z, 0, 255},         {DIJOFS_RZ, 0, 255}};
        for (const auto& r : ranges) {
            DIPROPRANGE range{};
            range.diph.dwSize = sizeof(range);
            range.diph.dwHeaderSize = sizeof(range.diph);
            range.diph.dwObj = r.offset;
            range.diph.dwHow = DIPH_BYOFFSET;
            range.lMin = r.min;
            range.lMax = r.max;
            if (SUCCEEDED(hr))
                hr = device->SetProperty(DIPROP_RANGE, &range.diph);
        }
        if (SUCCEEDED(hr))
            hr = device->Acquire();
        if (FAILED(hr)) {
            std::printf("game: DirectInput refuses pad %u (%08lx)\n", serial, (unsigned long)hr);
            if (device)
                device->Release();
            return true; // told; do not wait any longer
        }
        pad->device = device;
        pad->instance = instance;
        return true;
    }
    return false;
}

// Polls like a game that reads as often as it can, but only while a report is on its way, so
// that it does not take a core from the path it measures the rest of the time.
DWORD WINAPI watch_xinput(void*) {
    DWORD packet = 0;
    XINPUT_STATE s;
    if (game.get_state((DWORD)game.watched_slot, &s) == ERROR_SUCCESS)
        packet = s.dwPacketNumber;
    while (WaitForSingleObject(game.wake, INFINITE) == WAIT_OBJECT_0 && game.watching) {
        DWORD start = GetTickCount();
        while (game.watching && GetTickCount() - start < 2000) {
            LONG slot = game.watched_slot;
            if (slot >= 0 && game.get_state((DWORD)slot, &s) == ERROR_SUCCESS &&
                s.dwPacketNumber != packet) {
                int64_t at = counter_now();
                packet = s.dwPacketNumber;
                EnterCriticalSection(&game.seen_lock);
                game.seen.push_back({at, state_from_xinput(s.Gamepad)});
                LeaveCriticalSection(&game.seen_lock);
                break;
            }
            SwitchToThread();
        }
    }
    return 0;
}

void game_plugged(uint32_t serial, bool watch) {
    GamePad pad;
    if (!wait_for(15000, [&] {
            for (int slot = 0; slot < XUSER_MAX_COUNT; slot++)
                if (!slot_held(slot) && xinput_connected(slot)) {
                    pad.slot = slot;
                    return true;
                }
            return false;
        }))
        std::printf("game: no XInput pad for pad %u\n", serial);
    if (!wait_for(
            15000, [&] { return dinput_take(&pad, serial); }, 100))
        std::printf("game: no DirectInput pad for pad %u\n", serial);
    std::fprintf(stderr, "rig-harness: pad %u is %s user %d%s\n", serial, game.xinput_dll, pad.slot,
                 pad.device ? " and a DirectInput device" : "");
    game.pads[serial] = pad;
    if (watch && pad.slot >= 0 && !game.watcher) {
        game.watched_slot = pad.slot;
        game.watching = 1;
        game.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        game.watcher = CreateThread(nullptr, 0, watch_xinput, nullptr, 0, nullptr);
    }
}

void game_unplugged(uint32_t serial) {
    auto found = game.pads.find(serial);
    if (found == game.pads.end())
        return;
    GamePad& pad = found->second;
    // xinput may give the slot to a pad plugged in right after this one went, between two looks;
    // that one starts again from packet number 0.
    XINPUT_STATE s;
    if (pad.slot >= 0 && !wait_for(15000, [&] {
            return game.get_state((DWORD)pad.slot, &s) != ERROR_SUCCESS ||
                   s.dwPacketNumber < pad.packet;
        }))
        std::printf("game: XInput still shows pad %u\n", serial);
    if (pad.slot == game.watched_slot)
        game.watched_slot = -1;
    if (pad.device) {
        DIJOYSTATE2 j;
        if (!wait_for(15000, [&] { return FAILED(pad.device->GetDeviceState(sizeof(j), &j)); }))
            std::printf("game: DirectInput still shows pad %u\n", serial);
        pad.device->Unacquire();
        pad.device->Release();
    }
    game.pads.erase(found);
}

// Waits until both views show the pad report; prints what a view shows when it never does.
void game_check(uint32_t serial, const unsigned char* report) {
    auto found = game.pads.find(serial);
    if (found == game.pads.end())
        return;
    GamePad& pad = found->second;
    PadState wanted = state_from_report(report), got;
    if (pad.slot >= 0) {
        XINPUT_STATE s{};
        if (!wait_for(5000, [&] {
                if (game.get_state((DWORD)pad.slot, &s) != ERROR_SUCCESS)
                    return false;
                got = state_from_xinput(s.Gamepad);
                return got == wanted;
            }))
            std::printf("game: XInput reads pad %u as %s\n", serial, got.text().c_str());
        pad.packet = s.dwPacketNumber;
    }
    if (pad.device) {
        DIJOYSTATE2 j{};
        if (!wait_for(5000, [&] {
                if (FAILED(pad.device->GetDeviceState(sizeof(j), &j)))
                    return false;
                got = state_from_dinput(j);
                return got == wanted;
            }))
            std::printf("game: DirectInput reads pad %u as %s\n", serial, got.text().c_str());
    }
}

void game_close() {
    if (game.watcher) {
        game.watching = 0;
        SetEvent(game.wake);
        WaitForSingleObject(game.watcher, INFINITE);
        CloseHandle(game.watcher);
        game.watcher = nullptr;
    }
}

// ---- another program holding a stick ----

DWORD WINAPI hold_reading(void* context) {
    Holder& h = *static_cast<Holder*>(context);
    unsigned char report[64]; // longer than the stick's report; the HID class copies what it has
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (!h.stopping) {
        DWORD bytes = 0;
        ResetEvent(o.hEvent);
        BOOL ok = ReadFile(h.file, report, sizeof(report), nullptr, &o);
        if (!ok && GetLastError() != ERROR_IO_PENDING)
            break;
        if (!GetOverlappedResult(h.file, &o, &bytes, TRUE))
            break;
        InterlockedIncrement(&h.reads);
    }
    if (!h.stopping)
        InterlockedExchange(&h.lost, 1);
    CloseHandle(o.hEvent);
    return 0;
}

// The stick's HID interface path: its vendor and product, and the instance the rig's bus gives
// stick `number`.
std::wstring stick_path(uint32_t number) {
    static const GUID hid_class = {
        0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    wchar_t instance[8];
    std::swprintf(instance, 8, L"#%u#", number + 1);
    std::wstring found;
    HDEVINFO set =
        SetupDiGetClassDevsW(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0;
         found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class, i, &data); i++) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            char room[1024];
        } u{};
        u.detail.cbSize = sizeof(u.detail);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, &u.detail, sizeof(u), nullptr, nullptr))
            continue;
        std::wstring path = u.detail.DevicePath;
        for (wchar_t& ch : path)
            ch = (wchar_t)towlower(ch);
        std::wstring ids = STICK_PATH_FILTER;
        for (wchar_t& ch : ids)
            ch = (wchar_t)towlower(ch);
        if (path.find(ids) != std::wstring::npos && path.find(instance) != std::wstring::npos)
            found = u.detail.DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool collection_information(HANDLE file) {
    const DWORD get_collection_information = 0x000B01A8; // IOCTL_HID_GET_COLLECTION_INFORMATION
    unsigned char out[64];
    DWORD bytes = 0;
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(file, get_collection_information, nullptr, 0, out, sizeof(out),
                              nullptr, &o);
    if (ok || GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(file, &o, &bytes, TRUE);
    DWORD error = GetLastError();
    CloseHandle(o.hEvent);
    SetLastError(error);
    return ok != FALSE;
}

// The holder opens the stick now; "holder NAME refused" when its open fails (the program has
// it open sharing nothing). Its open carries the rig's mark, so that it takes the stick's
// reservation when it waited for the plug-in.
void hold_open(Player& p, Holder& h) {
    uint32_t number = (uint32_t)p.sticks.at(h.name);
    std::wstring path;
    h.waiting = false;
    // Its interface appears once the HID class has started the stick.
    if (!wait_for(10000, [&] { return !(path = stick_path(number)).empty(); })) {
        std::fprintf(stderr, "rig-harness: no HID interface for stick %s\n", h.name.c_str());
        return;
    }
    h.file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, h.share, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_RANDOM_ACCESS, nullptr);
    // Wine hands out the handle whatever the driver says; the rig's stick then fails every
    // request on it, as a program learns at its first one (here what HidD_GetAttributes asks).
    if (h.file != INVALID_HANDLE_VALUE && !collection_information(h.file)) {
        DWORD error = GetLastError();
        CloseHandle(h.file);
        h.file = INVALID_HANDLE_VALUE;
        SetLastError(error);
    }
    if (h.file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "rig-harness: the holder's open of %s failed (%lu)\n", h.name.c_str(),
                     GetLastError());
        std::printf("holder %s refused\n", h.name.c_str());
        return;
    }
    h.thread = CreateThread(nullptr, 0, hold_reading, &h, 0, nullptr);
}

void hold(Player& p, const std::string& name, bool shared) {
    Holder& h = p.holders[name];
    h.name = name;
    h.share = shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    auto stick = p.sticks.find(name);
    if (stick != p.sticks.end() && status().stick_present[stick->second]) {
        hold_open(p, h);
        return;
    }
    // A stick to come: the rig counts it as opened by the holder from its plug-in.
    if (stick == p.sticks.end()) {
        int number = (int)p.sticks.size();
        p.sticks[name] = number;
    }
    uint32_t reserve[2] = {(uint32_t)p.sticks[name], h.share};
    if (!ask(RIG_CTL_RESERVE, reserve, sizeof(reserve)))
        std::fprintf(stderr, "rig-harness: reserving %s refused (%lu)\n", name.c_str(),
                     GetLastError());
    h.waiting = true;
}

// The holder closes its handle once its reads have taken every report the stick sent it (as
// long as its handle worked), and says how many they took.
void release(Player& p, const std::string& name) {
    auto found = p.holders.find(name);
    if (found == p.holders.end())
        return;
    Holder& h = found->second;
    if (h.waiting)
        ask_value(RIG_CTL_RESERVE, (uint32_t)p.sticks.at(name));
    if (h.thread) {
        wait_for(5000, [&] { return h.lost || h.reads >= h.sent; });
        h.stopping = 1;
        // A read the thread issues just as the cancel comes would wait for ever: cancel again
        // until the thread has ended.
        do
            CancelIoEx(h.file, nullptr);
        while (WaitForSingleObject(h.thread, 50) == WAIT_TIMEOUT);
        CloseHandle(h.thread);
    }
    if (h.file != INVALID_HANDLE_VALUE)
        CloseHandle(h.file);
    // The program hears nothing of another program's close.
    std::printf("holder %s released %ld\n", name.c_str(), (long)h.reads);
    p.holders.erase(found);
}

void print_events(Player& p) {
    for (auto& [name, h] : p.holders) {
        if (h.lost && !h.told_lost) {
            h.told_lost = true;
            std::printf("holder %s lost\n", name.c_str());
        }
    }
    std::map<uint32_t, RigEvent> last; // each pad's newest report not yet checked
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
            if (e.kind == RIG_EVENT_PLUGGED) {
                std::printf("plugged %u\n", e.serial);
                game_plugged(e.serial, p.timing);
            } else if (e.kind == RIG_EVENT_UNPLUGGED) {
                std::printf("unplugged %u\n", e.serial);
                // A report right before the pull-out may be gone before a game could look.
                last.erase(e.serial);
                game_unplugged(e.serial);
            } else {
                std::printf("pad %u %u %u %u %d %d %d %d\n", e.serial,
                            (unsigned)(r[0] | (r[1] << 8)), r[2], r[3], s16(r + 4), s16(r + 6),
                            s16(r + 8), s16(r + 10));
                last[e.serial] = e;
                if (p.timing)
                    p.reports.push_back(e);
            }
        }
        p.events_seen += count;
    }
    // Reports that came close together may reach a game as the newest of them alone.
    for (auto& [serial, e] : last)
        game_check(serial, e.report);
    std::fflush(stdout);
}

void end_program(Player& p) {
    if (p.windowless) // nothing to quit from: the latency baseline runs until ended
        TerminateProcess(p.program.hProcess, 0);
    if (WaitForSingleObject(p.program.hProcess, 20000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "rig-harness: the program did not end\n");
        TerminateProcess(p.program.hProcess, 99);
    }
    DWORD code = 0;
    GetExitCodeProcess(p.program.hProcess, &code);
    CloseHandle(p.program.hProcess);
    CloseHandle(p.program.hThread);
    p.running = false;
    settle(p);
    print_events(p);
    std::printf("exit %lu\n", (unsigned long)code);
    std::fflush(stdout);
}

// A popup menu on screen. Hidden menu windows (a submenu's, one on its way out) come first
// at times, so every one is looked at.
HWND open_menu_window() {
    auto menu_class = reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0x8000));
    for (HWND menu = FindWindowExW(nullptr, nullptr, menu_class, nullptr); menu;
         menu = FindWindowExW(nullptr, menu, menu_class, nullptr))
        if (IsWindowVisible(menu))
            return menu;
    return nullptr;
}

// The tray menu as the program builds it: top-level rows (the status line first, the separator
// skipped by the keys), "FN Modes" holding two items.
bool menu_keys(const std::string& text, std::vector<WPARAM>* keys) {
    static const std::map<std::string, std::pair<int, int>> rows = {
        {"Pelkavorn K7 Detected", {0, -1}},
        {"Pelkavorn K7 Not Detected", {0, -1}},
        {"Rotate 40-Deg", {1, -1}},
        {"Driving Mode", {2, -1}},
        {"76-Deg Movement Lock", {3, 0}},
        {"Fast Turns", {3, 1}},
        {"Quit", {4, -1}},
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
    uint32_t taken = status().reads_taken[number];
    if (game.watcher)
        SetEvent(game.wake);
    if (!ask(RIG_CTL_REPORT, in, sizeof(in)))
        return;
    auto holder = p.holders.find(name);
    if (holder != p.holders.end() && holder->second.thread && !holder->second.lost)
        holder->second.sent++;
    // The HID stack takes it at once when it has a read waiting.
    wait_for(2000, [&] { return status().reads_taken[number] != taken; });
    settle(p);
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
    // The latency baseline has no window; it shows itself by plugging in its pad.
    if (!wait_for(30000, [&] { return program_window() || program_ended(p) || status().events; })) {
        std::fprintf(stderr, "rig-harness: the program never made its window\n");
        std::exit(3);
    }
    p.windowless = !program_window() && !program_ended(p);
    RigStatus s = status();
    bool stick_there = false;
    for (auto& [name, number] : p.sticks)
        stick_there = stick_there || (s.stick_started[number] && !p.other[number]);
    if (stick_there)
        wait_for_open(p, RigSettle{});
    settle(p);
}

void hold_for_screenshot(const sim::Command& c) {
    static bool held = false;
    const char* path = std::getenv("RIG_SHOT_FILE");
    if (held || !path || game.pads.empty())
        return;
    if (std::abs(c.numbers[0] - 32768) < 24000 && std::abs(c.numbers[1] - 32768) < 24000)
        return;
    held = true;
    std::ofstream(path) << "deflected\n";
    wait_for(
        20000, [&] { return GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES; }, 50);
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
    case Verb::Clock: {
        // The simulator sets the program's clock; here real time has to pass instead, at least
        // as much as the scenario's clock moves on.
        DWORD now = GetTickCount();
        if (p.clock_set && c.numbers[0] > p.clock) {
            DWORD wanted = (DWORD)(c.numbers[0] - p.clock) * 1000 + 100;
            // A latency run's long quiet spell is when scripts/wine-e2e measures idle CPU.
            if (p.timing && wanted >= 10000 && !p.idle_mark.empty())
                std::ofstream(p.idle_mark) << "idle\n";
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
        p.other[number] = c.other;
        RigSettle before = settle_state();
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
        auto holder = p.holders.find(c.name);
        if (holder != p.holders.end() && holder->second.waiting)
            hold_open(p, holder->second);
        if (p.running && !c.other)
            wait_for_open(p, before);
        if (p.running)
            settle(p);
        break;
    }
    case Verb::Unplug: {
        uint32_t number = (uint32_t)p.sticks.at(c.name);
        ask_value(RIG_CTL_UNPLUG, number);
        wait_for(10000, [&] { return !status().stick_started[number]; });
        // A holder's read fails with the stick gone.
        auto holder = p.holders.find(c.name);
        if (holder != p.holders.end() && holder->second.thread)
            wait_for(10000, [&] { return holder->second.lost != 0; });
        // The program's reader ends with the stick, which closes the program's handle.
        if (p.running)
            wait_for(10000, [&] { return settle_state().readers[number] == 0; });
        if (p.running)
            settle(p);
        break;
    }
    case Verb::Hold:
        hold(p, c.name, c.shared);
        break;
    case Verb::Release:
        release(p, c.name);
        break;
    case Verb::Windows:
        // The program runs on whichever Windows Wine is: the executable and the prefix say.
        return;
    case Verb::HoldFile:
        // The other program is the harness: reading, sharing at most reading and writing.
        wait_for_program_idle();
        p.file_holder = CreateFileW(L"pelkavorn.config", GENERIC_READ,
                                    c.shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (p.file_holder == INVALID_HANDLE_VALUE)
            std::fprintf(stderr, "rig-harness: the settings file cannot be held (%lu)\n",
                         GetLastError());
        return;
    case Verb::ReleaseFile:
        wait_for_program_idle();
        if (p.file_holder != INVALID_HANDLE_VALUE)
            CloseHandle(p.file_holder);
        p.file_holder = INVALID_HANDLE_VALUE;
        return;
    case Verb::ReadOnly:
        wait_for_program_idle();
        if (!SetFileAttributesW(L"pelkavorn.config", FILE_ATTRIBUTE_READONLY))
            std::fprintf(stderr,
                         "rig-harness: the settings file cannot be marked read-only (%lu)\n",
                         GetLastError());
        return;
    case Verb::DiskFull:
        wait_for_program_idle();
        // No program can fill Wine's disk (the host's). Taking the name of the file that the
        // program writes beside the settings file fails its replacement as a full disk does,
        // which sends it down the same way: the rewrite in place.
        if (!CreateDirectoryW(L"pelkavorn.config.tmp", nullptr))
            std::fprintf(stderr, "rig-harness: the disk cannot be filled (%lu)\n", GetLastError());
        return;
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
        // The chosen item runs once the menu has gone, and the program's sends to other windows
        // on the way let a sent message in before it. The menu opens again only from the
        // program's own loop, so once it has, the item has run.
        use_menu(p, "");
        settle(p);
        break;
    case Verb::Menu:
        print_events(p);
        use_menu(p, "");
        settle(p);
        break;
    case Verb::Settings: {
        wait_for_program_idle();
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
    if (c.verb == sim::Verb::Stick)
        hold_for_screenshot(c);
    if (p.running && program_ended(p))
        end_program(p);
}

// Pairs each pad report with the first change XInput showed after it with the same state:
// "visible" from the bus taking the report to XInputGetState returning it, "game" from the stick
// report's hand-over to the HID stack to the same moment.
void write_game_latencies(Player& p, std::ofstream& out, int64_t frequency) {
    EnterCriticalSection(&game.seen_lock);
    std::vector<Seen> seen = game.seen;
    LeaveCriticalSection(&game.seen_lock);
    size_t next = 0;
    for (const RigEvent& e : p.reports) {
        PadState wanted = state_from_report(e.report);
        size_t i = next;
        while (i < seen.size() && (seen[i].at < e.at || !(seen[i].state == wanted)))
            i++;
        if (i == seen.size())
            continue;
        out << "visible " << (seen[i].at - e.at) * 1000000 / frequency << "\n";
        if (e.stick_at)
            out << "game " << (seen[i].at - e.stick_at) * 1000000 / frequency << "\n";
        next = i + 1;
    }
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
    // One scenario reads the pads through the older XInput as well.
    game_open(text.str().find("\n#wine: xinput1_3") != std::string::npos ? "xinput1_3.dll"
                                                                         : "xinput1_4.dll");
    Player p;
    if (argc > 3) {
        p.timing = true;
        p.idle_mark = std::string(argv[3]) + ".idle";
    }
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
        return s.views_started == 0;
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
                out << "bus " << (buffer[i] * 1000000 / buffer[0]) << "\n";
            write_game_latencies(p, out, buffer[0]);
        }
    }
    game_close();
    // A record the bus refused for its form is a fault of the program's client, whatever the
    // output says.
    unsigned refused = status().refused;
    if (refused)
        std::fprintf(stderr, "rig-harness: the bus refused %u malformed requests\n", refused);
    // The next scenario starts from a bus without sticks.
    ask_value(RIG_CTL_RESET, RIG_BUS_PRESENT);
    return refused ? 4 : 0;
}
