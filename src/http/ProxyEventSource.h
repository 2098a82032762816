#pragma once

// What an epoll event of a proxy loop names: a client connection or a connection to a
// package. Both begin with this, so that the loop can tell them apart from the tag alone.
struct ProxyEventSource {
  enum class Kind { Client, Upstream };
  explicit ProxyEventSource(Kind kind) : kind(kind) {}
  const Kind kind;
};
