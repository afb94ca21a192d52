// Byte streams: every reader and writer moves its bytes through a Stream.
//
// A Stream is one heap record with a table of operations chosen when it is opened.
// Failures never stop a stream: they set sticky error bits and return short counts;
// the bits are cleared only by a successful seek. Formats test counts and bits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tabulon {

struct EnvRecord;
struct MemFileStore;
struct CompoundFile;
struct CfStream;
struct AsyncFile;

enum StreamKind : uint32_t {
  STREAM_FILE = 1,
  STREAM_STORAGE = 2,
  STREAM_MEMFILE = 4,
  STREAM_MAPPED = 8,
  STREAM_BLOCK = 64,
};

enum StreamError : uint32_t {
  STREAM_ERR_READ = 1,    // a read returned fewer bytes than asked
  STREAM_ERR_GETC = 2,    // getc met the end or an error
  STREAM_ERR_PUTC = 4,    // putc failed
  STREAM_ERR_SEEK = 8,    // seek failed
  STREAM_ERR_WRITE = 16,  // a write failed or was short; later writes are refused
  STREAM_ERR_DEVICE = 32, // the file itself failed a read (set beside the read or getc bit): not the end
};

constexpr int kStreamMaxNested = 10;

struct Stream;

// The operations, in table order. Every kind fills every slot: an operation a kind
// does not support fails in the ordinary way (short count, error bit) instead of
// leaving a null pointer behind.
struct StreamOps {
  int32_t (*read)(Stream*, void* buffer, int32_t n);
  int32_t (*seek)(Stream*, int32_t offset, int32_t origin);  // 0 on success
  int32_t (*tell)(Stream*);
  int32_t (*getc)(Stream*);                                  // byte value or -1
  int32_t (*putc)(Stream*, int32_t c);                       // c or -1
  int32_t (*write)(Stream*, const void* buffer, int32_t n);
  int32_t (*seek64)(Stream*, int64_t offset, int32_t origin);  // 0 on success
  int64_t (*tell64)(Stream*);
  int64_t (*length64)(Stream*);                              // -1 when unknown
  int64_t (*read_raw)(Stream*, void* buffer, int64_t n);
};

struct Stream {
  uint32_t kind = 0;
  uint32_t error = 0;      // StreamError bits
  uint32_t open_mode = 0;  // storage kind: 1 read, 2 read/write, 4 create
  FILE* file = nullptr;    // file kind

  // Storage kind: the root storage, the open stream inside the innermost storage,
  // and the directory entries of the sub-storages opened on the way.
  CompoundFile* storage = nullptr;
  CfStream* stream_object = nullptr;
  int32_t nested[kStreamMaxNested] = {};
  uint32_t nested_count = 0;

  uint32_t not_closable = 0;  // file kind: standard streams and pipes are left open
  uint8_t memfile_number = 0;
  uint32_t no_length = 0;     // file kind: length unknown or 0

  // Block and mapped kinds: a read-only view.
  const uint8_t* block_base = nullptr;
  uint32_t block_pos = 0;
  uint32_t block_size = 0;
  int map_fd = -1;
  void* map_view = nullptr;
  size_t map_length = 0;

  MemFileStore* store = nullptr;  // memory-file kind
  StreamOps ops{};
  std::string name;
  char* io_buffer = nullptr;      // buffered file kind: the C runtime buffer
  AsyncFile* async = nullptr;     // file kind: the second thread reading ahead or writing behind
};

// ---- Opening and closing ----

// Opens a disk file (UTF-8 path), or the standard input ("stdin", mode "r...") or
// output ("stdout", other modes). bufferSize 0 makes the file unbuffered. Null when
// the file cannot be opened. env may be null.
Stream* StreamOpenFile(EnvRecord* env, const char* path, const char* mode, int32_t bufferSize);

// Opens (mode 1 read, 2 read/write) or creates (mode 4) a compound file and in it the
// named stream (null name: the storage only). oleFlag, when given, is the
// environment's OLE state: it is set to 1 on first use. Null on failure;
// StreamStorageLastError() then tells why.
Stream* StreamOpenStorage(const char* path, const char* streamName, int32_t openMode, int32_t* oleFlag);
// Moves a storage stream to streamName inside the nested storages named from the root.
int32_t StreamOpenNested(Stream* stream, const char* const* storageNames, int32_t count, const char* streamName,
                         int32_t openMode);
// Commits (create mode) and moves a storage stream to another stream of the root storage.
int32_t StreamReopen(Stream* stream, const char* streamName, int32_t openMode);
// Low 16 bits of the last compound-file failure (0 when none).
int32_t StreamStorageLastError();
// Writes a storage stream's compound file now (StreamClose does it too, silently).
// 0, or -1 with the write bit set.
int32_t StreamStorageCommit(Stream* stream);

