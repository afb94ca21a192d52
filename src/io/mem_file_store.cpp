#include "io/mem_file_store.h"

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>

namespace tabulon {

namespace {

uint8_t sum_bytes(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  uint8_t s = 0;
  for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + b[i]);
  return s;
}

void seal_header(MemFileStore* st) {
  if (st->check_on) st->check = sum_bytes(st, 28);
}
void seal_desc(const MemFileStore* st, MemFileDesc* d) {
  if (st->check_on) d->check = sum_bytes(d, 60);
}

uint32_t fail(MemFileStore* st, uint32_t code) {
  st->last_error = code;
  return code;
}

// Header check before every operation: a damaged header is left alone.
bool header_ok(MemFileStore* st) {
  if (!st || st->magic != kMemStoreMagic) return false;
  if (st->check_on && sum_bytes(st, 28) != st->check) {
    st->last_error = MFS_HEADER_CHECK;
    return false;
  }
  return true;
}

MemFileDesc* lookup(MemFileStore* st, uint8_t number) {
  if (!header_ok(st)) return nullptr;
  if (number < 1 || number > st->max_files) {
    fail(st, MFS_BAD_NUMBER);
    return nullptr;
  }
  MemFileDesc* d = st->files[number - 1];
  if (!d) {
    fail(st, MFS_NOT_OPEN);
    return nullptr;
  }
  if (st->check_on && sum_bytes(d, 60) != d->check) {
    fail(st, MFS_DESC_CHECK);
    return nullptr;
  }
  return d;
}

// Block data is not zeroed: bytes past a file's length are never read before a write
// covers them (a write past the end zeroes the gap first).
MemBlock* new_block(const MemFileStore* st) {
  auto* b = static_cast<MemBlock*>(std::malloc(sizeof(MemBlock) + st->block_size));
  if (b) b->next = nullptr;
  return b;
}

void free_chain(MemFileDesc* d) {
  MemBlock* b = d->first;
  while (b) {
    MemBlock* n = b->next;
    std::free(b);
    b = n;
  }
  d->first = d->last = d->cur = nullptr;
  d->block_count = 0;
  d->cur_index = 0;
}

// The block with the given index, walking from the cached block when it lies before.
MemBlock* block_at(MemFileDesc* d, uint64_t index) {
  if (index >= d->block_count) return nullptr;
  if (index == d->block_count - 1u) {
    d->cur = d->last;
    d->cur_index = static_cast<uint32_t>(index);
    return d->last;
  }
  MemBlock* b = d->first;
  uint64_t i = 0;
  if (d->cur && d->cur_index <= index) {
    b = d->cur;
    i = d->cur_index;
  }
  while (i < index) {
    b = b->next;
    ++i;
  }
  d->cur = b;
  d->cur_index = static_cast<uint32_t>(index);
  return b;
}

// Makes sure blocks exist up to (and including) index; false when out of memory.
bool grow_to(const MemFileStore* st, MemFileDesc* d, uint64_t index) {
  if (index >= 0xFFFFFFFFull) return false;
  while (d->block_count <= index) {
    MemBlock* b = new_block(st);
    if (!b) return false;
    if (d->last)
      d->last->next = b;
    else
      d->first = b;
    d->last = b;
    ++d->block_count;
  }
  return true;
}

}  // namespace

uint32_t mfs_init(MemFileStore* st, uint16_t block_size, uint8_t max_files, bool integrity_check) {
  if (st->magic == kMemStoreMagic) return fail(st, MFS_ALREADY_INIT);
  if (block_size == 0 && max_files == 0) {
    st->last_error = MFS_BAD_PARAMS;
    return MFS_BAD_PARAMS;
  }
  if (block_size == 0) block_size = 4096;
  if (max_files == 0) max_files = 32;
  MemFileDesc** table = static_cast<MemFileDesc**>(std::calloc(max_files, sizeof(MemFileDesc*)));
  if (!table) {
    st->last_error = MFS_NO_MEMORY;
    return MFS_NO_MEMORY;
  }
  std::memset(st, 0, sizeof(*st));
  st->magic = kMemStoreMagic;
  st->block_size = block_size;
  st->max_files = max_files;
  st->files = table;
  st->check_on = integrity_check ? 1u : 0u;
  seal_header(st);
  return 0;
}

uint32_t mfs_shutdown(MemFileStore* st) {
  if (!st || st->magic != kMemStoreMagic) {
    if (st) st->last_error = MFS_NOT_INIT;
    return MFS_NOT_INIT;
  }
  if (!header_ok(st)) return MFS_HEADER_CHECK;
  for (uint32_t i = 0; i < st->max_files; ++i) {
    if (MemFileDesc* d = st->files[i]) {
      free_chain(d);
      std::free(d);
    }
  }
  std::free(st->files);
  std::memset(st, 0, sizeof(*st));
  return 0;
}

