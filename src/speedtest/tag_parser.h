// The text routines that read the speed-test documents without an XML parser:
// body from an HTTP response, attributes of one tag, and two value clean-ups.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Attribute name to value, ordered byte-wise by name. Values keep the double
// quotes they were written with.
using AttributeMap = std::map<std::string, std::string>;

// The body of an HTTP response, with a chunked transfer decoded. 0 when the
// body is non-empty, else -1 (also, with a console line, when there is no
// blank line after the header).
int GetHttpBody(const std::string& response, std::string& body);

// Reads the first tag "<name " at or after `start` into `attributes`, which
// keeps what it held: a name found again gets the new value. 0: found, with
// at least one word inside; -1: no such tag (silent); -2: no end ("/>" or
// "</name>", with a console line) or nothing inside it. `tagStart` is the
// position of "<", `tagEnd` that of the end marker, each written as soon as
// it is known.
int ExtractTagAttributes(const std::string& document, size_t start, const std::string& name,
                         AttributeMap& attributes, size_t& tagStart, size_t& tagEnd);

// What a walk over one document learns once and reuses: many openings can end
// at the same distant marker, and each one's attributes are then a suffix of
// the same text. Read afresh, that is quadratic in the document; kept here,
// the whole walk is linear in it (plus what it returns). Belongs to one
// document and one tag name, which must not change while it is in use.
class TagWalk {
  public:
    // As the routine above, with the same results.
    int Extract(const std::string& document, size_t start, const std::string& name,
                AttributeMap& attributes, size_t& tagStart, size_t& tagEnd);

  private:
    struct LastValue {
        size_t position;  // where the name's last token starts in the document
        std::string name;
        std::string value;
    };
    bool Covers(const std::string& document, const std::string& name, size_t opening) const;
    void Learn(const std::string& document, const std::string& name, size_t opening, size_t end);

    const std::string* document_ = nullptr;
    std::string name_;
    size_t from_ = 0;              // the opening the knowledge starts at
    size_t end_ = 0;               // the end marker of every opening in [from_, end_)
    size_t lastWord_ = 0;          // one past the last non-blank before end_; 0: none
    std::vector<LastValue> last_;  // each name's last token, by position
};

// Every "&amp;" becomes "&", again and again until none is left.
void DecodeAmpersands(std::string& text);

// Removes every double-quote character.
void StripQuotes(std::string& text);
