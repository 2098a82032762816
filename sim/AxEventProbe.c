/* Drives the event library against camera-sim for the integration tests. Each scenario
 * prints what it saw and exits non-zero at the first thing that is not as it must be.
 *
 *   axevent-probe flow               declare from a worker thread, complete on the main
 *                                    thread, send, undeclare, free
 *   axevent-probe timing EARLY LATE  declare; no completion within EARLY ms; prints
 *                                    "completed" or, when none came within LATE ms, "never"
 *   axevent-probe concurrent T N     T threads with a handler each declare N times
 *   axevent-probe abandon            declare, wait for the completion, print its number and
 *                                    exit without freeing the handler
 *   axevent-probe refusal WHAT       the first failing step must be WHAT (key, nicenames,
 *                                    mark, declare, send, undeclare); prints its message */
#include <axsdk/axevent.h>

#include <glib.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  guint number;
  gint completions;
  gboolean onMainThread;
} Tracked;

static GThread* mainThread;

static void require(gboolean condition, const char* format, ...)
{
  if (condition)
    return;
  va_list args;
  va_start(args, format);
  fprintf(stderr, "axevent-probe: ");
  vfprintf(stderr, format, args);
  fprintf(stderr, "\n");
  va_end(args);
  exit(1);
}

static void requireOk(gboolean ok, GError** error, const char* step)
{
  require(ok && !*error, "%s failed: %s", step, *error ? (*error)->message : "no error text");
}

static void onComplete(guint declaration, gpointer userData)
{
  Tracked* tracked = userData;
  require(declaration == tracked->number, "completion of %u delivered for declaration %u", declaration,
          tracked->number);
  tracked->completions++;
  tracked->onMainThread = g_thread_self() == mainThread;
}

