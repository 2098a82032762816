#pragma once

#include "Credentials.h"
#include "FaultInjector.h"
#include "ParamCgi.h"
#include "ParameterStore.h"

#include <microhttpd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The camera's local web server as far as Orvane uses it: /axis-cgi/param.cgi with Basic
// or Digest authentication against the issued service accounts. Requests are served on
// libmicrohttpd's own thread and logged on standard error.
class VapixServer {
public:
  using ChangeListener = std::function<void(const std::vector<ParameterStore::Entry>&)>;

  // `onChange` is called, on the server's thread, with the parameters an update stored.
  VapixServer(ParameterStore& store, Credentials& credentials, FaultInjector& faults,
              ChangeListener onChange);
  ~VapixServer();
  VapixServer(const VapixServer&) = delete;
  VapixServer& operator=(const VapixServer&) = delete;

  // Listens on address:port instead of the earlier listener; false with `error` set,
  // and the earlier listener kept, when the address cannot be bound.
  bool start(const std::string& address, uint16_t port, std::string& error);
  void stop();
  uint16_t port() const { return listeningPort; }

private:
  struct Request;

  static MHD_Result onRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* uploadData, size_t* uploadDataSize,
                              void** state);
  static void onCompleted(void* self, MHD_Connection* connection, void** state,
                          MHD_RequestTerminationCode code);

  MHD_Result answer(MHD_Connection* connection, const std::string& url, const std::string& method,
                    const std::string& body);
  bool authenticated(MHD_Connection* connection, bool& staleNonce) const;

  ParameterStore& store;
  Credentials& credentials;
  FaultInjector& faults;
  ChangeListener onChange;
  MHD_Daemon* daemon = nullptr;
  uint16_t listeningPort = 0;
  std::vector<unsigned char> nonceSeed;
};
