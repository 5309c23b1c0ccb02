#include "vrec/iscsi/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>

#include "vrec/iscsi/connection.h"

namespace velloran::vrec::iscsi {
namespace {

constexpr int kPollMs = 200;
// A peer that stops reading for this long is given up.
constexpr int kSendTimeoutSeconds = 30;

std::string PeerName(const sockaddr_storage& a) {
  char host[INET6_ADDRSTRLEN] = "?";
  std::uint16_t port = 0;
  if (a.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
  ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
  port = ntohs(v6->sin6_port);
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

bool SendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct Server::Impl {
  struct Client {
    int fd = -1;
    std::unique_ptr<Connection> connection;
  };
  int listener = -1;
  std::list<Client> clients;

  ~Impl() {
    clients.clear();
    if (listener >= 0) ::close(listener);
  }
};

bool ParseListenAddress(const std::string& text, std::string* host, std::uint16_t* port) {
  std::string h = text, p;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos) return false;
    h = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      p = text.substr(close + 2);
    }
  } else if (text.find(':') != text.rfind(':')) {
    h = text;  // a bare IPv6 address
  } else if (const auto colon = text.find(':'); colon != std::string::npos) {
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
  }
  if (h.empty()) return false;
  *host = h;
  *port = 3260;
  if (!p.empty()) {
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long v = std::stoul(p);
    if (v > 65535) return false;
    *port = static_cast<std::uint16_t>(v);
  }
  return true;
}

Server::Server(Target& target, int maxConnections)
    : impl_(std::make_unique<Impl>()), target_(target), maxConnections_(maxConnections) {}

Server::~Server() {
  for (auto& c : impl_->clients) {
    c.connection.reset();
    ::close(c.fd);
  }
}

bool Server::Listen(const std::string& host, std::uint16_t port, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res); rc != 0) {
    if (why) *why = "\"" + host + "\" is not a numeric IP address: " + ::gai_strerror(rc);
    return false;
  }
  const int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (why) *why = std::string("socket: ") + std::strerror(errno);
    ::freeaddrinfo(res);
    return false;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
    if (why) *why = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    ::freeaddrinfo(res);
    return false;
  }
  ::freeaddrinfo(res);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port)
                                     : ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  impl_->listener = fd;
  return true;
}

void Server::Run(const std::atomic<bool>& stop) {
  auto& clients = impl_->clients;
  std::vector<std::uint8_t> buffer(1 << 16);
  while (!stop.load()) {
    std::vector<pollfd> fds;
    fds.push_back({impl_->listener, POLLIN, 0});
    for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), kPollMs);
    if (ready < 0 && errno != EINTR) {
      target_.Say(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (ready <= 0) continue;

    std::size_t i = 1;
    for (auto it = clients.begin(); it != clients.end(); ++i) {
      bool drop = false;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::recv(it->fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
          it->connection->Receive(std::span(buffer.data(), static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          it->connection->Close(n == 0 ? "the initiator closed it" : std::string("recv: ") + std::strerror(errno));
          drop = true;
        }
      }
      // Another connection may have been told to close (a session taken
      // over), so every client's output is flushed on each round.
      for (auto& c : clients) {
        const auto out = c.connection->TakeOutput();
        if (!out.empty() && !SendAll(c.fd, out)) c.connection->Close("the initiator stopped reading");
      }
      if (drop || it->connection->Closing()) {
        it->connection.reset();
        ::close(it->fd);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    // Connections closed by another one's login go too.
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->connection->Closing()) {
        it->connection.reset();
        ::close(it->fd);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }

    if (fds[0].revents & POLLIN) {
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      const int fd = ::accept4(impl_->listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const std::string name = PeerName(peer);
      if (static_cast<int>(clients.size()) >= maxConnections_) {
        target_.Say("refused a connection from " + name + ": " + std::to_string(clients.size()) +
                    " connections are open already (at most " + std::to_string(maxConnections_) + ")");
        ::close(fd);
        continue;
      }
      const timeval timeout{kSendTimeoutSeconds, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      target_.Say(name + ": connected");
      clients.push_back({fd, std::make_unique<Connection>(target_, name)});
    }
  }
}

}  // namespace velloran::vrec::iscsi
