#include "ws/CameraEventsConnection.h"

#include "util/Json.h"
#include "util/Limits.h"
#include "util/Logger.h"
#include "util/StringUtils.h"
#include "ws/EventPlatform.h"
#include "ws/WsServer.h"

#include <rapidjson/error/en.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <stdexcept>

namespace {

const char* const logPrefix = "WsServer[camera-events] - ";
const char* const binaryAnswer = "{\"error\":\"Binary message not supported\"}";
const char* const noDataText = "Invalid input data: data is not an valid json object";

// Completions arrive on the main loop and may outlive their connection: they find the
// connection through a token, and a connection leaves the registry (waiting for a running
// completion) before anything of it is torn down. Never destroyed, so connections released
// during static destruction still find it.
struct CompletionRegistry {
  std::mutex mutex;
  std::map<uintptr_t, CameraEventsConnection*> connections;
  uintptr_t nextToken = 1;
};

CompletionRegistry& registry()
{
  static auto* instance = new CompletionRegistry;
  return *instance;
}

// Empty texts stand for "none", which the platform takes as null.
const char* orNull(const std::string& text)
{
  return text.empty() ? nullptr : text.c_str();
}

// A text as it goes into an answer: JSON-escaped, control characters included. Most texts
// ("OK" above all) need nothing escaped and are taken as they are.
std::string escapeForAnswer(const std::string& text)
{
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\' || c == '/';
  });
  if (plain)
    return text;
  const std::string escaped = StringUtils::jsonEscape(text);
  std::string result;
  result.reserve(escaped.size());
  for (const char c : escaped) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      char code[8];
      std::snprintf(code, sizeof(code), "\\u%04x", byte);
      result += code;
    } else {
      result += c;
    }
  }
  return result;
}

std::string answerText(const char* member, int32_t callId, const std::string& text)
{
  const std::string escaped = escapeForAnswer(text);
  const std::string id = std::to_string(callId);
  std::string answer;
  answer.reserve(32 + escaped.size() + id.size());
  answer += "{\"";
  answer += member;
  answer += "\": \"";
  answer += escaped;
  answer += "\", \"call_id\":";
  answer += id;
  answer += '}';
  return answer;
}

// Room for the parsed form of a usual request, kept by each thread that parses them, so
// that parsing does not go to the heap; a larger request takes the rest from there.
constexpr std::size_t parseBufferSize = 16 * 1024;

const rapidjson::Value* member(const rapidjson::Value& object, const char* name)
{
  const auto found = object.FindMember(name);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

std::string stringOf(const rapidjson::Value& value)
{
  return std::string(value.GetString(), value.GetStringLength());
}

// Sets `target` from the member `name` when it is a string.
void readOptionalString(const rapidjson::Value& object, const char* name, std::string& target)
{
  const rapidjson::Value* value = member(object, name);
  if (value != nullptr && value->IsString())
    target = stringOf(*value);
}

void addKeyValue(AXEventKeyValueSet* set, const CameraEventsConnection::EventKeyValue& entry)
{
  EventPlatform::Error error;
  if (!ax_event_key_value_set_add_key_value(set, entry.key.c_str(), orNull(entry.nameSpace),
                                            entry.value.platformValue(),
                                            static_cast<AXEventValueType>(entry.value.type), error.out()))
    throw std::runtime_error("add key value: " + error.text());
}

void describeKey(AXEventKeyValueSet* set, const CameraEventsConnection::EventKeyValue& entry)
{
  using KeyKind = CameraEventsConnection::KeyKind;
  addKeyValue(set, entry);
  if (!entry.keyNiceName.empty() || !entry.valueNiceName.empty()) {
    EventPlatform::Error error;
    if (!ax_event_key_value_set_add_nice_names(set, entry.key.c_str(), orNull(entry.nameSpace),
                                               orNull(entry.keyNiceName), orNull(entry.valueNiceName),
                                               error.out()))
      throw std::runtime_error("add nice names: " + error.text());
  }
  if (entry.kind == KeyKind::Source) {
    EventPlatform::Error error;
    if (!ax_event_key_value_set_mark_as_source(set, entry.key.c_str(), orNull(entry.nameSpace), error.out()))
      throw std::runtime_error("mark as source: " + error.text());
  } else if (entry.kind == KeyKind::Data) {
    EventPlatform::Error error;
    if (!ax_event_key_value_set_mark_as_data(set, entry.key.c_str(), orNull(entry.nameSpace), error.out()))
      throw std::runtime_error("mark as data: " + error.text());
  }
}

} // namespace

