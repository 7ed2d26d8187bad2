// Text from outside (file names, names a plug-in or a preset gives) made safe to print: a control
// character in it must neither drive the terminal (ESC clears the screen) nor split a line.
#pragma once

#include <string>

namespace solvantis {

// Control characters (0x00 to 0x1F and DEL) written as \n, \r, \t or \xHH; everything else, UTF-8
// included, as it is.
inline std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown.push_back(c);
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else {
            static const char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown.push_back(digits[byte >> 4]);
            shown.push_back(digits[byte & 15]);
        }
    }
    return shown;
}

} // namespace solvantis
