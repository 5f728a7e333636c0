// Random identifiers: generated client ids, device ids and request-id
// prefixes. Drawn from the system's random device, so that two processes
// started at the same moment (a fleet after a power cut) do not collide.
#ifndef KIV_SDK_RANDOM_HEX_H
#define KIV_SDK_RANDOM_HEX_H

#include <cstddef>
#include <string>

namespace kiv {

// digits lower-case hexadecimal digits.
std::string RandomHex(size_t digits);

}  // namespace kiv

#endif
