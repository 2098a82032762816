#pragma once

// The event service of camera-sim, interface dev.orvane.CameraSim.Events on SimBus's
// object. Shared by the simulator, its control tool and the event stand-in.
//
// Key-value entries travel as aa{sv}: "key" s, "type" u (AXEventValueType), and when
// present "namespace" s, "value" (i, b, d or s), "key_nice_name" s, "value_nice_name" s,
// "mark" s ("source" or "data").
//
// Check(s what, s key, s namespace)        what: key, nicenames, mark; error when refused
// Declare(u handler, b stateless, aa{sv}) -> (u declaration, i completion delay in ms, <0: never)
// Complete(u handler, u declaration)
// Send(u handler, u declaration, s ISO 8601 time stamp or "", aa{sv})
// Undeclare(u handler, u declaration)
// ReleaseHandler(u handler)                  drops the handler's declarations
// Events() -> (as)                           the recorded traffic, one JSON object each
// SetDelay(i ms)                             completion delay of later declarations
// SetRefuse(s what, b on, s message)         what: key, nicenames, mark, declare, send,
//                                            undeclare; message "" for the default text
namespace SimEvents {

constexpr const char* interfaceName = "dev.orvane.CameraSim.Events";

constexpr const char* refusedError = "dev.orvane.CameraSim.Error.Refused";
constexpr const char* notFoundError = "dev.orvane.CameraSim.Error.NotFound";
constexpr const char* invalidArgumentError = "dev.orvane.CameraSim.Error.InvalidArgument";

} // namespace SimEvents
