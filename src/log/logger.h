// The process-wide log: numbered, time-stamped lines in aperture.log, cut over
// to ~aperture.log every 2000000 bytes and shifted through three generations at
// start-up.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

// Where finished lines go.
class log_policy_interface {
  public:
    virtual ~log_policy_interface() = default;
    virtual void open_ostream(const std::string& name) = 0;
    virtual void close_ostream() = 0;
    virtual void write(const std::string& line) = 0;
};

// Writes lines to a file, flushing each, and cuts the file over to "~" + name
// once more than kRotateBytes have been handed to it.
class file_log_policy : public log_policy_interface {
  public:
    static constexpr uint64_t kRotateBytes = 2000000;

    void open_ostream(const std::string& name) override;
    void close_ostream() override;
    void write(const std::string& line) override;

  private:
    std::ofstream out_;
    uint64_t bytesWritten_ = 0;  // since the file was last opened; CR LF counted, the extra LF not
    std::string name_;
};

enum class LogLevel { Debug, Error };

class Logger {
  public:
    // Opens `fileName` (truncating it). Throws std::runtime_error when the
    // policy cannot be made or the file cannot be opened.
    explicit Logger(const std::string& fileName);

    // Line building; the caller holds lock() from BeginLine to FinishLine.
    std::mutex& lock() { return lock_; }
    void BeginLine(LogLevel level);
    std::ostringstream& buffer() { return buffer_; }
    void FinishLine();

  private:
    uint32_t lineNumber_ = 0;
    std::ostringstream buffer_;
    std::unique_ptr<file_log_policy> policy_;
    std::mutex lock_;
};

// Set by InitLogger; lives until the process ends.
extern std::unique_ptr<Logger> gLogger;

inline constexpr const char* kLogBaseName = "aperture";

// Shifts the generations of earlier runs, then opens a fresh aperture.log in
// the current directory. Throws (uncaught by design) when it cannot.
void InitLogger();

// Writes one piece in the log's formats: narrow text as is, wide text reduced
// to the low byte of each UTF-16 unit, integers in decimal, doubles with six
// significant digits, booleans as 1/0.
void AppendLogPiece(std::ostringstream& out, std::string_view text);
void AppendLogPiece(std::ostringstream& out, std::wstring_view text);
inline void AppendLogPiece(std::ostringstream& out, const char* text) {
    AppendLogPiece(out, std::string_view(text != nullptr ? text : ""));
}
inline void AppendLogPiece(std::ostringstream& out, const wchar_t* text) {
    AppendLogPiece(out, std::wstring_view(text != nullptr ? text : L""));
}
inline void AppendLogPiece(std::ostringstream& out, const std::string& text) {
    AppendLogPiece(out, std::string_view(text));
}
inline void AppendLogPiece(std::ostringstream& out, const std::wstring& text) {
    AppendLogPiece(out, std::wstring_view(text));
}
inline void AppendLogPiece(std::ostringstream& out, char c) {
    out << c;
}
inline void AppendLogPiece(std::ostringstream& out, wchar_t c) {
    AppendLogPiece(out, std::wstring_view(&c, 1));
}
inline void AppendLogPiece(std::ostringstream& out, bool b) {
    out << (b ? '1' : '0');
}
template <typename T>
requires(std::is_arithmetic_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
         !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char8_t> &&
         !std::is_same_v<T, char16_t> &&
         !std::is_same_v<T, char32_t>) void AppendLogPiece(std::ostringstream& out, T value) {
    if constexpr (sizeof(T) == 1) {
        out << static_cast<int>(value);  // 8-bit fields are numbers, not characters
    } else {
        out << value;
    }
}

// One log line built in pieces: takes the write lock and writes the level tag
// on construction, finishes the line and unlocks on destruction. Without a
// logger (before start-up opened it) the pieces are dropped.
class LogLine {
  public:
    explicit LogLine(LogLevel level);
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    template <typename T>
    LogLine& operator<<(const T& piece) {
        if (logger_ != nullptr) AppendLogPiece(logger_->buffer(), piece);
        return *this;
    }

  private:
    Logger* logger_;
};

template <typename... Pieces>
void LogDebug(const Pieces&... pieces) {
    LogLine line(LogLevel::Debug);
    (line << ... << pieces);
}

template <typename... Pieces>
void LogError(const Pieces&... pieces) {
    LogLine line(LogLevel::Error);
    (line << ... << pieces);
}

// Tests: drop the logger so the next InitLogger starts from line 0.
void ResetLoggerForTest();
