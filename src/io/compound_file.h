// Compound files (structured storage): a small file system of storages and streams
// inside one file. Reads versions 3 (512-byte sectors) and 4 (4096-byte sectors);
// writes version 3.
//
// A file opened for reading is read lazily through its sector chains. A file opened
// for writing keeps new and changed streams in memory and rewrites the whole file
// when it is committed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tabulon {

struct CompoundFile;
struct CfStream;

enum CfEntryType : uint8_t { CF_EMPTY = 0, CF_STORAGE = 1, CF_STREAM = 2, CF_ROOT = 5 };

enum CfOpenMode : int32_t { CF_READ = 1, CF_READ_WRITE = 2, CF_CREATE = 4 };

// Failure codes: the low 16 bits of the matching structured-storage results.
enum CfError : int32_t {
  CF_OK = 0,
  CF_E_FILE_NOT_FOUND = 0x0002,  // the file, a storage or a stream does not exist
  CF_E_ACCESS_DENIED = 0x0005,   // cannot open or create the file, or the stream is read-only
  CF_E_NO_MEMORY = 0x0008,
  CF_E_WRITE_FAULT = 0x001D,
  CF_E_INVALID_FLAG = 0x00FF,    // an unknown open mode
  CF_E_INVALID_NAME = 0x00FC,    // empty, too long, not UTF-8 or with a forbidden character
  CF_E_INVALID_HEADER = 0x00FB,  // not a compound file
  CF_E_CORRUPT = 0x0109,         // damaged tables or directory
};

constexpr int32_t kCfNoEntry = -1;
constexpr uint32_t kCfMiniCutoff = 4096;

// Opens an existing file (CF_READ or CF_READ_WRITE). Null on failure with *error set.
CompoundFile* cf_open(const char* path, int32_t mode, int32_t* error);
// Creates (replaces) a file. Nothing is written before the first commit.
CompoundFile* cf_create(const char* path, int32_t* error);
// Releases without committing. Open CfStream handles must be released first.
void cf_release(CompoundFile* cf);
// Writes the whole file (no-op for a read-only file). 0 or a CfError.
int32_t cf_commit(CompoundFile* cf);
int32_t cf_mode(const CompoundFile* cf);
int32_t cf_version(const CompoundFile* cf);  // 3 or 4

// Directory: entry 0 is the root storage.
int32_t cf_find(CompoundFile* cf, int32_t storage, const char* name);  // id or kCfNoEntry
CfEntryType cf_entry_type(const CompoundFile* cf, int32_t id);
std::string cf_entry_name(const CompoundFile* cf, int32_t id);  // UTF-8
std::vector<int32_t> cf_children(const CompoundFile* cf, int32_t storage);
uint64_t cf_entry_size(const CompoundFile* cf, int32_t id);
// Opens the sub-storage, creating it when missing. id, or kCfNoEntry with *error set.
int32_t cf_create_storage(CompoundFile* cf, int32_t parent, const char* name, int32_t* error);
// Creates an empty stream, replacing a stream of that name.
int32_t cf_create_stream(CompoundFile* cf, int32_t parent, const char* name, int32_t* error);

// Name order of the directory tree: shorter names first, then by upper-cased UTF-16 units.
int cf_compare_names(const std::u16string& a, const std::u16string& b);
// UTF-8 to a directory name; false when invalid (empty, over 31 units, bad UTF-8, '/', '\\', ':', '!').
bool cf_name_from_utf8(const char* utf8, std::u16string* out);

// Stream handles.
CfStream* cf_stream_open(CompoundFile* cf, int32_t id, bool writable, int32_t* error);
void cf_stream_release(CfStream* s);
// Byte counts; a read past the readable data is short. -1 on failure.
int64_t cf_stream_read(CfStream* s, void* buffer, uint64_t n);
int64_t cf_stream_write(CfStream* s, const void* buffer, uint64_t n);
// origin 0 set, 1 current, 2 end; a negative result position fails. 0 or -1.
int32_t cf_stream_seek(CfStream* s, int64_t offset, int32_t origin);
uint64_t cf_stream_tell(const CfStream* s);
uint64_t cf_stream_length(const CfStream* s);

// Creates (replaces) a compound file whose root holds one stream, lets `fill` write that
// stream through cf_stream_write, and commits. 0, a CfError, or -1 when fill returns false.
int32_t cf_write_one_stream(const char* path, const char* stream_name, const std::function<bool(CfStream*)>& fill);

}  // namespace tabulon
