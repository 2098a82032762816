#include "EventService.h"

#include "SimBus.h"
#include "SimEvents.h"

#include <gio/gunixfdlist.h>
#include <glib-unix.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <stdexcept>

namespace {

const char* const introspectionXml = R"(
<node>
  <interface name="dev.orvane.CameraSim.Events">
    <method name="Refusals">
      <arg direction="out" type="h" name="memory_file"/>
    </method>
    <method name="Declare">
      <arg direction="in" type="u" name="handler"/>
      <arg direction="in" type="b" name="stateless"/>
      <arg direction="in" type="aa{sv}" name="keys"/>
      <arg direction="out" type="u" name="declaration"/>
      <arg direction="out" type="i" name="delay_ms"/>
    </method>
    <method name="Complete">
      <arg direction="in" type="u" name="handler"/>
      <arg direction="in" type="u" name="declaration"/>
    </method>
    <method name="EventChannel">
      <arg direction="out" type="h" name="channel"/>
    </method>
    <method name="Undeclare">
      <arg direction="in" type="u" name="handler"/>
      <arg direction="in" type="u" name="declaration"/>
    </method>
    <method name="ReleaseHandler">
      <arg direction="in" type="u" name="handler"/>
    </method>
    <method name="Events">
      <arg direction="out" type="as" name="records"/>
    </method>
    <method name="SetDelay">
      <arg direction="in" type="i" name="delay_ms"/>
    </method>
    <method name="SetStall">
      <arg direction="in" type="i" name="stall_ms"/>
    </method>
    <method name="SetRefuse">
      <arg direction="in" type="s" name="what"/>
      <arg direction="in" type="b" name="on"/>
      <arg direction="in" type="s" name="message"/>
    </method>
  </interface>
</node>)";

// A request whose arguments the service cannot make sense of; answered as InvalidArgument.
struct InvalidRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string jsonString(const std::string& text)
{
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

// The shortest text that reads back as the same double, always recognisable as a double.
std::string jsonDouble(double value)
{
  if (!std::isfinite(value))
    return "null";
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  for (const char* format : {"%.15g", "%.16g", "%.17g"}) {
    g_ascii_formatd(text, sizeof text, format, value);
    if (g_ascii_strtod(text, nullptr) == value)
      break;
  }
  std::string out = text;
  if (out.find_first_of(".eEn") == std::string::npos)
    out += ".0";
  return out;
}

const char* typeName(guint32 type)
{
  static const char* const names[] = {"INT", "BOOL", "DOUBLE", "STRING"};
  return type < 4 ? names[type] : nullptr;
}

// The members of one key entry; a member of the wrong type counts as absent and a
// repeated one as its last occurrence.
struct KeyMembers {
  const gchar* key = nullptr;
  const gchar* nameSpace = nullptr;
  const gchar* keyNiceName = nullptr;
  const gchar* valueNiceName = nullptr;
  const gchar* mark = nullptr;
  bool typed = false;
  guint32 type = 0;
  GVariant* value = nullptr; // borrowed from the entry
};

std::string optionalString(const gchar* text)
{
  return text ? jsonString(text) : "null";
}

// One key of a declaration or event as JSON; throws InvalidRequest when the entry is
// malformed (no key, unknown type, a value that does not match its type). Walks the entry
// once rather than through a dictionary: every event passes here.
std::string keyJson(GVariant* entry)
{
  KeyMembers m;
  const gsize count = g_variant_n_children(entry);
  std::vector<GVariant*> held;
  held.reserve(count);
  struct Release {
    std::vector<GVariant*>& v;
    ~Release()
    {
      for (GVariant* item : v)
        g_variant_unref(item);
    }
  } release{held};
  for (gsize i = 0; i < count; ++i) {
    GVariant* pair = g_variant_get_child_value(entry, i);
    held.push_back(pair);
    GVariant* name = g_variant_get_child_value(pair, 0);
    held.push_back(name);
    GVariant* boxed = g_variant_get_child_value(pair, 1);
    held.push_back(boxed);
    GVariant* member = g_variant_get_variant(boxed);
    held.push_back(member);
    const gchar* field = g_variant_get_string(name, nullptr);
    const bool isString = g_variant_is_of_type(member, G_VARIANT_TYPE_STRING);
    const gchar* text = isString ? g_variant_get_string(member, nullptr) : nullptr;
    if (std::strcmp(field, "key") == 0)
      m.key = text;
    else if (std::strcmp(field, "namespace") == 0)
      m.nameSpace = text;
    else if (std::strcmp(field, "key_nice_name") == 0)
      m.keyNiceName = text;
    else if (std::strcmp(field, "value_nice_name") == 0)
      m.valueNiceName = text;
    else if (std::strcmp(field, "mark") == 0)
      m.mark = text;
    else if (std::strcmp(field, "value") == 0)
      m.value = member;
    else if (std::strcmp(field, "type") == 0) {
      m.typed = g_variant_is_of_type(member, G_VARIANT_TYPE_UINT32);
      m.type = m.typed ? g_variant_get_uint32(member) : 0;
    }
  }
  if (!m.key || !*m.key)
    throw InvalidRequest("a key without a name");
  if (!m.typed || !typeName(m.type))
    throw InvalidRequest(std::string("key \"") + m.key + "\" has no valid value type");

  std::string value = "null";
  if (m.value) {
    // In the order of the library's value type codes.
    static const char* const signatures[] = {"i", "b", "d", "s"};
    if (!g_variant_is_of_type(m.value, G_VARIANT_TYPE(signatures[m.type])))
      throw InvalidRequest(std::string("the value of key \"") + m.key + "\" does not match its type");
    switch (m.type) {
    case 0:
      value = std::to_string(g_variant_get_int32(m.value));
      break;
    case 1:
      value = g_variant_get_boolean(m.value) ? "true" : "false";
      break;
    case 2:
      value = jsonDouble(g_variant_get_double(m.value));
      break;
    default:
      value = jsonString(g_variant_get_string(m.value, nullptr));
    }
  }
  return std::string("{\"key\":") + jsonString(m.key) + ",\"namespace\":" + optionalString(m.nameSpace) +
         ",\"type\":\"" + typeName(m.type) + "\",\"value\":" + value +
         ",\"key_nice_name\":" + optionalString(m.keyNiceName) +
         ",\"value_nice_name\":" + optionalString(m.valueNiceName) + ",\"mark\":" + optionalString(m.mark) +
         "}";
}

std::string keysJson(GVariant* keys)
{
  std::string out = "[";
  GVariantIter iter;
  g_variant_iter_init(&iter, keys);
  while (GVariant* entry = g_variant_iter_next_value(&iter)) {
    std::string json;
    try {
      json = keyJson(entry);
    } catch (...) {
      g_variant_unref(entry);
      throw;
    }
    g_variant_unref(entry);
    if (out.size() > 1)
      out += ",";
    out += json;
  }
  return out + "]";
}

void returnError(GDBusMethodInvocation* invocation, const char* name, const std::string& message)
{
  g_dbus_method_invocation_return_dbus_error(invocation, name, message.c_str());
}

} // namespace

