#include "io/compound_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace tabulon {

namespace {

constexpr uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kFatSect = 0xFFFFFFFDu;
constexpr uint32_t kDifSect = 0xFFFFFFFCu;
constexpr uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr uint32_t kNoStream = 0xFFFFFFFFu;
constexpr uint32_t kMiniSector = 64;
constexpr uint32_t kHeaderDifat = 109;
constexpr uint32_t kDirEntrySize = 128;
constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t le64(const uint8_t* p) { return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32); }
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
  put32(p, static_cast<uint32_t>(v));
  put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Reads exactly n bytes at offset; false on a short read.
bool pread_all(int fd, void* buffer, size_t n, uint64_t offset) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

char16_t upper_unit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A: mostly upper/lower pairs on even/odd code points.
    bool odd_lower = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    bool even_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_lower && (c & 1)) return static_cast<char16_t>(c - 1);
    if (even_lower && !(c & 1)) return static_cast<char16_t>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

}  // namespace

struct CfEntry {
  std::u16string name;
  uint8_t type = CF_EMPTY;
  uint8_t clsid[16] = {};
  uint32_t state_bits = 0;
  uint64_t ctime = 0;
  uint64_t mtime = 0;
  uint32_t start = kEndOfChain;
  uint64_t size = 0;
  int32_t parent = kCfNoEntry;
  std::vector<int32_t> kids;  // storages: their children
  bool in_memory = false;     // data holds the stream (new, changed, or loaded before a rewrite)
  std::vector<uint8_t> data;
  bool removed = false;
};

struct CompoundFile {
  std::string path;
  int32_t mode = CF_READ;
  int fd = -1;
  uint16_t major = 3;
  uint32_t sector_size = 512;
  uint64_t file_size = 0;
  uint32_t sector_count = 0;  // sectors (whole or partial) behind the header
  uint32_t mini_cutoff = kCfMiniCutoff;
  std::vector<uint32_t> fat;
  std::vector<uint32_t> minifat;
  std::vector<CfEntry> dir;
  // The mini stream, read whole on first use.
  bool mini_loaded = false;
  std::vector<uint8_t> mini;
  int32_t open_streams = 0;
};

struct CfStream {
  CompoundFile* cf = nullptr;
  int32_t id = kCfNoEntry;
  bool writable = false;
  uint64_t pos = 0;
  // File-backed reading: the stream's sectors (regular or mini) as far as the chain is valid.
  bool mini = false;
  std::vector<uint32_t> sectors;
  uint64_t readable = 0;
};

// ---- Names ----

int cf_compare_names(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = upper_unit(a[i]), y = upper_unit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool cf_name_from_utf8(const char* utf8, std::u16string* out) {
  out->clear();
  if (!utf8 || !*utf8) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(utf8);
  while (*p) {
    uint32_t cp;
    int extra;
    if (*p < 0x80) {
      cp = *p;
      extra = 0;
    } else if ((*p & 0xE0) == 0xC0) {
      cp = *p & 0x1F;
      extra = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      cp = *p & 0x0F;
      extra = 2;
    } else if ((*p & 0xF8) == 0xF0) {
      cp = *p & 0x07;
      extra = 3;
    } else {
      return false;
    }
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3F);
    }
    static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp == '/' || cp == '\\' || cp == ':' || cp == '!') return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
  return out->size() <= 31;
}

