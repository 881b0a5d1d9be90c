// Untrusted text (a daemon's words, interface names, paths) as the programs
// show it.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// `text` with control bytes, DEL, the backslash, '|' (where monitoring plugin
// output starts its performance data), the bytes in `alsoEscaped` and every
// byte that is not part of valid UTF-8 written as \xHH. The result stays on
// one line, is valid UTF-8, and two different texts never look alike.
std::string Printable(std::string_view text, std::string_view alsoEscaped = "");

}  // namespace tools
