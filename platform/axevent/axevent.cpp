// The event library of the camera platform on a machine that is not a camera: key-value
// sets live in this process, declarations and withdrawals go to the camera simulator's
// event service over the D-Bus system bus, which may refuse them. As on a camera, an event
// is handed over without waiting for the event system: it is written to a channel the
// service opened for this process (no bus daemon, no reply, no thread hop), or queued within
// a bound when the channel is full, refusals of events and of the steps on a set are read
// from memory the service shares, and the library knows which of its declarations are
// complete.
#include <axsdk/axevent.h>

#include "SimBus.h"
#include "SimEvents.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

const int callTimeoutMs = 10000;

enum class Mark { None, Source, Data };

// Variants are immutable, so entries copied into an event share them.
using VariantPtr = std::shared_ptr<GVariant>;

VariantPtr adoptVariant(GVariant* variant)
{
  return VariantPtr(g_variant_ref_sink(variant), g_variant_unref);
}

struct Entry {
  std::string key;
  std::optional<std::string> nameSpace;
  AXEventValueType type = AX_VALUE_TYPE_INT;
  VariantPtr value; // null for a key without a value
  std::optional<std::string> keyNiceName;
  std::optional<std::string> valueNiceName;
  Mark mark = Mark::None;
};

GQuark errorQuark()
{
  return g_quark_from_static_string("ax-event-error-quark");
}

enum ErrorCode { InvalidArgument = 1, EventSystem = 2, UnknownDeclaration = 3 };

gboolean fail(GError** error, ErrorCode code, const std::string& message)
{
  g_set_error_literal(error, errorQuark(), code, message.c_str());
  return FALSE;
}

std::optional<std::string> optionalText(const gchar* text)
{
  if (!text)
    return std::nullopt;
  return std::string(text);
}

bool sameNamespace(const std::optional<std::string>& a, const gchar* b)
{
  return b ? (a && *a == b) : !a;
}

// Owner of a GVariant reference.
struct VariantRef {
  GVariant* v = nullptr;
  explicit VariantRef(GVariant* variant) : v(variant) {}
  VariantRef(const VariantRef&) = delete;
  VariantRef& operator=(const VariantRef&) = delete;
  ~VariantRef()
  {
    if (v)
      g_variant_unref(v);
  }
};

GDBusConnection* systemBus(GError** error)
{
  static std::mutex busMutex;
  static GDBusConnection* bus = nullptr;
  std::lock_guard<std::mutex> lock(busMutex);
  if (!bus)
    bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, error);
  return bus;
}

// Calls a method of the event service; params may be floating. Returns the reply, or
// null with error set to the service's own message.
GVariant* callService(const char* method, GVariant* params, const char* replyType, GError** error)
{
  GError* callError = nullptr;
  GDBusConnection* bus = systemBus(&callError);
  GVariant* reply = nullptr;
  if (bus) {
    reply = g_dbus_connection_call_sync(bus, SimBus::busName, SimBus::objectPath, SimEvents::interfaceName,
                                        method, params, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                        G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &callError);
  } else if (params) {
    g_variant_unref(g_variant_ref_sink(params));
  }
  if (!reply) {
    gchar* remoteName = g_dbus_error_get_remote_error(callError);
    bool unknown = remoteName && std::strcmp(remoteName, SimEvents::notFoundError) == 0;
    g_free(remoteName);
    g_dbus_error_strip_remote_error(callError);
    fail(error, unknown ? UnknownDeclaration : EventSystem, callError->message);
    g_error_free(callError);
  }
  return reply;
}

gboolean callServiceNoReply(const char* method, GVariant* params, GError** error)
{
  VariantRef reply(callService(method, params, "()", error));
  return reply.v != nullptr;
}

// The member names of an entry, made once: every entry of every event carries them.
enum Member {
  KeyMember,
  TypeMember,
  NamespaceMember,
  ValueMember,
  KeyNiceMember,
  ValueNiceMember,
  MarkMember
};

