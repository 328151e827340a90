#include "settle.h"

#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <chrono>
#include <thread>

namespace {

const wchar_t program_window_class[] = L"PelkavornViGEmClass";

} // namespace

DWORD program_main_thread() {
    for (auto& window : winsim::windows())
        if (window.class_name == program_window_class)
            return window.thread;
    return 0;
}

HWND program_window() {
    for (auto& window : winsim::windows())
        if (window.class_name == program_window_class && window.alive)
            return window.window;
    return nullptr;
}

bool program_settled(bool loop_runs) {
    size_t readers = 0;
    for (int id : winsim::hid_devices()) {
        if (winsim::hid_open_files(id) == 0)
            continue;
        if (winsim::hid_pending_reads(id) == 0)
            return false;
        readers++;
    }
    if (winsim::running_threads() != readers)
        return false;
    if (!loop_runs)
        return true;
    DWORD thread = program_main_thread();
    return thread && winsim::thread_waiting_for_messages(thread);
}

bool settle_program(const std::function<bool()>& loop_runs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SETTLE_LIMIT_MS);
    for (int calm = 0; calm < 3;) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        calm = program_settled(loop_runs()) ? calm + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
