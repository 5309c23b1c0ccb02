// The target on a TCP socket: accepts initiators' connections and runs each
// one's PDUs through a Connection, one command at a time across all of them
// (the recorder is one drive).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vrec/iscsi/target.h"

namespace velloran::vrec::iscsi {

class Server {
 public:
  // At most `maxConnections` TCP connections at once (a discovery session
  // beside the one normal session, or an initiator reconnecting); further
  // ones are closed at once, with a line in the log.
  Server(Target& target, int maxConnections = 4);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds `host` (a numeric IPv4 or IPv6 address) and `port` (0: any free
  // port). False with the reason in *why.
  bool Listen(const std::string& host, std::uint16_t port, std::string* why);
  std::uint16_t Port() const { return port_; }

  // Serves until `stop` is set (looked at every 200 ms).
  void Run(const std::atomic<bool>& stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Target& target_;
  int maxConnections_;
  std::uint16_t port_ = 0;
};

// Splits "ADDR:PORT", "[V6ADDR]:PORT" or "ADDR" (port 3260).
bool ParseListenAddress(const std::string& text, std::string* host, std::uint16_t* port);

}  // namespace velloran::vrec::iscsi
