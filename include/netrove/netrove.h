/* Exports of libnetrove.so, with their ordinals: everything a front-end
 * needs, in C. Each export is a C symbol named after its ordinal ("0x01",
 * "0x02", ... "0x37"; ordinal 13 is "AutoDial", ordinal 34 "WEX"), found
 * with dlsym(); the ..._SYMBOL macros give the names and the ..._fn
 * typedefs the signatures.
 *
 * A text is length-prefixed: one length byte, then up to 255 characters
 * (a 256-byte field). Records are packed byte layouts; their sizes and
 * offsets are checked below.
 *
 * A list of texts travels as a chain of 260-byte TextChain nodes: a text,
 * then a 32-bit handle of the next node (0: none). The first node is the
 * caller's (inside a record); further nodes belong to the library, which
 * hands out their handles. NetroveChainNode turns a handle into the node;
 * NetroveChainFree gives back every node after a head. Filling a chain
 * overwrites the head without freeing what hung from it: free a chain
 * before it is filled again. An empty first node is an empty list. */
#ifndef NETROVE_NETROVE_H_
#define NETROVE_NETROVE_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define NETROVE_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define NETROVE_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define NETROVE_INTERFACE_NUMBER 23
#define NETROVE_TEXT_SIZE 256

typedef unsigned char NetroveText[NETROVE_TEXT_SIZE];

#pragma pack(push, 1)

typedef struct TextChain {
  NetroveText text;
  uint32_t next; /* handle of the next node, 0 at the end */
} TextChain;

/* The settings of one connection section (and the common settings). */
typedef struct FrontEndSettings {
  NetroveText section;       /* connection (section) name */
  NetroveText entry_name;    /* CONNECTION */
  NetroveText user;          /* USER */
  NetroveText password_mask; /* see below */
  NetroveText phone;         /* PHONE, or the entry's stored number */
  NetroveText domain;        /* DOMAIN */
  NetroveText check_url;     /* CHECKURL */
  uint16_t check_url_time;   /* CHECKURLTIME */
  NetroveText log_file;      /* LOGFILE */
  uint8_t auto_hide;         /* AUTOHIDE */
  uint8_t redial;            /* REDIAL */
  NetroveText dial_prefix;   /* DIALPREFIX */
  uint16_t dial_time;        /* DIALTIME */
  uint16_t max_retry;        /* MAXRETRY */
  uint16_t wait_time;        /* WAITTIME */
  uint16_t sleep_time;       /* SLEEPTIME */
  TextChain add_phone;       /* ADDPHONE entries */
  TextChain off_phone;       /* OFFPHONE entries */
  TextChain event_id;        /* EVENTID lines, normalised */
  NetroveText break_flag;    /* BREAKFLAG */
  NetroveText sleep_flag;    /* SLEEPFLAG */
  NetroveText connect_flag;  /* CONNECTFLAG */
  NetroveText dial_flag;     /* DIALFLAG */
  uint8_t break_if_found;    /* BREAKIFFOUND */
  TextChain break_times;     /* BREAK values */
  TextChain execute_flag;    /* EXECUTEFLAG lines: flag file, command */
  TextChain execute_start;   /* EXECUTESTART commands */
  TextChain execute_end;     /* EXECUTEEND commands */
  TextChain execute;         /* EXECUTE commands */
  TextChain execute_at;      /* EXECUTEAT lines: time, command */
  TextChain cost;            /* COST entries */
  int32_t day_time_limit;    /* DAYTIMELIMIT, seconds */
  int32_t week_time_limit;   /* WEEKTIMELIMIT, seconds */
  int32_t month_time_limit;  /* MONTHTIMELIMIT, seconds */
  NetroveText proxy;         /* PROXY */
  NetroveText pop3;          /* POP3 */
  NetroveText smtp;          /* SMTP */
  NetroveText nntp;          /* NNTP */
  uint16_t ftp;              /* FTP */
  uint16_t socks4;           /* SOCKS4 */
  NetroveText port_dog;      /* PORTDOG */
  uint16_t cache_dns_day;    /* CACHEDNSDAY */
  uint32_t net_stop_time;    /* NETSTOPTIME */
  uint32_t net_sleep_time;   /* NETSLEEPTIME */
  TextChain map_link;        /* MAPLINK entries */
  uint8_t hide_proxy, hide_pop3, hide_smtp, hide_nntp, hide_ftp, hide_socks4;
  uint8_t hide_port;     /* HIDEPORT */
  uint16_t netrove_port; /* NETROVEPORT */
} FrontEndSettings;