EventService::~EventService()
{
  if (shared)
    munmap(shared, sizeof(SimEvents::SharedRefusals));
  if (sharedFd >= 0)
    close(sharedFd);
  while (!channels.empty())
    closeChannel(channels.begin()->first);
}

const std::vector<std::string>& EventService::refusableOperations()
{
  static const std::vector<std::string> operations = {"key",     "nicenames", "mark",
                                                      "declare", "send",      "undeclare"};
  return operations;
}

bool EventService::registerOn(GDBusConnection* connection, std::string& error)
{
  GError* gerror = nullptr;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspectionXml, &gerror);
  guint id = 0;
  if (node) {
    static const GDBusInterfaceVTable vtable = {handleMethodCall, nullptr, nullptr, {}};
    auto* service = new EventService();
    if (!service->shareRefusals(error)) {
      delete service;
      g_dbus_node_info_unref(node);
      return false;
    }
    id = g_dbus_connection_register_object(
        connection, SimBus::objectPath, node->interfaces[0], &vtable, service,
        [](gpointer self) { delete static_cast<EventService*>(self); }, &gerror);
    g_dbus_node_info_unref(node);
    if (id != 0)
      g_dbus_connection_signal_subscribe(connection, "org.freedesktop.DBus", "org.freedesktop.DBus",
                                         "NameOwnerChanged", "/org/freedesktop/DBus", nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, onNameOwnerChanged, service, nullptr);
  }
  if (id == 0) {
    error = std::string("event service: ") + gerror->message;
    g_error_free(gerror);
    return false;
  }
  return true;
}

void EventService::handleMethodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                                    const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                                    gpointer self)
{
  try {
    auto* service = static_cast<EventService*>(self);
    service->drainChannels();
    service->onMethodCall(sender ? sender : "", method, params, invocation);
  } catch (const InvalidRequest& e) {
    returnError(invocation, SimEvents::invalidArgumentError, e.what());
  } catch (const std::exception& e) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", e.what());
  }
}

