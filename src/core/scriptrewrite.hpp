// Rewriting of property scripts: property names in a user's arithmetic script
// become references to the property arrays of a data object.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gemlo::core {

// Returns `script` with every property name that stands as code replaced by
//     self.dob.prop['<name>'][self.dob.prop_array_key][:]
// in one pass: at each position of code the longest name that matches there
// and is neither preceded nor followed by an identifier character (ASCII
// letters, digits, '_', and any non-ASCII character) is replaced; inserted
// text is never scanned again. String literals (every prefix, triple-quoted,
// escapes) and comments stay as written; the expression parts of f-strings are
// code. Everything else is copied byte for byte. Works on UTF-8. The name goes
// into the reference as a string literal that means exactly that name,
// whatever quotes, backslashes or control characters it holds; inside a field
// of a one-line f-string quoted with ' the literal is quoted with " instead,
// as Python 3.11 ends such an f-string at its own quote. Empty names never
// match.
std::string rewrite_property_script(std::string_view script, const std::vector<std::string> &names);

}  // namespace gemlo::core
