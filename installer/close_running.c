// The installer's one custom action: before files are replaced or removed, it asks a running
// copy of the program to end by a close request to its hidden window, on which the program
// shuts down as after "Quit" (pads unplugged, files closed), so nothing of it is in use when the
// files go. Windows Installer's own handling of files in use would instead leave the old
// executable for the next restart, or end the program without its shutdown.
#include <windows.h>

// The class of the program's hidden window (tray/tray_engine.cpp).
static const wchar_t PROGRAM_WINDOW_CLASS[] = L"PelkavornViGEmClass";
// How long one copy may take over its shutdown before the installation goes on without it.
static const DWORD SHUTDOWN_WAIT_MS = 10000;

// Called by Windows Installer on its own thread, with the session's handle, which nothing here
// needs. Blocks until every copy found has ended or had SHUTDOWN_WAIT_MS. Always returns
// ERROR_SUCCESS: a copy that would not end leaves its files to Windows Installer, which
// replaces them at the next restart and says so, rather than failing the installation.
__declspec(dllexport) UINT __stdcall CloseRunningProgram(ULONG session) {
    (void)session;
    // One copy a pass; a window found again has ignored its request, and is left alone.
    HWND previous = NULL;
    for (int pass = 0; pass < 8; pass++) {
        HWND window = FindWindowW(PROGRAM_WINDOW_CLASS, NULL);
        if (!window || window == previous)
            break;
        previous = window;
        DWORD process_id = 0;
        GetWindowThreadProcessId(window, &process_id);
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (process) {
            WaitForSingleObject(process, SHUTDOWN_WAIT_MS);
            CloseHandle(process);
        }
    }
    return ERROR_SUCCESS;
}