GVariant* memberName(Member member)
{
  static GVariant* const* names = [] {
    static const char* const texts[] = {
        "key", "type", "namespace", "value", "key_nice_name", "value_nice_name", "mark"};
    static GVariant* made[G_N_ELEMENTS(texts)];
    for (std::size_t i = 0; i < G_N_ELEMENTS(texts); ++i)
      made[i] = g_variant_ref_sink(g_variant_new_string(texts[i]));
    return made;
  }();
  return names[member];
}

// The entries as aa{sv}, put together directly rather than through builders, which parse
// a format string for every member of every entry.
GVariant* entriesVariant(const std::vector<Entry>& entries)
{
  std::vector<GVariant*> list;
  list.reserve(entries.size());
  for (const Entry& entry : entries) {
    GVariant* members[7];
    std::size_t count = 0;
    const auto add = [&members, &count](Member member, GVariant* value) {
      members[count++] = g_variant_new_dict_entry(memberName(member), g_variant_new_variant(value));
    };
    add(KeyMember, g_variant_new_string(entry.key.c_str()));
    add(TypeMember, g_variant_new_uint32(entry.type));
    if (entry.nameSpace)
      add(NamespaceMember, g_variant_new_string(entry.nameSpace->c_str()));
    if (entry.value)
      add(ValueMember, entry.value.get());
    if (entry.keyNiceName)
      add(KeyNiceMember, g_variant_new_string(entry.keyNiceName->c_str()));
    if (entry.valueNiceName)
      add(ValueNiceMember, g_variant_new_string(entry.valueNiceName->c_str()));
    if (entry.mark != Mark::None)
      add(MarkMember, g_variant_new_string(entry.mark == Mark::Source ? "source" : "data"));
    list.push_back(g_variant_new_array(G_VARIANT_TYPE("{sv}"), members, count));
  }
  return g_variant_new_array(G_VARIANT_TYPE("a{sv}"), list.data(), list.size());
}

// Declarations waiting for their completion, by declaration number. Completions are
// timeouts on the default main context, so they run on whichever thread iterates it.
struct Pending {
  guint handler = 0;
  AXDeclarationCompleteCallback callback = nullptr;
  gpointer userData = nullptr;
  GSource* source = nullptr; // our reference; null for one that never completes
};

std::mutex pendingMutex;
std::map<guint, Pending>& pendingDeclarations()
{
  static std::map<guint, Pending> pending;
  return pending;
}

// Complete declarations: number -> handler. Guarded by pendingMutex.
std::map<guint, guint>& completeDeclarations()
{
  static std::map<guint, guint> complete;
  return complete;
}

// Removes a pending declaration; the caller holds pendingMutex.
void dropPending(std::map<guint, Pending>::iterator it)
{
  if (it->second.source) {
    g_source_destroy(it->second.source);
    g_source_unref(it->second.source);
  }
  pendingDeclarations().erase(it);
}

gboolean onCompletionDue(gpointer data)
{
  guint declaration = GPOINTER_TO_UINT(data);
  Pending due;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    auto& pending = pendingDeclarations();
    auto it = pending.find(declaration);
    if (it == pending.end())
      return G_SOURCE_REMOVE;
    due = it->second;
    // The context keeps the source alive while it is dispatched.
    g_source_unref(it->second.source);
    pending.erase(it);
  }
  GError* error = nullptr;
  if (!callServiceNoReply("Complete", g_variant_new("(uu)", due.handler, declaration), &error)) {
    // Unknown: withdrawn or its handler freed on another thread meanwhile; nothing to tell.
    if (error->code != UnknownDeclaration)
      g_warning("event declaration %u could not be completed: %s", declaration, error->message);
    g_error_free(error);
    return G_SOURCE_REMOVE;
  }
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    completeDeclarations()[declaration] = due.handler;
  }
  if (due.callback)
    due.callback(declaration, due.userData);
  return G_SOURCE_REMOVE;
}

bool checkKey(AXEventKeyValueSet* set, const gchar* key, GError** error)
{
  if (!set)
    return fail(error, InvalidArgument, "no key-value set");
  if (!key || !*key)
    return fail(error, InvalidArgument, "the key is empty");
  return true;
}

