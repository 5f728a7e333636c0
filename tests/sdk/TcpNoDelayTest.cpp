// The TCP_NODELAY fallback finds the broker's socket by address and port:
// a socket to the same port number on another address is left alone.
#include "TcpNoDelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A descriptor closed at scope end.
struct Socket {
  explicit Socket(int family) : fd(socket(family, SOCK_STREAM, 0)) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd;
};

// 127.0.0.1:port or [::1]:port.
sockaddr_storage Loopback(int family, int port) {
  sockaddr_storage address{};
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    in6.sin6_addr = in6addr_loopback;
  }
  return address;
}

socklen_t LengthOf(int family) {
  return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// Listens on the loopback address of family at port (0: any); the port or -1.
int Listen(const Socket& listener, int family, int port) {
  int on = 1;
  if (family == AF_INET6) setsockopt(listener.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_storage address = Loopback(family, port);
  socklen_t length = LengthOf(family);
  if (bind(listener.fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener.fd, 4) != 0 ||
      getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  return family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port)
                           : ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
}

int NoDelayFlag(const Socket& s) {
  int flag = -1;
  socklen_t length = sizeof flag;
  getsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &flag, &length);
  return flag;
}

TEST(TcpNoDelay, OnlyTheSocketToTheBrokersAddressAndPortGetsIt) {
  Socket listener4(AF_INET), listener6(AF_INET6);
  int port = Listen(listener4, AF_INET, 0);
  ASSERT_GT(port, 0);
  if (Listen(listener6, AF_INET6, port) != port) {
    GTEST_SKIP() << "no IPv6 loopback here: cannot listen on [::1]:" << port;
  }
  struct Case {
    const char* host;
    int port;
    bool toIpv4, toIpv6;  // which of the two connections gets the option
  } cases[] = {
      {"127.0.0.1", port, true, false},
      {"[::1]", port, false, true},
      {"::1", port, false, true},
      {"127.0.0.1", port + 1, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    kiv::mqtt::BrokerEndpoint broker = kiv::mqtt::ResolveBroker(c.host, c.port);
    kiv::mqtt::SocketInodes before = kiv::mqtt::OpenSocketInodes();
    Socket to4(AF_INET), to6(AF_INET6);
    sockaddr_storage address4 = Loopback(AF_INET, port), address6 = Loopback(AF_INET6, port);
    ASSERT_EQ(connect(to4.fd, reinterpret_cast<sockaddr*>(&address4), LengthOf(AF_INET)), 0);
    ASSERT_EQ(connect(to6.fd, reinterpret_cast<sockaddr*>(&address6), LengthOf(AF_INET6)), 0);
    EXPECT_EQ(kiv::mqtt::SetNoDelayOnNewSockets(before, broker), c.toIpv4 + c.toIpv6);
    EXPECT_EQ(NoDelayFlag(to4) != 0, c.toIpv4);
    EXPECT_EQ(NoDelayFlag(to6) != 0, c.toIpv6);
  }
}

}  // namespace
