#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The event service of camera-sim, interface dev.orvane.CameraSim.Events on SimBus's
// object. Shared by the simulator, its control tool and the event stand-in.
//
// Key-value entries travel as aa{sv}: "key" s, "type" u (AXEventValueType), and when
// present "namespace" s, "value" (i, b, d or s), "key_nice_name" s, "value_nice_name" s,
// "mark" s ("source" or "data").
//
// Refusals() -> (h)                          a read-only memory file of SharedRefusals
// Declare(u handler, b stateless, aa{sv}) -> (u declaration, i completion delay in ms, <0: never)
// Complete(u handler, u declaration)
// EventChannel() -> (h)                      the client's end of a stream socket for events:
//                                            frames of an 8-byte length (host order) and a
//                                            serialised (u handler, u declaration, s ISO 8601
//                                            time stamp or "", aa{sv}), at most maxEventFrame
//                                            bytes. Nothing is answered: the library judges
//                                            refusals and unknown declarations itself. The
//                                            service reads every channel before it handles a
//                                            call or a client leaving, so a call sees the
//                                            events its client wrote before it.
// Undeclare(u handler, u declaration)
// ReleaseHandler(u handler)                  drops the handler's declarations
// Events() -> (as)                           the recorded traffic, one JSON object each
// SetDelay(i ms)                             completion delay of later declarations
// SetStall(i ms)                             the next Declare is answered ms later
// SetRefuse(s what, b on, s message)         what: key, nicenames, mark, declare, send,
//                                            undeclare; message "" for the default text
namespace SimEvents {

constexpr const char* interfaceName = "dev.orvane.CameraSim.Events";

// Largest event frame on a channel; a larger one ends the channel. Above the largest
// WebSocket message, which bounds what an event can carry.
constexpr std::uint32_t maxEventFrame = 4 * 1024 * 1024;

constexpr const char* refusedError = "dev.orvane.CameraSim.Error.Refused";
constexpr const char* notFoundError = "dev.orvane.CameraSim.Error.NotFound";
constexpr const char* invalidArgumentError = "dev.orvane.CameraSim.Error.InvalidArgument";

// Refusals of the steps the library takes without awaiting the service (adding a key, its
// nice names, its mark, sending an event). They live in memory shared with every client, so that checking
// them costs no round trip on each key. The writer keeps sequence odd while it changes the rest; readers
// retry until they see the same even sequence before and after copying.
struct SharedRefusals {
  enum Step { key = 0, niceNames = 1, mark = 2, send = 3, stepCount = 4 };
  static constexpr std::size_t messageSize = 512;

  std::uint32_t sequence;
  std::uint32_t refused[stepCount];
  char message[stepCount][messageSize]; // "" for the default text
};

// The refusal text of a step for a key: the injected message, or the default one.
inline std::string refusalText(SharedRefusals::Step step, const char* message, const std::string& key)
{
  if (message[0] != '\0')
    return message;
  if (step == SharedRefusals::send)
    return "event refused by the event system";
  static const char* const prefixes[] = {"key \"", "nice names of key \"", "mark of key \""};
  return prefixes[step] + key + "\" refused by the event system";
}

} // namespace SimEvents
