/* A minimal libwebsockets server that answers every text message with the same text: the
 * floor the WebSocket benchmark compares Orvane against. One service thread, loopback only,
 * one queued answer per connection at a time (the benchmark client waits for each answer).
 *
 *   lws_echo_server PORT        (ends on SIGTERM or SIGINT)
 */
#include <libwebsockets.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>

struct session {
  unsigned char* message; /* LWS_PRE bytes of headroom, then the message */
  size_t length;
  size_t capacity;
  int pending;
};

static volatile sig_atomic_t stopping;

static void onSignal(int signal)
{
  (void)signal;
  stopping = 1;
}

static int echoCallback(struct lws* wsi, enum lws_callback_reasons reason, void* user, void* in, size_t len)
{
  struct session* session = (struct session*)user;
  switch (reason) {
  case LWS_CALLBACK_RECEIVE: {
    if (session->pending == 0)
      session->length = 0;
    size_t needed = LWS_PRE + session->length + len;
    if (needed > session->capacity) {
      unsigned char* grown = realloc(session->message, needed);
      if (grown == NULL)
        return -1;
      session->message = grown;
      session->capacity = needed;
    }
    memcpy(session->message + LWS_PRE + session->length, in, len);
    session->length += len;
    session->pending = 1;
    if (lws_is_final_fragment(wsi))
      lws_callback_on_writable(wsi);
    return 0;
  }
  case LWS_CALLBACK_SERVER_WRITEABLE:
    if (session->pending == 0)
      return 0;
    session->pending = 0;
    if (lws_write(wsi, session->message + LWS_PRE, session->length, LWS_WRITE_TEXT) < (int)session->length)
      return -1;
    return 0;
  case LWS_CALLBACK_CLOSED:
    free(session->message);
    session->message = NULL;
    return 0;
  default:
    return 0;
  }
}

static const struct lws_protocols protocols[] = {
    {"echo", echoCallback, sizeof(struct session), 65536, 0, NULL, 0},
    {NULL, NULL, 0, 0, 0, NULL, 0},
};

int main(int argc, char** argv)
{
  if (argc != 2) {
    lwsl_err("usage: lws_echo_server PORT\n");
    return 2;
  }
  lws_set_log_level(LLL_ERR, NULL);
  struct lws_context_creation_info info;
  memset(&info, 0, sizeof(info));
  info.port = atoi(argv[1]);
  info.iface = "lo";
  info.protocols = protocols;
  info.gid = -1;
  info.uid = -1;
  struct lws_context* context = lws_create_context(&info);
  if (context == NULL)
    return 1;
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  while (!stopping && lws_service(context, 0) >= 0) {
  }
  lws_context_destroy(context);
  return 0;
}