// Calls `method` of the event service, which answers with one descriptor; -1 with error set
// when the service cannot be reached or sent none (`what` names it in that message).
int receiveDescriptor(const char* method, const char* what, GError** error)
{
  GError* callError = nullptr;
  GDBusConnection* bus = systemBus(&callError);
  GUnixFDList* fds = nullptr;
  GVariant* reply = nullptr;
  if (bus) {
    reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, SimBus::busName, SimBus::objectPath, SimEvents::interfaceName, method, nullptr,
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &fds, nullptr, &callError);
  }
  int fd = -1;
  if (reply) {
    gint index = 0;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    if (fds)
      fd = g_unix_fd_list_get(fds, index, &callError);
    else
      g_set_error(&callError, errorQuark(), EventSystem, "the event service sent no %s", what);
  }
  if (fds)
    g_object_unref(fds);
  if (fd < 0) {
    g_dbus_error_strip_remote_error(callError);
    fail(error, EventSystem, callError->message);
    g_error_free(callError);
  }
  return fd;
}

// The refusals shared by the event service, mapped once per process; null with error set
// while the service cannot be reached. Once mapped, no call waits for it.
std::atomic<const SimEvents::SharedRefusals*> mappedRefusals{nullptr};

const SimEvents::SharedRefusals* sharedRefusals(GError** error)
{
  if (const SimEvents::SharedRefusals* mapped = mappedRefusals.load(std::memory_order_acquire))
    return mapped;
  static std::mutex mapMutex;
  std::lock_guard<std::mutex> lock(mapMutex);
  if (const SimEvents::SharedRefusals* mapped = mappedRefusals.load(std::memory_order_acquire))
    return mapped;
  const int fd = receiveDescriptor("Refusals", "memory file", error);
  if (fd < 0)
    return nullptr;
  void* memory = mmap(nullptr, sizeof(SimEvents::SharedRefusals), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (memory == MAP_FAILED) {
    fail(error, EventSystem,
         std::string("cannot map the event service's memory file: ") + g_strerror(errno));
    return nullptr;
  }
  mappedRefusals.store(static_cast<const SimEvents::SharedRefusals*>(memory), std::memory_order_release);
  return static_cast<const SimEvents::SharedRefusals*>(memory);
}

// Whether the event service accepts a step for a key now; false with its message when not.
bool serviceAccepts(SimEvents::SharedRefusals::Step step, const gchar* key, GError** error)
{
  const SimEvents::SharedRefusals* shared = sharedRefusals(error);
  if (!shared)
    return false;
  std::uint32_t refused = 0;
  char message[SimEvents::SharedRefusals::messageSize];
  for (;;) {
    std::uint32_t before = __atomic_load_n(&shared->sequence, __ATOMIC_ACQUIRE);
    if (before % 2 != 0)
      continue;
    refused = shared->refused[step];
    std::memcpy(message, shared->message[step], sizeof message);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&shared->sequence, __ATOMIC_RELAXED) == before)
      break;
  }
  if (!refused)
    return true;
  message[sizeof message - 1] = '\0';
  return fail(error, EventSystem, SimEvents::refusalText(step, message, key));
}

// Events the channel's socket did not take at once wait in the library, up to this many
// bytes (some twenty thousand small events, seconds of a sender at full speed, which the
// event system may take longer to record than a sender to send); beyond it an event fails,
// so that an event system that stops reading costs a bounded amount of memory and never
// holds up a sender.
const std::size_t maxUnsentBytes = 4 * 1024 * 1024;

// The event service's channel for events: opened by a call that may wait (a declaration,
// which any event needs first), then written without waiting. Bytes the socket does not
// take wait in `unsent`, in order, and go out when the socket drains (a watch on the
// default main context) or before the next call that may wait, so that the service, which
// reads the channel before it handles a call, sees them first.
struct EventChannel {
  std::mutex mutex;
  int fd = -1;
  // The bytes from `sentUpTo` on wait; the written ones are dropped once they are half.
  std::string unsent;
  std::size_t sentUpTo = 0;
  guint watch = 0;

