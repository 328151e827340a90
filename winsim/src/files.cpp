// Device files: opening a device interface by path with Windows' access and share-mode rules,
// and overlapped requests (read, write, device control) that drivers complete now or later.
// As on Windows, a request that completes later writes the caller's buffer and OVERLAPPED
// then, and a cancelled request completes a moment after the cancel, not within it.
#include "machine.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace winsim::detail {

bool share_conflict(DWORD access, DWORD share, DWORD other_access, DWORD other_share) {
    const DWORD data = GENERIC_READ | GENERIC_WRITE;
    // Only opens with data access take part in sharing: one without it neither is refused
    // nor restricts others.
    if ((access & data) == 0 || (other_access & data) == 0)
        return false;
    if ((access & GENERIC_READ) && !(other_share & FILE_SHARE_READ))
        return true;
    if ((access & GENERIC_WRITE) && !(other_share & FILE_SHARE_WRITE))
        return true;
    if ((other_access & GENERIC_READ) && !(share & FILE_SHARE_READ))
        return true;
    if ((other_access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
        return true;
    return false;
}

namespace {

// Every request issued and not yet completed, whatever became of its file since.
struct InFlight {
    std::vector<std::weak_ptr<Request>> requests;
};

InFlight& in_flight() {
    return machine_part<InFlight>();
}

std::shared_ptr<File> file_of(HANDLE handle) {
    auto object = handle_lookup(handle, "file");
    return object ? object->file : nullptr;
}

// Starts a request on an open file. Lock held.
BOOL start_request(HANDLE handle, RequestType type, DWORD code, const void* input,
                   DWORD input_length, void* output, DWORD output_length, DWORD* bytes,
                   OVERLAPPED* overlapped) {
    std::unique_lock<std::recursive_mutex> held(lock());
    auto file = file_of(handle);
    if (!file)
        return FALSE;
    if (file->dead || !file->device->present) {
        set_error(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (type == RequestType::Ioctl) {
        DWORD required = (code >> 14) & 3;
        if (((required & FILE_READ_ACCESS) && !(file->access & GENERIC_READ)) ||
            ((required & FILE_WRITE_ACCESS) && !(file->access & GENERIC_WRITE))) {
            set_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    } else if ((type == RequestType::Read && !(file->access & GENERIC_READ)) ||
               (type == RequestType::Write && !(file->access & GENERIC_WRITE))) {
        set_error(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    bool asynchronous = (file->flags & FILE_FLAG_OVERLAPPED) != 0;
    if (asynchronous && !overlapped) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OVERLAPPED own = {};
    auto request = std::make_shared<Request>();
    request->file = file;
    request->type = type;
    request->code = code;
    if (input && input_length)
        request->input.assign((const BYTE*)input, (const BYTE*)input + input_length);
    request->output = output;
    request->output_length = output_length;
    request->thread = GetCurrentThreadId();
    request->asynchronous = asynchronous;
    request->overlapped = asynchronous ? overlapped : &own;
    if (asynchronous && overlapped->hEvent) {
        request->event = handle_lookup(overlapped->hEvent, "event");
        if (!request->event)
            return FALSE;
        request->event->signaled = false; // starting an overlapped request resets its event
    }
    // Like the system's own wrappers, only the status is marked pending before the driver
    // sees the request; the byte count is written at completion.
    request->overlapped->Internal = STATUS_PENDING;
    file->pending.push_back(request);
    in_flight().requests.push_back(request);
    request->submitting = true;
    file->device->driver.submit(request);
    request->submitting = false;
    if (request->immediate_error) {
        // Internal still holds STATUS_PENDING and the event stays unsignalled: a caller that
        // waits on either now would wait forever.
        set_error(request->immediate_error);
        return FALSE;
    }
    if (!asynchronous)
        wait_until(held, INFINITE, [&] { return request->done; });
    if (!request->done) {
        set_error(ERROR_IO_PENDING);
        return FALSE;
    }
    ULONG_PTR status = request->overlapped->Internal;
    if (bytes)
        *bytes = (DWORD)request->overlapped->InternalHigh;
    if (status != 0) {
        set_error((DWORD)(status & 0xFFFF));
        return FALSE;
    }
    return TRUE;
}

} // namespace

void request_complete(const std::shared_ptr<Request>& request, DWORD error, DWORD bytes) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (request->done)
        return;
    request->done = true;
    if (auto file = request->file.lock()) {
        auto& pending = file->pending;
        pending.erase(std::remove(pending.begin(), pending.end(), request), pending.end());
    }
    auto& all = in_flight().requests;
    all.erase(std::remove_if(all.begin(), all.end(),
                             [&](const std::weak_ptr<Request>& weak) {
                                 auto other = weak.lock();
                                 return !other || other == request;
                             }),
              all.end());
    if (request->submitting && request->asynchronous && error != 0) {
        request->immediate_error = error;
        notify_all();
        return;
    }
    request->overlapped->InternalHigh = bytes;
    request->overlapped->Internal = error == 0 ? 0 : (0xC0000000u | (error & 0xFFFF));
    if (request->event)
        request->event->signaled = true;
    notify_all();
}

void device_drop_files(Device& device, DWORD error) {
    std::lock_guard<std::recursive_mutex> held(lock());
    for (auto& weak : device.files) {
        auto file = weak.lock();
        if (!file)
            continue;
        file->dead = true;
        std::vector<std::shared_ptr<Request>> pending = file->pending;
        for (auto& request : pending) {
            if (device.driver.cancel)
                device.driver.cancel(request);
            request_complete(request, error, 0);
        }
    }
    device.files.clear();
}

void request_cancel(const std::shared_ptr<Device>& device,
                    const std::shared_ptr<Request>& request) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (cancel_completion_wins()) {
        // The driver keeps the request until the cancel takes effect, and may complete it
        // normally (with its data) in the meantime.
        run_later(1, [device, request] {
            if (request->done)
                return;
            if (device->driver.cancel)
                device->driver.cancel(request);
            request_complete(request, ERROR_OPERATION_ABORTED, 0);
        });
        return;
    }
    if (device->driver.cancel)
        device->driver.cancel(request);
    request->cancelled = true;
    run_later(1, [request] { request_complete(request, ERROR_OPERATION_ABORTED, 0); });
}

void cancel_thread_io(DWORD thread) {
    std::lock_guard<std::recursive_mutex> held(lock());
    for (auto& device : devices())
        for (auto& file : device_files(*device))
            for (auto& request : std::vector<std::shared_ptr<Request>>(file->pending))
                if (request->thread == thread)
                    request_cancel(device, request);
}

// True when a request that has not completed yet carries this OVERLAPPED. Lock held.
static bool overlapped_in_flight(const OVERLAPPED* overlapped) {
    for (auto& weak : in_flight().requests)
        if (auto request = weak.lock())
            if (!request->done && request->overlapped == overlapped)
                return true;
    return false;
}

void abort_all_requests() {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto requests = in_flight().requests;
    for (auto& weak : requests) {
        auto request = weak.lock();
        if (!request || request->done)
            continue;
        if (auto file = request->file.lock())
            if (file->device->driver.cancel)
                file->device->driver.cancel(request);
        request_complete(request, ERROR_OPERATION_ABORTED, 0);
    }
    in_flight().requests.clear();
}

std::vector<std::shared_ptr<File>> device_files(const Device& device) {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<std::shared_ptr<File>> files;
    for (auto& weak : device.files)
        if (auto file = weak.lock())
            files.push_back(file);
    return files;
}

} // namespace winsim::detail

using namespace winsim::detail;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
    if (fault("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!path) {
        set_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<Device> device;
    std::wstring found;
    for (auto& candidate : devices()) {
        // A withdrawn interface's name no longer leads to the device.
        if (!candidate->present || !candidate->enabled || !candidate->listed)
            continue;
        for (auto& interface : candidate->interfaces)
            if (same_name(interface.path, path)) {
                device = candidate;
                found = interface.path;
            }
    }
    if (!device) {
        // A name outside the device namespace is a file on the disk.
        if (std::wcsncmp(path, L"\\\\", 2) != 0)
            return disk_create(path, access, share_mode, disposition, flags);
        set_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != OPEN_EXISTING) {
        set_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    for (auto& holder : device->foreign_holders)
        if (share_conflict(access, share_mode, holder.access, holder.share)) {
            set_error(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    for (auto& other : device_files(*device))
        if (share_conflict(access, share_mode, other->access, other->share)) {
            set_error(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    auto file = std::make_shared<File>();
    file->device = device;
    file->path = found;
    file->access = access;
    file->share = share_mode;
    file->flags = flags;
    if (device->driver.open) {
        DWORD error = device->driver.open(*file);
        if (error) {
            set_error(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    device->files.push_back(file);
    auto object = std::make_shared<Object>();
    object->kind = "file";
    object->file = file;
    return handle_insert(object);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD bytes_read,
                     LPOVERLAPPED overlapped) {
    if (fault("ReadFile"))
        return FALSE;
    return start_request(file, RequestType::Read, 0, nullptr, 0, buffer, length, bytes_read,
                         overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD bytes_written,
                      LPOVERLAPPED overlapped) {
    if (fault("WriteFile"))
        return FALSE;
    return start_request(file, RequestType::Write, 0, buffer, length, nullptr, 0, bytes_written,
                         overlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in_buffer, DWORD in_length,
                            LPVOID out_buffer, DWORD out_length, LPDWORD bytes_returned,
                            LPOVERLAPPED overlapped) {
    if (fault("DeviceIoControl"))
        return FALSE;
    return start_request(device, RequestType::Ioctl, code, in_buffer, in_length, out_buffer,
                         out_length, bytes_returned, overlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
    if (fault("GetOverlappedResult"))
        return FALSE;
    std::unique_lock<std::recursive_mutex> held(lock());
    if (!file_of(file))
        return FALSE;
    if (overlapped->Internal == STATUS_PENDING) {
        if (!wait) {
            set_error(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!overlapped_in_flight(overlapped)) {
            // Nothing will ever complete this record (its request failed at once, or was never
            // issued): Windows would block here for good. Fail now so the suite goes on, and
            // count it so the test that did it fails.
            count_would_hang("GetOverlappedResult");
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Like Windows, wait on the request's event (an auto-reset one is consumed), or on
        // the request itself when it has none.
        if (overlapped->hEvent) {
            auto event = handle_lookup(overlapped->hEvent, "event");
            if (!event)
                return FALSE;
            wait_until(held, INFINITE, [&] { return event->signaled; });
            if (!event->manual_reset)
                event->signaled = false;
        } else {
            wait_until(held, INFINITE, [&] { return overlapped->Internal != STATUS_PENDING; });
        }
        if (overlapped->Internal == STATUS_PENDING) {
            set_error(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (bytes)
        *bytes = (DWORD)overlapped->InternalHigh;
    if (overlapped->Internal != 0) {
        set_error((DWORD)(overlapped->Internal & 0xFFFF));
        return FALSE;
    }
    return TRUE;
}

static BOOL cancel(HANDLE handle, LPOVERLAPPED overlapped, bool any_thread) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto object = handle_lookup(handle, "file");
    if (!object)
        return FALSE;
    auto file = object->file;
    bool found = false;
    std::vector<std::shared_ptr<Request>> pending = file->pending;
    for (auto& request : pending) {
        if (overlapped && request->overlapped != overlapped)
            continue;
        if (!any_thread && request->thread != GetCurrentThreadId())
            continue;
        found = true;
        request_cancel(file->device, request);
    }
    if (!found && any_thread) {
        set_error(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE file) {
    if (fault("CancelIo"))
        return FALSE;
    return cancel(file, nullptr, false);
}

BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    if (fault("CancelIoEx"))
        return FALSE;
    if (!cancel(file, overlapped, true))
        return FALSE;
    return TRUE;
}

} // extern "C"
