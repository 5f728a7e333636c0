// What libKIVSdkcpp exports: the declarations its public headers mark
// KIV_SDK_API. Everything else in the library stays internal (it is built
// with hidden visibility).
#ifndef KIV_EXPORT_H
#define KIV_EXPORT_H

#define KIV_SDK_API __attribute__((visibility("default")))

#endif  // KIV_EXPORT_H
