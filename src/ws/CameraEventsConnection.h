#pragma once

#include "ws/BasicConnection.h"

#include <rapidjson/document.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ws/PlatformWorkers.h"

typedef struct _AXEventHandler AXEventHandler;

// A connection of the "camera-events" protocol: JSON requests that declare, send and
// withdraw events in the platform's event system. Messages arrive on the service thread;
// events are sent there, while declarations and withdrawals, which wait for the event
// system, are made on the server's platform threads (at once when the connection belongs
// to no server), the connection's requests answered in order either way; declaration
// completions arrive on the GLib main loop.
class CameraEventsConnection : public BasicConnection,
                               public std::enable_shared_from_this<CameraEventsConnection> {
public:
  // The codes are the platform's value types.
  enum class ValueType : int32_t { Int = 0, Bool = 1, Double = 2, String = 3 };
  enum class KeyKind : int32_t { Source = 0, Data = 1, Unmarked = 2 };

  // A typed value; only the slot named by `type` is meaningful.
  struct EventValue {
    ValueType type = ValueType::String;
    std::string stringValue;
    int32_t intValue = 0;
    int32_t boolValue = 0;
    double doubleValue = 0;

    // What the platform takes as the value: the string itself or the address of the slot.
    const void* platformValue() const;
  };

  struct EventKeyValue {
    KeyKind kind = KeyKind::Unmarked;
    std::string nameSpace;
    std::string key;
    EventValue value;
    std::string keyNiceName;
    std::string valueNiceName;
  };

  struct EventDeclaration {
    std::string declarationId;
    bool stateless = false;
    std::vector<EventKeyValue> keyValues;
  };

  struct Event {
    std::string declarationId;
    std::vector<EventKeyValue> keyValues;
  };

  struct EventDeclarationProcessData {
    std::shared_ptr<EventDeclaration> declaration;
    int32_t callId = 0;
    uint32_t platformDeclarationId = 0;
    bool complete = false;
  };

  // The envelope of one request. `error` is empty for a request that can be dispatched;
  // otherwise it is the text to answer with `callId`. `data` points into the document and
  // is null when the request has no "data".
  struct Request {
    int32_t callId = -1;
    std::string command;
    const rapidjson::Value* data = nullptr;
    std::string error;
  };

  // Creates the platform event handler; throws std::runtime_error when there is none.
  explicit CameraEventsConnection(lws* wsi);
  // Withdraws every completed declaration, then frees the handler (which drops the
  // declarations still waiting for completion).
  virtual ~CameraEventsConnection();

  // Handle the message here, or on the platform threads when it may wait or must wait for
  // a request before it.
  void onMessage(const std::string& message) override;
  void onBinaryMessage(const std::string& message) override;

  // Parses `message` into `document` and checks the envelope's members.
  static Request decodeRequest(const std::string& message, rapidjson::Document& document);
  // These throw std::runtime_error with the text the client is answered with.
  static EventValue parseValue(const rapidjson::Value& keyObject);
  static std::shared_ptr<EventDeclaration> parseEventDeclaration(const rapidjson::Value& data);
  static std::shared_ptr<Event> parseEvent(const rapidjson::Value& data);

  // The success and error answers. `text` is escaped so that the answer is JSON whatever
  // it holds; texts without special characters appear unchanged.
  static std::string replyText(int32_t callId, const std::string& text);
  static std::string errorText(int32_t callId, const std::string& text);

  // The platform's completion callback. `userData` names the connection in a registry, so
  // that a completion for a connection that is gone is dropped.
  static void onDeclarationComplete(unsigned int number, void* userData);

private:
  // Handles `message`; with `deferWaiting`, returns false instead when it makes a platform
  // call that may wait, having done nothing.
  bool handleMessage(const std::string& message, bool deferWaiting);
  void refuseBinaryMessage();
  // Runs `job` after the requests before it, off the service thread when there are workers.
  void inOrder(std::size_t bytes, std::function<void()> job);

  void declareEvent(int32_t callId, const rapidjson::Value& data);
  void undeclareEvent(int32_t callId, const rapidjson::Value& data);
  void sendEvent(int32_t callId, const rapidjson::Value& data);
  std::shared_ptr<EventDeclarationProcessData> findCompleteDeclaration(const std::string& id);
  // Throws "undeclaration error: " + the platform's text.
  void undeclare(uint32_t number);
  void sendReply(int32_t callId, const std::string& text);
  void sendError(int32_t callId, const std::string& text);
  // Main loop thread, with the registry locked.
  void completeDeclaration(uint32_t number);

  struct HandlerDeleter {
    void operator()(AXEventHandler* handler) const;
  };

  std::unique_ptr<AXEventHandler, HandlerDeleter> eventHandler;
  std::mutex declarationsMutex;
  std::map<std::string, std::shared_ptr<EventDeclarationProcessData>> declarations;
  // Completions that arrived before their declaration was stored.
  std::set<uint32_t> earlyCompletions;
  uintptr_t registryToken = 0;
  std::shared_ptr<PlatformWorkers> workers;
  std::shared_ptr<PlatformWorkers::Queue> requests;
};