  std::size_t waiting() const { return unsent.size() - sentUpTo; }
};

EventChannel& eventChannel()
{
  static EventChannel channel;
  return channel;
}

// Drops the channel and what waits in it: the next declaration opens a new one. The caller
// holds the channel's mutex.
void closeChannelLocked(EventChannel& channel)
{
  if (channel.watch != 0)
    g_source_remove(channel.watch);
  channel.watch = 0;
  if (channel.fd >= 0)
    close(channel.fd);
  channel.fd = -1;
  channel.unsent.clear();
  channel.sentUpTo = 0;
}

// Writes what the socket takes now of `unsent`; the errno of a failed write, else 0. The
// caller holds the channel's mutex.
int writeUnsentLocked(EventChannel& channel)
{
  std::size_t& done = channel.sentUpTo;
  int cause = 0;
  while (done < channel.unsent.size()) {
    const ssize_t sent = send(channel.fd, channel.unsent.data() + done, channel.unsent.size() - done,
                              MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      done += static_cast<std::size_t>(sent);
    } else if (errno != EINTR) {
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        cause = errno;
      break;
    }
  }
  // Moving what waits to the front costs its size: only once it is no more than what has gone.
  if (done == channel.unsent.size()) {
    channel.unsent.clear();
    done = 0;
  } else if (done >= channel.waiting()) {
    channel.unsent.erase(0, done);
    done = 0;
  }
  return cause;
}

gboolean onChannelWritable(gint, GIOCondition, gpointer)
{
  EventChannel& channel = eventChannel();
  std::lock_guard<std::mutex> lock(channel.mutex);
  const int cause = writeUnsentLocked(channel);
  if (cause == 0 && channel.waiting() > 0)
    return G_SOURCE_CONTINUE;
  // Removed by the return value, not by closeChannelLocked.
  channel.watch = 0;
  if (cause != 0) {
    g_warning("events lost, the event system is unreachable: %s", g_strerror(cause));
    closeChannelLocked(channel);
  }
  return G_SOURCE_REMOVE;
}

// Opens the channel if it is not open; false with error set when the service cannot be
// reached. May wait for the service.
bool openEventChannel(GError** error)
{
  EventChannel& channel = eventChannel();
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    if (channel.fd >= 0)
      return true;
  }
  // Not under the mutex: senders must never wait for the service.
  const int fd = receiveDescriptor("EventChannel", "channel", error);
  if (fd < 0)
    return false;
  std::lock_guard<std::mutex> lock(channel.mutex);
  if (channel.fd >= 0)
    close(fd);
  else
    channel.fd = fd;
  return true;
}

// Before a call that may wait: sends what waits in the channel, waiting up to as long as a
// call may for the service to read it; what it has not read by then is dropped with the
// channel.
void flushEventChannel()
{
  EventChannel& channel = eventChannel();
  const gint64 deadline = g_get_monotonic_time() + gint64{callTimeoutMs} * 1000;
  for (;;) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(channel.mutex);
      if (channel.fd < 0 || channel.waiting() == 0)
        return;
      const int cause = writeUnsentLocked(channel);
      const gint64 left = deadline - g_get_monotonic_time();
      if (cause != 0 || (left <= 0 && channel.waiting() > 0)) {
        g_warning("%zu bytes of events lost, the event system %s", channel.waiting(),
                  cause != 0 ? "is unreachable" : "does not read them");
        closeChannelLocked(channel);
        return;
      }
      if (channel.waiting() == 0)
        return;
      fd = channel.fd;
    }
    // Without the mutex, so that senders are not held up meanwhile; should the channel be
    // replaced, the next round looks again.
    pollfd ready{fd, POLLOUT, 0};
    poll(&ready, 1, 100);
  }
}