namespace {

std::string utf8_from_name(const std::u16string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t cp = name[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// ---- Reading the tables ----

uint64_t sector_offset(const CompoundFile* cf, uint32_t sector) {
  return (static_cast<uint64_t>(sector) + 1) * cf->sector_size;
}

// Follows a chain in table from start, taking at most max_len links. Stops (false)
// at an id outside [0, limit) or when the chain is longer than max_len (a loop).
bool follow_chain(const std::vector<uint32_t>& table, uint32_t start, uint32_t limit, size_t max_len,
                  std::vector<uint32_t>* out) {
  out->clear();
  uint32_t id = start;
  while (id != kEndOfChain) {
    if (id >= limit || id >= table.size() || out->size() >= max_len) return false;
    out->push_back(id);
    id = table[id];
  }
  return true;
}

bool read_sector(const CompoundFile* cf, uint32_t sector, uint8_t* buffer) {
  if (sector >= cf->sector_count) return false;
  uint64_t off = sector_offset(cf, sector);
  if (off + cf->sector_size > cf->file_size) {
    // The last sector may be cut short: the rest reads as zeros.
    std::memset(buffer, 0, cf->sector_size);
    return off < cf->file_size && pread_all(cf->fd, buffer, static_cast<size_t>(cf->file_size - off), off);
  }
  return pread_all(cf->fd, buffer, cf->sector_size, off);
}

int32_t load_fat(CompoundFile* cf, const uint8_t* header) {
  const uint32_t per_sector = cf->sector_size / 4;
  uint32_t fat_count = le32(header + 44);
  if (fat_count > cf->sector_count) return CF_E_CORRUPT;
  std::vector<uint32_t> fat_sectors;
  fat_sectors.reserve(fat_count);
  for (uint32_t i = 0; i < kHeaderDifat && fat_sectors.size() < fat_count; ++i)
    fat_sectors.push_back(le32(header + 76 + 4 * i));
  uint32_t difat = le32(header + 68);
  std::vector<uint8_t> sector(cf->sector_size);
  uint32_t walked = 0;
  while (fat_sectors.size() < fat_count) {
    if (difat >= cf->sector_count || ++walked > cf->sector_count) return CF_E_CORRUPT;
    if (!read_sector(cf, difat, sector.data())) return CF_E_CORRUPT;
    for (uint32_t i = 0; i + 1 < per_sector && fat_sectors.size() < fat_count; ++i)
      fat_sectors.push_back(le32(sector.data() + 4 * i));
    difat = le32(sector.data() + 4 * (per_sector - 1));
  }
  cf->fat.assign(static_cast<size_t>(fat_count) * per_sector, kFreeSect);
  for (uint32_t i = 0; i < fat_count; ++i) {
    if (fat_sectors[i] >= cf->sector_count || !read_sector(cf, fat_sectors[i], sector.data())) return CF_E_CORRUPT;
    for (uint32_t j = 0; j < per_sector; ++j) cf->fat[static_cast<size_t>(i) * per_sector + j] = le32(sector.data() + 4 * j);
  }
  return CF_OK;
}

// Reads a whole regular chain (tables, directory). Bounded by the file's sectors.
int32_t read_chain_bytes(CompoundFile* cf, uint32_t start, std::vector<uint8_t>* out) {
  std::vector<uint32_t> chain;
  if (!follow_chain(cf->fat, start, cf->sector_count, cf->sector_count, &chain)) return CF_E_CORRUPT;
  out->assign(chain.size() * static_cast<size_t>(cf->sector_size), 0);
  for (size_t i = 0; i < chain.size(); ++i)
    if (!read_sector(cf, chain[i], out->data() + i * cf->sector_size)) return CF_E_CORRUPT;
  return CF_OK;
}

int32_t load_directory(CompoundFile* cf, const uint8_t* header) {
  std::vector<uint8_t> bytes;
  if (int32_t e = read_chain_bytes(cf, le32(header + 48), &bytes)) return e;
  size_t count = bytes.size() / kDirEntrySize;
  if (count == 0) return CF_E_CORRUPT;
  cf->dir.assign(count, CfEntry{});
  std::vector<uint32_t> left(count), right(count), child(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = bytes.data() + i * kDirEntrySize;
    CfEntry& d = cf->dir[i];
    uint16_t name_bytes = le16(e + 64);
    size_t units = name_bytes >= 2 ? std::min<size_t>(name_bytes / 2 - 1, 31) : 0;
    for (size_t k = 0; k < units; ++k) {
      char16_t c = le16(e + 2 * k);
      if (c == 0) break;
      d.name.push_back(c);
    }
    d.type = e[66];
    left[i] = le32(e + 68);
    right[i] = le32(e + 72);
    child[i] = le32(e + 76);
    std::memcpy(d.clsid, e + 80, 16);
    d.state_bits = le32(e + 96);
    d.ctime = le64(e + 100);
    d.mtime = le64(e + 108);
    d.start = le32(e + 116);
    d.size = cf->major == 3 ? le32(e + 120) : le64(e + 120);  // version 3 writers leave junk above 32 bits
  }
  if (cf->dir[0].type != CF_ROOT) return CF_E_CORRUPT;
  // Walk the tree once: every entry may be reached only once (no cycles, no sharing).
  std::vector<uint8_t> seen(count, 0);
  seen[0] = 1;
  struct Item {
    uint32_t id;
    int32_t parent;
  };
  std::vector<Item> stack;
  if (child[0] != kNoStream) stack.push_back({child[0], 0});
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    if (it.id >= count || seen[it.id]) return CF_E_CORRUPT;
    seen[it.id] = 1;
    CfEntry& d = cf->dir[it.id];
    if (d.type != CF_STORAGE && d.type != CF_STREAM) return CF_E_CORRUPT;
    d.parent = it.parent;
    cf->dir[static_cast<size_t>(it.parent)].kids.push_back(static_cast<int32_t>(it.id));
    if (left[it.id] != kNoStream) stack.push_back({left[it.id], it.parent});
    if (right[it.id] != kNoStream) stack.push_back({right[it.id], it.parent});
    if (d.type == CF_STORAGE && child[it.id] != kNoStream) stack.push_back({child[it.id], static_cast<int32_t>(it.id)});
  }
  // Unreached entries are not part of the file.
  for (size_t i = 1; i < count; ++i)
    if (!seen[i]) cf->dir[i].removed = true;
  return CF_OK;
}

int32_t load_minifat(CompoundFile* cf, const uint8_t* header) {
  uint32_t start = le32(header + 60);
  if (start == kEndOfChain || start == kFreeSect || le32(header + 64) == 0) return CF_OK;
  std::vector<uint8_t> bytes;
  if (int32_t e = read_chain_bytes(cf, start, &bytes)) return e;
  cf->minifat.resize(bytes.size() / 4);
  for (size_t i = 0; i < cf->minifat.size(); ++i) cf->minifat[i] = le32(bytes.data() + 4 * i);
  return CF_OK;
}

// Regular sectors of a stream of the given size, as far as its chain is valid.
void regular_sectors(const CompoundFile* cf, uint32_t start, uint64_t size, std::vector<uint32_t>* out,
                     uint64_t* readable) {
  uint64_t need = (size + cf->sector_size - 1) / cf->sector_size;
  size_t max_len = static_cast<size_t>(std::min<uint64_t>(need, cf->sector_count));
  follow_chain(cf->fat, start, cf->sector_count, max_len, out);
  // Every id is below sector_count, so each sector starts inside the file; a cut
  // last sector gives a short read.
  *readable = std::min<uint64_t>(size, static_cast<uint64_t>(out->size()) * cf->sector_size);
}

// Reads from a regular-sector stream, coalescing runs of consecutive sectors.
uint64_t read_regular(const CompoundFile* cf, const std::vector<uint32_t>& sectors, uint64_t readable, uint64_t pos,
                      uint8_t* out, uint64_t n) {
  if (pos >= readable) return 0;
  n = std::min(n, readable - pos);
  const uint32_t ss = cf->sector_size;
  uint64_t done = 0;
  while (done < n) {
    uint64_t p = pos + done;
    size_t index = static_cast<size_t>(p / ss);
    uint32_t off = static_cast<uint32_t>(p % ss);
    uint64_t span = ss - off;
    size_t run_end = index + 1;
    while (span < n - done && run_end < sectors.size() && sectors[run_end] == sectors[run_end - 1] + 1) {
      span += ss;
      ++run_end;
    }
    uint64_t take = std::min(span, n - done);
    uint64_t file_off = sector_offset(cf, sectors[index]) + off;
    if (file_off >= cf->file_size) break;
    uint64_t avail = std::min(take, cf->file_size - file_off);
    if (!pread_all(cf->fd, out + done, static_cast<size_t>(avail), file_off)) break;
    done += avail;
    if (avail < take) break;
  }
  return done;
}

void load_mini(CompoundFile* cf) {
  if (cf->mini_loaded) return;
  cf->mini_loaded = true;
  const CfEntry& root = cf->dir[0];
  if (cf->fd < 0 || root.start >= kMaxRegSect) return;
  std::vector<uint32_t> sectors;
  uint64_t readable = 0;
  regular_sectors(cf, root.start, root.size, &sectors, &readable);
  cf->mini.resize(static_cast<size_t>(readable));
  cf->mini.resize(static_cast<size_t>(read_regular(cf, sectors, readable, 0, cf->mini.data(), readable)));
}

// Every stream into memory, before the file is rewritten.
int32_t materialize(CompoundFile* cf) {
  uint64_t budget = cf->file_size * 4 + (64u << 20);  // shared chains must not multiply into huge copies
  for (size_t i = 1; i < cf->dir.size(); ++i) {
    CfEntry& d = cf->dir[i];
    if (d.removed || d.type != CF_STREAM || d.in_memory) continue;
    int32_t err = 0;
    CfStream* s = cf_stream_open(cf, static_cast<int32_t>(i), false, &err);
    if (!s) return err;
    uint64_t n = std::min(s->readable, d.size);
    if (n > budget) {
      cf_stream_release(s);
      return CF_E_CORRUPT;
    }
    budget -= n;
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    int64_t got = cf_stream_read(s, bytes.data(), n);
    cf_stream_release(s);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    d.data = std::move(bytes);
    d.size = d.data.size();
    d.in_memory = true;
  }
  return CF_OK;
}

}  // namespace

// ---- Opening ----

CompoundFile* cf_open(const char* path, int32_t mode, int32_t* error) {
  int32_t dummy;
  if (!error) error = &dummy;
  *error = CF_OK;
  if (mode != CF_READ && mode != CF_READ_WRITE) {
    *error = CF_E_INVALID_FLAG;
    return nullptr;
  }
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT ? CF_E_FILE_NOT_FOUND : CF_E_ACCESS_DENIED;
    return nullptr;
  }
  if (mode == CF_READ_WRITE && ::access(path, W_OK) != 0) {
    ::close(fd);
    *error = CF_E_ACCESS_DENIED;
    return nullptr;
  }
  std::unique_ptr<CompoundFile> cf(new (std::nothrow) CompoundFile);
  if (!cf) {
    ::close(fd);
    *error = CF_E_NO_MEMORY;
    return nullptr;
  }
  cf->fd = fd;
  cf->path = path;
  cf->mode = mode;
  struct stat st;
  uint8_t header[512];
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 512 || !pread_all(fd, header, 512, 0) ||
      std::memcmp(header, kSignature, 8) != 0) {
    ::close(fd);
    cf->fd = -1;
    *error = CF_E_INVALID_HEADER;
    return nullptr;
  }
  cf->file_size = static_cast<uint64_t>(st.st_size);
  cf->major = le16(header + 26);
  uint16_t shift = le16(header + 30);
  uint16_t mini_shift = le16(header + 32);
  if (!((cf->major == 3 && shift == 9) || (cf->major == 4 && shift == 12)) || mini_shift != 6 ||
      le16(header + 28) != 0xFFFE) {
    ::close(fd);
    cf->fd = -1;
    *error = CF_E_INVALID_HEADER;
    return nullptr;
  }
  cf->sector_size = 1u << shift;
  uint64_t body = cf->file_size > cf->sector_size ? cf->file_size - cf->sector_size : 0;
  uint64_t sectors = (body + cf->sector_size - 1) / cf->sector_size;
  cf->sector_count = static_cast<uint32_t>(std::min<uint64_t>(sectors, kMaxRegSect));
  cf->mini_cutoff = le32(header + 56);
  if (cf->mini_cutoff == 0) cf->mini_cutoff = kCfMiniCutoff;
  int32_t e = CF_OK;
  try {
    e = load_fat(cf.get(), header);
    if (!e) e = load_directory(cf.get(), header);
    if (!e) e = load_minifat(cf.get(), header);
  } catch (const std::bad_alloc&) {
    e = CF_E_NO_MEMORY;
  }
  if (e) {
    ::close(fd);
    cf->fd = -1;
    *error = e;
    return nullptr;
  }
  return cf.release();
}

