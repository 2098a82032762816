#include "http/ClientConnection.h"

#include "http/ProxyTransfer.h"

ClientConnection::ClientConnection() : ProxyEventSource(Kind::Client) {}

// Here, where a transfer is a complete type.
ClientConnection::~ClientConnection() = default;
