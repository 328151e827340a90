// Files on the disk: the host's own files under the program's names, opened, read, written,
// truncated, flushed, renamed and deleted with Windows's rules laid over the host's. Where
// Linux lets a call through that Windows refuses, the stand-in refuses it first: an open that
// clashes with another open's share mode, renaming or deleting a file that someone holds
// without delete sharing, writing to, replacing or deleting a read-only file (the host's
// owner-write permission is the attribute, since the tests run as root, whom Linux lets write
// anything), a new file in a folder that refuses them, and growth past a full disk.
#include "machine.h"

#include <winsim/disk.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace winsim::detail {

namespace {

// What an open file of the disk keeps; the file's stand-in device owns it.
struct DiskHandle {
    int descriptor = -1;
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t position = 0;
    ~DiskHandle() {
        if (descriptor >= 0)
            close(descriptor);
    }
};

struct FileHold {
    dev_t device;
    ino_t inode;
    DWORD access;
    DWORD share;
};

struct Disk {
    std::vector<std::weak_ptr<File>> open; // files of the disk this process has open
    std::vector<FileHold> holds;           // another program's
    std::optional<uint64_t> room;          // bytes the files may still grow by; none: no limit
    // Files written to and not flushed since, and names that such a file was renamed onto.
    std::vector<std::pair<dev_t, ino_t>> unflushed;
    std::vector<std::string> torn;
};

Disk& disk() {
    return machine_part<Disk>();
}

// The host's name for a Windows path: backslashes become slashes. Only ASCII is expected; any
// other character is written as UTF-8.
std::string host_name(const std::wstring& path) {
    std::string name;
    for (wchar_t c : path) {
        auto code = (uint32_t)c;
        if (c == L'\\') {
            name += '/';
        } else if (code < 0x80) {
            name += (char)code;
        } else if (code < 0x800) {
            name += (char)(0xC0 | (code >> 6));
            name += (char)(0x80 | (code & 0x3F));
        } else {
            name += (char)(0xE0 | ((code >> 12) & 0x0F));
            name += (char)(0x80 | ((code >> 6) & 0x3F));
            name += (char)(0x80 | (code & 0x3F));
        }
    }
    return name;
}

std::string folder_of(const std::string& name) {
    size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

bool read_only(const struct stat& status) {
    return (status.st_mode & S_IWUSR) == 0;
}

// A folder that refuses new files, renames and deletes: its owner may not write to it.
bool folder_refuses(const std::string& name) {
    struct stat status;
    return stat(folder_of(name).c_str(), &status) == 0 && read_only(status);
}

DWORD error_of(int number) {
    switch (number) {
    case ENOENT:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EFBIG:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<DiskHandle> disk_handle(const File& file) {
    return std::static_pointer_cast<DiskHandle>(file.device->state);
}

// The open disk file behind a handle, or null (ERROR_INVALID_HANDLE) for any other handle.
std::shared_ptr<File> disk_file_of(HANDLE handle) {
    auto object = handle_lookup(handle, "file");
    if (!object)
        return nullptr;
    for (auto& weak : disk().open)
        if (weak.lock() == object->file)
            return object->file;
    set_error(ERROR_INVALID_HANDLE);
    return nullptr;
}

// The open disk file behind a handle with write access; null otherwise (ERROR_INVALID_HANDLE,
// or ERROR_ACCESS_DENIED for a handle without write access, as Windows answers a truncation or
// a flush through one).
std::shared_ptr<DiskHandle> written_disk_file(HANDLE handle) {
    auto file = disk_file_of(handle);
    if (!file)
        return nullptr;
    if (!(file->access & GENERIC_WRITE)) {
        set_error(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return disk_handle(*file);
}

// Every open of the file (device, inode) by this process and by the other program, as
// (access, share) pairs.
std::vector<std::pair<DWORD, DWORD>> opens_of(dev_t device, ino_t inode) {
    std::vector<std::pair<DWORD, DWORD>> opens;
    for (auto& weak : disk().open)
        if (auto file = weak.lock()) {
            auto handle = disk_handle(*file);
            if (handle->device == device && handle->inode == inode)
                opens.emplace_back(file->access, file->share);
        }
    for (auto& hold : disk().holds)
        if (hold.device == device && hold.inode == inode)
            opens.emplace_back(hold.access, hold.share);
    return opens;
}

bool held_without_delete_sharing(const struct stat& status) {
    for (auto& open : opens_of(status.st_dev, status.st_ino))
        if (!(open.second & FILE_SHARE_DELETE))
            return true;
    return false;
}

// Takes room for growing a file from `from` to `to` bytes, or gives room back for shrinking.
// False (ERROR_DISK_FULL) when the disk has no room for the growth.
bool take_room(uint64_t from, uint64_t to) {
    auto& room = disk().room;
    if (!room)
        return true;
    if (to > from && to - from > *room) {
        set_error(ERROR_DISK_FULL);
        return false;
    }
    *room = *room + from - to;
    return true;
}

void mark_unflushed(const DiskHandle& handle) {
    auto key = std::make_pair(handle.device, handle.inode);
    auto& unflushed = disk().unflushed;
    if (std::find(unflushed.begin(), unflushed.end(), key) == unflushed.end())
        unflushed.push_back(key);
}

// The stand-in driver's requests on a disk file: synchronous reads and writes at the file's
// position. Lock held.
void disk_submit(const std::shared_ptr<Request>& request) {
    auto file = request->file.lock();
    auto handle = disk_handle(*file);
    struct stat status;
    if (fstat(handle->descriptor, &status) != 0) {
        request_complete(request, error_of(errno), 0);
        return;
    }
    if (request->type == RequestType::Read) {
        ssize_t got = pread(handle->descriptor, request->output, request->output_length,
                            (off_t)handle->position);
        if (got < 0) {
            request_complete(request, error_of(errno), 0);
            return;
        }
        handle->position += (uint64_t)got;
        request_complete(request, 0, (DWORD)got);
        return;
    }
    if (request->type != RequestType::Write) {
        request_complete(request, ERROR_INVALID_FUNCTION, 0);
        return;
    }
    const uint64_t size = (uint64_t)status.st_size;
    const uint64_t end = handle->position + request->input.size();
    if (!take_room(size, std::max(size, end))) {
        request_complete(request, ERROR_DISK_FULL, 0);
        return;
    }
    ssize_t put = pwrite(handle->descriptor, request->input.data(), request->input.size(),
                         (off_t)handle->position);
    if (put < 0) {
        take_room(std::max(size, end), size);
        request_complete(request, error_of(errno), 0);
        return;
    }
    handle->position += (uint64_t)put;
    mark_unflushed(*handle);
    request_complete(request, 0, (DWORD)put);
}

} // namespace

HANDLE disk_create(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags) {
    std::lock_guard<std::recursive_mutex> held(lock());
    const std::string name = host_name(path);
    struct stat status;
    const bool exists = stat(name.c_str(), &status) == 0;
    const bool creates =
        disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    if (exists && S_ISDIR(status.st_mode)) {
        set_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        set_error(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists) {
        struct stat folder;
        if (stat(folder_of(name).c_str(), &folder) != 0) {
            set_error(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (!creates) {
            set_error(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (read_only(folder)) {
            set_error(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (exists && read_only(status) && ((access & GENERIC_WRITE) || disposition == CREATE_ALWAYS)) {
        set_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists)
        for (auto& open : opens_of(status.st_dev, status.st_ino))
            if (share_conflict(access, share, open.first, open.second)) {
                set_error(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
    int open_flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        open_flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        open_flags |= O_WRONLY;
    else
        open_flags |= O_RDONLY;
    if (creates)
        open_flags |= O_CREAT;
    if (disposition == CREATE_NEW)
        open_flags |= O_EXCL;
    if (exists && disposition == CREATE_ALWAYS) {
        open_flags |= O_TRUNC;
        take_room((uint64_t)status.st_size, 0);
    }
    auto handle = std::make_shared<DiskHandle>();
    handle->descriptor = open(name.c_str(), open_flags, 0666);
    if (handle->descriptor < 0) {
        set_error(error_of(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat opened;
    fstat(handle->descriptor, &opened);
    handle->device = opened.st_dev;
    handle->inode = opened.st_ino;

    auto device = std::make_shared<Device>();
    device->listed = false;
    device->state = handle;
    device->driver.submit = disk_submit;
    auto file = std::make_shared<File>();
    file->device = device;
    file->path = path;
    file->access = access;
    file->share = share;
    file->flags = flags;
    device->files.push_back(file);
    // Closed files are dropped as others are opened, so that a long run (a fuzz target's) does
    // not look through every file it ever opened.
    auto& open = disk().open;
    open.erase(
        std::remove_if(open.begin(), open.end(), [](const auto& weak) { return weak.expired(); }),
        open.end());
    open.push_back(file);
    auto object = std::make_shared<Object>();
    object->kind = "file";
    object->file = file;
    // As Windows says of CREATE_ALWAYS and OPEN_ALWAYS on a file that was there.
    set_error(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                  ? ERROR_ALREADY_EXISTS
                  : 0);
    return handle_insert(object);
}

} // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

bool hold_file(const std::wstring& path, DWORD access, DWORD share) {
    std::lock_guard<std::recursive_mutex> held(lock());
    struct stat status;
    if (stat(host_name(path).c_str(), &status) != 0)
        return false;
    for (auto& open : opens_of(status.st_dev, status.st_ino))
        if (share_conflict(access, share, open.first, open.second))
            return false;
    disk().holds.push_back({status.st_dev, status.st_ino, access, share});
    return true;
}

void release_files() {
    std::lock_guard<std::recursive_mutex> held(lock());
    disk().holds.clear();
}

void set_disk_room(std::optional<uint64_t> bytes) {
    std::lock_guard<std::recursive_mutex> held(lock());
    disk().room = bytes;
}

size_t power_cut() {
    std::lock_guard<std::recursive_mutex> held(lock());
    size_t lost = 0;
    for (auto& name : disk().torn)
        if (truncate(name.c_str(), 0) == 0)
            lost++;
    disk().torn.clear();
    disk().unflushed.clear();
    return lost;
}

} // namespace winsim

extern "C" {

DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD method) {
    if (fault("SetFilePointer"))
        return INVALID_SET_FILE_POINTER;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto file = disk_file_of(handle);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    auto disk_file = disk_handle(*file);
    int64_t move = distance_high
                       ? (int64_t)(((uint64_t)(uint32_t)*distance_high << 32) | (uint32_t)distance)
                       : (int64_t)distance;
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = (int64_t)disk_file->position;
    } else if (method == FILE_END) {
        struct stat status;
        fstat(disk_file->descriptor, &status);
        base = (int64_t)status.st_size;
    } else if (method != FILE_BEGIN) {
        set_error(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (base + move < 0) {
        set_error(ERROR_INVALID_PARAMETER); // Windows: ERROR_NEGATIVE_SEEK
        return INVALID_SET_FILE_POINTER;
    }
    disk_file->position = (uint64_t)(base + move);
    if (distance_high)
        *distance_high = (LONG)(disk_file->position >> 32);
    set_error(0);
    return (DWORD)disk_file->position;
}

BOOL WINAPI SetEndOfFile(HANDLE handle) {
    if (fault("SetEndOfFile"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto disk_file = written_disk_file(handle);
    if (!disk_file)
        return FALSE;
    struct stat status;
    fstat(disk_file->descriptor, &status);
    if (!take_room((uint64_t)status.st_size, disk_file->position))
        return FALSE;
    if (ftruncate(disk_file->descriptor, (off_t)disk_file->position) != 0) {
        take_room(disk_file->position, (uint64_t)status.st_size);
        set_error(error_of(errno));
        return FALSE;
    }
    mark_unflushed(*disk_file);
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    if (fault("FlushFileBuffers"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto disk_file = written_disk_file(handle);
    if (!disk_file)
        return FALSE;
    auto& unflushed = disk().unflushed;
    unflushed.erase(std::remove(unflushed.begin(), unflushed.end(),
                                std::make_pair(disk_file->device, disk_file->inode)),
                    unflushed.end());
    return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    if (fault("GetFileSizeEx"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto file = disk_file_of(handle);
    if (!file)
        return FALSE;
    struct stat status;
    if (fstat(disk_handle(*file)->descriptor, &status) != 0) {
        set_error(error_of(errno));
        return FALSE;
    }
    size->QuadPart = (LONGLONG)status.st_size;
    return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (fault("MoveFileExW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    const std::string source = host_name(from), target = host_name(to);
    struct stat moved, replaced;
    if (lstat(source.c_str(), &moved) != 0) {
        set_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // The name itself moves: a link is replaced, not the file it leads to.
    const bool replaces = lstat(target.c_str(), &replaced) == 0;
    if (replaces && !(flags & MOVEFILE_REPLACE_EXISTING)) {
        set_error(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (folder_refuses(source) || folder_refuses(target) ||
        (replaces && (S_ISDIR(replaced.st_mode) || read_only(replaced) ||
                      held_without_delete_sharing(replaced)))) {
        set_error(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (held_without_delete_sharing(moved)) {
        set_error(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        set_error(error_of(errno));
        return FALSE;
    }
    if (replaces && S_ISREG(replaced.st_mode) && replaced.st_nlink == 1)
        take_room((uint64_t)replaced.st_size, 0);
    auto& unflushed = disk().unflushed;
    if (std::find(unflushed.begin(), unflushed.end(), std::make_pair(moved.st_dev, moved.st_ino)) !=
        unflushed.end())
        disk().torn.push_back(target);
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR path) {
    if (fault("DeleteFileW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    const std::string name = host_name(path);
    struct stat status;
    if (lstat(name.c_str(), &status) != 0) {
        set_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (S_ISDIR(status.st_mode) || read_only(status) || folder_refuses(name)) {
        set_error(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (held_without_delete_sharing(status)) {
        set_error(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(name.c_str()) != 0) {
        set_error(error_of(errno));
        return FALSE;
    }
    if (S_ISREG(status.st_mode) && status.st_nlink == 1)
        take_room((uint64_t)status.st_size, 0);
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
    if (fault("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    std::lock_guard<std::recursive_mutex> held(lock());
    const std::string name = host_name(path);
    struct stat status;
    if (lstat(name.c_str(), &status) != 0) {
        set_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : error_of(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISLNK(status.st_mode)) {
        // A symbolic link is a reparse point; the rest describes what it leads to.
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        if (stat(name.c_str(), &status) != 0)
            return attributes | FILE_ATTRIBUTE_ARCHIVE;
    }
    if (S_ISDIR(status.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if (read_only(status))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    if (fault("SetFileAttributesW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    const std::string name = host_name(path);
    struct stat status;
    if (stat(name.c_str(), &status) != 0) {
        set_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    mode_t mode = status.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~(mode_t)0222) : (mode | S_IWUSR);
    if (chmod(name.c_str(), mode) != 0) {
        set_error(error_of(errno));
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
