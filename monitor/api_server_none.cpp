// The API of a build made without libmicrohttpd or nlohmann-json: --api is refused plainly.
#include "monitor/api_server.h"

namespace tarn {

struct ApiServer::Impl {};

ApiServer::ApiServer() = default;
ApiServer::~ApiServer() = default;

bool ApiServer::start(const std::string&, const ApiContext&, std::string* why) {
  *why = "--api: this build has no HTTP API (libmicrohttpd-dev and nlohmann-json3-dev were "
         "missing when it was built)";
  return false;
}

void ApiServer::stop() {}

}  // namespace tarn
