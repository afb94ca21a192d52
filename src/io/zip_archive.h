// Zip archives for Office Open XML packages, over minizip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {

struct ZipReader;
struct ZipWriter;

// Opens an archive for reading (UTF-8 path); null when it is missing or not a zip.
ZipReader* zip_open_read(const char* path);
void zip_close_read(ZipReader* zip);
// Member names in archive order.
std::vector<std::string> zip_member_names(ZipReader* zip);
// True when a member of that name exists (exact name first, then without regard to
// ASCII case, as package part names compare).
bool zip_has_member(ZipReader* zip, const char* name);
// Reads the member whole into *out. False when missing, damaged (bad data or CRC), or
// larger than max_size bytes.
bool zip_read_member(ZipReader* zip, const char* name, std::vector<uint8_t>* out,
                     uint64_t max_size = uint64_t{1} << 31);

// A member read in pieces, so that a large member never has to be held whole.
enum class ZipStatus { Ok, Missing, InfoError, OpenError, ReadError, CrcError };
// Makes the named member current and opens it; *size gets its stated uncompressed size.
ZipStatus zip_open_member(ZipReader* zip, const char* name, uint64_t* size = nullptr);
// Next bytes of the open member: the count, 0 at its end, -1 on damaged data.
int zip_read_piece(ZipReader* zip, void* buf, unsigned n);
// Closes the open member; CrcError when it was read to the end and its checksum differs.
ZipStatus zip_close_member(ZipReader* zip);

// Creates (replaces) an archive; null when the file cannot be created.
ZipWriter* zip_create(const char* path);
// One deflated member written in pieces: begin, any number of writes, end.
// zip64 lets a member pass 4 GiB (readers then see a zip64 extra field).
bool zip_begin_member(ZipWriter* zip, const char* name, int level = 6, bool zip64 = false);
bool zip_write_member(ZipWriter* zip, const void* data, size_t n);
bool zip_end_member(ZipWriter* zip);
// begin + write + end.
bool zip_add_member(ZipWriter* zip, const char* name, const void* data, size_t n, int level = 6);
// Writes the central directory and closes. False when anything failed along the way.
bool zip_close_write(ZipWriter* zip);

}  // namespace tabulon