void EventService::onMethodCall(const std::string& sender, const std::string& method, GVariant* params,
                                GDBusMethodInvocation* invocation)
{
  if (method == "Refusals") {
    returnRefusals(invocation);
  } else if (method == "Declare") {
    declare(sender, params, invocation);
  } else if (method == "Complete") {
    complete(sender, params, invocation);
  } else if (method == "EventChannel") {
    openChannel(sender, invocation);
  } else if (method == "Undeclare") {
    undeclare(sender, params, invocation);
  } else if (method == "ReleaseHandler") {
    releaseHandler(sender, params, invocation);
  } else if (method == "Events") {
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
    for (const std::string& line : records)
      g_variant_builder_add(&list, "s", line.c_str());
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &list));
  } else if (method == "SetDelay") {
    g_variant_get(params, "(i)", &delayMs);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (method == "SetStall") {
    g_variant_get(params, "(i)", &stallMs);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (method == "SetRefuse") {
    setRefuse(params, invocation);
  } else {
    throw InvalidRequest("unknown method " + method);
  }
}

bool EventService::refuse(const std::string& what, const std::string& defaultMessage,
                          GDBusMethodInvocation* invocation)
{
  auto it = refusals.find(what);
  if (it == refusals.end())
    return false;
  returnError(invocation, SimEvents::refusedError, it->second.empty() ? defaultMessage : it->second);
  return true;
}

bool EventService::shareRefusals(std::string& error)
{
  sharedFd = memfd_create("camera-sim-event-refusals", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (sharedFd < 0 || ftruncate(sharedFd, sizeof(SimEvents::SharedRefusals)) != 0) {
    error = std::string("event service: no memory file: ") + g_strerror(errno);
    return false;
  }
  // Clients map it; a file that could shrink under them would crash them.
  fcntl(sharedFd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  void* memory =
      mmap(nullptr, sizeof(SimEvents::SharedRefusals), PROT_READ | PROT_WRITE, MAP_SHARED, sharedFd, 0);
  if (memory == MAP_FAILED) {
    error = std::string("event service: cannot map the memory file: ") + g_strerror(errno);
    return false;
  }
  shared = static_cast<SimEvents::SharedRefusals*>(memory);
  return true;
}

void EventService::returnRefusals(GDBusMethodInvocation* invocation)
{
  GError* gerror = nullptr;
  GUnixFDList* fds = g_unix_fd_list_new();
  gint index = g_unix_fd_list_append(fds, sharedFd, &gerror);
  if (index < 0) {
    returnError(invocation, "org.freedesktop.DBus.Error.Failed", gerror->message);
    g_error_free(gerror);
  } else {
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", index), fds);
  }
  g_object_unref(fds);
}

void EventService::record(const std::string& op, const std::string& sender, guint handler,
                          const std::string& rest)
{
  records.push_back("{\"seq\":" + std::to_string(records.size() + 1) + ",\"op\":\"" + op + "\",\"client\":" +
                    jsonString(sender) + ",\"handler\":" + std::to_string(handler) + rest + "}");
}

EventService::Declaration* EventService::findDeclaration(const std::string& sender, guint handler,
                                                         guint number, GDBusMethodInvocation* invocation)
{
  auto it = declarations.find(number);
  if (it == declarations.end() || it->second.client != sender || it->second.handler != handler) {
    returnError(invocation, SimEvents::notFoundError,
                "declaration " + std::to_string(number) + " not found for this handler");
    return nullptr;
  }
  return &it->second;
}

void EventService::declare(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation)
{
  guint handler = 0;
  gboolean stateless = FALSE;
  GVariant* keys = nullptr;
  g_variant_get(params, "(ub@aa{sv})", &handler, &stateless, &keys);
  std::string json;
  try {
    json = keysJson(keys);
  } catch (...) {
    g_variant_unref(keys);
    throw;
  }
  g_variant_unref(keys);
  if (refuse("declare", "declaration refused by the event system", invocation))
    return;

  guint number = nextDeclaration++;
  if (nextDeclaration == 0)
    nextDeclaration = 1;
  declarations[number] = Declaration{sender, handler, false};
  record("declare", sender, handler,
         ",\"declaration\":" + std::to_string(number) + ",\"stateless\":" + (stateless ? "true" : "false") +
             ",\"delay_ms\":" + std::to_string(delayMs) + ",\"keys\":" + json);
  GVariant* answer = g_variant_new("(ui)", number, delayMs < 0 ? -1 : delayMs);
  if (stallMs <= 0) {
    g_dbus_method_invocation_return_value(invocation, answer);
    return;
  }
  // An event system that is slow to answer: the caller waits, everyone else is served.
  struct Held {
    GDBusMethodInvocation* invocation;
    GVariant* answer;
  };
  auto* held = new Held{invocation, g_variant_ref_sink(answer)};
  g_object_ref(invocation);
  g_timeout_add(
      static_cast<guint>(stallMs),
      [](gpointer data) -> gboolean {
        auto* late = static_cast<Held*>(data);
        g_dbus_method_invocation_return_value(late->invocation, late->answer);
        g_variant_unref(late->answer);
        g_object_unref(late->invocation);
        delete late;
        return G_SOURCE_REMOVE;
      },
      held);
  stallMs = 0;
}

void EventService::complete(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation)
{
  guint handler = 0;
  guint number = 0;
  g_variant_get(params, "(uu)", &handler, &number);
  Declaration* declaration = findDeclaration(sender, handler, number, invocation);
  if (!declaration)
    return;
  if (declaration->complete)
    throw InvalidRequest("declaration " + std::to_string(number) + " is already complete");
  declaration->complete = true;
  record("complete", sender, handler, ",\"declaration\":" + std::to_string(number));
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void EventService::openChannel(const std::string& sender, GDBusMethodInvocation* invocation)
{
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    returnError(invocation, "org.freedesktop.DBus.Error.Failed",
                std::string("no event channel: ") + g_strerror(errno));
    return;
  }
  // Ours never blocks the main loop; the client's blocks a writer while we fall behind.
  g_unix_set_fd_nonblocking(ends[0], TRUE, nullptr);
  GError* gerror = nullptr;
  GUnixFDList* fds = g_unix_fd_list_new();
  const gint index = g_unix_fd_list_append(fds, ends[1], &gerror);
  close(ends[1]);
  if (index < 0) {
    close(ends[0]);
    returnError(invocation, "org.freedesktop.DBus.Error.Failed", gerror->message);
    g_error_free(gerror);
    g_object_unref(fds);
    return;
  }
  Channel& channel = channels[ends[0]];
  channel.client = sender;
  channel.source = g_unix_fd_add(
      ends[0], static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
      [](gint fd, GIOCondition, gpointer self) -> gboolean {
        auto* service = static_cast<EventService*>(self);
        if (service->readChannel(fd))
          return G_SOURCE_CONTINUE;
        // Returning REMOVE drops the source; closeChannel must not remove it again.
        service->channels[fd].source = 0;
        service->closeChannel(fd);
        return G_SOURCE_REMOVE;
      },
      this);
  g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", index), fds);
  g_object_unref(fds);
}

void EventService::closeChannel(int fd)
{
  auto it = channels.find(fd);
  if (it == channels.end())
    return;
  if (it->second.source != 0)
    g_source_remove(it->second.source);
  channels.erase(it);
  close(fd);
}

void EventService::drainChannels()
{
  std::vector<int> ended;
  for (const auto& entry : channels) {
    if (!readChannel(entry.first))
      ended.push_back(entry.first);
  }
  for (int fd : ended)
    closeChannel(fd);
}

bool EventService::readChannel(int fd)
{
  Channel& channel = channels[fd];
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0)
      return false;
    if (got < 0)
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    channel.pending.append(chunk, static_cast<std::size_t>(got));
    std::size_t at = 0;
    while (channel.pending.size() - at >= sizeof(std::uint64_t)) {
      std::uint64_t size = 0;
      std::memcpy(&size, channel.pending.data() + at, sizeof size);
      if (size > SimEvents::maxEventFrame) {
        g_warning("event service: a frame of %llu bytes from %s, closing its channel",
                  static_cast<unsigned long long>(size), channel.client.c_str());
        return false;
      }
      if (channel.pending.size() - at - sizeof size < size)
        break;
      // Copied: the serialised form must be aligned for its type.
      GBytes* bytes = g_bytes_new(channel.pending.data() + at + sizeof size, size);
      GVariant* event =
          g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE("(uusaa{sv})"), bytes, FALSE));
      g_bytes_unref(bytes);
      try {
        recordEvent(channel.client, event);
      } catch (const std::exception& e) {
        g_warning("event service: an event from %s dropped: %s", channel.client.c_str(), e.what());
      }
      g_variant_unref(event);
      at += sizeof size + size;
    }
    channel.pending.erase(0, at);
  }
}