uint32_t mfs_last_error(MemFileStore* st) {
  if (!st) return MFS_NOT_INIT;
  uint32_t e = st->last_error;
  st->last_error = 0;
  return e;
}

uint8_t mfs_open(MemFileStore* st) {
  if (!header_ok(st)) {
    if (st && st->magic != kMemStoreMagic) st->last_error = MFS_NOT_INIT;
    return 0;
  }
  for (uint32_t i = 0; i < st->max_files; ++i) {
    if (st->files[i]) continue;
    auto* d = static_cast<MemFileDesc*>(std::calloc(1, sizeof(MemFileDesc)));
    if (!d) {
      fail(st, MFS_NO_MEMORY);
      return 0;
    }
    d->number = static_cast<uint8_t>(i + 1);
    seal_desc(st, d);
    st->files[i] = d;
    ++st->open_files;
    seal_header(st);
    return d->number;
  }
  fail(st, MFS_NO_SLOT);
  return 0;
}

uint32_t mfs_close(MemFileStore* st, uint8_t number) {
  MemFileDesc* d = lookup(st, number);
  if (!d) return st ? st->last_error : MFS_NOT_INIT;
  free_chain(d);
  std::free(d);
  st->files[number - 1] = nullptr;
  --st->open_files;
  seal_header(st);
  return 0;
}

int64_t mfs_read(MemFileStore* st, uint8_t number, void* buffer, size_t n) {
  MemFileDesc* d = lookup(st, number);
  if (!d) return -1;
  if (d->position >= d->length || n == 0) return 0;
  uint64_t avail = d->length - d->position;
  if (n > avail) n = static_cast<size_t>(avail);
  const uint32_t bs = st->block_size;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    uint64_t pos = d->position + done;
    MemBlock* b = block_at(d, pos / bs);
    size_t off = static_cast<size_t>(pos % bs);
    size_t take = bs - off;
    if (take > n - done) take = n - done;
    std::memcpy(out + done, b->data() + off, take);
    done += take;
  }
  d->position += done;
  seal_desc(st, d);
  return static_cast<int64_t>(done);
}

int64_t mfs_write(MemFileStore* st, uint8_t number, const void* buffer, size_t n) {
  MemFileDesc* d = lookup(st, number);
  if (!d) return -1;
  if (n == 0) return 0;
  const uint32_t bs = st->block_size;
  // A write past the end: the gap between the old end and the position reads as zeros.
  for (uint64_t gap = d->length; gap < d->position;) {
    if (!grow_to(st, d, gap / bs)) {
      fail(st, MFS_NO_MEMORY);
      return -1;
    }
    MemBlock* b = block_at(d, gap / bs);
    size_t off = static_cast<size_t>(gap % bs);
    size_t take = static_cast<size_t>(std::min<uint64_t>(bs - off, d->position - gap));
    std::memset(b->data() + off, 0, take);
    gap += take;
  }
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    uint64_t pos = d->position + done;
    uint64_t index = pos / bs;
    if (!grow_to(st, d, index)) {
      fail(st, MFS_NO_MEMORY);
      break;
    }
    MemBlock* b = block_at(d, index);
    size_t off = static_cast<size_t>(pos % bs);
    size_t take = bs - off;
    if (take > n - done) take = n - done;
    std::memcpy(b->data() + off, in + done, take);
    done += take;
  }
  d->position += done;
  if (d->position > d->length) d->length = d->position;
  seal_desc(st, d);
  return static_cast<int64_t>(done);
}

int32_t mfs_seek(MemFileStore* st, uint8_t number, int64_t position) {
  MemFileDesc* d = lookup(st, number);
  if (!d) return -1;
  if (position < 0) return -1;
  d->position = static_cast<uint64_t>(position);
  seal_desc(st, d);
  return 0;
}

int64_t mfs_tell(MemFileStore* st, uint8_t number) {
  MemFileDesc* d = lookup(st, number);
  return d ? static_cast<int64_t>(d->position) : -1;
}

int64_t mfs_length(MemFileStore* st, uint8_t number) {
  MemFileDesc* d = lookup(st, number);
  return d ? static_cast<int64_t>(d->length) : -1;
}

int32_t mfs_getc(MemFileStore* st, uint8_t number) {
  uint8_t c;
  return mfs_read(st, number, &c, 1) == 1 ? c : -1;
}

int32_t mfs_putc(MemFileStore* st, uint8_t number, int32_t c) {
  uint8_t b = static_cast<uint8_t>(c);
  return mfs_write(st, number, &b, 1) == 1 ? b : -1;
}

uint32_t mfs_open_count(const MemFileStore* st) { return st && st->magic == kMemStoreMagic ? st->open_files : 0; }

}  // namespace tabulon
