#pragma once

// Placeholder until the HTTP API server lands.
class HttpServer {};
