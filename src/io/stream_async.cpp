// Disk files served by a second thread: reading ahead of the decoder, or writing behind the
// encoder, one large chunk at a time (double buffering). The bytes, their order and the
// error bits a caller sees are those of the plain file kind; only the timing differs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "io/stream.h"
#include "io/stream_ops.h"

namespace tabulon {

namespace {

constexpr size_t kAsyncChunk = size_t{1} << 20;

}  // namespace

// One chunk at a time is handed to the worker; the caller's side keeps the other.
struct AsyncFile {
  enum class Mode { Read, Write };

  AsyncFile(Stream* stream, Mode m) : s(stream), mode(m), fd(fileno(stream->file)) {}
  ~AsyncFile() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stop = true;
      job_pending = false;  // a chunk read ahead that nobody will want
    }
    cv.notify_all();
    if (worker.joinable()) worker.join();
  }

  void start() { worker = std::thread([this] { run(); }); }

  // ---- Both sides of a job ----

  void post(int64_t offset, size_t length) {
    {
      std::lock_guard<std::mutex> lock(mu);
      job_offset = offset;
      job_length = length;
      job_pending = true;
      job_done = false;
      job_failed = false;
    }
    outstanding = true;
    cv.notify_all();
  }

  // Waits for the job posted last; false when it failed. A job the worker has not picked up
  // yet is done here instead: on a busy machine the worker may wait long for a core, and the
  // caller must never be slower than with one thread.
  bool wait() {
    if (!outstanding) return true;
    outstanding = false;
    std::unique_lock<std::mutex> lock(mu);
    if (job_pending) {
      job_pending = false;
      const int64_t offset = job_offset;
      const size_t length = job_length;
      lock.unlock();
      bool failed = false;
      const size_t result = do_job(offset, length, failed);
      lock.lock();
      job_length = result;
      job_failed = failed;
      job_done = true;
      return !failed;
    }
    cv.wait(lock, [this] { return job_done; });
    return !job_failed;
  }

  // Reads the chunk at offset into spare, or writes length bytes of spare; bytes moved.
  size_t do_job(int64_t offset, size_t length, bool& failed) {
    size_t result = 0;
    if (mode == Mode::Read) {
      uint8_t* dst = spare.get();
      while (result < kAsyncChunk) {
        ssize_t got = ::pread(fd, dst + result, kAsyncChunk - result, static_cast<off_t>(offset) + result);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed = true;
        if (got <= 0) break;
        result += static_cast<size_t>(got);
      }
      return result;
    }
    // The C file belongs to whoever runs the job: the other side waits before touching it.
    // Flushed at once, so a failure is seen here and not left in the C buffer.
    result = std::fwrite(spare.get(), 1, length, s->file);
    failed = result < length || std::fflush(s->file) != 0;
    return result;
  }

  void run() {
    for (;;) {
      int64_t offset;
      size_t length;
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [this] { return stop || job_pending; });
        if (!job_pending) return;
        job_pending = false;
        offset = job_offset;
        length = job_length;
      }
      bool failed = false;
      const size_t result = do_job(offset, length, failed);
      {
        std::lock_guard<std::mutex> lock(mu);
        job_length = result;
        job_failed = failed;
        job_done = true;
      }
      cv.notify_all();
    }
  }

  Stream* s;
  Mode mode;
  int fd;
  std::unique_ptr<uint8_t[]> current{new uint8_t[kAsyncChunk]};  // the caller's chunk
  std::unique_ptr<uint8_t[]> spare{new uint8_t[kAsyncChunk]};    // the worker's chunk

  // Caller's side. Read: current holds [base, base + length) of the file, pos is the next
  // byte. Write: current holds length bytes that go to the file at base.
  int64_t base = 0;
  size_t length = 0;
  size_t pos = 0;
  bool outstanding = false;  // a job was posted and not yet waited for
  bool at_end = false;       // read: the file ends within current
  bool device_failed = false;
  // Read: the thread that reads fills the chunks itself, one when it needs it (StreamReadByCaller).
  bool by_caller = false;

  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  bool job_pending = false;
  bool job_done = false;
  bool job_failed = false;
  int64_t job_offset = 0;
  size_t job_length = 0;
  std::thread worker;
};