void CameraEventsConnection::HandlerDeleter::operator()(AXEventHandler* handler) const
{
  ax_event_handler_free(handler);
}

const void* CameraEventsConnection::EventValue::platformValue() const
{
  switch (type) {
  case ValueType::Int:
    return &intValue;
  case ValueType::Bool:
    return &boolValue;
  case ValueType::Double:
    return &doubleValue;
  case ValueType::String:
    break;
  }
  return stringValue.c_str();
}

CameraEventsConnection::CameraEventsConnection(lws* handle)
    : BasicConnection(handle), eventHandler(ax_event_handler_new())
{
  if (!eventHandler)
    throw std::runtime_error(std::string(logPrefix) + "cannot create an event handler");
  active = true;
  if (handle != nullptr)
    workers = WsServer::platformWorkersOf(handle);
  if (workers)
    requests = workers->newQueue();
  CompletionRegistry& completions = registry();
  std::lock_guard<std::mutex> lock(completions.mutex);
  registryToken = completions.nextToken++;
  completions.connections[registryToken] = this;
}

CameraEventsConnection::~CameraEventsConnection()
{
  {
    CompletionRegistry& completions = registry();
    std::lock_guard<std::mutex> lock(completions.mutex);
    completions.connections.erase(registryToken);
  }
  std::lock_guard<std::mutex> lock(declarationsMutex);
  for (const auto& entry : declarations) {
    if (!entry.second->complete)
      continue;
    try {
      undeclare(entry.second->platformDeclarationId);
    } catch (const std::exception& e) {
      Logger::log(std::string(logPrefix) + "event undeclaration error: " + e.what(), LogLevel::Error);
    }
  }
  eventHandler.reset();
}

CameraEventsConnection::Request CameraEventsConnection::decodeRequest(const std::string& message,
                                                                      rapidjson::Document& document)
{
  Request request;
  // Nesting is capped before parsing, as everywhere JSON is read. Not Json::parse itself:
  // a request whose strings are not UTF-8 must be answered as invalid, and it does not
  // check that.
  if (Json::nestingDepth(message, Limits::maxJsonDepth) > Limits::maxJsonDepth) {
    request.error = "Invalid input data: invalid json";
    return request;
  }
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(message.data(),
                                                                                         message.size());
  if (document.HasParseError() || !document.IsObject()) {
    request.error = "Invalid input data: invalid json";
    return request;
  }
  const rapidjson::Value* callId = member(document, "call_id");
  if (callId == nullptr || !callId->IsInt()) {
    request.error = "Invalid input data: call_id is missing or is not int";
    return request;
  }
  request.callId = callId->GetInt();
  const rapidjson::Value* command = member(document, "command");
  if (command == nullptr || !command->IsString()) {
    request.error = "Invalid input data: command is missing or is not string";
    return request;
  }
  request.command = stringOf(*command);
  request.data = member(document, "data");
  if (request.data != nullptr && !request.data->IsObject()) {
    request.error = noDataText;
    request.data = nullptr;
  }
  return request;
}

void CameraEventsConnection::inOrder(std::size_t bytes, std::function<void()> job)
{
  if (!requests) {
    job();
    return;
  }
  requestStarted(bytes);
  // The job keeps the connection: a request read before the close is still carried out.
  workers->post(requests, [self = shared_from_this(), bytes, job = std::move(job)]() {
    job();
    self->requestFinished(bytes);
  });
}

void CameraEventsConnection::onMessage(const std::string& message)
{
  // Handing an event over does not wait, so sends (and the answers to malformed requests)
  // are made here, on the service thread. Declaring and withdrawing wait for the event
  // service's answer: they go to the platform threads, and so does whatever follows them
  // until they are done, so that the connection's answers keep its order.
  if (!requests || requestsPending() == 0) {
    if (handleMessage(message, requests != nullptr))
      return;
  }
  // Posted as one job rather than through inOrder: one allocation less on every request.
  const std::size_t bytes = message.size();
  requestStarted(bytes);
  workers->post(requests, [self = shared_from_this(), message]() {
    self->handleMessage(message, false);
    self->requestFinished(message.size());
  });
}

