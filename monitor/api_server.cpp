// libmicrohttpd carries the API: one internal polling thread, non-blocking connections, bounded
// in number, size and idle time, so a slow or silent client costs a slot, never the miners.
#include "monitor/api_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "util/number.h"

namespace tarn {
namespace {

constexpr unsigned int kMaxConnections = 32;
constexpr unsigned int kMaxPerAddress = 8;
constexpr unsigned int kIdleSeconds = 10;
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

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_data_size, void**) {
  const ApiContext& ctx = *static_cast<const ApiContext*>(cls);
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
  ApiContext ctx;
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

  impl_ = std::make_unique<Impl>();
  impl_->ctx = ctx;
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
  if (sa->sa_family == AF_INET6) flags |= MHD_USE_IPv6;
  impl_->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &answer, &impl_->ctx,
      MHD_OPTION_SOCK_ADDR, sa,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
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
  return true;
}

void ApiServer::stop() {
  if (impl_ && impl_->daemon) MHD_stop_daemon(impl_->daemon);
  impl_.reset();
}

}  // namespace tarn
