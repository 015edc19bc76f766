// The INI machinery behind both backends' files, over inih's C API.
#include "service/ini_config.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace corvane {
namespace {

// A file is a few hundred lines; this bounds what a wrong path can cost.
constexpr size_t kMaxIniBytes = 1 << 20;

// What the reader and the handler share while inih runs.
struct ParseState {
    const std::string* text = nullptr;
    const IniDialect* dialect = nullptr;
    size_t pos = 0;
    int line = 0;  // the line the last piece handed to inih belongs to
    bool atLineStart = true;
    std::vector<IniSection>* sections = nullptr;
    std::optional<IniError> error;  // the first one only

    void Fail(int at, std::string message) {
        if (!error) error = IniError{at, std::move(message)};
    }
};

std::string Bracketed(const IniSection& section, const IniDialect& dialect) {
    if (dialect.headerAsWritten) return "[" + section.name + "]";
    return "[" + section.kind + (section.label.empty() ? "" : " " + section.label) + "]";
}

// A section header line opens a record here, so that an empty section and
// two sections of the same name are seen too (inih only reports keys).
void NoteSectionHeader(ParseState* state, std::string_view line) {
    if (state->line == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line[start] != '[') return;
    size_t close = line.find(']', start);
    if (close == std::string_view::npos) return;  // inih reports the line as malformed
    IniSection section;
    section.name = TrimBlanks(line.substr(start + 1, close - start - 1));
    size_t space = section.name.find_first_of(" \t");
    section.kind = section.name.substr(0, space);
    section.label =
        space == std::string::npos ? "" : TrimBlanks(std::string_view(section.name).substr(space));
    section.line = state->line;
    state->sections->push_back(std::move(section));
}

// fgets-style reader over the text, counting lines as it goes.
char* ReadPiece(char* out, int size, void* stream) {
    auto* state = static_cast<ParseState*>(stream);
    const std::string& text = *state->text;
    if (state->pos >= text.size() || size <= 1) return nullptr;
    size_t newline = text.find('\n', state->pos);
    size_t lineEnd = newline == std::string::npos ? text.size() : newline + 1;
    if (state->atLineStart) {
        ++state->line;
        NoteSectionHeader(state, std::string_view(text).substr(state->pos, lineEnd - state->pos));
    }
    size_t take = std::min(lineEnd - state->pos, static_cast<size_t>(size - 1));
    std::memcpy(out, text.data() + state->pos, take);
    out[take] = '\0';
    state->pos += take;
    state->atLineStart = out[take - 1] == '\n';
    return out;
}

int OnKey(void* user, const char* section, const char* name, const char* value) {
    (void)section;  // the reader has opened the record already
    auto* state = static_cast<ParseState*>(user);
    if (state->sections->empty()) {
        state->Fail(state->line, "key '" + std::string(name) + "' outside a section");
        return 0;
    }
    IniSection& current = state->sections->back();
    if (!state->dialect->keysMayRepeat) {
        for (const IniKey& kv : current.keys) {
            if (kv.key == name) {
                state->Fail(state->line, "duplicate key '" + kv.key + "' in " +
                                             Bracketed(current, *state->dialect));
                return 0;
            }
        }
    }
    current.keys.push_back(IniKey{name, value, state->line, false});
    return 1;
}

std::optional<IniError> CheckLines(const std::string& text, size_t maxLineLength) {
    int line = 1;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        size_t end = newline == std::string::npos ? text.size() : newline;
        std::string_view content(text.data() + start, end - start);
        if (content.find('\0') != std::string_view::npos) {
            return IniError{line, "NUL byte in the line"};
        }
        if (content.size() > maxLineLength) {
            return IniError{line,
                            "line longer than " + std::to_string(maxLineLength) + " characters"};
        }
        if (newline == std::string::npos) break;
        start = newline + 1;
        ++line;
    }
    return std::nullopt;
}

