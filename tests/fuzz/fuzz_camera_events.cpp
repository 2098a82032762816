// Feeds random messages to the camera-events request decoding and parsing, and checks that
// every answer they lead to is JSON that carries the error text and call id unchanged.

#include "ws/CameraEventsConnection.h"

#include <rapidjson/document.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

void checkAnswer(int32_t callId, const std::string& text)
{
  const std::string answer = CameraEventsConnection::errorText(callId, text);
  rapidjson::Document document;
  document.Parse(answer.data(), answer.size());
  const bool same = !document.HasParseError() && document.IsObject() && document.HasMember("error") &&
                    document["error"].IsString() &&
                    std::string(document["error"].GetString(), document["error"].GetStringLength()) == text &&
                    document["call_id"].IsInt() && document["call_id"].GetInt() == callId;
  if (!same) {
    std::fprintf(stderr, "answer does not carry its text: %s\n", answer.c_str());
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const std::string message(reinterpret_cast<const char*>(data), size);
  rapidjson::Document document;
  const CameraEventsConnection::Request request = CameraEventsConnection::decodeRequest(message, document);
  if (!request.error.empty() || request.data == nullptr) {
    checkAnswer(request.callId, request.error);
    return 0;
  }
  try {
    if (request.command == "send_event")
      checkAnswer(request.callId,
                  "sendEvent: " + CameraEventsConnection::parseEvent(*request.data)->declarationId);
    else
      checkAnswer(request.callId,
                  "declare: " + CameraEventsConnection::parseEventDeclaration(*request.data)->declarationId);
  } catch (const std::runtime_error& e) {
    checkAnswer(request.callId, e.what());
  }
  return 0;
}