CompoundFile* cf_create(const char* path, int32_t* error) {
  int32_t dummy;
  if (!error) error = &dummy;
  *error = CF_OK;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno == ENOENT ? CF_E_FILE_NOT_FOUND : CF_E_ACCESS_DENIED;
    return nullptr;
  }
  ::close(fd);
  CompoundFile* cf = new (std::nothrow) CompoundFile;
  if (!cf) {
    *error = CF_E_NO_MEMORY;
    return nullptr;
  }
  cf->path = path;
  cf->mode = CF_CREATE;
  cf->mini_loaded = true;
  cf->dir.resize(1);
  cf->dir[0].name = u"Root Entry";
  cf->dir[0].type = CF_ROOT;
  return cf;
}

void cf_release(CompoundFile* cf) {
  if (!cf) return;
  if (cf->fd >= 0) ::close(cf->fd);
  delete cf;
}

int32_t cf_mode(const CompoundFile* cf) { return cf->mode; }
int32_t cf_version(const CompoundFile* cf) { return cf->major; }

// ---- Directory ----

int32_t cf_find(CompoundFile* cf, int32_t storage, const char* name) {
  std::u16string key;
  if (!cf || storage < 0 || static_cast<size_t>(storage) >= cf->dir.size()) return kCfNoEntry;
  if (!cf_name_from_utf8(name, &key)) return kCfNoEntry;
  for (int32_t id : cf->dir[static_cast<size_t>(storage)].kids) {
    const CfEntry& d = cf->dir[static_cast<size_t>(id)];
    if (!d.removed && cf_compare_names(d.name, key) == 0) return id;
  }
  return kCfNoEntry;
}

