// libKIVIOcpp: the bridge between the gateway and the attached nodes. Reading
// the nodes runs the node script "./pynodes.py" (relative to the caller's
// working directory) and returns what it prints; control commands for the
// nodes are only printed. No state is shared between calls: any function may
// run on any thread. C++ only: the results are std::string by value, so the
// caller must be built against the same C++ standard library.
#ifndef KIV_CKIVIO_H
#define KIV_CKIVIO_H

#include <string>

#if defined(__GNUC__)
#define KIV_IO_API __attribute__((visibility("default")))
#else
#define KIV_IO_API
#endif

// Runs cmd through the shell and returns all its standard output, newlines
// included; its exit status is not looked at. Reading stops at end of file or
// at the first read error. A NUL byte ends the text of the 127-byte read it is
// in (the rest of that read is dropped). Throws std::runtime_error("popen()
// failed!") when the command cannot be started (also for a null cmd).
// Exported as exec(char const*).
KIV_IO_API std::string exec(const char* cmd);

// The gateway binds to the next three by their bare names, although they
// return a std::string: C linkage gives the undecorated symbols. Clang warns
// that a C++ type is returned with C linkage; both sides are C++ built
// against one standard library, so the warning is silenced for these three
// declarations only.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" {

// Runs "./pynodes.py", writes "retrive data = " and its output to std::cout
// (no newline added, no flush) and returns the output unchanged; "" when the
// script is missing or prints nothing. Throws what exec throws.
KIV_IO_API std::string OutputAll();

// Prints a control command for the nodes ("\ninput =%s\n"; nothing for a
// null input) and returns an empty string. Nothing is run or forwarded.
KIV_IO_API std::string Input(const char* input);

// Returns an empty string and does nothing else.
KIV_IO_API std::string Output();

}  // extern "C"
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif
