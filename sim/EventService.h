#pragma once

#include "SimEvents.h"

#include <gio/gio.h>

#include <map>
#include <string>
#include <vector>

// The camera's event system as the event library sees it: declarations completed after a
// configurable delay, events and withdrawals, refusals injected by tests, and a record of
// all traffic. Runs on the simulator's main context.
//
// Each record is one JSON object with "seq", "op", "client" (the caller's unique bus
// name), "handler" and by op:
//   declare    "declaration", "stateless", "delay_ms", "keys"
//   complete   "declaration"
//   send       "declaration", "time_stamp" (ISO 8601 or null), "keys"
//   undeclare  "declaration"
//   release    "reason" ("handler freed" or "client gone": it left the bus without freeing
//              the handler), "declarations": those the handler still held
// A key is {"key", "namespace", "type" ("INT", "BOOL", "DOUBLE" or "STRING"), "value",
// "key_nice_name", "value_nice_name", "mark" ("source", "data")}, null where not given.
// Refused calls are not recorded.
class EventService {
public:
  static constexpr int defaultDelayMs = 50;

  EventService() = default;
  EventService(const EventService&) = delete;
  EventService& operator=(const EventService&) = delete;
  ~EventService();

  // The faults that can be injected, as named by the control tool.
  static const std::vector<std::string>& refusableOperations();

  // Exports the interface on the simulator's object of connection; false with error set
  // when it cannot. The service lives as long as the process.
  static bool registerOn(GDBusConnection* connection, std::string& error);

private:
  struct Declaration {
    std::string client;
    guint handler = 0;
    bool complete = false;
  };

  void onMethodCall(const std::string& sender, const std::string& method, GVariant* params,
                    GDBusMethodInvocation* invocation);
  // Creates the memory file of the refusals clients check themselves; false with error set.
  bool shareRefusals(std::string& error);
  void returnRefusals(GDBusMethodInvocation* invocation);
  void declare(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation);
  void complete(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation);
  // Hands the caller its end of a new event channel.
  void openChannel(const std::string& sender, GDBusMethodInvocation* invocation);
  // Reads what every channel holds and records its events; closes channels that ended.
  void drainChannels();
  // Reads what `fd` holds; false once the channel has ended or broke its framing.
  bool readChannel(int fd);
  // Records one event of a channel's client; events the service cannot take are dropped,
  // as nobody awaits an answer.
  void recordEvent(const std::string& client, GVariant* event);
  void closeChannel(int fd);
  void undeclare(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation);
  void releaseHandler(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation);
  void setRefuse(GVariant* params, GDBusMethodInvocation* invocation);
  // Drops the declarations of a client's handler and records why.
  void release(const std::string& client, guint handler, const char* reason);
  static void onNameOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                 GVariant* params, gpointer self);

  // True (and the invocation answered with the refusal) when what is refused now.
  bool refuse(const std::string& what, const std::string& defaultMessage, GDBusMethodInvocation* invocation);
  // The declaration number of (sender, handler), or null with the invocation answered.
  Declaration* findDeclaration(const std::string& sender, guint handler, guint number,
                               GDBusMethodInvocation* invocation);
  void record(const std::string& op, const std::string& sender, guint handler, const std::string& rest);

  static void handleMethodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                               const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                               gpointer self);

  std::map<guint, Declaration> declarations;
  guint nextDeclaration = 1;
  int delayMs = defaultDelayMs;
  int stallMs = 0; // how long the next declaration's answer is held back
  std::map<std::string, std::string> refusals; // declare/undeclare -> message, empty for the default
  int sharedFd = -1;
  SimEvents::SharedRefusals* shared = nullptr; // key, nicenames, mark and send
  std::vector<std::string> records;

  struct Channel {
    std::string client;
    guint source = 0;
    std::string pending; // an incomplete frame
  };
  std::map<int, Channel> channels; // by the service's end
};

// Exports the event service on the simulator's bus connection; false with error set when
// it cannot.
bool registerEventService(GDBusConnection* bus, std::string& error);
