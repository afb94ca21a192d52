// The in-memory file store behind "Memory File" streams: up to max_files seekable
// files of unbounded length, each a singly linked chain of fixed-size blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

constexpr uint32_t kMemStoreMagic = 0xA5148469u;

// Store error codes, kept until read by mfs_last_error().
enum MemStoreError : uint32_t {
  MFS_OK = 0,
  MFS_ALREADY_INIT = 1,
  MFS_NOT_INIT = 2,
  MFS_BAD_PARAMS = 3,
  MFS_NO_MEMORY = 4,
  MFS_HEADER_CHECK = 5,
  MFS_NO_SLOT = 6,
  MFS_NOT_OPEN = 7,
  MFS_DESC_CHECK = 8,
  MFS_BAD_NUMBER = 10,
};

struct MemBlock {
  MemBlock* next;
  // the block's data follows the header
  uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

// One file: 64 bytes, the last four hold the check byte.
struct MemFileDesc {
  uint8_t number;
  uint8_t pad0[3];
  uint32_t block_count;
  uint64_t position;
  uint64_t length;
  MemBlock* first;
  MemBlock* last;
  MemBlock* cur;       // block holding cur_index (walks start here when they can)
  uint32_t cur_index;
  uint32_t pad1[2];
  uint8_t check;
  uint8_t pad2[3];
};
static_assert(sizeof(MemFileDesc) == 64, "descriptor layout");

struct MemFileStore {
  uint32_t magic;
  uint16_t block_size;
  uint8_t max_files;
  uint8_t open_files;
  MemFileDesc** files;  // max_files slots; slot i holds file number i + 1
  uint32_t check_on;    // keep and verify the check bytes
  uint32_t reserved[2];
  uint8_t check;        // additive check over the first 28 bytes
  uint8_t pad[3];
  uint32_t last_error;  // outside the checked bytes: reporting damage must not add to it
};
static_assert(offsetof(MemFileStore, check) == 28, "store header layout");

// Initialises a zeroed store. 0 or an error code (also kept as the last error).
uint32_t mfs_init(MemFileStore* store, uint16_t block_size, uint8_t max_files, bool integrity_check);
// Closes every open file and clears the header. 0 or an error code.
uint32_t mfs_shutdown(MemFileStore* store);
// Reads and clears the last error code.
uint32_t mfs_last_error(MemFileStore* store);

// A new empty file: its number (1..max_files), or 0 with the last error set.
uint8_t mfs_open(MemFileStore* store);
// Frees the file's blocks and its slot. 0 or an error code.
uint32_t mfs_close(MemFileStore* store, uint8_t number);

// Byte counts; -1 when the store or file is unusable (the error code is kept).
int64_t mfs_read(MemFileStore* store, uint8_t number, void* buffer, size_t n);
int64_t mfs_write(MemFileStore* store, uint8_t number, const void* buffer, size_t n);
// Absolute positioning; a position past the end is allowed (a later write fills with zeros).
int32_t mfs_seek(MemFileStore* store, uint8_t number, int64_t position);
int64_t mfs_tell(MemFileStore* store, uint8_t number);
int64_t mfs_length(MemFileStore* store, uint8_t number);
int32_t mfs_getc(MemFileStore* store, uint8_t number);  // byte or -1 at the end
int32_t mfs_putc(MemFileStore* store, uint8_t number, int32_t c);
// Number of open files.
uint32_t mfs_open_count(const MemFileStore* store);

}  // namespace tabulon
