#include "http/HttpServer.h"

#include "camera/HttpClient.h"
#include "http/DeferredAnswer.h"
#include "http/JsonStatus.h"
#include "http/RequestData.h"
#include "http/UpstreamHeadLines.h"
#include "util/CHandle.h"
#include "util/Logger.h"

#include <unistd.h>

#include <memory>
#include <utility>

// The response functions shared by every handler, the JSON status format and the MIME table.

namespace {

using ResponsePtr = CHandle<MHD_Response, MHD_destroy_response>;

ResponsePtr bufferResponse(const std::string& body)
{
  return ResponsePtr(
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY));
}

MHD_Result queue(MHD_Connection* connection, unsigned code, ResponsePtr response)
{
  return HttpServer::queueResponse(connection, code, response.release());
}

// The request whose handler runs on a worker while `connection` is suspended; null when none.
RequestData* answeringLater(MHD_Connection* connection)
{
  const DeferredAnswer* deferred = DeferredAnswer::of(connection);
  return deferred != nullptr ? deferred->request.load() : nullptr;
}

} // namespace

HttpServer::AnswerLater::AnswerLater(MHD_Connection* connection, RequestData& request)
    : deferred(DeferredAnswer::of(connection))
{
  if (deferred != nullptr) {
    deferred->request = &request;
  }
}

HttpServer::AnswerLater::~AnswerLater()
{
  if (deferred != nullptr) {
    deferred->request = nullptr;
  }
}

MHD_Result HttpServer::queueResponse(MHD_Connection* connection, unsigned code, MHD_Response* response)
{
  ResponsePtr owned(response);
  if (!owned) {
    Logger::log("HttpServer: cannot create a response", LogLevel::Error);
    return MHD_NO;
  }
  RequestData* later = answeringLater(connection);
  if (later == nullptr) {
    return MHD_queue_response(connection, code, owned.get());
  }
  // As the library refuses a second response for one request.
  if (later->answer) {
    return MHD_NO;
  }
  later->answer.reset(owned.release());
  later->answerCode = code;
  return MHD_YES;
}

bool HttpServer::afterAnswer(MHD_Connection* connection, std::function<void()> work)
{
  RequestData* later = answeringLater(connection);
  if (later == nullptr) {
    return false;
  }
  later->afterAnswer = std::move(work);
  return true;
}

namespace {

MHD_Result sendJson(MHD_Connection* connection, unsigned code, const std::string& body)
{
  ResponsePtr response = bufferResponse(body);
  if (response) {
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  }
  return queue(connection, code, std::move(response));
}

} // namespace

unsigned HttpServer::statusFor(const Failure& failure)
{
  switch (failure.kind()) {
  case Failure::Kind::BadInput:
    return MHD_HTTP_BAD_REQUEST;
  case Failure::Kind::TooLarge:
    return MHD_HTTP_CONTENT_TOO_LARGE;
  case Failure::Kind::NotFound:
    return MHD_HTTP_NOT_FOUND;
  case Failure::Kind::Conflict:
    return MHD_HTTP_CONFLICT;
  case Failure::Kind::Io:
  case Failure::Kind::Internal:
    break;
  }
  return MHD_HTTP_INTERNAL_SERVER_ERROR;
}

LogLevel HttpServer::logLevelFor(const Failure& failure)
{
  return failure.byClient() ? LogLevel::Warning : LogLevel::Error;
}

LogLevel HttpServer::logLevelFor(unsigned code)
{
  return code >= 400 && code < 500 ? LogLevel::Warning : LogLevel::Error;
}

MHD_Result HttpServer::sendJsonStatus(MHD_Connection* connection, unsigned code, const std::string& message,
                                      bool raw)
{
  if (code != MHD_HTTP_OK) {
    Logger::log(message, logLevelFor(code));
  }
  return sendJson(connection, code, raw ? message : jsonStatusBody(code, message));
}

MHD_Result HttpServer::sendJsonError(MHD_Connection* connection, unsigned code, const std::string& message,
                                     const std::string& reason, LogLevel level)
{
  Logger::log(message + ": " + reason, level);
  return sendJson(connection, code, jsonStatusBody(code, message, reason));
}

MHD_Result HttpServer::sendJsonError(MHD_Connection* connection, unsigned code, const std::string& message,
                                     const std::string& reason)
{
  return sendJsonError(connection, code, message, reason, logLevelFor(code));
}

MHD_Result HttpServer::sendFailure(MHD_Connection* connection, unsigned code, const std::string& message,
                                   const Failure& failure)
{
  Logger::log(message + ": " + failure.what(), logLevelFor(failure));
  return sendJson(connection, code, jsonStatusBody(code, message));
}

MHD_Result HttpServer::sendBuffer(MHD_Connection* connection, const std::string& contentType,
                                  const std::string& body)
{
  ResponsePtr response = bufferResponse(body);
  if (response) {
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, contentType.c_str());
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_LENGTH,
                            std::to_string(body.size()).c_str());
  }
  return queue(connection, MHD_HTTP_OK, std::move(response));
}

MHD_Result HttpServer::sendFile(MHD_Connection* connection, unsigned code, uint64_t size, int fd,
                                const std::string& contentType, const std::string& attachmentName)
{
  ResponsePtr response(fd < 0 ? nullptr : MHD_create_response_from_fd(size, fd));
  if (!response) {
    if (fd >= 0) {
      close(fd);
    }
    return sendJsonStatus(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "HttpServer: cannot send file");
  }
  MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, contentType.c_str());
  MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_LENGTH, std::to_string(size).c_str());
  if (!attachmentName.empty()) {
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_DISPOSITION,
                            ("attachment; filename=\"" + attachmentName + "\"").c_str());
  }
  return queue(connection, code, std::move(response));
}

MHD_Result HttpServer::sendWithHeaders(MHD_Connection* connection, unsigned code,
                                       const std::vector<std::string>& headerLines, const std::string& body,
                                       bool logBody)
{
  if (code != MHD_HTTP_OK && logBody && !body.empty()) {
    Logger::log(body, LogLevel::Error);
  }
  ResponsePtr response = bufferResponse(body);
  if (response) {
    for (const auto& header : headersFromLines(headerLines)) {
      MHD_add_response_header(response.get(), header.first.c_str(), header.second.c_str());
    }
  }
  return queue(connection, code, std::move(response));
}

MHD_Result HttpServer::sendUnknownRequest(MHD_Connection* connection, const std::string& url)
{
  return sendJsonStatus(connection, MHD_HTTP_BAD_REQUEST, unknownRequestMessage(url));
}

std::string HttpServer::unknownRequestMessage(const std::string& url)
{
  return "HttpServer: unknown request: " + url;
}

std::string HttpServer::mimeTypeForExtension(const std::string& extension)
{
  static const std::pair<const char*, const char*> types[] = {
      {".ico", "image/x-icon"},      {".html", "text/html"},      {".js", "text/javascript"},
      {".json", "application/json"}, {".css", "text/css"},        {".png", "image/png"},
      {".jpg", "image/jpeg"},        {".wav", "audio/wav"},       {".mp3", "audio/mpeg"},
      {".svg", "image/svg+xml"},     {".pdf", "application/pdf"}, {".doc", "application/msword"},
      {".ttf", "font/sfnt"},
  };
  for (const auto& type : types) {
    if (extension == type.first) {
      return type.second;
    }
  }
  return "text/plain";
}
