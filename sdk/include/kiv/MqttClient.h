// A general MQTT client over Paho's asynchronous C library: the transport
// under kiv::Proxy, also used by our tools (the platform console, the modem
// simulator). The only public header of ours that stands for Paho; no Paho
// type appears in it.
//
// Threading: handlers run on Paho's threads, never on the caller's, and may
// run concurrently with any call. A handler may call Publish/Subscribe, but
// must not call Connect, Disconnect or destroy the client.
#ifndef KIV_MQTT_CLIENT_H
#define KIV_MQTT_CLIENT_H

#include "kiv/Export.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kiv {
namespace mqtt {

// Error codes returned by the client (negative; 0 is success).
enum ErrorCode {
  kOk = 0,
  kErrorNotConnected = -1,   // no connection at this moment
  kErrorRefused = -2,        // the MQTT library refused the call (reason in error text)
  kErrorTimeout = -3,        // the operation did not complete within its timeout
  kErrorInvalid = -4,        // an argument is invalid (bad URI, topic, QoS)
};

struct Will {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retained = true;
};

struct Options {
  // tcp://, mqtt://, ssl://, mqtts:// host[:port], or several such URIs
  // separated by commas (the nodes of a cluster, all TLS or all plain): the
  // first connection goes to the first that answers, and after a loss each
  // attempt goes to the next one, in turn.
  std::string serverUri;
  std::string clientId;                  // empty: a unique one is generated
  std::optional<std::string> username;
  std::optional<std::string> password;
  int keepAliveSeconds = 60;
  bool cleanSession = true;
  std::optional<Will> will;
  // TLS (ssl://, mqtts://): the server is verified against caFile, or the
  // system's trust store when caFile is empty; certFile/keyFile give a client
  // certificate.
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  // After a lost connection: reconnect by itself with exponential backoff and
  // jitter between these bounds, and subscribe again to every filter.
  bool autoReconnect = true;
  std::chrono::milliseconds minRetry{500};
  std::chrono::milliseconds maxRetry{30000};
  // Set TCP_NODELAY on the connection after each (re)connection, so that an
  // acknowledgement and a reply written back to back do not wait for the
  // peer's delayed ACK (see sdk/src/TcpNoDelay.h for how the socket is found).
  bool tcpNoDelay = true;
  // The most payload bytes a handler is given of one message (0: all). A
  // larger message arrives cut at one byte past this, its whole size in
  // Message::size: no copy of a huge message is made beyond the library's.
  size_t maxPayloadBytes = 0;
  // When set, the same bound for a message on topic, in place of
  // maxPayloadBytes. Called on the library's thread; must not throw.
  std::function<size_t(const std::string& topic)> maxPayloadBytesOn;
};

struct Message {
  std::string topic;
  std::string payload;  // bytes as received (cut, see Options::maxPayloadBytes)
  size_t size = 0;      // the payload's size as sent
  int qos = 0;
  bool retained = false;
};

class KIV_SDK_API Client {
public:
  // The handler may take the message over (move from it): it is not used after.
  using MessageHandler = std::function<void(Message&)>;
  using ConnectedHandler = std::function<void(bool reconnected)>;
  using LostHandler = std::function<void(const std::string& cause)>;

  // Throws std::invalid_argument for a URI it cannot use.
  explicit Client(Options options);
  ~Client();  // disconnects
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Set before Connect.
  void OnMessage(MessageHandler handler);
  void OnConnected(ConnectedHandler handler);
  void OnConnectionLost(LostHandler handler);

  // Blocks until connected or timeout, retrying with the backoff inside that
  // time; 0 or a negative ErrorCode, with the reason in *error when given:
  // kErrorTimeout when no attempt succeeded in time, kErrorRefused at once
  // when the broker refused the connection (credentials, client id), or
  // every broker of a list did, one after the other; kErrorNotConnected
  // once Disconnect was called. Calls from several threads wait one after
  // the other.
  int Connect(std::chrono::milliseconds timeout, std::string* error = nullptr);
  bool IsConnected() const;

  // Subscribes now when connected (waiting for the broker's answer, except
  // inside a handler), and again after every reconnection; while not
  // connected the filter waits for the next connection and 0 is returned. A
  // filter whose subscription failed is not kept: it does not come back
  // after a reconnection.
  int Subscribe(const std::string& filter, int qos, std::string* error = nullptr);

  // Queues a message; 0 when the library accepted it for sending. Never
  // blocks on the network, so it is safe inside a handler.
  int Publish(const std::string& topic, const std::string& payload, int qos, bool retained,
              std::string* error = nullptr);
  // Publishes and waits until the broker acknowledged it (QoS > 0) or it was
  // written (QoS 0). Not from inside a handler.
  int PublishAndWait(const std::string& topic, const std::string& payload, int qos, bool retained,
                     std::chrono::milliseconds timeout, std::string* error = nullptr);

  // Closes the connection cleanly (no last will) and stops reconnecting, for
  // good: a Connect waiting now returns kErrorNotConnected at once, and so
  // does every later one. Safe to call while another thread waits in Connect.
  void Disconnect(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

  const std::string& clientId() const;
  // The broker in use, as the server URI names it: the one connected to
  // while connected, else the one the next attempt goes to.
  std::string serverUri() const;

  class Impl;

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mqtt
}  // namespace kiv

#endif  // KIV_MQTT_CLIENT_H
