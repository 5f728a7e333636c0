// The socket helpers under the name MqttClientTest.cpp knows them by; they
// live in tests/support/Descriptors.h.
#ifndef KIV_SDK_TEST_UTIL_H
#define KIV_SDK_TEST_UTIL_H

#include "Descriptors.h"

namespace sdktest = kivtest;

#endif
