// The logger, its file policy and the start-up rotation of log generations.
#include "log/logger.h"

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <new>
#include <stdexcept>

#include "platform/clock.h"

std::unique_ptr<Logger> gLogger;

namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& name) {
    std::error_code ec;
    return fs::exists(name, ec);
}

// `copy /y from to`: errors are ignored, as nothing could be done about them
// before the log is open.
void CopyOver(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
}

// `copy /y first + second to`: the two files joined into `to`. A missing
// second part is simply left out.
void Concatenate(const std::string& first, const std::string& second, const std::string& to) {
    std::ifstream a(first, std::ios::binary);
    if (!a.is_open()) return;
    std::ifstream b(second, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return;
    out << a.rdbuf();
    if (b.is_open() && b.peek() != std::ifstream::traits_type::eof()) out << b.rdbuf();
}

// Narrows one code point the way a UTF-16 unit is cut to its low byte; a
// code point beyond the basic plane is two units, so two bytes.
void AppendLowBytes(std::string& out, wchar_t c) {
    auto code = static_cast<uint32_t>(c);
    if (code > 0xFFFF && code <= 0x10FFFF) {
        code -= 0x10000;
        out.push_back(static_cast<char>((0xD800 + (code >> 10)) & 0xFF));
        out.push_back(static_cast<char>((0xDC00 + (code & 0x3FF)) & 0xFF));
    } else {
        out.push_back(static_cast<char>(code & 0xFF));
    }
}

}  // namespace

void file_log_policy::open_ostream(const std::string& name) {
    out_.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) throw std::runtime_error("LOGGER: Unable to open an output stream");
    name_ = name;
}

void file_log_policy::close_ostream() {
    if (out_.is_open()) out_.close();
}

void file_log_policy::write(const std::string& line) {
    out_ << line << '\n';
    out_.flush();
    bytesWritten_ += line.size();
    if (bytesWritten_ > kRotateBytes) {
        close_ostream();
        // The overflow copy takes the full file; renaming is the copy plus
        // the truncation that reopening does, without reading 2 MB back.
        std::error_code ec;
        fs::rename(name_, "~" + name_, ec);
        if (ec) CopyOver(name_, "~" + name_);
        bytesWritten_ = 0;
        open_ostream(name_);
    }
}

Logger::Logger(const std::string& fileName) {
    try {
        policy_ = std::make_unique<file_log_policy>();
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("LOGGER: Unable to create the logger instance");
    }
    policy_->open_ostream(fileName);
}

void Logger::BeginLine(LogLevel level) {
    buffer_ << (level == LogLevel::Debug ? "<DEBUG>:" : "<ERROR>:");
}

void Logger::FinishLine() {
    std::ostringstream header;
    header << std::setw(7) << std::setfill('0') << lineNumber_++ << '<' << platform::CtimeNow()
           << '-' << std::setw(7) << std::setfill('0') << platform::ProcessClockMs() << ">~";
    std::string line = header.str();
    line += buffer_.str();
    line += "\r\n";
    policy_->write(line);
    buffer_.str(std::string());
    buffer_.clear();
}

void InitLogger() {
    const std::string base = kLogBaseName;
    if (Exists(base + "2.log")) CopyOver(base + "2.log", base + "3.log");
    if (Exists(base + "1.log")) CopyOver(base + "1.log", base + "2.log");
    if (Exists("~" + base + ".log"))
        Concatenate("~" + base + ".log", base + ".log", base + "1.log");
    gLogger = std::make_unique<Logger>(base + ".log");
}

void AppendLogPiece(std::ostringstream& out, std::string_view text) {
    out << text;
}

void AppendLogPiece(std::ostringstream& out, std::wstring_view text) {
    std::string narrowed;
    narrowed.reserve(text.size());
    for (wchar_t c : text) AppendLowBytes(narrowed, c);
    out << narrowed;
}

LogLine::LogLine(LogLevel level) : logger_(gLogger.get()) {
    if (logger_ == nullptr) return;
    logger_->lock().lock();
    logger_->BeginLine(level);
}

LogLine::~LogLine() {
    if (logger_ == nullptr) return;
    // A failed reopen after a cut-over throws here and ends the process: it
    // cannot go on without its log.
    logger_->FinishLine();
    logger_->lock().unlock();
}

void ResetLoggerForTest() {
    gLogger.reset();
}
