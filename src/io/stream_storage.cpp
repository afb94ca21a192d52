// Storage kind: one stream of a compound file.
#include <cstring>

#include "io/compound_file.h"
#include "io/stream.h"
#include "io/stream_ops.h"

namespace tabulon {

namespace {

int32_t g_last_error = 0;  // process-wide, like the structured-storage result it mirrors

int32_t st_read(Stream* s, void* buffer, int32_t n) {
  if (n < 1) return 0;
  if (!s->stream_object) {
    s->error |= STREAM_ERR_READ;
    return 0;
  }
  int64_t got = cf_stream_read(s->stream_object, buffer, static_cast<uint64_t>(n));
  if (got < n) s->error |= STREAM_ERR_READ;
  return got < 0 ? 0 : static_cast<int32_t>(got);
}

int32_t st_seek64(Stream* s, int64_t offset, int32_t origin) {
  s->error = 0;
  if (!s->stream_object || cf_stream_seek(s->stream_object, offset, origin) != 0) {
    s->error |= STREAM_ERR_SEEK;
    return -1;
  }
  return 0;
}

int32_t st_seek(Stream* s, int32_t offset, int32_t origin) { return st_seek64(s, offset, origin); }
int64_t st_tell64(Stream* s) { return s->stream_object ? static_cast<int64_t>(cf_stream_tell(s->stream_object)) : -1; }
int32_t st_tell(Stream* s) { return static_cast<int32_t>(st_tell64(s)); }
int64_t st_length64(Stream* s) {
  return s->stream_object ? static_cast<int64_t>(cf_stream_length(s->stream_object)) : -1;
}

int32_t st_getc(Stream* s) {
  uint8_t c;
  if (!s->stream_object || cf_stream_read(s->stream_object, &c, 1) != 1) {
    s->error |= STREAM_ERR_GETC;
    return -1;
  }
  return c;
}

int32_t st_write(Stream* s, const void* buffer, int32_t n) {
  if (s->error & STREAM_ERR_WRITE) return 0;
  if (n < 1) return 0;
  int64_t put = s->stream_object ? cf_stream_write(s->stream_object, buffer, static_cast<uint64_t>(n)) : -1;
  if (put < n) s->error |= STREAM_ERR_WRITE;
  return put < 0 ? 0 : static_cast<int32_t>(put);
}

int32_t st_putc(Stream* s, int32_t c) {
  uint8_t b = static_cast<uint8_t>(c);
  if ((s->error & STREAM_ERR_WRITE) || !s->stream_object || cf_stream_write(s->stream_object, &b, 1) != 1) {
    s->error |= STREAM_ERR_PUTC;
    return -1;
  }
  return b;
}

const StreamOps kStorageOps = {st_read,  st_seek,   st_tell,   st_getc,     st_putc,
                               st_write, st_seek64, st_tell64, st_length64, op_read_raw_via_read};

bool valid_mode(int32_t mode) { return mode == 1 || mode == 2 || mode == 4; }

// Opens (modes 1, 2) or creates (mode 4) the named stream in storage `parent`.
CfStream* open_stream_in(CompoundFile* cf, int32_t parent, const char* name, int32_t mode, int32_t* error) {
  int32_t id;
  if (mode == 4) {
    id = cf_create_stream(cf, parent, name, error);
  } else {
    id = cf_find(cf, parent, name);
    if (id == kCfNoEntry || cf_entry_type(cf, id) != CF_STREAM) {
      *error = CF_E_FILE_NOT_FOUND;
      return nullptr;
    }
  }
  if (id == kCfNoEntry) return nullptr;
  return cf_stream_open(cf, id, mode == 4, error);
}

int32_t innermost(const Stream* s) { return s->nested_count ? s->nested[s->nested_count - 1] : 0; }

}  // namespace

int32_t StreamStorageLastError() { return g_last_error; }

Stream* StreamOpenStorage(const char* path, const char* streamName, int32_t openMode, int32_t* oleFlag) {
  // Per-environment OLE initialisation: our compound-file layer needs no COM, so it is state only.
  if (oleFlag && *oleFlag == 0) *oleFlag = 1;
  int32_t err = CF_OK;
  if (!path || !valid_mode(openMode)) {
    g_last_error = CF_E_INVALID_FLAG;
    return nullptr;
  }
  CompoundFile* cf = openMode == 4 ? cf_create(path, &err) : cf_open(path, openMode, &err);
  if (!cf) {
    g_last_error = err;
    return nullptr;
  }
  CfStream* object = nullptr;
  if (streamName) {
    object = open_stream_in(cf, 0, streamName, openMode, &err);
    if (!object) {
      cf_release(cf);
      g_last_error = err;
      return nullptr;
    }
  }
  Stream* s = stream_new(STREAM_STORAGE, path);
  if (!s) {
    cf_stream_release(object);
    cf_release(cf);
    g_last_error = CF_E_NO_MEMORY;
    return nullptr;
  }
  s->storage = cf;
  s->stream_object = object;
  s->open_mode = static_cast<uint32_t>(openMode);
  s->ops = kStorageOps;
  g_last_error = 0;
  return s;
}

int32_t StreamOpenNested(Stream* s, const char* const* storageNames, int32_t count, const char* streamName,
                         int32_t openMode) {
  if (!s || s->kind != STREAM_STORAGE || !valid_mode(openMode) || count < 0 || count > kStreamMaxNested ||
      (count > 0 && !storageNames) || !streamName)
    return -1;
  cf_stream_release(s->stream_object);
  s->stream_object = nullptr;
  s->nested_count = 0;
  CompoundFile* cf = s->storage;
  int32_t err = CF_OK;
  int32_t parent = 0;
  for (int32_t i = 0; i < count; ++i) {
    int32_t id = cf_find(cf, parent, storageNames[i]);
    if (id == kCfNoEntry && openMode == 4) id = cf_create_storage(cf, parent, storageNames[i], &err);
    if (id == kCfNoEntry || cf_entry_type(cf, id) != CF_STORAGE) {
      g_last_error = err ? err : CF_E_FILE_NOT_FOUND;
      s->nested_count = 0;
      return -1;
    }
    s->nested[s->nested_count++] = id;
    parent = id;
  }
  s->stream_object = open_stream_in(cf, parent, streamName, openMode, &err);
  if (!s->stream_object) {
    g_last_error = err;
    return -1;
  }
  s->error = 0;
  return 0;
}

int32_t StreamStorageCommit(Stream* s) {
  if (!s || s->kind != STREAM_STORAGE) return -1;
  if (cf_mode(s->storage) == CF_READ) return 0;
  int32_t err = cf_commit(s->storage);
  if (err) {
    g_last_error = err;
    s->error |= STREAM_ERR_WRITE;
    return -1;
  }
  return 0;
}

int32_t StreamReopen(Stream* s, const char* streamName, int32_t openMode) {
  if (!s || s->kind != STREAM_STORAGE || !valid_mode(openMode) || !streamName) return -1;
  if (s->open_mode == 4 && StreamStorageCommit(s) != 0) return -1;
  cf_stream_release(s->stream_object);
  s->stream_object = nullptr;
  int32_t err = CF_OK;
  s->stream_object = open_stream_in(s->storage, innermost(s), streamName, openMode, &err);
  if (!s->stream_object) {
    g_last_error = err;
    return -1;
  }
  s->error = 0;
  return 0;
}

void storage_stream_close(Stream* s) {
  s->open_mode = 4;
  StreamStorageCommit(s);
  cf_stream_release(s->stream_object);
  s->stream_object = nullptr;
  s->nested_count = 0;
  cf_release(s->storage);
  s->storage = nullptr;
}

}  // namespace tabulon