CfEntryType cf_entry_type(const CompoundFile* cf, int32_t id) {
  if (!cf || id < 0 || static_cast<size_t>(id) >= cf->dir.size() || cf->dir[static_cast<size_t>(id)].removed)
    return CF_EMPTY;
  return static_cast<CfEntryType>(cf->dir[static_cast<size_t>(id)].type);
}

std::string cf_entry_name(const CompoundFile* cf, int32_t id) {
  if (cf_entry_type(cf, id) == CF_EMPTY) return {};
  return utf8_from_name(cf->dir[static_cast<size_t>(id)].name);
}

std::vector<int32_t> cf_children(const CompoundFile* cf, int32_t storage) {
  std::vector<int32_t> out;
  CfEntryType t = cf_entry_type(cf, storage);
  if (t != CF_STORAGE && t != CF_ROOT) return out;
  for (int32_t id : cf->dir[static_cast<size_t>(storage)].kids)
    if (!cf->dir[static_cast<size_t>(id)].removed) out.push_back(id);
  std::sort(out.begin(), out.end(), [cf](int32_t a, int32_t b) {
    return cf_compare_names(cf->dir[static_cast<size_t>(a)].name, cf->dir[static_cast<size_t>(b)].name) < 0;
  });
  return out;
}

uint64_t cf_entry_size(const CompoundFile* cf, int32_t id) {
  if (cf_entry_type(cf, id) != CF_STREAM) return 0;
  return cf->dir[static_cast<size_t>(id)].size;
}