std::string FormatNumber(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

std::string TrimBlanks(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string IniErrorText(const std::string& fileName, const IniError& error) {
    if (error.line == 0) return fileName + ": " + error.message;  // the file as a whole
    return fileName + ":" + std::to_string(error.line) + ": " + error.message;
}

bool ReadIniSections(const std::string& text, const std::string& fileName,
                     const IniDialect& dialect, std::vector<IniSection>* sections,
                     std::string* error) {
    sections->clear();
    std::optional<IniError> problem = CheckLines(text, dialect.maxLineLength);
    if (!problem) {
        ParseState state;
        state.text = &text;
        state.dialect = &dialect;
        state.sections = sections;
        int result = ini_parse_stream(ReadPiece, &state, OnKey, &state);
        if (result == -2) {
            problem = IniError{0, "out of memory"};
        } else if (result > 0 && (!state.error || result < state.error->line)) {
            // inih's own complaint about an earlier line than ours.
            problem = IniError{result, dialect.malformedLine};
        } else if (state.error) {
            problem = state.error;
        }
    }
    if (!problem) return true;
    sections->clear();
    *error = IniErrorText(fileName, *problem);
    return false;
}

bool LoadIniText(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    text->clear();
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text->append(buffer, static_cast<size_t>(in.gcount()));
        if (text->size() > kMaxIniBytes) {
            *error = path + ": larger than " + std::to_string(kMaxIniBytes) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        *error = path + ": cannot read";
        return false;
    }
    return true;
}

bool ParseDecimal(const std::string& text, double* out) {
    // Only [sign] digits [. digits]: from_chars alone would take "inf" and "1e9".
    size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    size_t digits = 0;
    bool point = false;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] >= '0' && text[k] <= '9') {
            ++digits;
        } else if (text[k] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    double value = 0;
    auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *out = value;
    return true;
}

bool ParseWholeNumber(const std::string& text, int64_t* out) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty()) return false;
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    constexpr auto kMaxMagnitude = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative) {
        if (magnitude > kMaxMagnitude + 1) return false;
        *out = magnitude == kMaxMagnitude + 1 ? std::numeric_limits<int64_t>::min()
                                              : -static_cast<int64_t>(magnitude);
    } else {
        if (magnitude > kMaxMagnitude) return false;
        *out = static_cast<int64_t>(magnitude);
    }
    return true;
}

std::string IniSectionReader::Where() const {
    return Bracketed(section_, dialect_);
}

int IniSectionReader::LineOf(const char* key) const {
    for (const IniKey& kv : section_.keys) {
        if (kv.key == key) return kv.line;
    }
    return section_.line;
}

void IniSectionReader::Fail(int line, const std::string& message) const {
    throw IniError{line, message};
}

void IniSectionReader::FailValue(const IniKey& kv, const char* what) const {
    Fail(kv.line, "'" + kv.value + "' is not " + what + " (" + dialect_.keyWord + "'" + kv.key +
                      "' in " + Where() + ")");
}

// A repeated key is marked used everywhere, so that Finish() reports it as
// repeated rather than unknown; the first one counts.
IniKey* IniSectionReader::Find(const char* key, bool required) {
    IniKey* found = nullptr;
    for (IniKey& kv : section_.keys) {
        if (kv.key == key) {
            kv.used = true;
            if (found == nullptr) found = &kv;
        }
    }
    if (found == nullptr && required) {
        Fail(section_.line, "missing key '" + std::string(key) + "' in " + Where());
    }
    return found;
}

std::optional<std::string> IniSectionReader::Text(const char* key, bool required) {
    IniKey* kv = Find(key, required);
    if (kv == nullptr) return std::nullopt;
    if (kv->value.empty() && (required || !dialect_.emptyOnlyIfRequired)) {
        Fail(kv->line, "empty value for " + std::string(dialect_.keyWord) + "'" + kv->key +
                           "' in " + Where());
    }
    return kv->value;
}

std::optional<double> IniSectionReader::Number(const char* key, bool required, double min,
                                               double max) {
    IniKey* kv = Find(key, required);
    if (kv == nullptr) return std::nullopt;
    double value = 0;
    if (!ParseDecimal(kv->value, &value)) FailValue(*kv, "a number");
    if (value < min || value > max) {
        Fail(kv->line, kv->key + " = " + kv->value + " is out of range (" + FormatNumber(min) +
                           " to " + FormatNumber(max) + ") in " + Where());
    }
    return value;
}

std::optional<int64_t> IniSectionReader::Integer(const char* key, bool required, int64_t min,
                                                 int64_t max) {
    IniKey* kv = Find(key, required);
    if (kv == nullptr) return std::nullopt;
    int64_t value = 0;
    if (!ParseWholeNumber(kv->value, &value)) FailValue(*kv, "an integer");
    if (value < min || value > max) {
        Fail(kv->line, kv->key + " = " + kv->value + " is out of range (" + std::to_string(min) +
                           " to " + std::to_string(max) + ") in " + Where());
    }
    return value;
}

std::optional<bool> IniSectionReader::Bool(const char* key) {
    IniKey* kv = Find(key, false);
    if (kv == nullptr) return std::nullopt;
    std::string v = kv->value;
    std::transform(v.begin(), v.end(), v.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
    if (v == "false" || v == "no" || v == "off" || v == "0") return false;
    FailValue(*kv, "true or false");
}

void IniSectionReader::Finish() const {
    std::set<std::string> seen;
    for (const IniKey& kv : section_.keys) {
        if (!kv.used) Fail(kv.line, "unknown key '" + kv.key + "' in " + Where());
        if (!seen.insert(kv.key).second) {
            Fail(kv.line, "'" + kv.key + "' given twice in " + Where());
        }
    }
}

}  // namespace corvane
