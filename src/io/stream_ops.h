// Pieces shared by the stream kinds (internal to src/io).
#pragma once

#include "io/stream.h"

namespace tabulon {

int32_t op_no_read(Stream* s, void* buffer, int32_t n);
int32_t op_no_getc(Stream* s);
int32_t op_no_putc(Stream* s, int32_t c);
int32_t op_no_write(Stream* s, const void* buffer, int32_t n);
int32_t op_no_seek64(Stream* s, int64_t offset, int32_t origin);
int64_t op_no_tell64(Stream* s);
int64_t op_no_length64(Stream* s);
int32_t op_seek_via64(Stream* s, int32_t offset, int32_t origin);
int32_t op_tell_via64(Stream* s);
int64_t op_read_raw_via_read(Stream* s, void* buffer, int64_t n);

// Seeks the C file of a file-kind stream; a success clears the stream's errors.
int32_t file_seek64(Stream* s, int64_t offset, int32_t origin);

// A zeroed record of the kind with its name; null when out of memory.
Stream* stream_new(uint32_t kind, const char* name);
// Storage kind: commit and release everything the record holds (not the record).
void storage_stream_close(Stream* s);

// File kind served by a second thread (see StreamStartAsync).
// Writes out what is held behind; false when a write failed.
bool async_settle(Stream* s);
// Settles and ends the second thread; the C file is then the caller's again.
void async_stop(Stream* s);
int32_t async_ungetc(Stream* s, int32_t c);

}  // namespace tabulon
