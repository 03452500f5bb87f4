// Text output of pdinstall: UTF-16 to a console, UTF-8 to a file or pipe.
#pragma once

#include <string>
#include <string_view>

namespace pdinstall {

void print(std::wstring_view text);        // to stdout
void print_error(std::wstring_view text);  // to stderr

std::wstring widen(std::string_view utf8);

}  // namespace pdinstall
