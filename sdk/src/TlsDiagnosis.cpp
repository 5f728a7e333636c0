#include "TlsDiagnosis.h"

#include "Format.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kiv {
namespace mqtt {
namespace {

using Clock = std::chrono::steady_clock;

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};
struct SslFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(SSL* ssl) const { SSL_free(ssl); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
  pollfd entry{fd, events, 0};
  return poll(&entry, 1, MillisecondsLeft(deadline)) == 1;
}

// A non-blocking TCP connection to the broker, or -1.
int ConnectTcp(const TlsEndpoint& endpoint, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char port[16];
  std::snprintf(port, sizeof port, "%d", endpoint.port);
  if (getaddrinfo(endpoint.host.c_str(), port, &hints, &found) != 0) return -1;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if ((connect(fd, address->ai_addr, address->ai_addrlen) == 0 ||
         (errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline) &&
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0))) {
      return fd;
    }
    close(fd);
  }
  return -1;
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The time as OpenSSL prints it ("Jan  1 00:00:00 2030 GMT"), written into
// text; "?" when it cannot be printed.
const char* TimeText(const ASN1_TIME* time, char (&text)[128]) {
  std::unique_ptr<BIO, SslFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), time) != 1) return "?";
  int length = BIO_read(bio.get(), text, sizeof text - 1);
  text[length > 0 ? length : 0] = '\0';
  return text;
}

// The verification result in the operator's words, with what the
// certificate says that shows it.
std::string DescribeVerifyResult(long result, X509* certificate, const TlsEndpoint& endpoint) {
  char name[256];  // a certificate's issuer or subject, as OpenSSL writes it on one line
  char time[128];
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return Format("the broker's certificate has expired (not valid after %s)",
                    TimeText(X509_get0_notAfter(certificate), time));
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return Format("the broker's certificate is not yet valid (not before %s)",
                    TimeText(X509_get0_notBefore(certificate), time));
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return Format("the broker's certificate comes from an unknown CA (issuer %s, not in %s)",
                    X509_NAME_oneline(X509_get_issuer_name(certificate), name, sizeof name),
                    endpoint.caFile.empty() ? "the system's trust store" : endpoint.caFile.c_str());
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return Format("the broker's certificate does not name the host %s (it is %s)",
                    endpoint.host.c_str(),
                    X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name));
    default:
      return Format("the broker's certificate failed verification: %s",
                    X509_verify_cert_error_string(result));
  }
}

// An alert the broker sent (OpenSSL names it "... alert <description>"), or
// null.
const char* AlertFromBroker() {
  const char* alert = nullptr;
  while (unsigned long error = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(error);
    if (reason != nullptr && std::strstr(reason, "alert") != nullptr) alert = reason;
  }
  return alert;
}

// What the handshake found, filled by OpenSSL's callbacks.
struct Findings {
  bool certificateAsked = false;
  long verifyError = X509_V_OK;  // the first
  std::unique_ptr<X509, decltype(&X509_free)> failedCertificate{nullptr, X509_free};
};

Findings& FindingsOf(SSL* ssl) { return *static_cast<Findings*>(SSL_get_app_data(ssl)); }

// Keeps the first verification error and the certificate it is about, and
// ends the handshake there as the MQTT library does: a broker that fails
// verification never sees our client certificate.
int RecordVerification(int ok, X509_STORE_CTX* store) {
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  Findings& findings = FindingsOf(ssl);
  if (!ok && findings.verifyError == X509_V_OK) {
    findings.verifyError = X509_STORE_CTX_get_error(store);
    if (X509* certificate = X509_STORE_CTX_get_current_cert(store)) {
      X509_up_ref(certificate);
      findings.failedCertificate.reset(certificate);
    }
  }
  return ok;
}

int NoteCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
  FindingsOf(ssl).certificateAsked = true;
  return 0;  // we have none to give
}

std::unique_ptr<SSL_CTX, SslFree> MakeContext(const TlsEndpoint& endpoint, std::string* error) {
  std::unique_ptr<SSL_CTX, SslFree> context(SSL_CTX_new(TLS_client_method()));
  if (!context) return nullptr;
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, RecordVerification);
  bool loaded = endpoint.caFile.empty()
                    ? SSL_CTX_set_default_verify_paths(context.get()) == 1
                    : SSL_CTX_load_verify_locations(context.get(), endpoint.caFile.c_str(), nullptr) == 1;
  if (!loaded) *error = Format("the CA file %s cannot be read as PEM", endpoint.caFile.c_str());
  if (!endpoint.certFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(context.get(), endpoint.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), endpoint.keyFile.empty() ? endpoint.certFile.c_str()
                                                                            : endpoint.keyFile.c_str(),
                                    SSL_FILETYPE_PEM) != 1) {
      *error = Format("the client certificate %s or its key cannot be used", endpoint.certFile.c_str());
    }
  } else {
    SSL_CTX_set_client_cert_cb(context.get(), NoteCertificateRequest);
  }
  ERR_clear_error();
  return context;
}

// Drives a non-blocking handshake step (or read) until it completes, fails,
// or the deadline passes; its SSL_get_error code (SSL_ERROR_NONE: done).
template <typename Step>
int Drive(SSL* ssl, int fd, Clock::time_point deadline, Step step) {
  for (;;) {
    int rc = step();
    if (rc > 0) return SSL_ERROR_NONE;
    int error = SSL_get_error(ssl, rc);
    short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) return error;
    if (!WaitFor(fd, events, deadline)) return SSL_ERROR_WANT_READ;  // out of time
  }
}

}  // namespace

std::string DiagnoseTls(const TlsEndpoint& endpoint, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string error;
  std::unique_ptr<SSL_CTX, SslFree> context = MakeContext(endpoint, &error);
  if (!error.empty() || !context) return error;
  FdCloser socket{ConnectTcp(endpoint, deadline)};
  if (socket.fd < 0) return "";
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
  if (!ssl) return "";
  Findings findings;
  SSL_set_app_data(ssl.get(), &findings);
  SSL_set_fd(ssl.get(), socket.fd);
  X509_VERIFY_PARAM* check = SSL_get0_param(ssl.get());
  if (IsIpAddress(endpoint.host)) {
    X509_VERIFY_PARAM_set1_ip_asc(check, endpoint.host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), endpoint.host.c_str());
    X509_VERIFY_PARAM_set1_host(check, endpoint.host.c_str(), 0);
  }
  int handshake = Drive(ssl.get(), socket.fd, deadline, [&] { return SSL_connect(ssl.get()); });
  if (findings.failedCertificate) {
    ERR_clear_error();
    return DescribeVerifyResult(findings.verifyError, findings.failedCertificate.get(), endpoint);
  }
  if (handshake == SSL_ERROR_NONE) {
    // TLS 1.3: the broker judges our certificate after the handshake and
    // says so with an alert, read here; a broker content with it says
    // nothing until our MQTT CONNECT, and the read runs out of time.
    char byte;
    handshake = Drive(ssl.get(), socket.fd, std::min(deadline, Clock::now() + timeout / 2),
                      [&] { return SSL_read(ssl.get(), &byte, 1); });
  }
  const char* alert = AlertFromBroker();
  if (findings.certificateAsked) return "the broker asked for a client certificate and none was given";
  if (alert == nullptr) return "";
  return endpoint.certFile.empty()
             ? Format("the broker ended the handshake: %s", alert)
             : Format("the broker refused the client certificate %s: %s", endpoint.certFile.c_str(), alert);
}

}  // namespace mqtt
}  // namespace kiv