// A new file in the environment's memory-file store; null when the store refuses.
Stream* StreamOpenMemFile(EnvRecord& env);
// Read-only view of size bytes at data (neither copied nor freed).
Stream* StreamOpenBlock(EnvRecord* env, const void* data, uint32_t size, const char* name);
// Read-only mapped view of a whole file; null when it cannot be opened or mapped.
Stream* StreamOpenMapped(EnvRecord* env, const char* path);

// Moves a disk file's reading ahead, or its writing behind, to a second thread (large chunks,
// double buffered). Same bytes, positions and error bits as before; only the timing changes.
// False, and the stream left as it is, when one thread is asked for, on one core, or for the
// standard streams and pipes.
bool StreamStartAsync(Stream* stream);
// Reading without a copy: a pointer to up to want bytes at the current position inside a
// stream's own chunk read ahead, the position moved past them (*got). Valid until the next
// operation on the stream. Null (and *got 0) where the stream keeps no such chunk or none is
// left: read with StreamReadRaw then, which also sets the error bits.
const uint8_t* StreamBorrow(Stream* stream, size_t want, size_t* got);
// The chunk StreamBorrow lends from: its bytes before and after the current position. False
// (both 0) where the stream lends none.
bool StreamLentChunk(Stream* stream, size_t* before, size_t* after);
// A stream read ahead that a thread of the caller's own reads for a while: each chunk is
// read by that thread when it needs it rather than ahead by the stream's thread, so the bytes
// land in the cache of the core that decodes them. Off again before another thread reads.
void StreamReadByCaller(Stream* stream, bool on);
// Threads the streams may use: the environment variable TABULON_THREADS ("1" or "2") when set,
// else 2 on a machine with two cores or more.
int32_t StreamThreads();

// A second handle on a disk file's stream for a thread that becomes its only reader for a
// while: reads and seeks through it move the file's one position (kept by the C file or the
// read-ahead thread), but failures set the handle's own error bits, so the owner's bits change
// only when the owner's thread copies them over. The handle is never closed, and the owner is
// not used while the handle is. False for the other kinds, whose position lies in the record.
bool StreamShareFile(const Stream* stream, Stream* handle);

// Closes and frees; a null stream is ignored.
void StreamClose(Stream* stream);
// Pushes buffered output to the file. 0, or -1 with STREAM_ERR_WRITE set when the data could
// not be written (a full disk shows here, not at the last write).
int32_t StreamFlush(Stream* stream);

// ---- Operations ----

inline int32_t StreamRead(Stream* s, void* buffer, int32_t n) { return s->ops.read(s, buffer, n); }
inline int32_t StreamSeek(Stream* s, int32_t offset, int32_t origin) { return s->ops.seek(s, offset, origin); }
inline int32_t StreamTell(Stream* s) { return s->ops.tell(s); }
inline int32_t StreamGetc(Stream* s) { return s->ops.getc(s); }
inline int32_t StreamPutc(Stream* s, int32_t c) { return s->ops.putc(s, c); }
inline int32_t StreamWrite(Stream* s, const void* buffer, int32_t n) { return s->ops.write(s, buffer, n); }
inline int32_t StreamSeek64(Stream* s, int64_t offset, int32_t origin) { return s->ops.seek64(s, offset, origin); }
inline int64_t StreamTell64(Stream* s) { return s->ops.tell64(s); }
inline int64_t StreamLength64(Stream* s) { return s->ops.length64(s); }
inline int64_t StreamReadRaw(Stream* s, void* buffer, int64_t n) { return s->ops.read_raw(s, buffer, n); }

// Pushes c back (file kind) or steps one byte back (other kinds).
int32_t StreamUngetc(Stream* stream, int32_t c);
// Writes n line ends: CR LF, or LF alone when lineEndOption (numbered option 72) is 2.
int32_t StreamWriteNewlines(Stream* stream, int32_t lineEndOption, int32_t n);
// Reads / writes an n-byte value, reversing its bytes when swap is non-zero.
int32_t StreamReadSwapped(Stream* stream, void* buffer, int32_t n, int32_t swap);
int32_t StreamWriteSwapped(Stream* stream, const void* buffer, int32_t n, int32_t swap);

// Copies the whole source (from position 0) to destination; 0 or -1.
int32_t StreamCopy(Stream* source, Stream* destination);
// Copies exactly n bytes from the current positions; 0 or -1.
int32_t StreamCopyN(Stream* source, Stream* destination, int64_t n);
// Copies the source's first tell() bytes, leaving the source at 0; 0 or -1.
int32_t StreamCopyWhole(Stream* source, Stream* destination);
// Bytes moved by StreamCopy (process-wide).
int64_t StreamCopyCounter();

}  // namespace tabulon