static gboolean quitLoop(gpointer loop)
{
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

/* Iterates the default main context until every tracked declaration has completed or
 * timeoutMs has passed. */
static void runUntilComplete(Tracked* tracked, int count, int timeoutMs)
{
  gint64 deadline = g_get_monotonic_time() + (gint64)timeoutMs * 1000;
  for (;;) {
    int done = 0;
    for (int i = 0; i < count; i++)
      done += tracked[i].completions > 0;
    if (done == count || g_get_monotonic_time() >= deadline)
      return;
    g_main_context_iteration(NULL, FALSE);
    g_usleep(1000);
  }
}

static void runFor(int ms)
{
  GMainLoop* loop = g_main_loop_new(NULL, FALSE);
  g_timeout_add(ms, quitLoop, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
}

static void addKey(AXEventKeyValueSet* set, const char* key, const char* nameSpace, gconstpointer value,
                   AXEventValueType type)
{
  GError* error = NULL;
  requireOk(ax_event_key_value_set_add_key_value(set, key, nameSpace, value, type, &error), &error,
            "add key value");
}

typedef struct {
  AXEventHandler* handler;
  Tracked* tracked;
  gboolean declared;
  char* earlySendError;
} FlowDeclaration;

static gpointer declareFromWorker(gpointer data)
{
  FlowDeclaration* flow = data;
  GError* error = NULL;
  AXEventKeyValueSet* set = ax_event_key_value_set_new();
  gint port = 1;
  gboolean active = TRUE;
  gdouble level = 0.25;
  addKey(set, "Port", "tns1", &port, AX_VALUE_TYPE_INT);
  addKey(set, "Active", "tnsaxis", &active, AX_VALUE_TYPE_BOOL);
  addKey(set, "Level", NULL, &level, AX_VALUE_TYPE_DOUBLE);
  addKey(set, "Label", "tnsaxis", "a \"quoted\" \\ label", AX_VALUE_TYPE_STRING);
  active = FALSE; /* the set holds its own copy of each value */
  requireOk(ax_event_key_value_set_add_nice_names(set, "Port", "tns1", "Port", NULL, &error), &error,
            "nice names of Port");
  requireOk(ax_event_key_value_set_add_nice_names(set, "Active", "tnsaxis", "Active", "Yes", &error), &error,
            "nice names of Active");
  requireOk(ax_event_key_value_set_add_nice_names(set, "Label", "tnsaxis", NULL, "Label value", &error),
            &error, "nice names of Label");
  requireOk(ax_event_key_value_set_mark_as_source(set, "Port", "tns1", &error), &error, "mark Port");
  requireOk(ax_event_key_value_set_mark_as_data(set, "Active", "tnsaxis", &error), &error, "mark Active");

  /* A key is told apart by its namespace too. */
  require(!ax_event_key_value_set_mark_as_data(set, "Active", NULL, &error) && error,
          "marking a key that is not in the set succeeded");
  g_clear_error(&error);

  flow->tracked->number = 0;
  requireOk(ax_event_handler_declare(flow->handler, set, FALSE, &flow->tracked->number, onComplete,
                                     flow->tracked, &error),
            &error, "declare");
  require(flow->tracked->number != 0, "declare wrote no declaration number");
  flow->declared = TRUE;

  /* Nothing iterates the main context while this thread runs: not complete yet. */
  AXEvent* event = ax_event_new2(set, NULL);
  ax_event_key_value_set_free(set);
  require(!ax_event_handler_send_event(flow->handler, flow->tracked->number, event, &error) && error,
          "an event was sent before its declaration completed");
  flow->earlySendError = g_strdup(error->message);
  g_clear_error(&error);
  ax_event_free(event);
  return NULL;
}

static int flowScenario(void)
{
  Tracked tracked = {0};
  FlowDeclaration flow = {ax_event_handler_new(), &tracked, FALSE, NULL};
  g_thread_join(g_thread_new("declare", declareFromWorker, &flow));
  require(flow.declared && tracked.completions == 0, "completion ran before the main context was iterated");
  printf("early send refused: %s\n", flow.earlySendError);
  g_free(flow.earlySendError);

  runUntilComplete(&tracked, 1, 10000);
  require(tracked.completions == 1, "declaration %u did not complete", tracked.number);
  require(tracked.onMainThread, "the completion ran on another thread than the main one");
  runFor(100);
  require(tracked.completions == 1, "declaration %u completed %d times", tracked.number, tracked.completions);
  printf("declaration %u completed on the main thread\n", tracked.number);

  GError* error = NULL;
  AXEventKeyValueSet* set = ax_event_key_value_set_new();
  gint port = 7;
  gint other = 8;
  addKey(set, "Port", "tns1", &port, AX_VALUE_TYPE_INT);
  addKey(set, "Port", "tns1", &other, AX_VALUE_TYPE_INT); /* replaces the value */
  addKey(set, "Label", "tnsaxis", "line\nbreak", AX_VALUE_TYPE_STRING);
  GDateTime* stamp = g_date_time_new_utc(2026, 1, 2, 3, 4, 5);
  AXEvent* event = ax_event_new2(set, stamp);
  g_date_time_unref(stamp);
  ax_event_key_value_set_free(set);
  requireOk(ax_event_handler_send_event(flow.handler, tracked.number, event, &error), &error, "send");
  ax_event_free(event);

  AXEventHandler* stranger = ax_event_handler_new();
  require(!ax_event_handler_undeclare(stranger, tracked.number, &error) && error,
          "another handler withdrew the declaration");
  g_clear_error(&error);
  ax_event_handler_free(stranger);

  requireOk(ax_event_handler_undeclare(flow.handler, tracked.number, &error), &error, "undeclare");
  require(!ax_event_handler_undeclare(flow.handler, tracked.number, &error) && error,
          "a declaration was withdrawn twice");
  printf("second undeclare refused: %s\n", error->message);
  g_clear_error(&error);
  ax_event_handler_free(flow.handler);
  return 0;
}

static int timingScenario(int earlyMs, int lateMs)
{
  AXEventHandler* handler = ax_event_handler_new();
  Tracked tracked = {0};
  GError* error = NULL;
  AXEventKeyValueSet* set = ax_event_key_value_set_new();
  requireOk(ax_event_handler_declare(handler, set, TRUE, &tracked.number, onComplete, &tracked, &error),
            &error, "declare");
  ax_event_key_value_set_free(set);
  runFor(earlyMs);
  require(tracked.completions == 0, "declaration completed within %d ms", earlyMs);
  runUntilComplete(&tracked, 1, lateMs - earlyMs);
  printf("%s\n", tracked.completions ? "completed" : "never");
  ax_event_handler_free(handler);
  return 0;
}

typedef struct {
  int count;
  Tracked* tracked;
  AXEventHandler* handler;
} Batch;

static gpointer declareBatch(gpointer data)
{
  Batch* batch = data;
  for (int i = 0; i < batch->count; i++) {
    GError* error = NULL;
    AXEventKeyValueSet* set = ax_event_key_value_set_new();
    addKey(set, "Index", NULL, &i, AX_VALUE_TYPE_INT);
    requireOk(ax_event_handler_declare(batch->handler, set, TRUE, &batch->tracked[i].number, onComplete,
                                       &batch->tracked[i], &error),
              &error, "declare");
    ax_event_key_value_set_free(set);
  }
  return NULL;
}

static int concurrentScenario(int threads, int perThread)
{
  Tracked* tracked = g_new0(Tracked, threads * perThread);
  Batch* batches = g_new0(Batch, threads);
  GThread** workers = g_new0(GThread*, threads);
  for (int t = 0; t < threads; t++) {
    batches[t] = (Batch){perThread, tracked + t * perThread, ax_event_handler_new()};
    workers[t] = g_thread_new("declare", declareBatch, &batches[t]);
  }
  /* Completions arrive while the workers are still declaring. */
  runUntilComplete(tracked, threads * perThread, 20000);
  for (int t = 0; t < threads; t++)
    g_thread_join(workers[t]);
  runUntilComplete(tracked, threads * perThread, 20000);
  runFor(100);
  GHashTable* seen = g_hash_table_new(NULL, NULL);
  for (int i = 0; i < threads * perThread; i++) {
    require(tracked[i].completions == 1, "declaration %u completed %d times", tracked[i].number,
            tracked[i].completions);
    require(tracked[i].onMainThread, "declaration %u completed off the main thread", tracked[i].number);
    require(g_hash_table_add(seen, GUINT_TO_POINTER(tracked[i].number)), "declaration number %u given twice",
            tracked[i].number);
  }
  printf("%u declarations completed once each\n", g_hash_table_size(seen));
  g_hash_table_destroy(seen);
  for (int t = 0; t < threads; t++)
    ax_event_handler_free(batches[t].handler);
  g_free(workers);
  g_free(batches);
  g_free(tracked);
  return 0;
}

static int abandonScenario(void)
{
  Tracked tracked = {0};
  GError* error = NULL;
  AXEventKeyValueSet* set = ax_event_key_value_set_new();
  requireOk(ax_event_handler_declare(ax_event_handler_new(), set, TRUE, &tracked.number, onComplete, &tracked,
                                     &error),
            &error, "declare");
  ax_event_key_value_set_free(set);
  runUntilComplete(&tracked, 1, 10000);
  require(tracked.completions == 1, "declaration did not complete");
  printf("%u\n", tracked.number);
  return 0;
}

/* Reports a step's outcome: a failure must be the expected one, and ends the scenario. */
static gboolean stepFailed(const char* step, const char* expected, gboolean ok, GError** error)
{
  if (ok)
    return FALSE;
  require(strcmp(step, expected) == 0, "%s failed instead of %s: %s", step, expected,
          *error ? (*error)->message : "no error text");
  require(*error && *(*error)->message, "%s failed without an error text", step);
  printf("%s: %s\n", step, (*error)->message);
  g_clear_error(error);
  return TRUE;
}

static int refusalScenario(const char* expected)
{
  AXEventHandler* handler = ax_event_handler_new();
  AXEventKeyValueSet* set = ax_event_key_value_set_new();
  Tracked tracked = {0};
  GError* error = NULL;
  gint value = 3;
  gboolean refused =
      stepFailed("key", expected,
                 ax_event_key_value_set_add_key_value(set, "Key", "ns", &value, AX_VALUE_TYPE_INT, &error),
                 &error) ||
      stepFailed("nicenames", expected,
                 ax_event_key_value_set_add_nice_names(set, "Key", "ns", "Nice", NULL, &error), &error) ||
      stepFailed("mark", expected, ax_event_key_value_set_mark_as_source(set, "Key", "ns", &error), &error) ||
      stepFailed("declare", expected,
                 ax_event_handler_declare(handler, set, FALSE, &tracked.number, onComplete, &tracked, &error),
                 &error);
  if (!refused) {
    runUntilComplete(&tracked, 1, 10000);
    require(tracked.completions == 1, "declaration did not complete");
    AXEvent* event = ax_event_new2(set, NULL);
    refused = stepFailed("send", expected,
                         ax_event_handler_send_event(handler, tracked.number, event, &error), &error) ||
              stepFailed("undeclare", expected, ax_event_handler_undeclare(handler, tracked.number, &error),
                         &error);
    ax_event_free(event);
  }
  ax_event_key_value_set_free(set);
  ax_event_handler_free(handler);
  require(refused, "nothing was refused");
  return 0;
}

int main(int argc, char** argv)
{
  mainThread = g_thread_self();
  if (argc == 2 && strcmp(argv[1], "flow") == 0)
    return flowScenario();
  if (argc == 4 && strcmp(argv[1], "timing") == 0)
    return timingScenario(atoi(argv[2]), atoi(argv[3]));
  if (argc == 4 && strcmp(argv[1], "concurrent") == 0)
    return concurrentScenario(atoi(argv[2]), atoi(argv[3]));
  if (argc == 2 && strcmp(argv[1], "abandon") == 0)
    return abandonScenario();
  if (argc == 3 && strcmp(argv[1], "refusal") == 0)
    return refusalScenario(argv[2]);
  fprintf(
      stderr,
      "usage: axevent-probe flow | timing EARLY LATE | concurrent THREADS COUNT | abandon | refusal WHAT\n");
  return 2;
}
