// Text made as printf makes it. The SDK's messages are built with this rather
// than with chains of std::string additions: each addition is a call and a
// temporary of its own at every place, and on the router a message made here
// takes about a third of the code. For text that holds no NUL (names, paths,
// numbers, the system's error texts): %s stops at one.
#ifndef KIV_SDK_FORMAT_H
#define KIV_SDK_FORMAT_H

#include <cstdarg>
#include <string>

namespace kiv {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the arguments in a va_list; "" for a null format.
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace kiv

#endif
