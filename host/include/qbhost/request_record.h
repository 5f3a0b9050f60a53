#pragma once

// The request service of the stand-in host on Windows, where there is no
// libcurl: every request a plug-in hands over is recorded here instead of
// being sent, and answered at the next Tick() as a success with an empty body
// and no headers (unless its plug-in was forgotten first). The harness reads
// what was handed over. Only the Windows build of the stand-in host has these
// functions; on Linux requests go out over HTTP (see qbhost/requests.h).
//
//   PostJson("/plugin/chat", ...) in a plug-in
//   -> RecordedRequests().back().url == "<webhookBaseUrl>/plugin/chat"

#include <string>
#include <vector>

#include "qbhost/standin.h"

namespace qbhost {

struct RecordedRequest {
  PluginId owner;
  std::string url;
  std::string body;
  std::string contentType;
  std::vector<std::string> headers;
  long connectTimeout;
  long receiveTimeout;
  long sendTimeout;
};

// Every request accepted since the last ClearRecordedRequests, in order.
QB_STANDIN_API std::vector<RecordedRequest> RecordedRequests();
QB_STANDIN_API void ClearRecordedRequests();

}  // namespace qbhost
