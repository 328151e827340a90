// Kernel objects of the simulated machine: the handle table with its accounting, fault
// injection, last-error values, events, mutexes, threads, slim reader/writer locks and the
// machine's own worker thread.
#include "machine.h"

#include <winsim/machine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <time.h>

namespace winsim::detail {
namespace {

struct Fault {
    int skip = 0;
    int count = 0; // -1: every call
    DWORD error = 0;
};

struct Timer {
    std::chrono::steady_clock::time_point due;
    std::function<void()> work;
};

struct Machine {
    std::recursive_mutex lock;
    std::condition_variable_any changed;
    std::map<uintptr_t, std::shared_ptr<Object>> handles;
    uintptr_t next_handle = 0x1000;
    size_t invalid_uses = 0;
    size_t would_hang = 0;
    std::map<std::string, Fault> faults;
    std::map<std::string, size_t> calls;
    bool recording = false;
    std::vector<std::string> call_log; // while recording: every call, in order
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<std::function<void()>> reset_hooks;
    InterfaceChangeHook interface_hook = nullptr;
    size_t running_threads = 0;
    // Named kernel objects, alive while any handle (or another process) holds them.
    std::map<std::wstring, std::weak_ptr<Object>> named;
    std::vector<std::shared_ptr<Object>> foreign_objects; // held by other processes
    std::map<const SRWLOCK*, std::string> lock_names;
    bool wow64 = false;
    bool completion_wins = false;
    std::optional<long long> pinned_time; // what _time64 answers; the real clock when empty
    bool threads_run_at_once = true;
    // worker thread for late completions
    std::deque<Timer> timers;
    bool timers_held = false; // hold_late_completions: the worker runs nothing until let go
    std::thread worker;
    bool worker_stop = false;
    std::condition_variable_any worker_wake;

    ~Machine() {
        {
            std::lock_guard<std::recursive_mutex> held(lock);
            worker_stop = true;
            worker_wake.notify_all();
        }
        if (worker.joinable())
            worker.join();
    }
};

Machine& machine() {
    static Machine instance;
    return instance;
}

thread_local DWORD last_error = 0;
thread_local DWORD thread_id = 0;
std::atomic<DWORD> next_thread_id{1000};

// Every simulated call's name, generated from the sources at configure time.
const char* const call_names[] = {
#include "call_names.inc"
};

bool known_call(const char* name) {
    for (const char* known : call_names)
        if (std::strcmp(known, name) == 0)
            return true;
    return false;
}

// The slim reader/writer locks this thread holds, with true for exclusive.
thread_local std::vector<std::pair<const SRWLOCK*, bool>> held_locks;

// This thread's object while whoever let it run waits for it to block or end: a thread may run
// before CreateThread or ResumeThread returns, and a starter that finishes setting up after
// that call must be caught here.
thread_local std::shared_ptr<Object> starter_waits;

// The thread is about to block (or has ended): its starter goes on from here.
void release_starter() {
    if (!starter_waits)
        return;
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    starter_waits->running_at_once = false;
    starter_waits.reset();
    machine().changed.notify_all();
}

// Threads blocked now in a wait of the machine or on a slim reader/writer lock, with when they
// began. Its own lock, taken after the machine's and never before it.
std::mutex waits_lock;
std::map<std::thread::id, std::chrono::steady_clock::time_point> waits;

// Enters the calling thread in `waits` for its lifetime.
struct BlockedWait {
    BlockedWait() {
        std::lock_guard<std::mutex> held(waits_lock);
        waits[std::this_thread::get_id()] = std::chrono::steady_clock::now();
    }
    ~BlockedWait() {
        std::lock_guard<std::mutex> held(waits_lock);
        waits.erase(std::this_thread::get_id());
    }
    BlockedWait(const BlockedWait&) = delete;
    BlockedWait& operator=(const BlockedWait&) = delete;
};

std::string lock_label(const SRWLOCK* srw) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(srw));
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    auto it = machine().lock_names.find(srw);
    return it == machine().lock_names.end() ? address : it->second + " (" + address + ")";
}

