// Files on the simulated machine's disk as tests and tools arrange them: another program holding
// one open, a disk with no room left, and a power cut. The files themselves are the host's,
// under the names the program uses (relative to the current directory); the stand-in lays
// Windows's rules over them: share modes (delete sharing included), the read-only attribute
// (the owner's write permission: SetFileAttributesW clears and sets it), a folder that refuses
// new files (its owner's write permission cleared), a full disk and a flush.
//
// Thread: every function may be called from any thread; all take the machine's lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace winsim {

// Another program opens the existing file `path` with this access and share mode and keeps it
// open until release_file or the reset: opens of ours that clash with it fail with
// ERROR_SHARING_VIOLATION, and renaming or deleting the file is refused unless it shares
// deleting. False, holding nothing, when the file does not exist or an open handle of ours
// does not share what it asks for.
bool hold_file(const std::wstring& path, DWORD access, DWORD share);
// The other program closes every file it holds.
void release_files();

// From now on (until the reset) the disk has room for this many more bytes: a write or a
// truncation that would grow the files beyond it fails with ERROR_DISK_FULL and changes
// nothing. Shrinking or deleting a file gives its room back. Unset: no limit.
void set_disk_room(std::optional<uint64_t> bytes);

// The power fails and comes back: a file that was renamed onto a name while data written to
// it had not been flushed (FlushFileBuffers) is found empty under that name, as the rename can
// reach the disk before the data. Returns how many files lost their data so.
size_t power_cut();

} // namespace winsim