/* The password mask: one character per password character. A character
 * below 32 keeps a stored password character: code 1 stands for the
 * characters at positions 0, 31, 62, ..., code 2 for 1, 32, 63, ... (the
 * codes run 1 to 31 and start again), each taken at the first such
 * position after the previous kept one. Every other character is a new
 * password character. A mask of only codes below 32 keeps the password
 * whatever its length; an empty mask clears it. The time limits travel in
 * seconds; written back, the number goes to the file as it is (minutes
 * there), so a front-end that edits them converts. */
#define NETROVE_PASSWORD_MASK_CYCLE 31

typedef struct FrontEndStatus {
  NetroveText entry_name;
  NetroveText status_text;
  NetroveText local_address_text;
} FrontEndStatus;

typedef struct FrontEndStatistics {
  uint32_t day_seconds, week_seconds, month_seconds; /* on-line time */
  double day_cost, week_cost, month_cost;
  uint32_t received_total, sent_total;
  uint32_t receive_rate, send_rate, receive_rate_again, average_receive_rate;
  uint32_t proxy_cache_bytes; /* served by the proxy from its cache */
  uint32_t proxy_net_bytes;   /* fetched by the proxy from the network */
  uint8_t link_mode;          /* 0 idle, 1 on-line, 2 dialing, 3 waiting */
} FrontEndStatistics;

#pragma pack(pop)