namespace {

int32_t add_child(CompoundFile* cf, int32_t parent, const char* name, uint8_t type, int32_t* error) {
  int32_t dummy;
  if (!error) error = &dummy;
  *error = CF_OK;
  if (!cf || cf->mode == CF_READ) {
    *error = CF_E_ACCESS_DENIED;
    return kCfNoEntry;
  }
  CfEntryType pt = cf_entry_type(cf, parent);
  if (pt != CF_STORAGE && pt != CF_ROOT) {
    *error = CF_E_FILE_NOT_FOUND;
    return kCfNoEntry;
  }
  std::u16string key;
  if (!cf_name_from_utf8(name, &key)) {
    *error = CF_E_INVALID_NAME;
    return kCfNoEntry;
  }
  int32_t existing = cf_find(cf, parent, name);
  if (existing != kCfNoEntry) {
    CfEntry& d = cf->dir[static_cast<size_t>(existing)];
    if (d.type == type) {
      if (type == CF_STREAM) {
        d.data.clear();
        d.size = 0;
        d.in_memory = true;
      }
      return existing;
    }
    if (type == CF_STORAGE) {  // a stream of that name blocks the storage
      *error = CF_E_ACCESS_DENIED;
      return kCfNoEntry;
    }
    d.removed = true;  // a new stream replaces a storage of the same name
  }
  try {
    CfEntry d;
    d.name = key;
    d.type = type;
    d.parent = parent;
    d.in_memory = type == CF_STREAM;
    cf->dir.push_back(std::move(d));
    int32_t id = static_cast<int32_t>(cf->dir.size() - 1);
    cf->dir[static_cast<size_t>(parent)].kids.push_back(id);
    return id;
  } catch (const std::bad_alloc&) {
    *error = CF_E_NO_MEMORY;
    return kCfNoEntry;
  }
}

}  // namespace

int32_t cf_create_storage(CompoundFile* cf, int32_t parent, const char* name, int32_t* error) {
  return add_child(cf, parent, name, CF_STORAGE, error);
}

int32_t cf_create_stream(CompoundFile* cf, int32_t parent, const char* name, int32_t* error) {
  return add_child(cf, parent, name, CF_STREAM, error);
}

// ---- Streams ----

CfStream* cf_stream_open(CompoundFile* cf, int32_t id, bool writable, int32_t* error) {
  int32_t dummy;
  if (!error) error = &dummy;
  *error = CF_OK;
  if (cf_entry_type(cf, id) != CF_STREAM) {
    *error = CF_E_FILE_NOT_FOUND;
    return nullptr;
  }
  if (writable && cf->mode == CF_READ) {
    *error = CF_E_ACCESS_DENIED;
    return nullptr;
  }
  CfStream* s = new (std::nothrow) CfStream;
  if (!s) {
    *error = CF_E_NO_MEMORY;
    return nullptr;
  }
  s->cf = cf;
  s->id = id;
  s->writable = writable;
  CfEntry& d = cf->dir[static_cast<size_t>(id)];
  if (writable && !d.in_memory) {
    // A stream opened for writing lives in memory until the next commit.
    int32_t e = materialize(cf);
    if (e) {
      delete s;
      *error = e;
      return nullptr;
    }
  }
  if (!d.in_memory) {
    try {
      if (d.size < cf->mini_cutoff) {
        s->mini = true;
        uint64_t need = (d.size + kMiniSector - 1) / kMiniSector;
        load_mini(cf);
        uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(cf->mini.size() / kMiniSector, kMaxRegSect));
        follow_chain(cf->minifat, d.start, limit, static_cast<size_t>(need), &s->sectors);
        s->readable = std::min<uint64_t>(d.size, static_cast<uint64_t>(s->sectors.size()) * kMiniSector);
      } else {
        regular_sectors(cf, d.start, d.size, &s->sectors, &s->readable);
      }
    } catch (const std::bad_alloc&) {
      delete s;
      *error = CF_E_NO_MEMORY;
      return nullptr;
    }
  }
  ++cf->open_streams;
  return s;
}

void cf_stream_release(CfStream* s) {
  if (!s) return;
  --s->cf->open_streams;
  delete s;
}

int64_t cf_stream_read(CfStream* s, void* buffer, uint64_t n) {
  CfEntry& d = s->cf->dir[static_cast<size_t>(s->id)];
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (d.in_memory) {
    if (s->pos >= d.data.size()) return 0;
    uint64_t take = std::min<uint64_t>(n, d.data.size() - s->pos);
    std::memcpy(out, d.data.data() + s->pos, static_cast<size_t>(take));
    s->pos += take;
    return static_cast<int64_t>(take);
  }
  uint64_t got = 0;
  if (!s->mini) {
    got = read_regular(s->cf, s->sectors, s->readable, s->pos, out, n);
  } else if (s->pos < s->readable) {
    uint64_t take = std::min(n, s->readable - s->pos);
    const std::vector<uint8_t>& mini = s->cf->mini;
    while (got < take) {
      uint64_t p = s->pos + got;
      uint64_t sector = s->sectors[static_cast<size_t>(p / kMiniSector)];
      uint32_t off = static_cast<uint32_t>(p % kMiniSector);
      uint64_t piece = std::min<uint64_t>(kMiniSector - off, take - got);
      std::memcpy(out + got, mini.data() + sector * kMiniSector + off, static_cast<size_t>(piece));
      got += piece;
    }
  }
  s->pos += got;
  return static_cast<int64_t>(got);
}