namespace {

AsyncFile* af(Stream* s) { return s->async; }

// ---- Reading ahead ----

// Makes the chunk read ahead the current one; false at the end of the file or a failure.
bool read_advance(Stream* s) {
  AsyncFile& a = *af(s);
  if (a.device_failed || (!a.outstanding && a.at_end)) return false;
  int64_t offset = a.base + static_cast<int64_t>(a.length);
  size_t got;
  if (!a.outstanding && a.by_caller) {
    bool failed = false;
    got = a.do_job(offset, 0, failed);
    if (failed) {
      a.device_failed = true;
      return false;
    }
  } else {
    if (!a.outstanding) a.post(offset, 0);
    offset = a.job_offset;
    if (!a.wait()) {
      a.device_failed = true;
      return false;
    }
    got = a.job_length;
  }
  a.current.swap(a.spare);
  a.base = offset;
  a.length = got;
  a.pos = 0;
  a.at_end = got < kAsyncChunk;
  if (!a.at_end && !a.by_caller) a.post(offset + static_cast<int64_t>(got), 0);
  return got > 0;
}

void read_shortfall(Stream* s) {
  s->error |= STREAM_ERR_READ;
  if (af(s)->device_failed) s->error |= STREAM_ERR_DEVICE;
}

int64_t ra_read_raw(Stream* s, void* buffer, int64_t n) {
  if (n < 1) return 0;
  AsyncFile& a = *af(s);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < n) {
    if (a.pos == a.length && !read_advance(s)) break;
    size_t k = a.length - a.pos;
    if (static_cast<int64_t>(k) > n - done) k = static_cast<size_t>(n - done);
    std::memcpy(out + done, a.current.get() + a.pos, k);
    a.pos += k;
    done += static_cast<int64_t>(k);
  }
  if (done < n) read_shortfall(s);
  return done;
}

// Up to want bytes in place in the chunk read ahead; see StreamBorrow.
const uint8_t* ra_borrow(Stream* s, size_t want, size_t* got) {
  AsyncFile& a = *af(s);
  *got = 0;
  if (want == 0 || (a.pos == a.length && !read_advance(s))) return nullptr;
  size_t k = a.length - a.pos;
  if (k > want) k = want;
  const uint8_t* p = a.current.get() + a.pos;
  a.pos += k;
  *got = k;
  return p;
}

int32_t ra_read(Stream* s, void* buffer, int32_t n) { return static_cast<int32_t>(ra_read_raw(s, buffer, n)); }

int32_t ra_getc(Stream* s) {
  AsyncFile& a = *af(s);
  if (a.pos == a.length && !read_advance(s)) {
    s->error |= STREAM_ERR_GETC;
    if (a.device_failed) s->error |= STREAM_ERR_DEVICE;
    return -1;
  }
  return a.current[a.pos++];
}

