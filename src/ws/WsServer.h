#pragma once

// Placeholder until the WebSocket server lands.
class WsServer {};