int64_t cf_stream_write(CfStream* s, const void* buffer, uint64_t n) {
  if (!s->writable) return -1;
  CfEntry& d = s->cf->dir[static_cast<size_t>(s->id)];
  if (n == 0) return 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  try {
    if (s->pos > d.data.size()) d.data.resize(static_cast<size_t>(s->pos));  // the gap reads as zeros
    size_t overlap = static_cast<size_t>(std::min<uint64_t>(n, d.data.size() - s->pos));
    if (overlap) std::memcpy(d.data.data() + s->pos, in, overlap);
    d.data.insert(d.data.end(), in + overlap, in + n);  // appends without zero-filling first
  } catch (const std::bad_alloc&) {
    return -1;
  }
  s->pos += n;
  d.size = d.data.size();
  return static_cast<int64_t>(n);
}

int32_t cf_stream_seek(CfStream* s, int64_t offset, int32_t origin) {
  if (origin < 0 || origin > 2) return -1;
  int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(s->pos) : static_cast<int64_t>(cf_stream_length(s));
  int64_t target = base + offset;
  if (target < 0) return -1;
  s->pos = static_cast<uint64_t>(target);
  return 0;
}

uint64_t cf_stream_tell(const CfStream* s) { return s->pos; }

uint64_t cf_stream_length(const CfStream* s) {
  const CfEntry& d = s->cf->dir[static_cast<size_t>(s->id)];
  return d.in_memory ? d.data.size() : d.size;
}

// ---- Writing ----

namespace {

// Output through a large buffer straight to the descriptor.
struct Out {
  int fd;
  std::vector<uint8_t> buf;
  bool ok = true;
  explicit Out(int f) : fd(f) { buf.reserve(1 << 20); }
  void flush() {
    size_t off = 0;
    while (ok && off < buf.size()) {
      ssize_t put = ::write(fd, buf.data() + off, buf.size() - off);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) ok = false;
      else off += static_cast<size_t>(put);
    }
    buf.clear();
  }
  void bytes(const void* p, size_t n) {
    if (n >= (1u << 20)) {
      flush();
      size_t off = 0;
      const uint8_t* b = static_cast<const uint8_t*>(p);
      while (ok && off < n) {
        ssize_t put = ::write(fd, b + off, n - off);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) ok = false;
        else off += static_cast<size_t>(put);
      }
      return;
    }
    if (buf.size() + n > buf.capacity()) flush();
    const uint8_t* b = static_cast<const uint8_t*>(p);
    buf.insert(buf.end(), b, b + n);
  }
  void zeros(size_t n) {
    static const uint8_t z[512] = {};
    while (n > 0) {
      size_t k = std::min<size_t>(n, sizeof z);
      bytes(z, k);
      n -= k;
    }
  }
  void u32(uint32_t v) {
    uint8_t b[4];
    put32(b, v);
    bytes(b, 4);
  }
};

// Balanced tree over sorted ids: nodes deeper than the shallowest leaf level are red,
// which keeps every path to a leaf with the same number of black nodes.
int32_t build_tree(const std::vector<int32_t>& sorted, size_t lo, size_t hi, int depth, int red_depth,
                   std::vector<uint32_t>& left, std::vector<uint32_t>& right, std::vector<uint8_t>& color) {
  if (lo >= hi) return -1;
  size_t mid = lo + (hi - lo) / 2;
  int32_t id = sorted[mid];
  int32_t l = build_tree(sorted, lo, mid, depth + 1, red_depth, left, right, color);
  int32_t r = build_tree(sorted, mid + 1, hi, depth + 1, red_depth, left, right, color);
  left[static_cast<size_t>(id)] = l < 0 ? kNoStream : static_cast<uint32_t>(l);
  right[static_cast<size_t>(id)] = r < 0 ? kNoStream : static_cast<uint32_t>(r);
  color[static_cast<size_t>(id)] = depth >= red_depth ? 0 : 1;  // 0 red, 1 black
  return id;
}

int floor_log2(size_t n) {
  int k = 0;
  while (n > 1) {
    n >>= 1;
    ++k;
  }
  return k;
}

