// The simulated machine's insides, shared by the parts of winsim: the lock, the handle table,
// fault injection, devices with their interfaces and drivers, and device I/O requests.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::detail {

// One lock guards the whole machine. It is recursive because drivers complete requests from
// inside calls that already hold it.
std::recursive_mutex& lock();
// Notified whenever anything that a wait can wait for changes.
void notify_all();
// Waits on the machine lock (held by the caller) until `ready` or the time-out (ms, INFINITE).
bool wait_until(std::unique_lock<std::recursive_mutex>& held, DWORD milliseconds,
                const std::function<bool()>& ready);
// Set by a thread around a wait for messages with none to take, which is idleness rather than
// a wait that winsim::longest_wait_ms() reports.
extern thread_local bool idle_message_wait;

// Names Windows compares without regard to case (device paths, instance IDs, class names);
// only ASCII letters fold, which is all these names contain.
bool same_name(const std::wstring& a, const std::wstring& b);

// Counts the call; true when an injected fault makes it fail now (GetLastError is then set).
bool fault(const char* function);

struct File;
struct Device;

struct Object {
    const char* kind; // "event", "mutex", "thread", "file", "devinfo", "icon", ...
    bool signaled = false;
    bool manual_reset = false;
    // mutex
    std::wstring name;
    DWORD owner = 0;
    unsigned recursion = 0;
    // thread
    bool suspended = false;
    bool finished = false;
    // Let run at once (created running or resumed): its starter waits until it blocks or ends.
    bool running_at_once = false;
    DWORD exit_code = 0;
    // file
    std::shared_ptr<File> file;
    // anything else (device information sets, icons, ...)
    std::shared_ptr<void> payload;
};

HANDLE handle_insert(std::shared_ptr<Object> object);
// The object behind a handle of that kind; null (ERROR_INVALID_HANDLE, counted) otherwise.
std::shared_ptr<Object> handle_lookup(HANDLE handle, const char* kind);
std::shared_ptr<Object> handle_lookup_any(HANDLE handle);
bool handle_close(HANDLE handle);
void handle_register_kind(const char* kind);
void set_error(DWORD error);

enum class RequestType { Ioctl, Read, Write };

struct Request {
    std::weak_ptr<File> file;
    RequestType type;
    DWORD code;              // control code of an Ioctl
    std::vector<BYTE> input; // the caller's input (or write data), copied at issue
    void* output;            // the caller's buffer, written only at completion
    DWORD output_length;
    OVERLAPPED* overlapped; // the caller's record, written at completion
    std::shared_ptr<Object> event;
    DWORD thread = 0; // the issuing thread, for CancelIo
    bool done = false;
    // Its driver has been told of its cancel: the request is no longer the driver's, and an
    // answer the driver had under way no longer completes it.
    bool cancelled = false;
    bool asynchronous = false; // issued on a file opened for overlapped I/O
    // True while the driver's submit runs: a failure then is a synchronous error, which the
    // I/O manager returns from the call itself without touching the caller's OVERLAPPED.
    bool submitting = false;
    DWORD immediate_error = 0; // that synchronous error
};

// A driver answers opens and requests for the interfaces of its device. Every callback runs
// with the machine lock held. `submit` completes the request at once or keeps it to complete
// later; `cancel` tells it a kept request was cancelled or dropped (already completed).
struct Driver {
    std::function<DWORD(File&)> open;
    std::function<void(const std::shared_ptr<Request>&)> submit;
    std::function<void(const std::shared_ptr<Request>&)> cancel;
    std::function<void(File&)> close;
};

struct Interface {
    GUID class_guid;
    std::wstring path;
};

struct Holder {
    DWORD access;
    DWORD share;
};

struct Device {
    std::wstring instance_id;
    std::vector<Interface> interfaces;
    bool present = true;
    bool enabled = true;
    bool listed = true; // false: its interfaces are withdrawn, though the device still runs
    std::optional<std::wstring> bus_description;
    std::optional<std::wstring> registry_description;
    std::vector<Holder> foreign_holders; // other processes that hold the device open
    bool state_change_allowed = true;    // false: disabling or enabling it is refused (no rights)
    Driver driver;
    std::shared_ptr<void> state;            // the driver's own
    std::vector<std::weak_ptr<File>> files; // opened by this process
};

