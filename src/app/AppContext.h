#pragma once

#include <memory>
#include <string>

class VapixAccess;
class ParamsManager2;
class Camera;
class PackageController;
class HttpServer;
class WsServer;

// The process-wide registry of the shared services. Each field is assigned once on the
// main thread during start-up, before the threads that read it exist.
struct AppContext {
  static AppContext& instance();

  AppContext() = default;
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;
  // Stops the WebSocket server, then the HTTP server, then releases the controller and
  // the remaining services in reverse order.
  ~AppContext();

  std::string version;
  std::shared_ptr<VapixAccess> vapixAccess;
  std::shared_ptr<ParamsManager2> paramsManager;
  std::shared_ptr<Camera> camera;
  std::shared_ptr<PackageController> packageController;
  std::unique_ptr<HttpServer> httpServer;
  std::unique_ptr<WsServer> wsServer;
};
