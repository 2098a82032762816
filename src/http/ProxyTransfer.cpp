#include "http/ProxyTransfer.h"

#include "http/ProxyLoop.h"

ProxyTransfer::~ProxyTransfer()
{
  if (link != nullptr) {
    // An answer cut midway leaves nothing the connection could be used for again.
    UpstreamConnection* cut = link;
    link = nullptr;
    cut->client = nullptr;
    loop.closeLink(*cut);
  }
  detachCurl();
}

void ProxyTransfer::detachCurl()
{
  if (curlRequest && curlAdded) {
    curl_multi_remove_handle(loop.multi.get(), curlRequest->handle());
  }
  curlAdded = false;
}