struct File {
    std::shared_ptr<Device> device;
    std::wstring path;
    DWORD access;
    DWORD share;
    DWORD flags;
    bool dead = false; // the device went away or was restarted
    std::vector<std::shared_ptr<Request>> pending;
};

// Opens or creates a file on the disk (disk.cpp) with Windows's rules: CreateFileW for any name
// outside the device namespace. Lock not needed.
HANDLE disk_create(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags);
// Whether an open with this access and share mode is refused because of an open that has
// `other_access` and `other_share`, or would refuse it (ERROR_SHARING_VIOLATION).
bool share_conflict(DWORD access, DWORD share, DWORD other_access, DWORD other_share);
// Devices in the order in which enumeration reports them.
std::vector<std::shared_ptr<Device>>& devices();
void device_add(std::shared_ptr<Device> device);
// Fails every open file's pending and later I/O with `error` and forgets the files.
void device_drop_files(Device& device, DWORD error);
// Open files of a device.
std::vector<std::shared_ptr<File>> device_files(const Device& device);
// Cancels a pending request: the driver drops it and it completes with
// ERROR_OPERATION_ABORTED a moment later (see winsim::set_cancel_race for the other outcome).
void request_cancel(const std::shared_ptr<Device>& device, const std::shared_ptr<Request>& request);
// Completes every request still in flight as aborted, whatever became of its file. Reset.
void abort_all_requests();
// Cancels every request still pending that `thread` issued, as Windows does when the thread
// ends; the cancelled requests complete a moment later. Lock not held.
void cancel_thread_io(DWORD thread);
// Counts a call that would never return on Windows (see winsim::would_hang).
void count_would_hang(const char* what);
// The machine's settings that tests choose (winsim::set_wow64, winsim::set_cancel_race).
bool machine_wow64();
bool cancel_completion_wins();

// Completes a request: writes the caller's OVERLAPPED (status, byte count) and signals its
// event. The driver has written any output into request->output before. A failure while the
// driver is still inside its submit is a synchronous error instead: the call returns it and the
// caller's OVERLAPPED and event stay untouched. Lock held.
void request_complete(const std::shared_ptr<Request>& request, DWORD error, DWORD bytes);

// Runs `work` on winsim's own worker thread after `delay_ms`, with the machine lock held.
void run_later(unsigned delay_ms, std::function<void()> work);

// A device information set: a snapshot of the devices (and their interfaces of one class) that
// SetupDiGetClassDevsW found.
struct DevInfoSet {
    GUID class_guid;
    std::vector<std::shared_ptr<Device>> devices;
    struct Entry {
        size_t device;    // index into devices
        size_t interface; // index into that device's interfaces
    };
    std::vector<Entry> interfaces;
    // Class-install parameters set by SetupDiSetClassInstallParamsW, per device index.
    std::vector<std::vector<BYTE>> install_params;
};
std::shared_ptr<DevInfoSet> devinfo_lookup(HDEVINFO set);

// Called when a device interface arrives or goes (after the change, lock not held): the
// windowing side broadcasts it to registered windows.
using InterfaceChangeHook = void (*)(bool arrival, const GUID& class_guid,
                                     const std::wstring& path);
void set_interface_change_hook(InterfaceChangeHook hook);
void interface_changed(bool arrival, const GUID& class_guid, const std::wstring& path);

// Called at reset so each part of winsim forgets its own state.
void on_reset(std::function<void()> forget);

// A part of winsim's own state (its buses, HID devices, windows, ...): made on first use and
// made anew, under the machine lock, at every reset. Each part keys it by a record type of its
// own, so two parts can never share one state by using the same container type. Never destroyed, so
// a detached thread still finishing at process exit never meets a destroyed part.
template <typename State> State& machine_part() {
    static State* state = [] {
        on_reset([] {
            std::lock_guard<std::recursive_mutex> held(lock());
            *state = State{};
        });
        return new State{};
    }();
    return *state;
}

} // namespace winsim::detail