// Hands `frame` to the channel without waiting: what the socket does not take waits behind
// what is already waiting, within maxUnsentBytes.
gboolean writeEvent(const std::string& frame, GError** error)
{
  EventChannel& channel = eventChannel();
  std::lock_guard<std::mutex> lock(channel.mutex);
  if (channel.fd < 0)
    return fail(error, EventSystem, "the event system is unreachable: no event channel");
  int cause = channel.waiting() == 0 ? 0 : writeUnsentLocked(channel);
  if (cause == 0 && channel.waiting() == 0) {
    channel.unsent = frame;
    cause = writeUnsentLocked(channel);
  } else if (cause == 0) {
    if (channel.waiting() + frame.size() > maxUnsentBytes)
      return fail(error, EventSystem,
                  "the event system is not taking events: " + std::to_string(channel.waiting()) +
                      " bytes of events are waiting for it");
    channel.unsent += frame;
  }
  if (cause != 0) {
    // The service went away, possibly in the middle of a frame: the next declaration opens
    // a new channel.
    closeChannelLocked(channel);
    return fail(error, EventSystem, std::string("the event system is unreachable: ") + g_strerror(cause));
  }
  if (channel.waiting() > 0 && channel.watch == 0)
    channel.watch = g_unix_fd_add(channel.fd, G_IO_OUT, onChannelWritable, nullptr);
  return TRUE;
}

} // namespace

struct _AXEventHandler {
  guint id;
};

struct _AXEventKeyValueSet {
  std::vector<Entry> entries;

  Entry* find(const gchar* key, const gchar* nameSpace)
  {
    for (Entry& entry : entries) {
      if (entry.key == key && sameNamespace(entry.nameSpace, nameSpace))
        return &entry;
    }
    return nullptr;
  }
};

struct _AXEvent {
  std::vector<Entry> entries;
  GDateTime* timeStamp = nullptr;
};

extern "C" {

AXEventHandler* ax_event_handler_new(void)
{
  static std::mutex idMutex;
  static guint nextId = 1;
  std::lock_guard<std::mutex> lock(idMutex);
  return new AXEventHandler{nextId++};
}

void ax_event_handler_free(AXEventHandler* handler)
{
  if (!handler)
    return;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    auto& pending = pendingDeclarations();
    for (auto it = pending.begin(); it != pending.end();) {
      auto next = std::next(it);
      if (it->second.handler == handler->id)
        dropPending(it);
      it = next;
    }
    auto& complete = completeDeclarations();
    for (auto it = complete.begin(); it != complete.end();)
      it = it->second == handler->id ? complete.erase(it) : std::next(it);
  }
  flushEventChannel();
  GError* error = nullptr;
  if (!callServiceNoReply("ReleaseHandler", g_variant_new("(u)", handler->id), &error))
    g_error_free(error);
  delete handler;
}

AXEventKeyValueSet* ax_event_key_value_set_new(void)
{
  return new AXEventKeyValueSet();
}

void ax_event_key_value_set_free(AXEventKeyValueSet* key_value_set)
{
  delete key_value_set;
}

