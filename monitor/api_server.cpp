// libmicrohttpd carries the API: one internal polling thread, non-blocking connections, bounded
// in number, size, idle time and the time to send a request's headers, so a slow or silent client
// costs a slot for a few seconds, never the miners nor the honest clients.
#include "monitor/api_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "util/number.h"

namespace tarn {
namespace {

constexpr unsigned int kMaxConnections = 32;
constexpr unsigned int kMaxPerAddress = 8;
constexpr unsigned int kIdleSeconds = 10;
// Off loopback the token is all that guards the API; a short one is guessed.
constexpr size_t kMinRemoteTokenLength = 16;
// A request's headers must be complete this long after the connection opened or the previous
// response went out, however steadily the bytes trickle in.
constexpr std::chrono::seconds kHeaderDeadline(5);
// Per connection; a request's header lines must fit in it, a larger request is refused.
constexpr size_t kConnectionMemory = 16 * 1024;

bool is_loopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return in6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

using Clock = std::chrono::steady_clock;

// The connections that owe a request's headers. libmicrohttpd has no deadline of its own for them,
// so the late ones are shut down from here; it then sees the end of the stream and closes them.
// An fd is only touched while its connection is listed, and it is listed until libmicrohttpd
// reports it closed.
class Gate {
 public:
  // A new connection: at a cap, the oldest one still waiting for headers makes room for it.
  void opened(MHD_Connection* c) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* from = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!fd) return;
    std::lock_guard<std::mutex> lock(m_);
    Entry e{fd->connect_fd, address_of(from ? from->client_addr : nullptr), Clock::now()};
    open_[c] = e;
    if (live([&](const Entry& o) { return o.address == e.address; }) > kMaxPerAddress)
      cut_oldest([&](const Entry& o) { return o.address == e.address; }, c);
    else if (live([](const Entry&) { return true; }) > kMaxConnections)
      cut_oldest([](const Entry&) { return true; }, c);
  }
  void closed(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(m_);
    open_.erase(c);
  }
  // The headers are in: the request is being answered.
  void answering(MHD_Connection* c) { set_busy(c, true); }
  // The response went out: the next request's headers are due from now.
  void answered(MHD_Connection* c) { set_busy(c, false); }
  void sweep() {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_);
    for (auto& [c, e] : open_)
      if (!e.busy && !e.cut && now - e.since >= kHeaderDeadline) cut(&e);
  }

 private:
  struct Entry {
    int fd;
    std::string address;
    Clock::time_point since;
    bool busy = false;
    bool cut = false;
  };
  static std::string address_of(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = "";
    if (sa && sa->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    if (sa && sa->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
    return text;
  }
  template <typename Pred>
  unsigned int live(Pred pred) const {
    unsigned int n = 0;
    for (const auto& [c, e] : open_) n += !e.cut && pred(e);
    return n;
  }
  template <typename Pred>
  void cut_oldest(Pred pred, MHD_Connection* spare) {
    Entry* oldest = nullptr;
    for (auto& [c, e] : open_)
      if (c != spare && !e.busy && !e.cut && pred(e) && (!oldest || e.since < oldest->since))
        oldest = &e;
    if (oldest) cut(oldest);
  }
  static void cut(Entry* e) {
    shutdown(e->fd, SHUT_RDWR);
    e->cut = true;
  }
  void set_busy(MHD_Connection* c, bool busy) {
    std::lock_guard<std::mutex> lock(m_);
    const auto it = open_.find(c);
    if (it == open_.end()) return;
    it->second.busy = busy;
    it->second.since = Clock::now();
  }

  std::mutex m_;
  std::map<MHD_Connection*, Entry> open_;
};

struct Served {
  ApiContext ctx;
  Gate gate;
};

void on_connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  Gate& gate = static_cast<Served*>(cls)->gate;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) gate.opened(c);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) gate.closed(c);
}

void on_completed(void* cls, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
  static_cast<Served*>(cls)->gate.answered(c);
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_data_size, void**) {
  Served& served = *static_cast<Served*>(cls);
  served.gate.answering(connection);
  const ApiContext& ctx = served.ctx;
  // A body is never wanted; the reply goes out on the first call and the body is discarded.
  *upload_data_size = 0;
  const char* auth =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  const ApiReply reply = api_answer(ctx, method, url, auth);
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (reply.status == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET");
  if (reply.challenge)
    MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"tarn\"");
  const MHD_Result r = MHD_queue_response(connection, static_cast<unsigned int>(reply.status),
                                          response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace

bool parse_api_listen(const std::string& text, ApiListen* out, std::string* why) {
  const size_t colon = text.rfind(':');
  std::uint64_t port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !parse_u64(text.substr(colon + 1).c_str(), &port) || port > 65535) {
    *why = "--api takes ADDR:PORT, e.g. 127.0.0.1:4068";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  out->host = host;
  out->port = static_cast<int>(port);
  return true;
}

struct ApiServer::Impl {
  MHD_Daemon* daemon = nullptr;
  Served served;
  // Enforces the header deadline between libmicrohttpd's own events.
  std::thread sweeper;
  std::mutex m;
  std::condition_variable wake;
  bool stopping = false;

  void sweep_until_stopped() {
    std::unique_lock<std::mutex> lock(m);
    while (!wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping; }))
      served.gate.sweep();
  }
};

ApiServer::ApiServer() = default;
ApiServer::~ApiServer() { stop(); }

bool ApiServer::start(const std::string& listen, const ApiContext& ctx, std::string* why) {
  ApiListen where;
  if (!parse_api_listen(listen, &where, why)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(where.port);
  const int rc = getaddrinfo(where.host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || !found) {
    *why = "--api " + listen + ": " + gai_strerror(rc);
    return false;
  }
  sockaddr_storage addr{};
  std::memcpy(&addr, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  const sockaddr* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (!is_loopback(sa) && ctx.token.empty()) {
    *why = "--api " + listen + " is not a loopback address: it needs --api-token TOKEN";
    return false;
  }
  if (!is_loopback(sa) && ctx.token.size() < kMinRemoteTokenLength) {
    *why = "--api " + listen + " is not a loopback address: --api-token needs at least " +
           std::to_string(kMinRemoteTokenLength) + " characters";
    return false;
  }

  impl_ = std::make_unique<Impl>();
  impl_->served.ctx = ctx;
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
  if (sa->sa_family == AF_INET6) flags |= MHD_USE_IPv6;
  impl_->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &answer, &impl_->served,
      MHD_OPTION_SOCK_ADDR, sa,
      // One over each cap, so a newcomer is let in to make the oldest waiting one go.
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections + 1,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress + 1,
      MHD_OPTION_NOTIFY_CONNECTION, &on_connection, &impl_->served,
      MHD_OPTION_NOTIFY_COMPLETED, &on_completed, &impl_->served,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_END);
  if (!impl_->daemon) {
    impl_.reset();
    *why = "--api " + listen + ": cannot listen there (in use, or not an address of this machine)";
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : where.port;
  impl_->sweeper = std::thread([impl = impl_.get()] { impl->sweep_until_stopped(); });
  return true;
}

void ApiServer::stop() {
  if (!impl_) return;
  if (impl_->sweeper.joinable()) {
    {
      std::lock_guard<std::mutex> lock(impl_->m);
      impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->sweeper.join();
  }
  if (impl_->daemon) MHD_stop_daemon(impl_->daemon);
  impl_.reset();
}

}  // namespace tarn
