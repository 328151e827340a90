// A fresh, empty current directory for the life of the record (a test, a fuzz run, a
// benchmark), where the program finds and writes its settings file; the previous one comes
// back and the folder is removed afterwards.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <system_error>

struct TempFolder {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::path path;

    // Made by the first of these `mkdtemp` patterns that works.
    explicit TempFolder(std::initializer_list<const char*> patterns = {
                            "/tmp/pelkavorn-test-XXXXXX"}) {
        for (std::string pattern : patterns)
            if (path.empty() && mkdtemp(pattern.data()))
                path = pattern;
        if (path.empty()) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::filesystem::current_path(path);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// A file of the current directory: its bytes ("" when there is none), or replaced by these.
inline std::string file_bytes(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void put_file(const std::filesystem::path& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}
