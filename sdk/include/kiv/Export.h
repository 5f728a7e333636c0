// What libKIVSdkcpp exports: the declarations its public headers mark
// KIV_SDK_API. Everything else in the library stays internal (it is built
// with hidden visibility).
#ifndef KIV_EXPORT_H
#define KIV_EXPORT_H

#define KIV_SDK_API __attribute__((visibility("default")))
// For the private parts of exported classes (their Impl), which would take
// the class's visibility otherwise.
#define KIV_SDK_HIDDEN __attribute__((visibility("hidden")))

#endif  // KIV_EXPORT_H
