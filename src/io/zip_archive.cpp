#include "io/zip_archive.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstring>
#include <ctime>
#include <new>

namespace tabulon {

struct ZipReader {
  unzFile uf = nullptr;
};

struct ZipWriter {
  zipFile zf = nullptr;
  bool in_member = false;
  bool ok = true;
};

ZipReader* zip_open_read(const char* path) {
  if (!path) return nullptr;
  unzFile uf = unzOpen64(path);  // Linux paths are UTF-8 bytes: the default file functions do
  if (!uf) return nullptr;
  ZipReader* z = new (std::nothrow) ZipReader;
  if (!z) {
    unzClose(uf);
    return nullptr;
  }
  z->uf = uf;
  return z;
}

void zip_close_read(ZipReader* z) {
  if (!z) return;
  unzClose(z->uf);
  delete z;
}

std::vector<std::string> zip_member_names(ZipReader* z) {
  std::vector<std::string> names;
  if (!z) return names;
  for (int r = unzGoToFirstFile(z->uf); r == UNZ_OK; r = unzGoToNextFile(z->uf)) {
    char name[1024];
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(z->uf, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    names.emplace_back(name);
  }
  return names;
}

namespace {

bool locate(ZipReader* z, const char* name) {
  if (!z || !name) return false;
  if (unzLocateFile(z->uf, name, 1) == UNZ_OK) return true;
  return unzLocateFile(z->uf, name, 2) == UNZ_OK;
}

}  // namespace

bool zip_has_member(ZipReader* z, const char* name) { return locate(z, name); }

bool zip_read_member(ZipReader* z, const char* name, std::vector<uint8_t>* out, uint64_t max_size) {
  out->clear();
  if (!locate(z, name)) return false;
  unz_file_info64 info;
  if (unzGetCurrentFileInfo64(z->uf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
  if (info.uncompressed_size > max_size) return false;
  if (unzOpenCurrentFile(z->uf) != UNZ_OK) return false;
  bool ok = true;
  try {
    // The stated size is a hint only; the data decides, within max_size.
    out->reserve(static_cast<size_t>(std::min<uint64_t>(info.uncompressed_size, 64u << 20)));
    uint8_t buf[65536];
    for (;;) {
      int got = unzReadCurrentFile(z->uf, buf, sizeof buf);
      if (got < 0) {
        ok = false;
        break;
      }
      if (got == 0) break;
      if (out->size() + static_cast<size_t>(got) > max_size) {
        ok = false;
        break;
      }
      out->insert(out->end(), buf, buf + got);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  // Closing after the whole member checks its CRC.
  if (unzCloseCurrentFile(z->uf) != UNZ_OK) ok = false;
  if (ok && out->size() != info.uncompressed_size) ok = false;
  if (!ok) out->clear();
  return ok;
}

ZipStatus zip_open_member(ZipReader* z, const char* name, uint64_t* size) {
  if (!locate(z, name)) return ZipStatus::Missing;
  unz_file_info64 info;
  if (unzGetCurrentFileInfo64(z->uf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
    return ZipStatus::InfoError;
  if (size) *size = info.uncompressed_size;
  if (unzOpenCurrentFile(z->uf) != UNZ_OK) return ZipStatus::OpenError;
  return ZipStatus::Ok;
}

int zip_read_piece(ZipReader* z, void* buf, unsigned n) {
  const int got = unzReadCurrentFile(z->uf, buf, n);
  return got < 0 ? -1 : got;
}

ZipStatus zip_close_member(ZipReader* z) {
  const int r = unzCloseCurrentFile(z->uf);
  if (r == UNZ_CRCERROR) return ZipStatus::CrcError;
  return r == UNZ_OK ? ZipStatus::Ok : ZipStatus::ReadError;
}

ZipWriter* zip_create(const char* path) {
  if (!path) return nullptr;
  zipFile zf = zipOpen64(path, APPEND_STATUS_CREATE);
  if (!zf) return nullptr;
  ZipWriter* z = new (std::nothrow) ZipWriter;
  if (!z) {
    zipClose(zf, nullptr);
    return nullptr;
  }
  z->zf = zf;
  return z;
}

bool zip_begin_member(ZipWriter* z, const char* name, int level, bool zip64) {
  if (!z || !name || z->in_member) return false;
  zip_fileinfo info;
  std::memset(&info, 0, sizeof info);
  std::time_t now = std::time(nullptr);
  std::tm tm_now;
  localtime_r(&now, &tm_now);
  info.tmz_date.tm_sec = static_cast<uInt>(tm_now.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(tm_now.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(tm_now.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(tm_now.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(tm_now.tm_mon);
  info.tmz_date.tm_year = static_cast<uInt>(tm_now.tm_year + 1900);
  int r = zipOpenNewFileInZip64(z->zf, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, level, zip64 ? 1 : 0);
  if (r != ZIP_OK) {
    z->ok = false;
    return false;
  }
  z->in_member = true;
  return true;
}

bool zip_write_member(ZipWriter* z, const void* data, size_t n) {
  if (!z || !z->in_member) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    unsigned piece = n > (1u << 30) ? (1u << 30) : static_cast<unsigned>(n);
    if (zipWriteInFileInZip(z->zf, p, piece) != ZIP_OK) {
      z->ok = false;
      return false;
    }
    p += piece;
    n -= piece;
  }
  return true;
}

bool zip_end_member(ZipWriter* z) {
  if (!z || !z->in_member) return false;
  z->in_member = false;
  if (zipCloseFileInZip(z->zf) != ZIP_OK) {
    z->ok = false;
    return false;
  }
  return true;
}

bool zip_add_member(ZipWriter* z, const char* name, const void* data, size_t n, int level) {
  if (!zip_begin_member(z, name, level)) return false;
  bool ok = zip_write_member(z, data, n);
  return zip_end_member(z) && ok;
}

bool zip_close_write(ZipWriter* z) {
  if (!z) return false;
  if (z->in_member) zip_end_member(z);
  bool ok = z->ok && zipClose(z->zf, nullptr) == ZIP_OK;
  delete z;
  return ok;
}

}  // namespace tabulon
