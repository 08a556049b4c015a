// printf-style formatting into a std::string.
#pragma once
#include <string>

std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