#define NETROVE_CHECK_OFFSET(type, field, at) \
  NETROVE_STATIC_ASSERT(offsetof(type, field) == (at), #type "." #field " at " #at)
NETROVE_STATIC_ASSERT(sizeof(TextChain) == 260, "TextChain is 260 bytes");
NETROVE_STATIC_ASSERT(sizeof(FrontEndSettings) == 7516, "FrontEndSettings is 7516 bytes");
NETROVE_STATIC_ASSERT(sizeof(FrontEndStatus) == 768, "FrontEndStatus is 768 bytes");
NETROVE_STATIC_ASSERT(sizeof(FrontEndStatistics) == 69, "FrontEndStatistics is 69 bytes");
NETROVE_CHECK_OFFSET(TextChain, next, 256);
NETROVE_CHECK_OFFSET(FrontEndSettings, section, 0);
NETROVE_CHECK_OFFSET(FrontEndSettings, entry_name, 256);
NETROVE_CHECK_OFFSET(FrontEndSettings, user, 512);
NETROVE_CHECK_OFFSET(FrontEndSettings, password_mask, 768);
NETROVE_CHECK_OFFSET(FrontEndSettings, phone, 1024);
NETROVE_CHECK_OFFSET(FrontEndSettings, domain, 1280);
NETROVE_CHECK_OFFSET(FrontEndSettings, check_url, 1536);
NETROVE_CHECK_OFFSET(FrontEndSettings, check_url_time, 1792);
NETROVE_CHECK_OFFSET(FrontEndSettings, log_file, 1794);
NETROVE_CHECK_OFFSET(FrontEndSettings, auto_hide, 2050);
NETROVE_CHECK_OFFSET(FrontEndSettings, redial, 2051);
NETROVE_CHECK_OFFSET(FrontEndSettings, dial_prefix, 2052);
NETROVE_CHECK_OFFSET(FrontEndSettings, dial_time, 2308);
NETROVE_CHECK_OFFSET(FrontEndSettings, max_retry, 2310);
NETROVE_CHECK_OFFSET(FrontEndSettings, wait_time, 2312);
NETROVE_CHECK_OFFSET(FrontEndSettings, sleep_time, 2314);
NETROVE_CHECK_OFFSET(FrontEndSettings, add_phone, 2316);
NETROVE_CHECK_OFFSET(FrontEndSettings, off_phone, 2576);
NETROVE_CHECK_OFFSET(FrontEndSettings, event_id, 2836);
NETROVE_CHECK_OFFSET(FrontEndSettings, break_flag, 3096);
NETROVE_CHECK_OFFSET(FrontEndSettings, sleep_flag, 3352);
NETROVE_CHECK_OFFSET(FrontEndSettings, connect_flag, 3608);
NETROVE_CHECK_OFFSET(FrontEndSettings, dial_flag, 3864);
NETROVE_CHECK_OFFSET(FrontEndSettings, break_if_found, 4120);
NETROVE_CHECK_OFFSET(FrontEndSettings, break_times, 4121);
NETROVE_CHECK_OFFSET(FrontEndSettings, execute_flag, 4381);
NETROVE_CHECK_OFFSET(FrontEndSettings, execute_start, 4641);
NETROVE_CHECK_OFFSET(FrontEndSettings, execute_end, 4901);
NETROVE_CHECK_OFFSET(FrontEndSettings, execute, 5161);
NETROVE_CHECK_OFFSET(FrontEndSettings, execute_at, 5421);
NETROVE_CHECK_OFFSET(FrontEndSettings, cost, 5681);
NETROVE_CHECK_OFFSET(FrontEndSettings, day_time_limit, 5941);
NETROVE_CHECK_OFFSET(FrontEndSettings, week_time_limit, 5945);
NETROVE_CHECK_OFFSET(FrontEndSettings, month_time_limit, 5949);
NETROVE_CHECK_OFFSET(FrontEndSettings, proxy, 5953);
NETROVE_CHECK_OFFSET(FrontEndSettings, pop3, 6209);
NETROVE_CHECK_OFFSET(FrontEndSettings, smtp, 6465);
NETROVE_CHECK_OFFSET(FrontEndSettings, nntp, 6721);
NETROVE_CHECK_OFFSET(FrontEndSettings, ftp, 6977);
NETROVE_CHECK_OFFSET(FrontEndSettings, socks4, 6979);
NETROVE_CHECK_OFFSET(FrontEndSettings, port_dog, 6981);
NETROVE_CHECK_OFFSET(FrontEndSettings, cache_dns_day, 7237);
NETROVE_CHECK_OFFSET(FrontEndSettings, net_stop_time, 7239);
NETROVE_CHECK_OFFSET(FrontEndSettings, net_sleep_time, 7243);
NETROVE_CHECK_OFFSET(FrontEndSettings, map_link, 7247);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_proxy, 7507);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_pop3, 7508);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_smtp, 7509);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_nntp, 7510);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_ftp, 7511);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_socks4, 7512);
NETROVE_CHECK_OFFSET(FrontEndSettings, hide_port, 7513);
NETROVE_CHECK_OFFSET(FrontEndSettings, netrove_port, 7514);
NETROVE_CHECK_OFFSET(FrontEndStatus, entry_name, 0);
NETROVE_CHECK_OFFSET(FrontEndStatus, status_text, 256);
NETROVE_CHECK_OFFSET(FrontEndStatus, local_address_text, 512);
NETROVE_CHECK_OFFSET(FrontEndStatistics, day_seconds, 0);
NETROVE_CHECK_OFFSET(FrontEndStatistics, week_seconds, 4);
NETROVE_CHECK_OFFSET(FrontEndStatistics, month_seconds, 8);
NETROVE_CHECK_OFFSET(FrontEndStatistics, day_cost, 12);
NETROVE_CHECK_OFFSET(FrontEndStatistics, week_cost, 20);
NETROVE_CHECK_OFFSET(FrontEndStatistics, month_cost, 28);
NETROVE_CHECK_OFFSET(FrontEndStatistics, received_total, 36);
NETROVE_CHECK_OFFSET(FrontEndStatistics, sent_total, 40);
NETROVE_CHECK_OFFSET(FrontEndStatistics, receive_rate, 44);
NETROVE_CHECK_OFFSET(FrontEndStatistics, send_rate, 48);
NETROVE_CHECK_OFFSET(FrontEndStatistics, receive_rate_again, 52);
NETROVE_CHECK_OFFSET(FrontEndStatistics, average_receive_rate, 56);
NETROVE_CHECK_OFFSET(FrontEndStatistics, proxy_cache_bytes, 60);
NETROVE_CHECK_OFFSET(FrontEndStatistics, proxy_net_bytes, 64);
NETROVE_CHECK_OFFSET(FrontEndStatistics, link_mode, 68);

