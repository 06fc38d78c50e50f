/* A small front-end written against include/netrove/netrove.h alone: it
 * loads libnetrove.so with dlopen, shows a connection's settings, runs the
 * program on the library's task "AA", prints the status and statistics
 * records while the session runs, asks it to stop through ControlRequest
 * and waits until the task has ended.
 *
 *   example-frontend <library directory> <connection> [seconds on-line]
 *
 * Exit code 0 when the session came on-line and stopped when asked. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "netrove/netrove.h"

static void* library;
static NetroveMessageRoutine own_routine;

static void* Need(const char* symbol) {
  void* f = dlsym(library, symbol);
  if (f == NULL) {
    fprintf(stderr, "example-frontend: %s is missing\n", symbol);
    exit(2);
  }
  return f;
}

static void ToText(const char* s, unsigned char* text) {
  size_t n = strlen(s);
  if (n > 255) n = 255;
  text[0] = (unsigned char)n;
  memcpy(text + 1, s, n);
}

static void Print(const char* label, const unsigned char* text) {
  printf("%s%.*s\n", label, (int)text[0], (const char*)text + 1);
}

/* Every log line of the program passes here; the program's own routine
 * then writes it to the log file as well. */
static void ShowLogLine(const unsigned char* text, unsigned char* result) {
  Print("log: ", text);
  fflush(stdout);
  own_routine(text, result);
}

static void Sleep(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: example-frontend <library directory> <connection> [seconds]\n");
    return 2;
  }
  int online_seconds = argc > 3 ? atoi(argv[3]) : 2;
  char path[4096];
  snprintf(path, sizeof path, "%s/libnetrove.so", argv[1]);
  library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "example-frontend: %s\n", dlerror());
    return 2;
  }
  netrove_load_settings_fn load = (netrove_load_settings_fn)Need(NETROVE_LOAD_SETTINGS_SYMBOL);
  netrove_chain_node_fn node = (netrove_chain_node_fn)Need(NETROVE_CHAIN_NODE_SYMBOL);
  netrove_chain_free_fn chain_free = (netrove_chain_free_fn)Need(NETROVE_CHAIN_FREE_SYMBOL);
  netrove_set_message_routine_fn set_routine =
      (netrove_set_message_routine_fn)Need(NETROVE_SET_MESSAGE_ROUTINE_SYMBOL);
  netrove_get_message_routine_fn get_routine =
      (netrove_get_message_routine_fn)Need(NETROVE_GET_MESSAGE_ROUTINE_SYMBOL);
  netrove_start_fn start = (netrove_start_fn)Need(NETROVE_START_SYMBOL);
  netrove_status_fn status = (netrove_status_fn)Need(NETROVE_STATUS_SYMBOL);
  netrove_statistics_fn statistics = (netrove_statistics_fn)Need(NETROVE_STATISTICS_SYMBOL);
  netrove_time_text_fn time_text = (netrove_time_text_fn)Need(NETROVE_TIME_TEXT_SYMBOL);
  netrove_set_request_fn set_request = (netrove_set_request_fn)Need(NETROVE_SET_REQUEST_SYMBOL);
  netrove_stopped_fn stopped = (netrove_stopped_fn)Need(NETROVE_STOPPED_SYMBOL);

  /* The settings. */
  static FrontEndSettings settings;
  unsigned char name[NETROVE_TEXT_SIZE];
  ToText(argv[2], name);
  if (!load(name, &settings)) {
    printf("settings: connection %s not found\n", argv[2]);
    return 1;
  }
  Print("settings: entry ", settings.entry_name);
  Print("settings: user ", settings.user);
  printf("settings: password of %d characters\n", settings.password_mask[0]);
  printf("settings: dial time %u, redial %s\n", settings.dial_time,
         settings.redial ? "yes" : "no");
  const TextChain* n = &settings.add_phone;
  while (n != NULL && n->text[0] != 0) {
    Print("settings: add phone ", n->text);
    n = n->next != 0 ? node(n->next) : NULL;
  }
  chain_free(&settings.add_phone);

  /* The session. */
  get_routine(&own_routine);
  set_routine(ShowLogLine);
  unsigned char argument[NETROVE_TEXT_SIZE];
  ToText("", argument);
  start(name, argument, 0);
  int online_polls = 0, asked = 0;
  for (int poll = 0; poll < 240 && !asked; ++poll) { /* 60 s at most */
    FrontEndStatus st;
    FrontEndStatistics stats;
    unsigned char online[NETROVE_TEXT_SIZE];
    status(&st);
    statistics(&stats);
    time_text(stats.day_seconds, online);
    printf("status: %.*s | %.*s | link %u | today %.*s | received %u\n", st.entry_name[0],
           (const char*)st.entry_name + 1, st.status_text[0], (const char*)st.status_text + 1,
           stats.link_mode, online[0], (const char*)online + 1, stats.received_total);
    fflush(stdout);
    if (stats.link_mode == 1 && ++online_polls >= online_seconds * 4) {
      printf("request: stop\n");
      set_request(1);
      asked = 1;
    }
    Sleep(250);
  }
  if (!asked) {
    printf("the session never came on-line\n");
    set_request(1);
  }
  for (int poll = 0; poll < 120; ++poll) { /* 30 s at most */
    if (stopped()) {
      printf("stopped\n");
      return asked ? 0 : 1;
    }
    Sleep(250);
  }
  printf("the session did not stop\n");
  return 1;
}
