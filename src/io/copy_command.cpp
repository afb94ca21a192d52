#include "io/copy_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr char kCopySeparator = ';';

std::vector<std::string> split_fields(const char* text) {
  std::vector<std::string> fields;
  std::string cur;
  for (const char* p = text; *p && fields.size() < 3; ++p) {
    if (*p == kCopySeparator) {
      fields.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (fields.size() < 3) fields.push_back(cur);
  while (!fields.empty() && fields.back().empty()) fields.pop_back();
  return fields;
}

}  // namespace

int32_t stream_copy_command(EnvRecord& env, const char* text) {
  if (!text || !*text) {
    std::fputs("invalid parameters\n", stdout);
    return -1;
  }
  std::vector<std::string> fields = split_fields(text + 1);
  if (fields.size() < 2 || fields[0].empty() || fields[1].empty()) {
    std::fputs("invalid parameters\n", stdout);
    return -1;
  }
  char sign = text[0];
  if (sign != '<' && sign != '>') {
    std::fputs("directional sign required\n", stdout);
    return -1;
  }
  const std::string stream_name = fields.size() > 2 ? fields[2] : "Workbook";
  const bool to_plain = sign == '<';
  const std::string& compound = to_plain ? fields[0] : fields[1];
  const std::string& plain = to_plain ? fields[1] : fields[0];

  Stream* storage = nullptr;
  Stream* file = nullptr;
  if (to_plain) {
    storage = StreamOpenStorage(compound.c_str(), stream_name.c_str(), 1, &env.ole_state);
    if (!storage) {
      std::printf("cannot open file %s, stream %s\n", compound.c_str(), stream_name.c_str());
      return -1;
    }
    file = StreamOpenFile(&env, plain.c_str(), "wb", 8192);
    if (!file) {
      StreamClose(storage);
      std::printf("cannot open file %s\n", plain.c_str());
      return -1;
    }
  } else {
    // The source first: a missing plain file must not cost an existing compound file.
    file = StreamOpenFile(&env, plain.c_str(), "rb", 8192);
    if (!file) {
      std::printf("cannot open file %s\n", plain.c_str());
      return -1;
    }
    storage = StreamOpenStorage(compound.c_str(), stream_name.c_str(), 4, &env.ole_state);
    if (!storage) {
      StreamClose(file);
      std::printf("cannot open file %s, stream %s\n", compound.c_str(), stream_name.c_str());
      return -1;
    }
  }
  Stream* src = to_plain ? storage : file;
  Stream* dst = to_plain ? file : storage;
  bool ok = StreamCopy(src, dst) == 0;
  // Pending bytes must reach the disk before success is claimed.
  if (to_plain) {
    ok = std::fflush(file->file) == 0 && ok;
  } else {
    ok = StreamStorageCommit(storage) == 0 && ok;
  }
  StreamClose(storage);
  StreamClose(file);
  if (!ok) {
    std::fputs("Error copying\n", stdout);
    return -1;
  }
  if (to_plain)
    std::printf("Stream %s successfuly copied from %s to %s\n", stream_name.c_str(), compound.c_str(), plain.c_str());
  else
    std::printf("file %s successfully copied to stream %s in file %s\n", plain.c_str(), stream_name.c_str(),
                compound.c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace tabulon