void CameraEventsConnection::onBinaryMessage(const std::string&)
{
  // After the answers to the requests before it, as the close ends the connection.
  if (requestsPending() == 0)
    refuseBinaryMessage();
  else
    inOrder(0, [this]() { refuseBinaryMessage(); });
}

bool CameraEventsConnection::handleMessage(const std::string& message, bool deferWaiting)
{
  // Aligned as the allocator's chunk headers, which it places at the start of the buffer.
  alignas(std::max_align_t) thread_local char parseBuffer[parseBufferSize];
  rapidjson::MemoryPoolAllocator<> allocator(parseBuffer, sizeof(parseBuffer));
  rapidjson::Document document(&allocator);
  const Request request = decodeRequest(message, document);
  using Handler = void (CameraEventsConnection::*)(int32_t, const rapidjson::Value&);
  Handler handler = nullptr;
  bool mayWait = false;
  if (request.error.empty()) {
    if (request.command == "declare_event") {
      handler = &CameraEventsConnection::declareEvent;
      mayWait = true;
    } else if (request.command == "undeclare_event") {
      handler = &CameraEventsConnection::undeclareEvent;
      mayWait = true;
    } else if (request.command == "send_event") {
      handler = &CameraEventsConnection::sendEvent;
    }
  }
  if (mayWait && deferWaiting && request.data != nullptr)
    return false;
  if (Logger::getLevel() >= LogLevel::Debug)
    Logger::log(std::string(logPrefix) + "received message: " + message, LogLevel::Debug);
  if (!request.error.empty()) {
    sendError(request.callId, request.error);
    return true;
  }
  if (handler == nullptr)
    return true;
  if (request.data == nullptr) {
    sendError(request.callId, noDataText);
    return true;
  }
  (this->*handler)(request.callId, *request.data);
  return true;
}

void CameraEventsConnection::refuseBinaryMessage()
{
  Logger::log(std::string(logPrefix) + "binary message not supported", LogLevel::Debug);
  enqueueAndClose(binaryAnswer);
}

CameraEventsConnection::EventValue CameraEventsConnection::parseValue(const rapidjson::Value& keyObject)
{
  const rapidjson::Value* typeMember = member(keyObject, "value_type");
  if (typeMember == nullptr || !typeMember->IsString())
    throw std::runtime_error("parseValue: invalid or missing declaration attribute value_type");
  const std::string type = stringOf(*typeMember);
  const rapidjson::Value* value = member(keyObject, "value");
  const auto mismatch = [&type]() {
    return std::runtime_error("parseEventDeclaration: invalid value attribute: type " + type +
                              " doesn't match the value");
  };
  EventValue result;
  if (type == "STRING") {
    if (value == nullptr || !value->IsString())
      throw mismatch();
    result.type = ValueType::String;
    result.stringValue = stringOf(*value);
  } else if (type == "INT") {
    if (value == nullptr || !value->IsInt())
      throw mismatch();
    result.type = ValueType::Int;
    result.intValue = value->GetInt();
  } else if (type == "BOOL") {
    if (value == nullptr || !value->IsBool())
      throw mismatch();
    result.type = ValueType::Bool;
    result.boolValue = value->GetBool() ? 1 : 0;
  } else if (type == "DOUBLE") {
    if (value == nullptr || !value->IsNumber())
      throw mismatch();
    result.type = ValueType::Double;
    result.doubleValue = value->GetDouble();
  } else {
    throw std::runtime_error("parseValue: unknown value type: " + type);
  }
  return result;
}