[[noreturn]] void lock_misuse(const SRWLOCK* srw, const char* what) {
    std::fprintf(stderr, "winsim: thread %lu %s slim reader/writer lock %s\n",
                 (unsigned long)GetCurrentThreadId(), what, lock_label(srw).c_str());
    std::abort();
}

// A second acquisition by a holder deadlocks on Windows (SRW locks are neither recursive nor
// upgradable); here it stops the program at once with the lock's name.
void lock_acquiring(const SRWLOCK* srw, bool exclusive) {
    for (auto& [lock, mode] : held_locks)
        if (lock == srw)
            lock_misuse(srw, mode ? (exclusive ? "asks again exclusively for its exclusive"
                                               : "asks shared for its exclusive")
                                  : (exclusive ? "asks exclusively for its shared (no upgrade)"
                                               : "asks again shared for its shared"));
}

void lock_acquired(const SRWLOCK* srw, bool exclusive) {
    held_locks.emplace_back(srw, exclusive);
}

void lock_releasing(const SRWLOCK* srw, bool exclusive) {
    auto it = std::find(held_locks.begin(), held_locks.end(), std::make_pair(srw, exclusive));
    if (it == held_locks.end())
        lock_misuse(srw, exclusive ? "releases exclusively a lock it does not hold so:"
                                   : "releases shared a lock it does not hold so:");
    held_locks.erase(it);
}

void worker_loop() {
    Machine& m = machine();
    std::unique_lock<std::recursive_mutex> held(m.lock);
    while (!m.worker_stop) {
        if (m.timers.empty() || m.timers_held) {
            m.worker_wake.wait(held);
            continue;
        }
        auto next = m.timers.begin();
        for (auto it = m.timers.begin(); it != m.timers.end(); ++it)
            if (it->due < next->due)
                next = it;
        // A copy: while the worker waits, run_later and reset change the queue under it.
        const auto due = next->due;
        if (std::chrono::steady_clock::now() < due) {
            m.worker_wake.wait_until(held, due);
            continue;
        }
        auto work = std::move(next->work);
        m.timers.erase(next);
        work();
        m.changed.notify_all();
    }
}

} // namespace

std::recursive_mutex& lock() {
    return machine().lock;
}

void notify_all() {
    machine().changed.notify_all();
}

thread_local bool idle_message_wait = false;

bool wait_until(std::unique_lock<std::recursive_mutex>& held, DWORD milliseconds,
                const std::function<bool()>& ready) {
    Machine& m = machine();
    if (ready())
        return true;
    release_starter();
    std::optional<BlockedWait> blocked;
    if (!idle_message_wait)
        blocked.emplace();
    if (milliseconds == INFINITE) {
        while (!ready())
            m.changed.wait(held);
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!ready()) {
        if (m.changed.wait_until(held, deadline) == std::cv_status::timeout)
            return ready();
    }
    return true;
}

namespace {

// Lets a suspended thread run; with threads running at once, returns only when it has blocked
// or ended. `held` holds the machine's lock once.
void let_run(std::unique_lock<std::recursive_mutex>& held, const std::shared_ptr<Object>& thread) {
    thread->running_at_once = machine().threads_run_at_once;
    thread->suspended = false;
    machine().changed.notify_all();
    wait_until(held, INFINITE, [&] { return !thread->running_at_once || thread->finished; });
}

} // namespace

bool machine_wow64() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().wow64;
}

bool cancel_completion_wins() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().completion_wins;
}

void count_would_hang(const char* what) {
    std::fprintf(stderr, "winsim: %s would wait forever on Windows\n", what);
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().would_hang++;
}

bool fault(const char* function) {
    Machine& m = machine();
    std::lock_guard<std::recursive_mutex> held(m.lock);
    m.calls[function]++;
    if (m.recording)
        m.call_log.push_back(function);
    auto it = m.faults.find(function);
    if (it == m.faults.end())
        return false;
    Fault& f = it->second;
    if (f.skip > 0) {
        f.skip--;
        return false;
    }
    if (f.count == 0)
        return false;
    if (f.count > 0)
        f.count--;
    last_error = f.error;
    return true;
}