int32_t write_image(CompoundFile* cf, int fd) {
  constexpr uint32_t ss = 512;
  constexpr uint32_t per = ss / 4;
  // New ids: live entries in walk order, root first.
  std::vector<int32_t> order;
  std::vector<int32_t> new_id(cf->dir.size(), -1);
  std::vector<int32_t> stack{0};
  while (!stack.empty()) {
    int32_t id = stack.back();
    stack.pop_back();
    new_id[static_cast<size_t>(id)] = static_cast<int32_t>(order.size());
    order.push_back(id);
    const CfEntry& d = cf->dir[static_cast<size_t>(id)];
    for (auto it = d.kids.rbegin(); it != d.kids.rend(); ++it)
      if (!cf->dir[static_cast<size_t>(*it)].removed) stack.push_back(*it);
  }
  const size_t n = order.size();
  std::vector<uint32_t> left(n, kNoStream), right(n, kNoStream), child(n, kNoStream);
  std::vector<uint8_t> color(n, 1);
  for (size_t k = 0; k < n; ++k) {
    const CfEntry& d = cf->dir[static_cast<size_t>(order[k])];
    if (d.type != CF_STORAGE && d.type != CF_ROOT) continue;
    std::vector<int32_t> kids;
    for (int32_t c : d.kids)
      if (!cf->dir[static_cast<size_t>(c)].removed) kids.push_back(new_id[static_cast<size_t>(c)]);
    if (kids.empty()) continue;
    std::sort(kids.begin(), kids.end(), [&](int32_t a, int32_t b) {
      return cf_compare_names(cf->dir[static_cast<size_t>(order[static_cast<size_t>(a)])].name,
                              cf->dir[static_cast<size_t>(order[static_cast<size_t>(b)])].name) < 0;
    });
    int red_depth = floor_log2(kids.size() + 1);  // levels 0..red_depth-1 are full
    child[k] = static_cast<uint32_t>(build_tree(kids, 0, kids.size(), 0, red_depth, left, right, color));
  }
  color[0] = 1;

  // Layout: FAT, DIFAT, directory, mini FAT, mini stream, then each large stream.
  std::vector<uint32_t> start(n, kEndOfChain);
  std::vector<uint64_t> size(n, 0);
  uint64_t mini_sectors = 0;
  uint64_t big_sectors = 0;
  for (size_t k = 1; k < n; ++k) {
    const CfEntry& d = cf->dir[static_cast<size_t>(order[k])];
    if (d.type != CF_STREAM) continue;
    size[k] = d.data.size();
    if (size[k] == 0) continue;
    if (size[k] < kCfMiniCutoff) {
      start[k] = static_cast<uint32_t>(mini_sectors);
      mini_sectors += (size[k] + kMiniSector - 1) / kMiniSector;
    } else {
      big_sectors += (size[k] + ss - 1) / ss;
    }
  }
  uint64_t dir_sectors = (n * kDirEntrySize + ss - 1) / ss;
  uint64_t minifat_sectors = (mini_sectors * 4 + ss - 1) / ss;
  uint64_t mini_bytes = mini_sectors * kMiniSector;
  uint64_t ministream_sectors = (mini_bytes + ss - 1) / ss;
  uint64_t other = dir_sectors + minifat_sectors + ministream_sectors + big_sectors;
  uint64_t fat_n = 0, difat_n = 0;
  for (;;) {
    uint64_t total = other + fat_n + difat_n;
    uint64_t f = (total + per - 1) / per;
    uint64_t d = f > kHeaderDifat ? (f - kHeaderDifat + (per - 2)) / (per - 1) : 0;
    if (f == fat_n && d == difat_n) break;
    fat_n = f;
    difat_n = d;
  }
  uint64_t total = other + fat_n + difat_n;
  if (total >= kMaxRegSect) return CF_E_WRITE_FAULT;
  const uint32_t difat0 = static_cast<uint32_t>(fat_n);
  const uint32_t dir0 = static_cast<uint32_t>(fat_n + difat_n);
  const uint32_t minifat0 = static_cast<uint32_t>(dir0 + dir_sectors);
  const uint32_t ministream0 = static_cast<uint32_t>(minifat0 + minifat_sectors);
  uint32_t next_big = static_cast<uint32_t>(ministream0 + ministream_sectors);
  for (size_t k = 1; k < n; ++k) {
    if (size[k] >= kCfMiniCutoff) {
      start[k] = next_big;
      next_big += static_cast<uint32_t>((size[k] + ss - 1) / ss);
    }
  }

  std::vector<uint32_t> fat(static_cast<size_t>(fat_n * per), kFreeSect);
  auto chain = [&](uint32_t first, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) fat[first + i] = i + 1 < count ? static_cast<uint32_t>(first + i + 1) : kEndOfChain;
  };
  for (uint32_t i = 0; i < fat_n; ++i) fat[i] = kFatSect;
  for (uint32_t i = 0; i < difat_n; ++i) fat[difat0 + i] = kDifSect;
  chain(dir0, dir_sectors);
  chain(minifat0, minifat_sectors);
  chain(ministream0, ministream_sectors);
  for (size_t k = 1; k < n; ++k)
    if (size[k] >= kCfMiniCutoff) chain(start[k], (size[k] + ss - 1) / ss);

  Out out(fd);
  // Header.
  uint8_t h[512] = {};
  std::memcpy(h, kSignature, 8);
  put16(h + 24, 0x003E);
  put16(h + 26, 3);
  put16(h + 28, 0xFFFE);
  put16(h + 30, 9);
  put16(h + 32, 6);
  put32(h + 44, static_cast<uint32_t>(fat_n));
  put32(h + 48, dir0);
  put32(h + 56, kCfMiniCutoff);
  put32(h + 60, minifat_sectors ? minifat0 : kEndOfChain);
  put32(h + 64, static_cast<uint32_t>(minifat_sectors));
  put32(h + 68, difat_n ? difat0 : kEndOfChain);
  put32(h + 72, static_cast<uint32_t>(difat_n));
  for (uint32_t i = 0; i < kHeaderDifat; ++i) put32(h + 76 + 4 * i, i < fat_n ? i : kFreeSect);
  out.bytes(h, sizeof h);
  // FAT.
  for (uint32_t v : fat) out.u32(v);
  // DIFAT: FAT sector ids beyond the header's 109, 127 a sector, chained by the last word.
  for (uint32_t k = 0; k < difat_n; ++k) {
    for (uint32_t i = 0; i < per - 1; ++i) {
      uint64_t fat_index = kHeaderDifat + static_cast<uint64_t>(k) * (per - 1) + i;
      out.u32(fat_index < fat_n ? static_cast<uint32_t>(fat_index) : kFreeSect);
    }
    out.u32(k + 1 < difat_n ? difat0 + k + 1 : kEndOfChain);
  }
  // Directory.
  for (size_t k = 0; k < dir_sectors * (ss / kDirEntrySize); ++k) {
    uint8_t e[kDirEntrySize] = {};
    if (k < n) {
      const CfEntry& d = cf->dir[static_cast<size_t>(order[k])];
      size_t units = std::min<size_t>(d.name.size(), 31);
      for (size_t i = 0; i < units; ++i) put16(e + 2 * i, d.name[i]);
      put16(e + 64, static_cast<uint16_t>((units + 1) * 2));
      e[66] = d.type;
      e[67] = color[k];
      put32(e + 68, left[k]);
      put32(e + 72, right[k]);
      put32(e + 76, child[k]);
      std::memcpy(e + 80, d.clsid, 16);
      put32(e + 96, d.state_bits);
      if (d.type == CF_STORAGE) {
        put64(e + 100, d.ctime);
        put64(e + 108, d.mtime);
      } else if (d.type == CF_ROOT) {
        put64(e + 108, d.mtime);
      }
      if (k == 0) {
        put32(e + 116, mini_bytes ? ministream0 : kEndOfChain);
        put64(e + 120, mini_bytes);
      } else if (d.type == CF_STREAM) {
        put32(e + 116, start[k]);
        put64(e + 120, size[k]);
      }
    } else {
      put32(e + 68, kNoStream);
      put32(e + 72, kNoStream);
      put32(e + 76, kNoStream);
    }
    out.bytes(e, sizeof e);
  }
  // Mini FAT.
  for (size_t k = 1; k < n; ++k) {
    if (size[k] == 0 || size[k] >= kCfMiniCutoff) continue;
    uint64_t count = (size[k] + kMiniSector - 1) / kMiniSector;
    for (uint64_t i = 0; i < count; ++i) out.u32(i + 1 < count ? static_cast<uint32_t>(start[k] + i + 1) : kEndOfChain);
  }
  for (uint64_t i = mini_sectors; i < minifat_sectors * per; ++i) out.u32(kFreeSect);
  // Mini stream.
  for (size_t k = 1; k < n; ++k) {
    if (size[k] == 0 || size[k] >= kCfMiniCutoff) continue;
    const CfEntry& d = cf->dir[static_cast<size_t>(order[k])];
    out.bytes(d.data.data(), d.data.size());
    out.zeros(static_cast<size_t>((kMiniSector - size[k] % kMiniSector) % kMiniSector));
  }
  out.zeros(static_cast<size_t>(ministream_sectors * ss - mini_bytes));
  // Large streams.
  for (size_t k = 1; k < n; ++k) {
    if (size[k] < kCfMiniCutoff) continue;
    const CfEntry& d = cf->dir[static_cast<size_t>(order[k])];
    out.bytes(d.data.data(), d.data.size());
    out.zeros(static_cast<size_t>((ss - size[k] % ss) % ss));
  }
  out.flush();
  return out.ok ? CF_OK : CF_E_WRITE_FAULT;
}

}  // namespace