std::shared_ptr<CameraEventsConnection::EventDeclaration>
CameraEventsConnection::parseEventDeclaration(const rapidjson::Value& data)
{
  const rapidjson::Value* id = member(data, "declaration_id");
  if (id == nullptr || !id->IsString())
    throw std::runtime_error("parseEventDeclaration: declaration_id attribute not found");
  const rapidjson::Value* stateless = member(data, "stateless");
  if (stateless == nullptr || !stateless->IsBool())
    throw std::runtime_error("parseEventDeclaration: stateless attribute not found");
  const rapidjson::Value* keys = member(data, "declaration");
  if (keys == nullptr || !keys->IsArray())
    throw std::runtime_error("parseEventDeclaration: stateless attribute not found");

  auto declaration = std::make_shared<EventDeclaration>();
  declaration->declarationId = stringOf(*id);
  declaration->stateless = stateless->GetBool();
  for (const rapidjson::Value& element : keys->GetArray()) {
    const rapidjson::Value* key = element.IsObject() ? member(element, "key") : nullptr;
    if (key == nullptr || !key->IsString())
      throw std::runtime_error("parseEventDeclaration: invalid or missing declaration attribute key");
    EventKeyValue entry;
    entry.key = stringOf(*key);
    entry.value = parseValue(element);
    readOptionalString(element, "namespace", entry.nameSpace);
    const rapidjson::Value* kind = member(element, "type");
    if (kind != nullptr && kind->IsString()) {
      const std::string kindText = stringOf(*kind);
      entry.kind = kindText == "SOURCE" ? KeyKind::Source
                   : kindText == "DATA" ? KeyKind::Data
                                        : KeyKind::Unmarked;
    }
    readOptionalString(element, "key_nice_name", entry.keyNiceName);
    readOptionalString(element, "value_nice_name", entry.valueNiceName);
    declaration->keyValues.push_back(std::move(entry));
  }
  return declaration;
}

std::shared_ptr<CameraEventsConnection::Event>
CameraEventsConnection::parseEvent(const rapidjson::Value& data)
{
  const rapidjson::Value* id = member(data, "declaration_id");
  const rapidjson::Value* values = member(data, "event_data");
  if (id == nullptr || !id->IsString() || values == nullptr || !values->IsArray())
    throw std::runtime_error("parseEvent: invalid or missing attribut declaration_id or event_data");

  auto event = std::make_shared<Event>();
  event->declarationId = stringOf(*id);
  for (const rapidjson::Value& element : values->GetArray()) {
    const rapidjson::Value* key = element.IsObject() ? member(element, "key") : nullptr;
    if (key == nullptr || !key->IsString())
      throw std::runtime_error("parseEvent: invalid or missing declaration attribute key");
    EventKeyValue entry;
    entry.key = stringOf(*key);
    entry.value = parseValue(element);
    readOptionalString(element, "namespace", entry.nameSpace);
    event->keyValues.push_back(std::move(entry));
  }
  return event;
}

std::string CameraEventsConnection::replyText(int32_t callId, const std::string& text)
{
  return answerText("message", callId, text);
}

std::string CameraEventsConnection::errorText(int32_t callId, const std::string& text)
{
  return answerText("error", callId, text);
}

void CameraEventsConnection::sendReply(int32_t callId, const std::string& text)
{
  send(replyText(callId, text));
}

void CameraEventsConnection::sendError(int32_t callId, const std::string& text)
{
  send(errorText(callId, text));
}

void CameraEventsConnection::declareEvent(int32_t callId, const rapidjson::Value& data)
{
  try {
    auto process = std::make_shared<EventDeclarationProcessData>();
    process->callId = callId;
    process->declaration = parseEventDeclaration(data);
    const std::string& id = process->declaration->declarationId;
    {
      std::lock_guard<std::mutex> lock(declarationsMutex);
      if (declarations.count(id) != 0)
        throw std::runtime_error("declaration with id " + id + " already exists");
      // Each declaration holds platform resources for as long as the connection lasts.
      if (declarations.size() >= Limits::maxWsDeclarationsPerConnection)
        throw std::runtime_error("declareEvent: too many declarations, at most " +
                                 std::to_string(Limits::maxWsDeclarationsPerConnection) + " per connection");
    }

    EventPlatform::KeyValueSet set(ax_event_key_value_set_new());
    for (const EventKeyValue& entry : process->declaration->keyValues)
      describeKey(set.get(), entry);

    // The completion may come before the entry is stored; completeDeclaration keeps it in
    // earlyCompletions until then. The lock is not held across the platform call, which may
    // itself wait for the main loop.
    guint number = 0;
    EventPlatform::Error error;
    if (!ax_event_handler_declare(eventHandler.get(), set.get(), process->declaration->stateless, &number,
                                  &CameraEventsConnection::onDeclarationComplete,
                                  reinterpret_cast<gpointer>(registryToken), error.out()))
      throw std::runtime_error("event handler declare: " + error.text());

    std::lock_guard<std::mutex> lock(declarationsMutex);
    process->platformDeclarationId = number;
    declarations[id] = process;
    if (earlyCompletions.erase(number) != 0) {
      process->complete = true;
      sendReply(callId, "OK");
    }
  } catch (const std::runtime_error& e) {
    sendError(callId, e.what());
  }
}