/* The message routine: gets every log line as a text and returns a text
 * in `result` (256 bytes). */
typedef void (*NetroveMessageRoutine)(const unsigned char* text, unsigned char* result);

/* Ordinal 1, "0x01": the main entry. Runs the command form named by the
 * two words and returns when the session ends (one-shot forms end the
 * process). `interface_number` must be 23. */
typedef void (*netrove_main_fn)(const unsigned char* connection, const unsigned char* argument,
                                uint16_t interface_number, uint8_t start_asleep);
#define NETROVE_MAIN_SYMBOL "0x01"

/* The settings file netrove.dat in the program directory. */
/* 2: number of section headers (lines starting "[" that contain "]"). */
typedef int32_t (*netrove_count_sections_fn)(void);
#define NETROVE_COUNT_SECTIONS_SYMBOL "0x02"
/* 3: the section names into the chain; returns their count. */
typedef int32_t (*netrove_section_names_fn)(TextChain* chain);
#define NETROVE_SECTION_NAMES_SYMBOL "0x03"
/* 4: loads the connection (nothing run, the running session untouched)
 * and fills the record; false when the file cannot be read or the
 * connection is unknown. */
typedef uint8_t (*netrove_load_settings_fn)(const unsigned char* name, FrontEndSettings* settings);
#define NETROVE_LOAD_SETTINGS_SYMBOL "0x04"
/* 5: rewrites the common settings of the global part from the record, in
 * place; returns the number of lines written, -1 on failure. */
typedef int32_t (*netrove_write_global_fn)(const FrontEndSettings* settings);
#define NETROVE_WRITE_GLOBAL_SYMBOL "0x05"
/* 6, 7: the warnings of the last load into the chain / their count. */
typedef int32_t (*netrove_warnings_fn)(TextChain* chain);
#define NETROVE_WARNINGS_SYMBOL "0x06"
typedef int32_t (*netrove_count_warnings_fn)(void);
#define NETROVE_COUNT_WARNINGS_SYMBOL "0x07"
/* 8: all phonebook entry names into the chain; returns their count. */
typedef int32_t (*netrove_entry_names_fn)(TextChain* chain);
#define NETROVE_ENTRY_NAMES_SYMBOL "0x08"
/* 9: the entry's stored user, password (as new characters), phone and
 * domain into the record. */
typedef uint8_t (*netrove_entry_defaults_fn)(FrontEndSettings* settings,
                                             const unsigned char* entry_name);
#define NETROVE_ENTRY_DEFAULTS_SYMBOL "0x09"
/* 10: deletes the section named by `section`: lines removed, -1 on failure. */
typedef int32_t (*netrove_delete_section_fn)(const FrontEndSettings* settings);
#define NETROVE_DELETE_SECTION_SYMBOL "0x10"
/* 11: appends a section built from the record (false when it exists). */
typedef uint8_t (*netrove_append_section_fn)(const FrontEndSettings* settings);
#define NETROVE_APPEND_SECTION_SYMBOL "0x11"
/* 12: rewrites the section from the record, in place (keywords the record
 * does not carry, and comments, stay); lines written, -1 on failure. */
typedef int32_t (*netrove_replace_section_fn)(const FrontEndSettings* settings);
#define NETROVE_REPLACE_SECTION_SYMBOL "0x12"

/* 13, "AutoDial": starts the terminal front-end for the entry unless a
 * connection is up or a start is under way, and waits until it ends.
 * `parent` and `flags` are not used. Returns true; *result := 0. */
typedef uint8_t (*netrove_autodial_fn)(void* parent, const char* entry_name, uint32_t flags,
                                       uint32_t* result);
#define NETROVE_AUTODIAL_SYMBOL "AutoDial"

/* The running program. */
/* 14: entry name, StatusText, LocalAddressText. */
typedef void (*netrove_status_fn)(FrontEndStatus* status);
#define NETROVE_STATUS_SYMBOL "0x14"
/* 15: every log line passes through `routine` (NULL: the program's own). */
typedef void (*netrove_set_message_routine_fn)(NetroveMessageRoutine routine);
#define NETROVE_SET_MESSAGE_ROUTINE_SYMBOL "0x15"
/* 16: starts the task "AA" that runs the main entry with the two words. */
typedef void (*netrove_start_fn)(const unsigned char* connection, const unsigned char* argument,
                                 uint8_t start_asleep);
