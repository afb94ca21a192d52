// Stream record, the disk-file, block, mapped and memory-file kinds, and the
// helpers over the operation table.
#include "io/stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "api/env_record.h"
#include "io/mem_file_store.h"
#include "io/stream_ops.h"

namespace tabulon {

// ---- Operations a kind does not have: they fail the ordinary way ----

int32_t op_no_read(Stream* s, void*, int32_t n) {
  if (n > 0) s->error |= STREAM_ERR_READ;
  return 0;
}
int32_t op_no_getc(Stream* s) {
  s->error |= STREAM_ERR_GETC;
  return -1;
}
int32_t op_no_putc(Stream* s, int32_t) {
  s->error |= STREAM_ERR_PUTC;
  return -1;
}
int32_t op_no_write(Stream* s, const void*, int32_t n) {
  if (n > 0) s->error |= STREAM_ERR_WRITE;
  return 0;
}
int32_t op_no_seek64(Stream* s, int64_t, int32_t) {
  s->error |= STREAM_ERR_SEEK;
  return -1;
}
int64_t op_no_tell64(Stream*) { return -1; }
int64_t op_no_length64(Stream*) { return -1; }

// 32-bit seek expressed through seek64 (kinds whose 64-bit positioning is native).
int32_t op_seek_via64(Stream* s, int32_t offset, int32_t origin) { return s->ops.seek64(s, offset, origin); }
int32_t op_tell_via64(Stream* s) { return static_cast<int32_t>(s->ops.tell64(s)); }
// Raw read in 32-bit pieces through the kind's read.
int64_t op_read_raw_via_read(Stream* s, void* buffer, int64_t n) {
  int64_t done = 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (done < n) {
    int64_t left = n - done;
    int32_t piece = left > 0x40000000 ? 0x40000000 : static_cast<int32_t>(left);
    int32_t got = s->ops.read(s, out + done, piece);
    if (got <= 0) break;
    done += got;
    if (got < piece) break;
  }
  return done;
}

Stream* stream_new(uint32_t kind, const char* name) {
  Stream* s = new (std::nothrow) Stream;
  if (!s) return nullptr;
  s->kind = kind;
  try {
    s->name = name ? name : "";
  } catch (...) {
    delete s;
    return nullptr;
  }
  return s;
}

namespace {

// ---- File kind ----

int32_t file_read(Stream* s, void* buffer, int32_t n) {
  if (n < 1) return 0;
  size_t got = std::fread(buffer, 1, static_cast<size_t>(n), s->file);
  if (got < static_cast<size_t>(n)) s->error |= std::ferror(s->file) ? STREAM_ERR_READ | STREAM_ERR_DEVICE : STREAM_ERR_READ;
  return static_cast<int32_t>(got);
}


int32_t file_seek(Stream* s, int32_t offset, int32_t origin) { return file_seek64(s, offset, origin); }

int64_t file_tell64(Stream* s) { return static_cast<int64_t>(ftello(s->file)); }
int32_t file_tell(Stream* s) { return static_cast<int32_t>(ftello(s->file)); }

int32_t file_getc(Stream* s) {
  int c = std::getc(s->file);
  if (c == EOF) s->error |= std::ferror(s->file) ? STREAM_ERR_GETC | STREAM_ERR_DEVICE : STREAM_ERR_GETC;
  return c == EOF ? -1 : c;
}

int32_t file_putc(Stream* s, int32_t c) {
  if (s->error & STREAM_ERR_WRITE) return -1;
  if (std::putc(c, s->file) == EOF) {
    s->error |= STREAM_ERR_PUTC;
    return -1;
  }
  return c & 0xFF;
}

int32_t file_write(Stream* s, const void* buffer, int32_t n) {
  if (s->error & STREAM_ERR_WRITE) return 0;
  if (n < 1) return 0;
  size_t put = std::fwrite(buffer, 1, static_cast<size_t>(n), s->file);
  if (put < static_cast<size_t>(n)) s->error |= STREAM_ERR_WRITE;
  return static_cast<int32_t>(put);
}

int64_t file_length64(Stream* s) {
  std::fflush(s->file);  // pending output counts
  struct stat st;
  if (fstat(fileno(s->file), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

// Large reads: glibc hands requests beyond the buffer straight to read(2), so fread
// is as fast as the descriptor and keeps the C file's position right.
int64_t file_read_raw(Stream* s, void* buffer, int64_t n) {
  if (n < 1) return 0;
  size_t got = std::fread(buffer, 1, static_cast<size_t>(n), s->file);
  if (got < static_cast<size_t>(n)) s->error |= std::ferror(s->file) ? STREAM_ERR_READ | STREAM_ERR_DEVICE : STREAM_ERR_READ;
  return static_cast<int64_t>(got);
}

const StreamOps kFileOps = {file_read,    file_seek,   file_tell,     file_getc,     file_putc,
                            file_write,   file_seek64, file_tell64,   file_length64, file_read_raw};

// ---- Block and mapped kinds: a read-only view of bytes ----

int32_t block_read(Stream* s, void* buffer, int32_t n) {
  if (n < 1) return 0;
  uint32_t pos = s->block_pos;
  uint32_t left = pos < s->block_size ? s->block_size - pos : 0;
  uint32_t take = static_cast<uint32_t>(n) > left ? left : static_cast<uint32_t>(n);
  if (take < static_cast<uint32_t>(n)) s->error |= STREAM_ERR_READ;
  if (take) std::memcpy(buffer, s->block_base + pos, take);
  s->block_pos = pos + take;
  return static_cast<int32_t>(take);
}

int32_t block_seek64(Stream* s, int64_t offset, int32_t origin) {
  s->error = 0;
  int64_t target;
  if (origin == 0)
    target = offset;
  else if (origin == 1)
    target = static_cast<int64_t>(s->block_pos) + offset;
  else
    target = s->block_size;  // any other origin moves to the end
  if (target < 0 || target > static_cast<int64_t>(s->block_size)) {
    s->error = STREAM_ERR_SEEK;
    return -1;
  }
  s->block_pos = static_cast<uint32_t>(target);
  return 0;
}

int32_t block_seek(Stream* s, int32_t offset, int32_t origin) { return block_seek64(s, offset, origin); }
int32_t block_tell(Stream* s) { return static_cast<int32_t>(s->block_pos); }
int64_t block_tell64(Stream* s) { return s->block_pos; }
int64_t block_length64(Stream* s) { return s->block_size; }

// At the end -1, not 255: 255 is a byte a caller cannot tell from data.
int32_t block_getc(Stream* s) {
  if (s->block_pos >= s->block_size) {
    s->error |= STREAM_ERR_GETC;
    return -1;
  }
  return s->block_base[s->block_pos++];
}

const StreamOps kBlockOps = {block_read,   block_seek,    block_tell,     block_getc,     op_no_putc,
                             op_no_write,  block_seek64,  block_tell64,   block_length64, op_read_raw_via_read};

// ---- Memory-file kind ----

int32_t mem_read(Stream* s, void* buffer, int32_t n) {
  if (n < 1) return 0;
  int64_t got = mfs_read(s->store, s->memfile_number, buffer, static_cast<size_t>(n));
  if (got < n) s->error |= STREAM_ERR_READ;
  return got < 0 ? 0 : static_cast<int32_t>(got);
}

int32_t mem_seek64(Stream* s, int64_t offset, int32_t origin) {
  s->error = 0;
  int64_t base = 0;
  if (origin == 1)
    base = mfs_tell(s->store, s->memfile_number);
  else if (origin == 2)
    base = mfs_length(s->store, s->memfile_number);
  if (base < 0 || mfs_seek(s->store, s->memfile_number, base + offset) != 0) {
    s->error = STREAM_ERR_SEEK;
    return -1;
  }
  return 0;
}

int32_t mem_seek(Stream* s, int32_t offset, int32_t origin) { return mem_seek64(s, offset, origin); }
int64_t mem_tell64(Stream* s) { return mfs_tell(s->store, s->memfile_number); }
int32_t mem_tell(Stream* s) { return static_cast<int32_t>(mem_tell64(s)); }
int64_t mem_length64(Stream* s) { return mfs_length(s->store, s->memfile_number); }

int32_t mem_getc(Stream* s) {
  int32_t c = mfs_getc(s->store, s->memfile_number);
  if (c < 0) s->error |= STREAM_ERR_GETC;
  return c;
}

int32_t mem_putc(Stream* s, int32_t c) {
  int32_t r = mfs_putc(s->store, s->memfile_number, c);
  if (r < 0) s->error |= STREAM_ERR_PUTC;
  return r;
}

int32_t mem_write(Stream* s, const void* buffer, int32_t n) {
  if (s->error & STREAM_ERR_WRITE) return 0;
  if (n < 1) return 0;
  int64_t put = mfs_write(s->store, s->memfile_number, buffer, static_cast<size_t>(n));
  if (put < n) s->error |= STREAM_ERR_WRITE;
  return put < 0 ? 0 : static_cast<int32_t>(put);
}

const StreamOps kMemOps = {mem_read,  mem_seek,   mem_tell,   mem_getc,     mem_putc,
                           mem_write, mem_seek64, mem_tell64, mem_length64, op_read_raw_via_read};

bool is_read_mode(const char* mode) { return mode && mode[0] == 'r'; }

}  // namespace

int32_t file_seek64(Stream* s, int64_t offset, int32_t origin) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  if (fseeko(s->file, static_cast<off_t>(offset), whence) != 0) {
    s->error = STREAM_ERR_SEEK;
    return -1;
  }
  // A successful seek is the one way back from a failure: the C file forgets it too.
  clearerr(s->file);
  s->error = 0;
  return 0;
}

namespace {

// fopen, except that a file opened for writing is cut to nothing only when it holds bytes.
// Cutting an empty file (the temporary the engine has just made) is no change, but ext4 then
// flushes the whole new file to the disk when it is closed, on the caller's time.
FILE* open_c_file(const char* path, const char* mode) {
  const bool plus = std::strcmp(mode, "w+") == 0 || std::strcmp(mode, "w+b") == 0 || std::strcmp(mode, "wb+") == 0;
  if (!plus && std::strcmp(mode, "w") != 0 && std::strcmp(mode, "wb") != 0) return std::fopen(path, mode);
  const int fd = ::open(path, (plus ? O_RDWR : O_WRONLY) | O_CREAT, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  FILE* f = fdopen(fd, mode);
  if (!f) ::close(fd);
  return f;
}

}  // namespace

Stream* StreamOpenFile(EnvRecord*, const char* path, const char* mode, int32_t bufferSize) {
  if (!path || !mode) return nullptr;
  if (std::strlen(mode) > 64) return nullptr;
  FILE* f = nullptr;
  bool standard = false;
  if (is_read_mode(mode) && std::strcmp(path, "stdin") == 0) {
    f = stdin;
    standard = true;
  } else if (!is_read_mode(mode) && std::strcmp(path, "stdout") == 0) {
    f = stdout;
    standard = true;
  } else {
    f = open_c_file(path, mode);  // Linux paths are UTF-8 bytes already
    if (!f) return nullptr;
  }
  Stream* s = stream_new(STREAM_FILE, path);
  if (!s) {
    if (!standard) std::fclose(f);
    return nullptr;
  }
  s->file = f;
  s->ops = kFileOps;
  if (standard) {
    // Never buffered by us, never closed by us, and no length to ask for.
    s->not_closable = 1;
    s->no_length = 1;
    return s;
  }
  if (bufferSize > 0) {
    s->io_buffer = new (std::nothrow) char[static_cast<size_t>(bufferSize)];
    if (s->io_buffer) setvbuf(f, s->io_buffer, _IOFBF, static_cast<size_t>(bufferSize));
  } else {
    setvbuf(f, nullptr, _IONBF, 0);
  }
  int seek_result = fseeko(f, 0, SEEK_END);
  off_t end = seek_result == 0 ? ftello(f) : -1;
  if (seek_result != 0 || end <= 0) s->no_length = 1;
  s->not_closable = seek_result != 0 ? 1u : 0u;
  fseeko(f, 0, SEEK_SET);
  clearerr(f);
  return s;
}

Stream* StreamOpenMemFile(EnvRecord& env) {
  uint8_t number = mfs_open(&env.io.store);
  if (number == 0) return nullptr;
  Stream* s = stream_new(STREAM_MEMFILE, "Memory File");
  if (!s) {
    mfs_close(&env.io.store, number);
    return nullptr;
  }
  s->store = &env.io.store;
  s->memfile_number = number;
  s->ops = kMemOps;
  return s;
}

Stream* StreamOpenBlock(EnvRecord*, const void* data, uint32_t size, const char* name) {
  Stream* s = stream_new(STREAM_BLOCK, name);
  if (!s) return nullptr;
  s->block_base = static_cast<const uint8_t*>(data);
  s->block_size = data ? size : 0;
  s->ops = kBlockOps;
  return s;
}

Stream* StreamOpenMapped(EnvRecord*, const char* path) {
  if (!path) return nullptr;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0xFFFFFFFFll) {
    ::close(fd);
    return nullptr;
  }
  void* view = nullptr;
  if (st.st_size > 0) {
    view = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED) {
      ::close(fd);
      return nullptr;
    }
  }
  Stream* s = stream_new(STREAM_MAPPED, path);
  if (!s) {
    if (view) munmap(view, static_cast<size_t>(st.st_size));
    ::close(fd);
    return nullptr;
  }
  s->map_fd = fd;
  s->map_view = view;
  s->map_length = static_cast<size_t>(st.st_size);
  s->block_base = static_cast<const uint8_t*>(view);
  s->block_size = static_cast<uint32_t>(st.st_size);
  s->ops = kBlockOps;
  return s;
}

int32_t StreamFlush(Stream* s) {
  if (!s) return -1;
  if (s->async && !async_settle(s)) return -1;
  if (s->kind == STREAM_FILE && s->file && s->file != stdin && std::fflush(s->file) != 0) {
    s->error |= STREAM_ERR_WRITE;
    return -1;
  }
  return (s->error & STREAM_ERR_WRITE) ? -1 : 0;
}

void StreamClose(Stream* s) {
  if (!s) return;
  switch (s->kind) {
    case STREAM_FILE:
      async_stop(s);
      // The standard streams stay open. A pipe opened by path (not seekable, so marked
      // not closable) is still ours: leaving it open would leak the C file.
      if (s->file == stdout)
        std::fflush(stdout);
      else if (s->file != stdin)
        std::fclose(s->file);
      break;
    case STREAM_STORAGE:
      storage_stream_close(s);
      break;
    case STREAM_MEMFILE:
      mfs_close(s->store, s->memfile_number);
      break;
    case STREAM_MAPPED:
      if (s->map_view) munmap(s->map_view, s->map_length);
      if (s->map_fd >= 0) ::close(s->map_fd);
      break;
    default:
      break;
  }
  delete[] s->io_buffer;  // after fclose: the C file used it to the end
  delete s;
}

bool StreamShareFile(const Stream* s, Stream* handle) {
  if (!s || !handle || s->kind != STREAM_FILE || !s->file) return false;
  *handle = *s;
  return true;
}

// ---- Helpers over the operations ----

int32_t StreamUngetc(Stream* s, int32_t c) {
  if (s->async) return async_ungetc(s, c);
  if (s->kind == STREAM_FILE) return std::ungetc(c, s->file) == EOF ? -1 : c;
  return s->ops.seek(s, -1, 1) == 0 ? c : -1;
}

int32_t StreamWriteNewlines(Stream* s, int32_t lineEndOption, int32_t n) {
  static const char kCrLf[] = "\r\n";
  const char* text = lineEndOption == 2 ? kCrLf + 1 : kCrLf;
  int32_t len = lineEndOption == 2 ? 1 : 2;
  int32_t total = 0;
  for (int32_t i = 0; i < n; ++i) total += s->ops.write(s, text, len);
  return total;
}

namespace {
void reverse_bytes(uint8_t* p, int32_t n) {
  for (int32_t i = 0, j = n - 1; i < j; ++i, --j) {
    uint8_t t = p[i];
    p[i] = p[j];
    p[j] = t;
  }
}
}  // namespace

int32_t StreamReadSwapped(Stream* s, void* buffer, int32_t n, int32_t swap) {
  int32_t got = s->ops.read(s, buffer, n);
  if (swap && got == n) reverse_bytes(static_cast<uint8_t*>(buffer), n);
  return got;
}

int32_t StreamWriteSwapped(Stream* s, const void* buffer, int32_t n, int32_t swap) {
  if (!swap || n < 2) return s->ops.write(s, buffer, n);
  // The caller's value is never touched: the bytes are reversed on a copy.
  uint8_t small[16];
  std::unique_ptr<uint8_t[]> big;
  uint8_t* copy = small;
  if (n > 16) {
    big.reset(new (std::nothrow) uint8_t[static_cast<size_t>(n)]);
    if (!big) {
      s->error |= STREAM_ERR_WRITE;
      return 0;
    }
    copy = big.get();
  }
  std::memcpy(copy, buffer, static_cast<size_t>(n));
  reverse_bytes(copy, n);
  return s->ops.write(s, copy, n);
}

namespace {
int64_t g_copy_counter = 0;
constexpr int32_t kCopyChunk = 512;
}  // namespace

int64_t StreamCopyCounter() { return g_copy_counter; }

int32_t StreamCopy(Stream* src, Stream* dst) {
  if (!src || !dst) return -1;
  if (src->ops.seek(src, 0, 0) != 0) return -1;
  uint8_t chunk[kCopyChunk];
  g_copy_counter = 0;
  for (;;) {
    int32_t got = src->ops.read(src, chunk, kCopyChunk);
    if (got <= 0) break;
    int32_t put = dst->ops.write(dst, chunk, got);
    g_copy_counter += put;
    if (dst->error != 0 || put != got) return -1;
  }
  return 0;
}

int32_t StreamCopyN(Stream* src, Stream* dst, int64_t n) {
  if (!src || !dst || n < 0) return -1;
  uint8_t chunk[kCopyChunk];
  while (n > 0) {
    int32_t want = n > kCopyChunk ? kCopyChunk : static_cast<int32_t>(n);
    int32_t got = src->ops.read(src, chunk, want);
    if (got != want) return -1;
    if (dst->ops.write(dst, chunk, got) != got || dst->error != 0) return -1;
    n -= got;
  }
  return 0;
}

int32_t StreamCopyWhole(Stream* src, Stream* dst) {
  if (!src || !dst) return -1;
  int64_t length = src->ops.tell64 != op_no_tell64 ? src->ops.tell64(src) : src->ops.tell(src);
  if (length < 0 || src->ops.seek(src, 0, 0) != 0) return -1;
  int32_t r = StreamCopyN(src, dst, length);
  src->ops.seek(src, 0, 0);
  return r;
}

}  // namespace tabulon
