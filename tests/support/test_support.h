// Helpers shared by the test binaries: scratch directories, file contents,
// captured console output.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/console.h"

namespace test {

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sandrow-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// How often `needle` occurs in `text`, overlaps included.
inline size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

// Runs the test body inside a directory and comes back afterwards.
class ScopedChdir {
  public:
    explicit ScopedChdir(const std::filesystem::path& to) : from_(std::filesystem::current_path()) {
        std::filesystem::current_path(to);
    }
    ~ScopedChdir() {
        std::error_code ec;
        std::filesystem::current_path(from_, ec);
    }

  private:
    std::filesystem::path from_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Collects everything the program prints while alive.
class ConsoleCapture {
  public:
    ConsoleCapture() {
        platform::SetConsoleSinkForTest([this](std::string_view text) { text_.append(text); });
    }
    ~ConsoleCapture() { platform::SetConsoleSinkForTest(nullptr); }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

  private:
    std::string text_;
};

// Points the registry at a hive holding `values` (lines such as
// "\"JTFA\"=dword:00000001") for the life of the object.
class ScopedHive {
  public:
    ScopedHive(const TempDir& dir, const std::vector<std::string>& values)
        : path_(dir.file("registry.reg")) {
        Write(values);
        ::setenv("SANDROW_REGISTRY", path_.c_str(), 1);
    }
    ~ScopedHive() { ::unsetenv("SANDROW_REGISTRY"); }
    void Write(const std::vector<std::string>& values) const {
        std::string text =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth\\Mervix]\r\n";
        for (const std::string& v : values) text += v + "\r\n";
        WriteFile(path_, text);
    }

  private:
    std::string path_;
};

// The lines of a log file, each without its header and line ends.
inline std::vector<std::string> LogMessages(const std::string& path) {
    std::vector<std::string> messages;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;  // the extra LF after each CR LF
        if (line.back() == '\r') line.pop_back();
        auto tilde = line.find(">~");
        messages.push_back(tilde == std::string::npos ? line : line.substr(tilde + 2));
    }
    return messages;
}

}  // namespace test