gboolean ax_event_key_value_set_add_key_value(AXEventKeyValueSet* key_value_set, const gchar* key,
                                              const gchar* name_space, gconstpointer value,
                                              AXEventValueType value_type, GError** error)
{
  if (!checkKey(key_value_set, key, error))
    return FALSE;
  GVariant* variant = nullptr;
  if (value) {
    switch (value_type) {
    case AX_VALUE_TYPE_INT:
      variant = g_variant_new_int32(*static_cast<const gint*>(value));
      break;
    case AX_VALUE_TYPE_BOOL:
      variant = g_variant_new_boolean(*static_cast<const gboolean*>(value) != FALSE);
      break;
    case AX_VALUE_TYPE_DOUBLE:
      variant = g_variant_new_double(*static_cast<const gdouble*>(value));
      break;
    case AX_VALUE_TYPE_STRING:
      if (!g_utf8_validate(static_cast<const gchar*>(value), -1, nullptr))
        return fail(error, InvalidArgument, std::string("the value of key \"") + key + "\" is not UTF-8");
      variant = g_variant_new_string(static_cast<const gchar*>(value));
      break;
    default:
      return fail(error, InvalidArgument, "unknown value type " + std::to_string(value_type));
    }
  } else if (static_cast<int>(value_type) < AX_VALUE_TYPE_INT ||
             static_cast<int>(value_type) > AX_VALUE_TYPE_STRING) {
    return fail(error, InvalidArgument, "unknown value type " + std::to_string(value_type));
  }
  VariantPtr owned = variant ? adoptVariant(variant) : nullptr;
  if (!g_utf8_validate(key, -1, nullptr) || (name_space && !g_utf8_validate(name_space, -1, nullptr)))
    return fail(error, InvalidArgument, "the key or its namespace is not UTF-8");
  if (!serviceAccepts(SimEvents::SharedRefusals::key, key, error))
    return FALSE;

  Entry* entry = key_value_set->find(key, name_space);
  if (!entry) {
    key_value_set->entries.emplace_back();
    entry = &key_value_set->entries.back();
    entry->key = key;
    entry->nameSpace = optionalText(name_space);
  }
  entry->type = value_type;
  entry->value = owned;
  return TRUE;
}

gboolean ax_event_key_value_set_add_nice_names(AXEventKeyValueSet* key_value_set, const gchar* key,
                                               const gchar* name_space, const gchar* key_nice_name,
                                               const gchar* value_nice_name, GError** error)
{
  if (!checkKey(key_value_set, key, error))
    return FALSE;
  Entry* entry = key_value_set->find(key, name_space);
  if (!entry)
    return fail(error, InvalidArgument, std::string("key \"") + key + "\" is not in the set");
  if ((key_nice_name && !g_utf8_validate(key_nice_name, -1, nullptr)) ||
      (value_nice_name && !g_utf8_validate(value_nice_name, -1, nullptr)))
    return fail(error, InvalidArgument, "a nice name is not UTF-8");
  if (!serviceAccepts(SimEvents::SharedRefusals::niceNames, key, error))
    return FALSE;
  entry->keyNiceName = optionalText(key_nice_name);
  entry->valueNiceName = optionalText(value_nice_name);
  return TRUE;
}

static gboolean markKey(AXEventKeyValueSet* key_value_set, const gchar* key, const gchar* name_space,
                        Mark mark, GError** error)
{
  if (!checkKey(key_value_set, key, error))
    return FALSE;
  Entry* entry = key_value_set->find(key, name_space);
  if (!entry)
    return fail(error, InvalidArgument, std::string("key \"") + key + "\" is not in the set");
  if (!serviceAccepts(SimEvents::SharedRefusals::mark, key, error))
    return FALSE;
  entry->mark = mark;
  return TRUE;
}

gboolean ax_event_key_value_set_mark_as_source(AXEventKeyValueSet* key_value_set, const gchar* key,
                                               const gchar* name_space, GError** error)
{
  return markKey(key_value_set, key, name_space, Mark::Source, error);
}

gboolean ax_event_key_value_set_mark_as_data(AXEventKeyValueSet* key_value_set, const gchar* key,
                                             const gchar* name_space, GError** error)
{
  return markKey(key_value_set, key, name_space, Mark::Data, error);
}

gboolean ax_event_handler_declare(AXEventHandler* handler, AXEventKeyValueSet* key_value_set,
                                  gboolean stateless, guint* declaration,
                                  AXDeclarationCompleteCallback callback, gpointer user_data, GError** error)
{
  if (!handler || !key_value_set)
    return fail(error, InvalidArgument, "no handler or no key-value set");
  // Everything an event of the declaration needs, so that sending one never waits.
  if (!sharedRefusals(error) || !openEventChannel(error))
    return FALSE;
  flushEventChannel();
  VariantRef reply(callService(
      "Declare",
      g_variant_new("(ub@aa{sv})", handler->id, stateless != FALSE, entriesVariant(key_value_set->entries)),
      "(ui)", error));
  if (!reply.v)
    return FALSE;
  guint number = 0;
  gint delayMs = 0;
  g_variant_get(reply.v, "(ui)", &number, &delayMs);
  if (declaration)
    *declaration = number;
  // A negative delay is a declaration the event system never completes.
  GSource* source = nullptr;
  if (delayMs >= 0) {
    source = g_timeout_source_new(static_cast<guint>(delayMs));
    g_source_set_callback(source, onCompletionDue, GUINT_TO_POINTER(number), nullptr);
  }
  std::lock_guard<std::mutex> lock(pendingMutex);
  pendingDeclarations()[number] = Pending{handler->id, callback, user_data, source};
  if (source)
    g_source_attach(source, nullptr);
  return TRUE;
}