#define NETROVE_START_SYMBOL "0x16"
/* 17: stores the program's own message routine at `where`. */
typedef void (*netrove_get_message_routine_fn)(NetroveMessageRoutine* where);
#define NETROVE_GET_MESSAGE_ROUTINE_SYMBOL "0x17"
/* 18, 19, 20: ControlRequest := request; its value; its value after
 * 500 ms. 1 stop, 2 hang up and redial, 3 hang up and sleep, 4 test. */
typedef void (*netrove_set_request_fn)(uint16_t request);
#define NETROVE_SET_REQUEST_SYMBOL "0x18"
typedef uint8_t (*netrove_get_request_fn)(void);
#define NETROVE_GET_REQUEST_SYMBOL "0x19"
#define NETROVE_WAIT_REQUEST_SYMBOL "0x20"
/* 21: true once the task "AA" has ended (and before any start). */
typedef uint8_t (*netrove_stopped_fn)(void);
#define NETROVE_STOPPED_SYMBOL "0x21"
/* 22: the statistics record. */
typedef void (*netrove_statistics_fn)(FrontEndStatistics* statistics);
#define NETROVE_STATISTICS_SYMBOL "0x22"
/* 23: seconds as "hh:mm:ss" into `text`. */
typedef void (*netrove_time_text_fn)(uint32_t seconds, unsigned char* text);
#define NETROVE_TIME_TEXT_SYMBOL "0x23"
/* 24: fills the record from the configuration in memory: the running
 * session's, else the one ordinal 4 loaded. */
typedef void (*netrove_fill_settings_fn)(FrontEndSettings* settings);
#define NETROVE_FILL_SETTINGS_SYMBOL "0x24"
/* 25: the directory of `program_path` becomes the working directory and
 * the program directory. */
typedef void (*netrove_set_program_path_fn)(const unsigned char* program_path);
#define NETROVE_SET_PROGRAM_PATH_SYMBOL "0x25"
/* 26, 27: resume and suspend the program's tasks; 28: hang up; 29, 30:
 * hang up and stop the task "AA" (bounded wait). No arguments. */
typedef void (*netrove_action_fn)(void);
#define NETROVE_RESUME_SYMBOL "0x26"
#define NETROVE_SUSPEND_SYMBOL "0x27"
#define NETROVE_HANG_UP_SYMBOL "0x28"
#define NETROVE_TERMINATE_SYMBOL "0x29"
#define NETROVE_TERMINATE_TOO_SYMBOL "0x30"
/* 31: the version text. */
typedef void (*netrove_version_fn)(unsigned char* text);
#define NETROVE_VERSION_SYMBOL "0x31"
/* 32: non-zero when the program asked to be started again. */
typedef uint8_t (*netrove_restart_requested_fn)(void);
#define NETROVE_RESTART_SYMBOL "0x32"
/* 33: logs the text through the message routine. */
typedef void (*netrove_log_text_fn)(const unsigned char* text);
#define NETROVE_LOG_TEXT_SYMBOL "0x33"
/* 34: does nothing. 35, 36: suspend, resume all tasks. */
#define NETROVE_NOTHING_SYMBOL "WEX"
#define NETROVE_SUSPEND_ALL_SYMBOL "0x35"
#define NETROVE_RESUME_ALL_SYMBOL "0x36"
/* 37: true once the automatic update has installed new files. An update
 * here only downloads a build for the administrator or the package manager
 * to install ("netrove.dl_"), so this stays 0. */
typedef uint8_t (*netrove_updated_fn)(void);
#define NETROVE_UPDATED_SYMBOL "0x37"

/* Chains: the node of a handle (NULL for a handle that is not in use);
 * valid until the chain is freed. */
typedef const TextChain* (*netrove_chain_node_fn)(uint32_t handle);
#define NETROVE_CHAIN_NODE_SYMBOL "NetroveChainNode"
/* Frees every node after `head` and sets head->next to 0. */
typedef void (*netrove_chain_free_fn)(TextChain* head);
#define NETROVE_CHAIN_FREE_SYMBOL "NetroveChainFree"

#ifdef __cplusplus
}
#endif

#endif /* NETROVE_NETROVE_H_ */