int64_t ra_length64(Stream* s) {
  struct stat st;
  if (fstat(af(s)->fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t ra_tell64(Stream* s) { return af(s)->base + static_cast<int64_t>(af(s)->pos); }
int32_t ra_tell(Stream* s) { return static_cast<int32_t>(ra_tell64(s)); }

int32_t ra_seek64(Stream* s, int64_t offset, int32_t origin) {
  AsyncFile& a = *af(s);
  int64_t target = offset;
  if (origin == 1) {
    target += ra_tell64(s);
  } else if (origin != 0) {
    const int64_t end = ra_length64(s);
    target = end < 0 ? -1 : end + offset;
  }
  if (target < 0) {
    s->error = STREAM_ERR_SEEK;
    return -1;
  }
  s->error = 0;
  a.device_failed = false;
  if (target >= a.base && target <= a.base + static_cast<int64_t>(a.length)) {
    a.pos = static_cast<size_t>(target - a.base);
    return 0;
  }
  // The chunk read ahead may hold the target (skipping forward); otherwise start over there.
  if (a.outstanding) {
    const int64_t offset_ahead = a.job_offset;
    if (a.wait() && target >= offset_ahead && target < offset_ahead + static_cast<int64_t>(a.job_length)) {
      const size_t got = a.job_length;
      a.current.swap(a.spare);
      a.base = offset_ahead;
      a.length = got;
      a.pos = static_cast<size_t>(target - offset_ahead);
      a.at_end = got < kAsyncChunk;
      if (!a.at_end && !a.by_caller) a.post(offset_ahead + static_cast<int64_t>(got), 0);
      return 0;
    }
  }
  a.base = target;
  a.length = a.pos = 0;
  a.at_end = false;
  if (!a.by_caller) a.post(target, 0);
  return 0;
}

int32_t ra_seek(Stream* s, int32_t offset, int32_t origin) { return ra_seek64(s, offset, origin); }

// The file was opened for reading only: writing fails as it would on the C file.
int32_t ra_write(Stream* s, const void*, int32_t n) {
  if (n > 0) s->error |= STREAM_ERR_WRITE;
  return 0;
}
int32_t ra_putc(Stream* s, int32_t) {
  s->error |= STREAM_ERR_PUTC;
  return -1;
}

const StreamOps kReadAheadOps = {ra_read,  ra_seek,   ra_tell,   ra_getc,      ra_putc,
                                 ra_write, ra_seek64, ra_tell64, ra_length64, ra_read_raw};

// ---- Writing behind ----

// Hands the filled chunk to the worker once the one before it is written.
void write_handoff(Stream* s) {
  AsyncFile& a = *af(s);
  if (!a.wait()) a.device_failed = true;
  if (a.device_failed) {
    s->error |= STREAM_ERR_WRITE;
    a.length = 0;
    return;
  }
  if (a.length == 0) return;
  a.current.swap(a.spare);
  a.post(a.base, a.length);
  a.base += static_cast<int64_t>(a.length);
  a.length = 0;
}

int32_t wb_write(Stream* s, const void* buffer, int32_t n) {
  if (s->error & STREAM_ERR_WRITE) return 0;
  if (n < 1) return 0;
  AsyncFile& a = *af(s);
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    size_t k = kAsyncChunk - a.length;
    if (k > left) k = left;
    std::memcpy(a.current.get() + a.length, in, k);
    a.length += k;
    in += k;
    left -= k;
    if (a.length == kAsyncChunk) {
      write_handoff(s);
      if (s->error & STREAM_ERR_WRITE) return n - static_cast<int32_t>(left);
    }
  }
  return n;
}

int32_t wb_putc(Stream* s, int32_t c) {
  if (s->error & STREAM_ERR_WRITE) return -1;
  AsyncFile& a = *af(s);
  a.current[a.length++] = static_cast<uint8_t>(c);
  if (a.length == kAsyncChunk) {
    write_handoff(s);
    if (s->error & STREAM_ERR_WRITE) {
      s->error |= STREAM_ERR_PUTC;
      return -1;
    }
  }
  return c & 0xFF;
}

int64_t wb_tell64(Stream* s) { return af(s)->base + static_cast<int64_t>(af(s)->length); }
int32_t wb_tell(Stream* s) { return static_cast<int32_t>(wb_tell64(s)); }

// Everything but writing and telling works on the C file itself once the worker is idle.
// A failed write found on the way is kept: a seek must not wipe it out.
bool settle(Stream* s) {
  AsyncFile& a = *af(s);
  write_handoff(s);
  if (!a.wait()) a.device_failed = true;
  if (a.device_failed) s->error |= STREAM_ERR_WRITE;
  return !a.device_failed;
}

void resync(Stream* s) {
  const off_t at = ftello(s->file);
  if (at >= 0) af(s)->base = static_cast<int64_t>(at);
}

int32_t wb_seek64(Stream* s, int64_t offset, int32_t origin) {
  if (!settle(s)) {
    s->error |= STREAM_ERR_SEEK;
    return -1;
  }
  if (file_seek64(s, offset, origin) != 0) return -1;
  resync(s);
  return 0;
}

int32_t wb_seek(Stream* s, int32_t offset, int32_t origin) { return wb_seek64(s, offset, origin); }

int64_t wb_read_raw(Stream* s, void* buffer, int64_t n) {
  if (n < 1) return 0;
  settle(s);
  size_t got = std::fread(buffer, 1, static_cast<size_t>(n), s->file);
  if (got < static_cast<size_t>(n)) s->error |= STREAM_ERR_READ;
  resync(s);
  return static_cast<int64_t>(got);
}

int32_t wb_read(Stream* s, void* buffer, int32_t n) { return static_cast<int32_t>(wb_read_raw(s, buffer, n)); }

int32_t wb_getc(Stream* s) {
  settle(s);
  int c = std::getc(s->file);
  if (c == EOF) s->error |= STREAM_ERR_GETC;
  resync(s);
  return c == EOF ? -1 : c;
}

int64_t wb_length64(Stream* s) {
  settle(s);
  std::fflush(s->file);
  struct stat st;
  if (fstat(af(s)->fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

const StreamOps kWriteBehindOps = {wb_read,  wb_seek,   wb_tell,   wb_getc,      wb_putc,
                                   wb_write, wb_seek64, wb_tell64, wb_length64, wb_read_raw};

}  // namespace

int32_t StreamThreads() {
  const char* forced = std::getenv("TABULON_THREADS");
  if (forced && std::strcmp(forced, "1") == 0) return 1;
  if (forced && std::strcmp(forced, "2") == 0) return 2;
  return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

bool StreamLentChunk(Stream* s, size_t* before, size_t* after) {
  *before = *after = 0;
  if (!s || !s->async || s->ops.read_raw != kReadAheadOps.read_raw) return false;
  const AsyncFile& a = *af(s);
  *before = a.pos;
  *after = a.length - a.pos;
  return true;
}

const uint8_t* StreamBorrow(Stream* s, size_t want, size_t* got) {
  *got = 0;
  if (!s || !s->async || s->ops.read_raw != kReadAheadOps.read_raw) return nullptr;
  return ra_borrow(s, want, got);
}

void StreamReadByCaller(Stream* s, bool on) {
  if (s && s->async && s->ops.read_raw == kReadAheadOps.read_raw) af(s)->by_caller = on;
}

bool StreamStartAsync(Stream* s) {
  if (!s || s->kind != STREAM_FILE || !s->file || s->async || s->not_closable || StreamThreads() < 2) return false;
  const int fd = fileno(s->file);
  const int flags = fcntl(fd, F_GETFL);
  struct stat st;
  if (flags < 0 || fstat(fd, &st) != 0) return false;
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  // Reading ahead needs positioned reads (a regular file); writing behind needs a position
  // to report (no pipes), which a character device such as /dev/full has.
  if (reading ? !S_ISREG(st.st_mode) : (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
  const off_t at = ftello(s->file);
  if (at < 0) return false;
  if (!reading && std::fflush(s->file) != 0) return false;
  AsyncFile* a = nullptr;
  try {
    a = new AsyncFile(s, reading ? AsyncFile::Mode::Read : AsyncFile::Mode::Write);
    a->start();
  } catch (...) {
    delete a;  // no thread, or the memory for the chunks: stay on one thread
    return false;
  }
  a->base = static_cast<int64_t>(at);
  s->async = a;
  s->ops = reading ? kReadAheadOps : kWriteBehindOps;
  if (reading) a->post(a->base, 0);
  return true;
}

bool async_settle(Stream* s) {
  if (!s->async || s->async->mode == AsyncFile::Mode::Read) return true;
  return settle(s);
}

void async_stop(Stream* s) {
  if (!s->async) return;
  async_settle(s);
  delete s->async;
  s->async = nullptr;
}

int32_t async_ungetc(Stream* s, int32_t c) {
  if (s->async->mode == AsyncFile::Mode::Read) {
    // Like the C file's ungetc: a step back that leaves the error bits alone.
    const uint32_t bits = s->error;
    const int32_t r = ra_seek64(s, -1, 1) == 0 ? c : -1;
    s->error = bits;
    return r;
  }
  settle(s);
  const int32_t r = std::ungetc(c, s->file) == EOF ? -1 : c;
  resync(s);
  return r;
}

}  // namespace tabulon
