// Loadable modules: the system libraries whose exports the program looks up at run time.
// Module handles are not kernel handles, so they do not count as open handles.
#include "machine.h"

#include <cfgmgr32.h>

#include <cstring>
#include <string>

namespace {

const DWORD error_mod_not_found = 126;
const DWORD error_proc_not_found = 127;

template <typename Fn> FARPROC export_of(Fn* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

struct Export {
    const char* name;
    FARPROC address;
};

struct Module {
    const wchar_t* name;
    std::vector<Export> exports;
};

const std::vector<Module>& modules() {
    static const std::vector<Module> all = {
        {L"cfgmgr32.dll",
         {{"CM_Get_Device_Interface_PropertyW", export_of(&CM_Get_Device_Interface_PropertyW)}}},
        {L"setupapi.dll", {}},
        {L"hid.dll", {}},
        {L"user32.dll", {{"ChangeWindowMessageFilterEx", export_of(&ChangeWindowMessageFilterEx)}}},
    };
    return all;
}

// A module's handle is its index plus one, scaled so it never looks like a small integer.
HMODULE module_handle(size_t index) {
    return reinterpret_cast<HMODULE>((index + 1) * 0x10000);
}

const Module* module_of(HMODULE handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 0x10000 != 0 || value / 0x10000 > modules().size())
        return nullptr;
    return &modules()[value / 0x10000 - 1];
}

} // namespace

using namespace winsim::detail;

// Finds a module by name, as the loader does: without regard to case, ".dll" implied.
static HMODULE load(LPCWSTR name) {
    if (!name) {
        set_error(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    std::wstring wanted;
    for (const wchar_t* c = name; *c; c++)
        wanted += (*c >= L'A' && *c <= L'Z') ? wchar_t(*c - L'A' + L'a') : *c;
    if (wanted.find(L'.') == std::wstring::npos)
        wanted += L".dll";
    for (size_t i = 0; i < modules().size(); i++)
        if (wanted == modules()[i].name)
            return module_handle(i);
    set_error(error_mod_not_found);
    return NULL;
}

// GetModuleHandleW (user.cpp) finds the same modules: all are loaded in the program.
namespace winsim::detail {
HMODULE module_find(LPCWSTR name) {
    return load(name);
}
} // namespace winsim::detail

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    if (fault("LoadLibraryW"))
        return NULL;
    return load(name);
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
    if (fault("LoadLibraryExW"))
        return NULL;
    // Only what the program asks for: a system library from the system directory.
    if (file || (flags & ~DWORD(LOAD_LIBRARY_SEARCH_SYSTEM32))) {
        set_error(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return load(name);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (fault("GetProcAddress"))
        return NULL;
    const Module* found = module_of(module);
    if (!found) {
        set_error(ERROR_INVALID_HANDLE);
        return NULL;
    }
    for (auto& entry : found->exports)
        if (name && strcmp(entry.name, name) == 0)
            return entry.address;
    set_error(error_proc_not_found);
    return NULL;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (fault("FreeLibrary"))
        return FALSE;
    if (!module_of(module)) {
        set_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
