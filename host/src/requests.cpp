// Request service: not wired to HTTP yet. Every request is refused, and the
// hooks that the registry calls do nothing.

#include "host_internal.h"

namespace qbhost::detail {
void DeliverCompletions() {}
void DropRequestsOf(PluginId /*id*/) {}
}  // namespace qbhost::detail

API::Requests& API::Requests::Get() {
  static Requests requests;
  return requests;
}

bool API::Requests::CreatePostRequest(const std::string& /*url*/, const Callback& /*callback*/,
                                      const std::string& /*postData*/,
                                      const std::string& /*contentType*/,
                                      std::vector<std::string> /*headers*/, long /*connectTimeout*/,
                                      long /*receiveTimeout*/, long /*sendTimeout*/) {
  return false;
}
