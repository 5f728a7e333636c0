// Whole-number settings the SDK reads from the service's environment.
#ifndef KIV_SDK_SETTINGS_H
#define KIV_SDK_SETTINGS_H

#include <cstddef>
#include <string>

namespace kiv {

// The environment variable name's value when it is a whole number from
// least to most; fallback when it is unset or empty. A value set but not
// such a number gives fallback too, and appends a note naming it to
// *warning (when given; notes are separated by "; ").
size_t WholeNumberSetting(const char* name, size_t least, size_t most, size_t fallback,
                          std::string* warning);

}  // namespace kiv

#endif