int32_t cf_commit(CompoundFile* cf) {
  if (!cf) return CF_E_ACCESS_DENIED;
  if (cf->mode == CF_READ) return CF_OK;
  int32_t e = CF_OK;
  try {
    e = materialize(cf);
  } catch (const std::bad_alloc&) {
    e = CF_E_NO_MEMORY;
  }
  if (e) return e;
  // Everything is in memory now: the old file is no longer read.
  if (cf->fd >= 0) {
    ::close(cf->fd);
    cf->fd = -1;
  }
  int fd = ::open(cf->path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return CF_E_ACCESS_DENIED;
  try {
    e = write_image(cf, fd);
  } catch (const std::bad_alloc&) {
    e = CF_E_NO_MEMORY;
  }
  if (::close(fd) != 0 && !e) e = CF_E_WRITE_FAULT;
  return e;
}

int32_t cf_write_one_stream(const char* path, const char* stream_name, const std::function<bool(CfStream*)>& fill) {
  int32_t error = CF_OK;
  CompoundFile* cf = cf_create(path, &error);
  if (!cf) return error ? error : CF_E_ACCESS_DENIED;
  const int32_t id = cf_create_stream(cf, 0, stream_name, &error);
  CfStream* s = id == kCfNoEntry ? nullptr : cf_stream_open(cf, id, true, &error);
  int32_t r = s ? CF_OK : (error ? error : CF_E_ACCESS_DENIED);
  if (s) {
    if (!fill(s)) r = -1;
    cf_stream_release(s);
    if (r == CF_OK) r = cf_commit(cf);
  }
  cf_release(cf);
  return r;
}

}  // namespace tabulon
