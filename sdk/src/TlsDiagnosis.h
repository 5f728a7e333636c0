// Why a TLS connection to a broker fails, in words an operator can act on.
//
// The MQTT library reports a failed TLS connection as "TCP/TLS connect
// failure" or "certificate verify failed", without the reason. After such a
// failure the client makes one handshake of its own to the broker with the
// same files and host name, and reads what OpenSSL found: the broker's
// certificate verification result (expired, not yet valid, unknown CA, host
// name mismatch), a client certificate asked for and not given, or the alert
// with which the broker refused ours. Like the library, it gives a broker
// that fails verification no client certificate. It sends no MQTT and stays
// within its deadline (the resolver's own wait for a host name aside), so a
// stop is never held up for long.
#ifndef KIV_SDK_TLS_DIAGNOSIS_H
#define KIV_SDK_TLS_DIAGNOSIS_H

#include <chrono>
#include <string>

namespace kiv {
namespace mqtt {

struct TlsEndpoint {
  std::string host;  // as the server URI names it: what the certificate must name
  int port = 0;
  std::string caFile;    // empty: the system's trust store
  std::string certFile;  // empty: no client certificate
  std::string keyFile;
};

// The reason found, e.g. "the broker's certificate has expired (notAfter
// ...)", or "" when the handshake found nothing wrong or could not be made
// within timeout.
std::string DiagnoseTls(const TlsEndpoint& endpoint, std::chrono::milliseconds timeout);

}  // namespace mqtt
}  // namespace kiv

#endif
