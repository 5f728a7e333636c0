// libKIVIOcpp: the bridge between the gateway and the attached nodes. Reading
// the nodes runs the node script "./pynodes.py" (relative to the caller's
// working directory) and returns what it prints; control commands for the
// nodes are only printed. No state is shared between calls but the holding
// back of repeated complaints: any function may run on any thread. C++ only:
// the results are std::string by value, so the caller must be built against
// the same C++ standard library.
//
// A run is bounded by three settings, read from the environment at each call
// (unset or empty: the default; any other value that is not a whole number in
// range makes the call throw std::runtime_error naming the variable):
//   KIV_NODE_TIMEOUT_MS    time limit of a run, 1 ms to 24 h (default 60 s)
//   KIV_NODE_OUTPUT_BYTES  most bytes of output taken, 1 to 64 MiB (default 256 KiB)
//   KIV_NODE_STOP_FD       a descriptor that becomes readable when the caller
//                          is stopping: a run then ends at once (default none)
#ifndef KIV_CKIVIO_H
#define KIV_CKIVIO_H

#include <string>

#if defined(__GNUC__)
#define KIV_IO_API __attribute__((visibility("default")))
#else
#define KIV_IO_API
#endif

// Runs cmd through the shell, in a process group of its own, and returns all
// its standard output, every byte (NULs and newlines included); its exit
// status is not looked at. Its standard error goes on to ours once it ended,
// at most its first 2 KiB, and the same text again only once a minute. When
// its output ended it gets the rest of the time limit to exit. Whatever is
// left of its group then is killed. A run that passes the time limit or is
// stopped gets SIGTERM, and SIGKILL once its outputs close or 0.3 s passed;
// it throws std::runtime_error saying which, as does one that printed more
// than the output bound (with the size and the bound).
// Throws std::runtime_error("popen() failed!") when the command cannot be
// started (also for a null cmd). Exported as exec(char const*).
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

// Runs "./pynodes.py" with exec, writes "retrive data = " and its output to
// std::cout (no newline added, no flush) and returns the output unchanged;
// "" when the script is missing or prints nothing (the shell's complaint goes
// to standard error, held back as exec says). Throws what exec throws, and
// then prints nothing.
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