void set_error(DWORD error) {
    last_error = error;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
    auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? (wchar_t)(c - L'A' + L'a') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

HANDLE handle_insert(std::shared_ptr<Object> object) {
    Machine& m = machine();
    std::lock_guard<std::recursive_mutex> held(m.lock);
    // Handle values are never reused, so a stale handle can never reach a newer object.
    uintptr_t value = m.next_handle;
    m.next_handle += 4;
    m.handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> handle_lookup_any(HANDLE handle) {
    Machine& m = machine();
    std::lock_guard<std::recursive_mutex> held(m.lock);
    auto it = m.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.handles.end()) {
        m.invalid_uses++;
        last_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Object> handle_lookup(HANDLE handle, const char* kind) {
    auto object = handle_lookup_any(handle);
    if (object && std::string(object->kind) != kind) {
        std::lock_guard<std::recursive_mutex> held(machine().lock);
        machine().invalid_uses++;
        last_error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

bool handle_close(HANDLE handle) {
    Machine& m = machine();
    std::lock_guard<std::recursive_mutex> held(m.lock);
    auto it = m.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.handles.end()) {
        m.invalid_uses++;
        last_error = ERROR_INVALID_HANDLE;
        return false;
    }
    m.handles.erase(it);
    return true;
}

void handle_register_kind(const char*) {}

std::vector<std::shared_ptr<Device>>& devices() {
    return machine().devices;
}

void device_add(std::shared_ptr<Device> device) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().devices.push_back(std::move(device));
}

void run_later(unsigned delay_ms, std::function<void()> work) {
    Machine& m = machine();
    std::lock_guard<std::recursive_mutex> held(m.lock);
    if (!m.worker.joinable())
        m.worker = std::thread(worker_loop);
    m.timers.push_back(
        {std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), std::move(work)});
    m.worker_wake.notify_all();
}

void set_interface_change_hook(InterfaceChangeHook hook) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().interface_hook = hook;
}

void interface_changed(bool arrival, const GUID& class_guid, const std::wstring& path) {
    InterfaceChangeHook hook;
    {
        std::lock_guard<std::recursive_mutex> held(machine().lock);
        hook = machine().interface_hook;
    }
    if (hook)
        hook(arrival, class_guid, path);
}

void on_reset(std::function<void()> forget) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().reset_hooks.push_back(std::move(forget));
}

} // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

void reset() {
    Machine& m = machine();
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard<std::recursive_mutex> held(m.lock);
        // Outstanding I/O ends first, as at process exit: drivers forget what they kept and the
        // issuers see their requests aborted, so nothing completes into a later test.
        abort_all_requests();
        m.timers.clear();
        m.handles.clear();
        m.named.clear();
        m.foreign_objects.clear();
        m.lock_names.clear();
        m.invalid_uses = 0;
        m.would_hang = 0;
        m.wow64 = false;
        m.completion_wins = false;
        m.pinned_time.reset();
        m.threads_run_at_once = true;
        m.timers_held = false;
        m.faults.clear();
        m.calls.clear();
        m.recording = false;
        m.call_log.clear();
        m.devices.clear();
        hooks = m.reset_hooks;
    }
    for (auto& forget : hooks)
        forget();
    last_error = 0;
}

size_t open_handles() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().handles.size();
}

size_t open_handles(const char* kind) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    size_t n = 0;
    for (auto& [value, object] : machine().handles)
        if (std::string(object->kind) == kind)
            n++;
    return n;
}

size_t invalid_handle_uses() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().invalid_uses;
}

size_t running_threads() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().running_threads;
}

size_t would_hang() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().would_hang;
}

void hold_named_mutex(const wchar_t* name) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    HANDLE ours = CreateMutexW(nullptr, FALSE, name);
    if (auto object = machine().named[name].lock())
        machine().foreign_objects.push_back(object);
    CloseHandle(ours);
}

void set_wow64(bool wow64) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().wow64 = wow64;
}

void pin_time(long long seconds) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().pinned_time = seconds;
}

void set_cancel_race(bool completion_wins) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().completion_wins = completion_wins;
}

void hold_late_completions(bool hold) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().timers_held = hold;
    machine().worker_wake.notify_all();
}

void set_threads_run_at_once(bool at_once) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().threads_run_at_once = at_once;
}

void name_lock(const SRWLOCK* lock, const char* name) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().lock_names[lock] = name;
}

void fail_calls(const char* function, int count, DWORD error, int skip) {
    if (!known_call(function)) {
        std::fprintf(stderr, "winsim: fail_calls(\"%s\"): no simulated call has that name\n",
                     function);
        std::abort();
    }
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().faults[function] = Fault{skip, count, error};
}

void clear_faults() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().faults.clear();
}

void record_calls(bool on) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    machine().recording = on;
}

std::vector<std::string> call_log() {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    return machine().call_log;
}

uint64_t longest_wait_ms() {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> held(waits_lock);
    uint64_t longest = 0;
    for (auto& [thread, since] : waits)
        longest = std::max<uint64_t>(
            longest,
            (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
    return longest;
}

size_t calls(const char* function) {
    std::lock_guard<std::recursive_mutex> held(machine().lock);
    auto it = machine().calls.find(function);
    return it == machine().calls.end() ? 0 : it->second;
}

} // namespace winsim

extern "C" {

DWORD WINAPI GetLastError(void) {
    return last_error;
}

void WINAPI SetLastError(DWORD error) {
    last_error = error;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (fault("CloseHandle"))
        return FALSE;
    auto object = handle_lookup_any(handle);
    if (!object)
        return FALSE;
    std::shared_ptr<File> file;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        handle_close(handle);
        file = object->file;
    }
    if (file) {
        // Closing the last handle cancels what is still pending; like the real cleanup, the
        // cancelled requests complete a moment later, writing into the callers' records then.
        std::lock_guard<std::recursive_mutex> held(lock());
        auto& owners = file->device->files;
        for (auto it = owners.begin(); it != owners.end();)
            it = (it->expired() || it->lock() == file) ? owners.erase(it) : it + 1;
        std::vector<std::shared_ptr<Request>> pending = file->pending;
        for (auto& request : pending)
            request_cancel(file->device, request);
        if (file->device->driver.close)
            file->device->driver.close(*file);
    }
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR) {
    if (fault("CreateEventW"))
        return NULL;
    auto object = std::make_shared<Object>();
    object->kind = "event";
    object->manual_reset = manual_reset != 0;
    object->signaled = initial_state != 0;
    return handle_insert(object);
}

BOOL WINAPI SetEvent(HANDLE event) {
    if (fault("SetEvent"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto object = handle_lookup(event, "event");
    if (!object)
        return FALSE;
    object->signaled = true;
    notify_all();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    if (fault("ResetEvent"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto object = handle_lookup(event, "event");
    if (!object)
        return FALSE;
    object->signaled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (fault("WaitForSingleObject"))
        return WAIT_FAILED;
    std::unique_lock<std::recursive_mutex> held(lock());
    auto object = handle_lookup_any(handle);
    if (!object)
        return WAIT_FAILED;
    std::string kind = object->kind;
    DWORD me = GetCurrentThreadId();
    if (kind == "mutex") {
        bool got = wait_until(held, milliseconds,
                              [&] { return object->recursion == 0 || object->owner == me; });
        if (!got)
            return WAIT_TIMEOUT;
        object->owner = me;
        object->recursion++;
        return WAIT_OBJECT_0;
    }
    if (kind != "event" && kind != "thread") {
        last_error = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (!wait_until(held, milliseconds, [&] { return object->signaled; }))
        return WAIT_TIMEOUT;
    if (kind == "event" && !object->manual_reset)
        object->signaled = false;
    return WAIT_OBJECT_0;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCWSTR name) {
    if (fault("CreateMutexW"))
        return NULL;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (name && *name) {
        // A name already taken opens the existing object, without ownership.
        if (auto existing = machine().named[name].lock()) {
            if (std::string(existing->kind) != "mutex") {
                last_error = ERROR_INVALID_HANDLE;
                return NULL;
            }
            HANDLE handle = handle_insert(existing);
            last_error = ERROR_ALREADY_EXISTS;
            return handle;
        }
    }
    auto object = std::make_shared<Object>();
    object->kind = "mutex";
    if (name && *name) {
        object->name = name;
        machine().named[name] = object;
    }
    if (initial_owner) {
        object->owner = GetCurrentThreadId();
        object->recursion = 1;
    }
    HANDLE handle = handle_insert(object);
    last_error = 0;
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
    if (fault("ReleaseMutex"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto object = handle_lookup(mutex, "mutex");
    if (!object)
        return FALSE;
    if (object->recursion == 0 || object->owner != GetCurrentThreadId()) {
        last_error = 288; // ERROR_NOT_OWNER
        return FALSE;
    }
    if (--object->recursion == 0)
        object->owner = 0;
    notify_all();
    return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD thread_id_out) {
    if (fault("CreateThread"))
        return NULL;
    auto object = std::make_shared<Object>();
    object->kind = "thread";
    object->manual_reset = true;
    object->suspended = true; // until let run below, or resumed
    DWORD id = next_thread_id++;
    HANDLE handle = handle_insert(object);
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        machine().running_threads++;
    }
    // As on Windows, the ID is written before the thread can run; the handle only comes back
    // after it may have.
    if (thread_id_out)
        *thread_id_out = id;
    std::thread([object, routine, parameter, id] {
        thread_id = id;
        {
            std::unique_lock<std::recursive_mutex> held(lock());
            wait_until(held, INFINITE, [&] { return !object->suspended; });
            if (object->running_at_once)
                starter_waits = object;
        }
        DWORD code = routine(parameter);
        cancel_thread_io(id);
        std::lock_guard<std::recursive_mutex> held(lock());
        object->exit_code = code;
        object->finished = true;
        object->signaled = true;
        machine().running_threads--;
        starter_waits.reset();
        notify_all();
    }).detach();
    if (!(flags & CREATE_SUSPENDED)) {
        std::unique_lock<std::recursive_mutex> held(lock());
        let_run(held, object);
    }
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
    if (fault("ResumeThread"))
        return (DWORD)-1;
    std::unique_lock<std::recursive_mutex> held(lock());
    auto object = handle_lookup(thread, "thread");
    if (!object)
        return (DWORD)-1;
    DWORD previous = object->suspended ? 1 : 0;
    if (object->suspended)
        let_run(held, object);
    return previous;
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (thread_id == 0)
        thread_id = next_thread_id++;
    return thread_id;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exit_code) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto object = handle_lookup(thread, "thread");
    if (!object)
        return FALSE;
    *exit_code = object->finished ? object->exit_code : 259; // STILL_ACTIVE
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    release_starter();
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

__time64_t _time64(__time64_t* destination) {
    __time64_t now = -1;
    if (!fault("_time64")) {
        std::lock_guard<std::recursive_mutex> held(machine().lock);
        now = machine().pinned_time ? *machine().pinned_time : (__time64_t)std::time(nullptr);
    }
    if (destination)
        *destination = now;
    return now;
}

DWORD WINAPI GetTickCount(void) {
    using namespace std::chrono;
    return (DWORD)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Writer-preferring, as on Windows: a shared acquire waits behind a waiting exclusive one.
void WINAPI InitializeSRWLock(PSRWLOCK srw) {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&srw->lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}
void WINAPI AcquireSRWLockShared(PSRWLOCK srw) {
    lock_acquiring(srw, false);
    if (pthread_rwlock_tryrdlock(&srw->lock) != 0) {
        release_starter();
        BlockedWait blocked;
        pthread_rwlock_rdlock(&srw->lock);
    }
    lock_acquired(srw, false);
}
void WINAPI ReleaseSRWLockShared(PSRWLOCK srw) {
    lock_releasing(srw, false);
    pthread_rwlock_unlock(&srw->lock);
}
void WINAPI AcquireSRWLockExclusive(PSRWLOCK srw) {
    lock_acquiring(srw, true);
    if (pthread_rwlock_trywrlock(&srw->lock) != 0) {
        release_starter();
        BlockedWait blocked;
        pthread_rwlock_wrlock(&srw->lock);
    }
    lock_acquired(srw, true);
}
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK srw) {
    lock_releasing(srw, true);
    pthread_rwlock_unlock(&srw->lock);
}

} // extern "C"
