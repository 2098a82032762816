#include "http/ProxyFrontEnd.h"

#include "http/ProxyLoop.h"

ProxyFrontEnd::ProxyFrontEnd(std::shared_ptr<PackageController> packages, ConnectionRegistry& connections,
                             HandOff handOff)
    : packages(std::move(packages)), connections(connections), handOff(std::move(handOff))
{
}

ProxyFrontEnd::~ProxyFrontEnd()
{
  stop();
}

bool ProxyFrontEnd::start(int listenSocket, unsigned count)
{
  for (unsigned i = 0; i < count; ++i) {
    loops.push_back(std::make_unique<ProxyLoop>(*this, listenSocket));
    if (!loops.back()->start()) {
      stop();
      return false;
    }
  }
  return true;
}

void ProxyFrontEnd::stop()
{
  loops.clear();
}