void CameraEventsConnection::sendEvent(int32_t callId, const rapidjson::Value& data)
{
  try {
    const std::shared_ptr<Event> event = parseEvent(data);
    const std::shared_ptr<EventDeclarationProcessData> entry = findCompleteDeclaration(event->declarationId);

    EventPlatform::KeyValueSet set(ax_event_key_value_set_new());
    for (const EventKeyValue& value : event->keyValues)
      addKeyValue(set.get(), value);
    EventPlatform::Event platformEvent(ax_event_new2(set.get(), nullptr));
    set.reset();

    EventPlatform::Error error;
    const bool sent = ax_event_handler_send_event(eventHandler.get(), entry->platformDeclarationId,
                                                  platformEvent.get(), error.out());
    platformEvent.reset();
    if (!sent)
      throw std::runtime_error("sendEvent error: " + error.text());
    sendReply(callId, "OK");
  } catch (const std::runtime_error& e) {
    sendError(callId, e.what());
  }
}

void CameraEventsConnection::undeclareEvent(int32_t callId, const rapidjson::Value& data)
{
  try {
    const rapidjson::Value* id = member(data, "declaration_id");
    if (id == nullptr || !id->IsString())
      throw std::runtime_error("undeclareEvent: declaration_id attribute not found");
    const std::string declarationId = stringOf(*id);
    const std::shared_ptr<EventDeclarationProcessData> entry = findCompleteDeclaration(declarationId);
    undeclare(entry->platformDeclarationId);
    {
      std::lock_guard<std::mutex> lock(declarationsMutex);
      declarations.erase(declarationId);
    }
    sendReply(callId, "OK");
  } catch (const std::runtime_error& e) {
    sendError(callId, e.what());
  }
}

std::shared_ptr<CameraEventsConnection::EventDeclarationProcessData>
CameraEventsConnection::findCompleteDeclaration(const std::string& id)
{
  std::lock_guard<std::mutex> lock(declarationsMutex);
  const auto found = declarations.find(id);
  if (found == declarations.end())
    throw std::runtime_error("sendEvent: declaration with id " + id + " not found");
  if (!found->second->complete)
    throw std::runtime_error("undeclareEvent: declaration with id " + id + " in not complete yet");
  return found->second;
}

void CameraEventsConnection::undeclare(uint32_t number)
{
  EventPlatform::Error error;
  if (!ax_event_handler_undeclare(eventHandler.get(), number, error.out()))
    throw std::runtime_error("undeclaration error: " + error.text());
}

void CameraEventsConnection::completeDeclaration(uint32_t number)
{
  std::lock_guard<std::mutex> lock(declarationsMutex);
  for (const auto& entry : declarations) {
    if (entry.second->platformDeclarationId == number) {
      entry.second->complete = true;
      sendReply(entry.second->callId, "OK");
      return;
    }
  }
  earlyCompletions.insert(number);
}

void CameraEventsConnection::onDeclarationComplete(unsigned int number, void* userData)
{
  // Runs on the GLib main loop: nothing may unwind into the platform library.
  try {
    CompletionRegistry& completions = registry();
    std::lock_guard<std::mutex> lock(completions.mutex);
    const auto found = completions.connections.find(reinterpret_cast<uintptr_t>(userData));
    if (found != completions.connections.end())
      found->second->completeDeclaration(number);
  } catch (const std::exception& e) {
    Logger::log(std::string(logPrefix) + "declaration completion: " + e.what(), LogLevel::Error);
  } catch (...) {
  }
}
