/* Exports of libnetrove.so, with their ordinals. A text is length-prefixed:
 * one length byte, then up to 255 characters. */
#ifndef NETROVE_NETROVE_H_
#define NETROVE_NETROVE_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NETROVE_INTERFACE_NUMBER 23

/* Ordinal 1, exported as "0x01": the main entry. Runs the command form
 * named by the two words and returns when the session ends (one-shot
 * forms end the process). `interface_number` must be 23. */
typedef void (*netrove_main_fn)(const unsigned char* connection, const unsigned char* argument,
                                uint16_t interface_number, uint8_t start_asleep);
#define NETROVE_MAIN_SYMBOL "0x01"

/* Ordinal 32, exported as "0x32": non-zero when the program asked to be
 * started again. */
typedef uint8_t (*netrove_restart_requested_fn)(void);
#define NETROVE_RESTART_SYMBOL "0x32"

#ifdef __cplusplus
}
#endif

#endif /* NETROVE_NETROVE_H_ */
