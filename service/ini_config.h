// INI reading shared by the backends' files and the lab's (scenarios, fault
// files): inih splits the text, this keeps every section and
// key with its line number, and a section reader hands out typed values.
// Every problem becomes "FILE:LINE: problem" (one line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

struct IniKey {
    std::string key;
    std::string value;
    int line = 0;
    bool used = false;
};

struct IniSection {
    std::string name;   // between the brackets, trimmed, as written
    std::string kind;   // its first word
    std::string label;  // the rest, trimmed; may be empty
    int line = 0;
    std::vector<IniKey> keys;  // in file order
};

// A problem at a line of the file (0: the file as a whole).
struct IniError {
    int line = 0;
    std::string message;
};

// Where the two file formats differ; each keeps the wording its users know.
struct IniDialect {
    // Longer lines are refused: inih reads through a 200-byte buffer and
    // would split them, and then its line numbers and ours would differ.
    size_t maxLineLength;
    // False: a key given twice in one section fails the read at once.
    bool keysMayRepeat;
    // The complaint for a line that is neither [section] nor key = value.
    const char* malformedLine;
    // Sections are named "[as written]" or normalised "[kind label]".
    bool headerAsWritten;
    // Before the quoted key in value complaints: "key " or nothing.
    const char* keyWord;
    // An empty value is refused only for a required key, or for any key.
    bool emptyOnlyIfRequired;
};

// The wording of the service's files (the static and kernel backends', the
// fault file): each key once, sections named as written. 160 characters
// leave inih's 200-byte line buffer room to spare.
inline constexpr IniDialect kServiceDialect{
    .maxLineLength = 160,
    .keysMayRepeat = false,
    .malformedLine = "expected [section] or key = value",
    .headerAsWritten = true,
    .keyWord = "key ",
    .emptyOnlyIfRequired = true,
};

// Splits the text into sections. False with *error = "FILE:LINE: problem"
// for an over-long line, a NUL byte, a malformed line or a key before any
// section (and a repeated key where the dialect forbids it).
bool ReadIniSections(const std::string& text, const std::string& fileName,
                     const IniDialect& dialect, std::vector<IniSection>* sections,
                     std::string* error);
// Reads a whole file of at most 1 MiB; an unreadable file is "FILE: problem".
bool LoadIniText(const std::string& path, std::string* text, std::string* error);
// "FILE:LINE: message", or "FILE: message" for the file as a whole.
std::string IniErrorText(const std::string& fileName, const IniError& error);

// Typed access to the keys of one section; each failure throws IniError
// naming the key and the section. Keys that nobody asked for are reported by
// Finish() as unknown, so a misspelt key is never silently ignored.
class IniSectionReader {
  public:
    IniSectionReader(IniSection& section, const IniDialect& dialect)
        : section_(section), dialect_(dialect) {}

    std::optional<std::string> Text(const char* key, bool required);
    std::optional<double> Number(const char* key, bool required, double min, double max);
    std::optional<int64_t> Integer(const char* key, bool required, int64_t min, int64_t max);
    std::optional<bool> Bool(const char* key);
    // Also throws for a key that was given more than once.
    void Finish() const;

    const IniSection& section() const { return section_; }
    std::string Where() const;  // the section in brackets, as the dialect names it
    // The line of `key`, or of the section header when the key is absent.
    int LineOf(const char* key) const;
    [[noreturn]] void Fail(int line, const std::string& message) const;

  private:
    IniKey* Find(const char* key, bool required);
    [[noreturn]] void FailValue(const IniKey& kv, const char* what) const;

    IniSection& section_;
    const IniDialect& dialect_;
};

// Without blanks (space, tab, CR, LF) at either end.
std::string TrimBlanks(std::string_view text);
// Decimal numbers as the files write them: optional sign, digits, one
// optional fraction; nothing else (no exponent, no blanks, no "nan").
bool ParseDecimal(const std::string& text, double* out);
// Decimal or 0x-hexadecimal, with an optional sign.
bool ParseWholeNumber(const std::string& text, int64_t* out);

}  // namespace corvane