AXEvent* ax_event_new2(AXEventKeyValueSet* key_value_set, GDateTime* time_stamp)
{
  auto* event = new AXEvent();
  if (key_value_set)
    event->entries = key_value_set->entries;
  if (time_stamp)
    event->timeStamp = g_date_time_ref(time_stamp);
  return event;
}

void ax_event_free(AXEvent* event)
{
  if (!event)
    return;
  if (event->timeStamp)
    g_date_time_unref(event->timeStamp);
  delete event;
}

gboolean ax_event_handler_send_event(AXEventHandler* handler, guint declaration, AXEvent* event,
                                     GError** error)
{
  if (!handler || !event)
    return fail(error, InvalidArgument, "no handler or no event");
  if (!serviceAccepts(SimEvents::SharedRefusals::send, "", error))
    return FALSE;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    auto pending = pendingDeclarations().find(declaration);
    if (pending != pendingDeclarations().end() && pending->second.handler == handler->id)
      return fail(error, EventSystem, "declaration " + std::to_string(declaration) + " is not complete yet");
    auto complete = completeDeclarations().find(declaration);
    if (complete == completeDeclarations().end() || complete->second != handler->id)
      return fail(error, UnknownDeclaration,
                  "declaration " + std::to_string(declaration) + " not found for this handler");
  }
  gchar* stamp = event->timeStamp ? g_date_time_format_iso8601(event->timeStamp) : nullptr;
  GVariant* fields[] = {g_variant_new_uint32(handler->id), g_variant_new_uint32(declaration),
                        g_variant_new_string(stamp ? stamp : ""), entriesVariant(event->entries)};
  GVariant* body = g_variant_ref_sink(g_variant_new_tuple(fields, G_N_ELEMENTS(fields)));
  g_free(stamp);
  // Serialised straight into a buffer each thread keeps, behind the frame's length, which
  // is 8 bytes so that the serialised form is aligned as its type needs.
  thread_local std::string frame;
  const gsize size = g_variant_get_size(body);
  if (size > SimEvents::maxEventFrame) {
    g_variant_unref(body);
    return fail(error, InvalidArgument, "the event is larger than the event system takes");
  }
  const auto length = static_cast<std::uint64_t>(size);
  frame.resize(sizeof length + size);
  std::memcpy(&frame[0], &length, sizeof length);
  g_variant_store(body, &frame[sizeof length]);
  g_variant_unref(body);
  // One writer at a time keeps frames whole; the stream keeps them in the order of
  // these calls, so the events of a declaration are recorded in that order. Never waits.
  return writeEvent(frame, error);
}

gboolean ax_event_handler_undeclare(AXEventHandler* handler, guint declaration, GError** error)
{
  if (!handler)
    return fail(error, InvalidArgument, "no handler");
  // The declaration's events reach the service before it is withdrawn.
  flushEventChannel();
  if (!callServiceNoReply("Undeclare", g_variant_new("(uu)", handler->id, declaration), error))
    return FALSE;
  std::lock_guard<std::mutex> lock(pendingMutex);
  auto& pending = pendingDeclarations();
  auto it = pending.find(declaration);
  if (it != pending.end() && it->second.handler == handler->id)
    dropPending(it);
  auto complete = completeDeclarations().find(declaration);
  if (complete != completeDeclarations().end() && complete->second == handler->id)
    completeDeclarations().erase(complete);
  return TRUE;
}

} // extern "C"
