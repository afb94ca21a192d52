/* The calling contract between Tabulon and a database driver library.
 * Plain C so that a driver can be written in C or C++ against this header alone.
 *
 * A driver exports, with C linkage, these entry points; each takes the driver
 * context of one side of one environment:
 *   int32_t open_db(TabulonDriverContext*);          > 0 connected
 *   int32_t read_dict(TabulonDriverContext*);        > 0 dictionary read (through add_var)
 *   int32_t rd_data(TabulonDriverContext*);          0 case read, -1 end of data, < -1 failure
 *   int32_t closer(TabulonDriverContext*);           closes the input side
 *   int32_t wdict(TabulonDriverContext*);            0 table definition written
 *   int32_t wcase(TabulonDriverContext*);            >= 0 case written
 *   int32_t closew(TabulonDriverContext*);           below 1 on failure
 *   int32_t get_data_sources(TabulonDriverContext*); number of sources (through add_source)
 * and may export
 *   int32_t rd_rewind(TabulonDriverContext*);        0 when the next rd_data gives the first row
 *                                                    again (a pass over the data before the transfer)
 * Parameters (DX_DBSetParm) 0..7 and 10..11 belong to the driver; 8 is the session
 * encoding and 9 "wide" selects wide-character text.
 * A failing driver writes its text into `message` (1024 bytes); it becomes the message
 * of the environment. The context lives as long as the driver stays loaded on that side.
 */
#ifndef TABULON_DRIVER_ABI_H
#define TABULON_DRIVER_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TABULON_DRIVER_ABI 3
#define TABULON_DRIVER_PARMS 12
#define TABULON_DRIVER_MESSAGE_SIZE 1024

typedef struct TabulonDriverContext TabulonDriverContext;

struct TabulonDriverContext {
  int32_t abi;          /* TABULON_DRIVER_ABI */
  int32_t env;          /* environment handle */
  int32_t side;         /* 1 input, 2 output */
  int32_t format_code;  /* the database format code asked for */
  int32_t wide;         /* parameter 9 was "wide" */
  char *message;        /* the environment's driver message buffer */
  const char *parms[TABULON_DRIVER_PARMS]; /* parameters set by the host, or null */
  const char *path;     /* the path given to the open (database name, source, file) */
  const char *table;    /* the chosen table (member), or null */
  void *connection;     /* owned by the driver */

  /* Services. Variables are addressed by their position in the dictionary. */
  int32_t (*add_table)(TabulonDriverContext *, const char *name);
  int32_t (*add_source)(TabulonDriverContext *, const char *name, const char *description);
  /* type: 1 numeric, 2 string, 4 date, 8 time, 16 date-time (as DX_AddUserVar). */
  int32_t (*add_var)(TabulonDriverContext *, const char *name, int32_t type, int32_t width, int32_t decimals);
  void (*announce_cases)(TabulonDriverContext *, uint32_t count);
  int32_t (*var_count)(TabulonDriverContext *);                 /* selected variables */
  const char *(*var_name)(TabulonDriverContext *, int32_t k);     /* k-th selected variable */
  int32_t (*var_type)(TabulonDriverContext *, int32_t k);         /* storage type T_* */
  int32_t (*var_width)(TabulonDriverContext *, int32_t k);
  /* Values of the k-th selected variable in the record buffer. The getters return the
   * missing code (0 present). */
  int32_t (*get_double)(TabulonDriverContext *, int32_t k, double *out);
  int32_t (*get_string)(TabulonDriverContext *, int32_t k, const char **out);
  void (*set_double)(TabulonDriverContext *, int32_t k, double value);
  void (*set_string)(TabulonDriverContext *, int32_t k, const char *text);
  void (*set_missing)(TabulonDriverContext *, int32_t k, int32_t code);

  /* Since ABI 2. The value of a numbered option of the environment. */
  int32_t (*option)(TabulonDriverContext *, int32_t number);
  /* Asks the host before an existing table is replaced: 1 replace, 0 keep it. */
  int32_t (*confirm_replace)(TabulonDriverContext *, const char *table);
  /* Set by the engine before closew when the transfer failed: roll everything back. */
  int32_t failed;

  /* Since ABI 3. Counts values of the k-th variable the driver could not read as its type
   * (text in a numeric column) and set missing: the host is told. */
  void (*note_unreadable)(TabulonDriverContext *, int32_t k, int64_t count);
};

typedef int32_t (*TabulonDriverFn)(TabulonDriverContext *);

#ifdef __cplusplus
}
#endif

#endif /* TABULON_DRIVER_ABI_H */