void EventService::recordEvent(const std::string& client, GVariant* event)
{
  guint handler = 0;
  guint number = 0;
  const gchar* stamp = nullptr;
  GVariant* keys = nullptr;
  g_variant_get(event, "(uu&s@aa{sv})", &handler, &number, &stamp, &keys);
  std::string json;
  try {
    json = keysJson(keys);
  } catch (...) {
    g_variant_unref(keys);
    throw;
  }
  g_variant_unref(keys);
  auto it = declarations.find(number);
  if (it == declarations.end() || it->second.client != client || it->second.handler != handler ||
      !it->second.complete)
    throw InvalidRequest("declaration " + std::to_string(number) + " is not a complete one of this handler");
  record("send", client, handler,
         ",\"declaration\":" + std::to_string(number) +
             ",\"time_stamp\":" + (*stamp ? jsonString(stamp) : std::string("null")) + ",\"keys\":" + json);
}

void EventService::undeclare(const std::string& sender, GVariant* params, GDBusMethodInvocation* invocation)
{
  guint handler = 0;
  guint number = 0;
  g_variant_get(params, "(uu)", &handler, &number);
  if (refuse("undeclare", "undeclaration refused by the event system", invocation))
    return;
  if (!findDeclaration(sender, handler, number, invocation))
    return;
  declarations.erase(number);
  record("undeclare", sender, handler, ",\"declaration\":" + std::to_string(number));
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void EventService::releaseHandler(const std::string& sender, GVariant* params,
                                  GDBusMethodInvocation* invocation)
{
  guint handler = 0;
  g_variant_get(params, "(u)", &handler);
  release(sender, handler, "handler freed");
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void EventService::release(const std::string& client, guint handler, const char* reason)
{
  std::string dropped;
  for (auto it = declarations.begin(); it != declarations.end();) {
    if (it->second.client == client && it->second.handler == handler) {
      dropped += (dropped.empty() ? "" : ",") + std::to_string(it->first);
      it = declarations.erase(it);
    } else {
      ++it;
    }
  }
  record("release", client, handler,
         ",\"reason\":" + jsonString(reason) + ",\"declarations\":[" + dropped + "]");
}

void EventService::onNameOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                      const gchar*, GVariant* params, gpointer self)
{
  auto* service = static_cast<EventService*>(self);
  // Its last events come before its departure.
  service->drainChannels();
  const gchar* name = nullptr;
  const gchar* newOwner = nullptr;
  g_variant_get(params, "(&s&s&s)", &name, nullptr, &newOwner);
  if (name[0] != ':' || newOwner[0] != '\0')
    return;
  // A client that ends without freeing its handlers leaves nothing declared behind.
  try {
    std::set<guint> handlers;
    for (const auto& entry : service->declarations) {
      if (entry.second.client == name)
        handlers.insert(entry.second.handler);
    }
    for (guint handler : handlers)
      service->release(name, handler, "client gone");
  } catch (const std::exception& e) {
    g_warning("event service: %s", e.what());
  }
}

void EventService::setRefuse(GVariant* params, GDBusMethodInvocation* invocation)
{
  const gchar* what = nullptr;
  gboolean on = FALSE;
  const gchar* message = nullptr;
  g_variant_get(params, "(&sb&s)", &what, &on, &message);
  const auto& operations = refusableOperations();
  if (std::find(operations.begin(), operations.end(), what) == operations.end())
    throw InvalidRequest(std::string("cannot refuse ") + what +
                         "; one of key, nicenames, mark, declare, send, undeclare");
  if (std::strlen(message) >= SimEvents::SharedRefusals::messageSize)
    throw InvalidRequest("the message is longer than " +
                         std::to_string(SimEvents::SharedRefusals::messageSize - 1) + " bytes");
  static const std::map<std::string, SimEvents::SharedRefusals::Step> sharedSteps = {
      {"key", SimEvents::SharedRefusals::key},
      {"nicenames", SimEvents::SharedRefusals::niceNames},
      {"mark", SimEvents::SharedRefusals::mark},
      {"send", SimEvents::SharedRefusals::send}};
  const auto sharedStep = sharedSteps.find(what);
  if (sharedStep != sharedSteps.end()) {
    const int step = sharedStep->second;
    __atomic_store_n(&shared->sequence, shared->sequence + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    shared->refused[step] = on ? 1 : 0;
    std::strcpy(shared->message[step], on ? message : "");
    __atomic_store_n(&shared->sequence, shared->sequence + 1, __ATOMIC_RELEASE);
  } else if (on) {
    refusals[what] = message;
  } else {
    refusals.erase(what);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

bool registerEventService(GDBusConnection* bus, std::string& error)
{
  return EventService::registerOn(bus, error);
}
