// The text routines that read the speed-test documents without an XML parser:
// body from an HTTP response, attributes of one tag, and two value clean-ups.
#pragma once

#include <cstddef>
#include <map>
#include <string>

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

// Every "&amp;" becomes "&", again and again until none is left.
void DecodeAmpersands(std::string& text);

// Removes every double-quote character.
void StripQuotes(std::string& text);
