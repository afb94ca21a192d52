#include "io/stream.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "io/io_state.h"

using namespace tabulon;

namespace {

std::string temp_path(const std::string& leaf) {
  return std::string(::testing::TempDir()) + "tabulon_stream_" + std::to_string(getpid()) + "_" + leaf;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct EnvFixture : ::testing::Test {
  std::unique_ptr<EnvRecord> env = std::make_unique<EnvRecord>();
  void SetUp() override { ASSERT_TRUE(io_env_open(*env, 0)); }
  void TearDown() override { io_env_close(*env); }
};

}  // namespace

TEST(FileStream, StandardStreamsAreUnbufferedAndNeverClosed) {
  Stream* in = StreamOpenFile(nullptr, "stdin", "rb", 8192);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->file, stdin);
  EXPECT_EQ(in->io_buffer, nullptr);
  EXPECT_EQ(in->not_closable, 1u);
  StreamClose(in);
  Stream* out = StreamOpenFile(nullptr, "stdout", "wb", 8192);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->file, stdout);
  EXPECT_EQ(out->io_buffer, nullptr);
  StreamClose(out);
  // Both are still usable by the process.
  EXPECT_NE(fcntl(fileno(stdin), F_GETFD), -1);
  EXPECT_GE(std::fprintf(stdout, "%s", ""), 0);
  EXPECT_EQ(std::fflush(stdout), 0);
  EXPECT_EQ(StreamOpenFile(nullptr, "/nonexistent-dir/stdin", "rb", 0), nullptr);
}

TEST(FileStream, PipeByPathHasNoLengthButIsClosed) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  close(fds[1]);
  std::string path = "/dev/fd/" + std::to_string(fds[0]);
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->no_length, 1u);
  EXPECT_EQ(s->not_closable, 1u);
  char buf[8];
  EXPECT_EQ(StreamRead(s, buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  int fd = fileno(s->file);
  StreamClose(s);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // our own C file does not leak
  close(fds[0]);
}

TEST(FileStream, ZeroLengthFileOpensWithoutLength) {
  std::string path = temp_path("empty");
  write_file(path, "");
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->no_length, 1u);
  EXPECT_EQ(s->not_closable, 0u);
  char c;
  EXPECT_EQ(StreamRead(s, &c, 1), 0);
  EXPECT_EQ(s->error, STREAM_ERR_READ);
  EXPECT_EQ(StreamGetc(s), -1);
  EXPECT_TRUE(s->error & STREAM_ERR_GETC);
  StreamClose(s);
  unlink(path.c_str());
}

// The write modes start from nothing whether the file held bytes, was empty or was missing;
// "w+b" reads back what it wrote. A file that cannot be opened still gives null.
TEST(FileStream, WriteModesStartFromAnEmptyFile) {
  const std::string path = temp_path("rewrite");
  for (const char* mode : {"wb", "w", "w+b", "wb+"}) {
    for (const char* before : std::initializer_list<const char*>{"old contents, longer than the new", "", nullptr}) {
      SCOPED_TRACE(std::string(mode) + (before ? (*before ? " over bytes" : " over empty") : " new"));
      unlink(path.c_str());
      if (before) write_file(path, before);
      Stream* s = StreamOpenFile(nullptr, path.c_str(), mode, 8192);
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(StreamWrite(s, "new", 3), 3);
      if (std::strchr(mode, '+')) {
        char back[4] = {};
        EXPECT_EQ(StreamSeek(s, 0, 0), 0);
        EXPECT_EQ(StreamRead(s, back, 3), 3);
        EXPECT_STREQ(back, "new");
      }
      StreamClose(s);
      EXPECT_EQ(read_file(path), "new");
    }
  }
  unlink(path.c_str());
  EXPECT_EQ(StreamOpenFile(nullptr, (path + "/no/such/dir").c_str(), "wb", 8192), nullptr);
}

TEST(FileStream, ReadsSeeksAndReportsLength) {
  std::string path = temp_path("data");
  std::string data;
  for (int i = 0; i < 20000; ++i) data += static_cast<char>(i * 13);
  write_file(path, data);
  for (int32_t buffer : {0, 2048, 8192, 32767}) {
    SCOPED_TRACE(buffer);
    Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", buffer);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->no_length, 0u);
    EXPECT_EQ(StreamLength64(s), 20000);
    std::vector<char> got(20000);
    EXPECT_EQ(StreamRead(s, got.data(), 12345), 12345);
    EXPECT_EQ(StreamTell(s), 12345);
    EXPECT_EQ(StreamRead(s, got.data() + 12345, 20000), 20000 - 12345);
    EXPECT_EQ(s->error, STREAM_ERR_READ);  // short read
    EXPECT_EQ(std::string(got.data(), got.size()), data);
    EXPECT_EQ(StreamSeek(s, -10, 2), 0);
    EXPECT_EQ(s->error, 0u);  // cleared by the seek
    EXPECT_EQ(StreamGetc(s), static_cast<uint8_t>(data[19990]));
    EXPECT_EQ(StreamUngetc(s, static_cast<uint8_t>(data[19990])), static_cast<uint8_t>(data[19990]));
    EXPECT_EQ(StreamGetc(s), static_cast<uint8_t>(data[19990]));
    EXPECT_EQ(StreamSeek64(s, 100, 0), 0);
    EXPECT_EQ(StreamTell64(s), 100);
    EXPECT_EQ(StreamReadRaw(s, got.data(), 50), 50);
    EXPECT_EQ(std::memcmp(got.data(), data.data() + 100, 50), 0);
    EXPECT_EQ(StreamSeek(s, -1, 0), -1);
    EXPECT_EQ(s->error, STREAM_ERR_SEEK);
    StreamClose(s);
  }
  unlink(path.c_str());
}

TEST(FileStream, PositionsBeyondFourGigabytes) {
  // A sparse file: 5 GB long, a few bytes written near its end.
  std::string path = temp_path("sparse");
  const int64_t far = (int64_t{4} << 30) + 12345, length = int64_t{5} << 30;
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (ftruncate(fileno(f), length) != 0) {
      std::fclose(f);
      unlink(path.c_str());
      GTEST_SKIP() << "no sparse files here";
    }
    ASSERT_EQ(fseeko(f, far, SEEK_SET), 0);
    std::fputs("far away", f);
    std::fclose(f);
  }
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->no_length, 0u);
  EXPECT_EQ(StreamLength64(s), length);
  EXPECT_EQ(StreamSeek64(s, far, 0), 0);
  EXPECT_EQ(StreamTell64(s), far);
  char buf[8];
  EXPECT_EQ(StreamReadRaw(s, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "far away");
  EXPECT_EQ(StreamSeek64(s, -8, 1), 0);
  EXPECT_EQ(StreamGetc(s), 'f');
  EXPECT_EQ(StreamSeek64(s, -1, 2), 0);
  EXPECT_EQ(StreamTell64(s), length - 1);
  StreamClose(s);
  unlink(path.c_str());
}

TEST(FileStream, ZeroAndNegativeCountsReadNothing) {
  std::string path = temp_path("counts");
  write_file(path, "abc");
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", 8192);
  ASSERT_NE(s, nullptr);
  char buf[4] = {'x', 'x', 'x', 'x'};
  for (int32_t n : {0, -1, -100000}) {
    EXPECT_EQ(StreamRead(s, buf, n), 0);
    EXPECT_EQ(s->error, 0u);
  }
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(StreamTell(s), 0);
  StreamClose(s);
  unlink(path.c_str());
}

TEST(FileStream, WriteErrorIsStickyUntilASuccessfulSeek) {
  // /dev/full accepts seeks but refuses every write.
  Stream* s = StreamOpenFile(nullptr, "/dev/full", "wb", 0);
  ASSERT_NE(s, nullptr);
  EXPECT_LT(StreamWrite(s, "hello", 5), 5);
  EXPECT_TRUE(s->error & STREAM_ERR_WRITE);
  EXPECT_EQ(StreamWrite(s, "x", 1), 0);
  EXPECT_EQ(StreamPutc(s, 'x'), -1);
  EXPECT_EQ(StreamSeek(s, 0, 0), 0);
  EXPECT_EQ(s->error, 0u);
  StreamClose(s);

  // The refusal really skips the write: nothing reaches a good file while the bit is set.
  std::string path = temp_path("sticky");
  s = StreamOpenFile(nullptr, path.c_str(), "wb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(StreamWrite(s, "ab", 2), 2);
  s->error |= STREAM_ERR_WRITE;
  EXPECT_EQ(StreamWrite(s, "cd", 2), 0);
  EXPECT_EQ(StreamSeek(s, 0, 2), 0);
  EXPECT_EQ(StreamWrite(s, "ef", 2), 2);
  EXPECT_EQ(StreamWriteNewlines(s, 0, 2), 4);
  EXPECT_EQ(StreamWriteNewlines(s, 2, 1), 1);
  StreamClose(s);
  EXPECT_EQ(read_file(path), "abef\r\n\r\n\n");
  unlink(path.c_str());
}

TEST(FileStream, MissingFileGivesNull) {
  EXPECT_EQ(StreamOpenFile(nullptr, "/nonexistent-dir/x.dat", "rb", 8192), nullptr);
  EXPECT_EQ(StreamOpenFile(nullptr, "/nonexistent-dir/x.dat", "wb", 8192), nullptr);
  StreamClose(nullptr);  // ignored
}

TEST(FileStream, Utf8PathsOpenDirectly) {
  std::string path = temp_path("d\xC3\xA9j\xC3\xA0_\xE6\x95\xB0.txt");
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "wb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->name, path);
  StreamWrite(s, "x", 1);
  StreamClose(s);
  EXPECT_EQ(read_file(path), "x");
  unlink(path.c_str());
}

TEST(FileStream, SwappedValues) {
  std::string path = temp_path("swap");
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "w+b", 8192);
  ASSERT_NE(s, nullptr);
  uint32_t v = 0x11223344;
  double d = 1.5;
  EXPECT_EQ(StreamWriteSwapped(s, &v, 4, 1), 4);
  EXPECT_EQ(StreamWriteSwapped(s, &v, 4, 0), 4);
  EXPECT_EQ(StreamWriteSwapped(s, &d, 8, 1), 8);
  EXPECT_EQ(v, 0x11223344u);  // the caller's value is not touched
  char wide[20], wide_back[20];
  for (int i = 0; i < 20; ++i) wide[i] = static_cast<char>(i);
  EXPECT_EQ(StreamWriteSwapped(s, wide, 20, 1), 20);
  EXPECT_EQ(wide[0], 0);
  EXPECT_EQ(StreamSeek(s, 0, 0), 0);
  uint32_t a = 0, b = 0;
  double e = 0;
  EXPECT_EQ(StreamReadSwapped(s, &a, 4, 1), 4);
  EXPECT_EQ(StreamReadSwapped(s, &b, 4, 0), 4);
  EXPECT_EQ(StreamReadSwapped(s, &e, 8, 1), 8);
  EXPECT_EQ(a, 0x11223344u);
  EXPECT_EQ(b, 0x11223344u);
  EXPECT_EQ(e, 1.5);
  EXPECT_EQ(StreamReadSwapped(s, wide_back, 20, 1), 20);
  EXPECT_EQ(std::memcmp(wide, wide_back, 20), 0);
  StreamClose(s);
  std::string bytes = read_file(path);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x11\x22\x33\x44", 4));
  unlink(path.c_str());
}

// ---- Block streams ----

TEST(BlockStream, ReadsSeeksAndStopsAtTheEnd) {
  const char data[] = "0123456789";
  Stream* s = StreamOpenBlock(nullptr, data, 10, "block");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->kind, STREAM_BLOCK);
  EXPECT_EQ(s->name, "block");
  char buf[16] = {};
  EXPECT_EQ(StreamRead(s, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(StreamRead(s, buf, 0), 0);
  EXPECT_EQ(StreamRead(s, buf, -3), 0);
  EXPECT_EQ(s->error, 0u);
  // Asking for more than remains copies what remains and flags the short read.
  EXPECT_EQ(StreamRead(s, buf, 10), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(s->error, STREAM_ERR_READ);
  EXPECT_EQ(StreamRead(s, buf, 1), 0);
  // getc at the end gives -1 (not 255, which is a data byte) and sets bit 2.
  EXPECT_EQ(StreamGetc(s), -1);
  EXPECT_TRUE(s->error & STREAM_ERR_GETC);
  // Seeks always clear the error word; an origin other than 0 and 1 goes to the end.
  struct {
    int32_t offset, origin, pos;
  } cases[] = {{3, 0, 3}, {2, 1, 5}, {-1, 1, 4}, {-100, 2, 10}, {5, 7, 10}, {0, 0, 0}};
  for (auto& c : cases) {
    s->error = STREAM_ERR_READ;
    EXPECT_EQ(StreamSeek(s, c.offset, c.origin), 0);
    EXPECT_EQ(s->error, 0u);
    EXPECT_EQ(StreamTell(s), c.pos);
  }
  EXPECT_EQ(StreamGetc(s), '0');
  EXPECT_EQ(StreamUngetc(s, '0'), '0');
  EXPECT_EQ(StreamTell(s), 0);
  EXPECT_NE(StreamSeek(s, 11, 0), 0);
  EXPECT_EQ(s->error, STREAM_ERR_SEEK);
  EXPECT_NE(StreamSeek(s, -1, 0), 0);
  // Writing is not an operation of a block stream: it fails, it does not crash.
  EXPECT_EQ(StreamWrite(s, "x", 1), 0);
  EXPECT_EQ(StreamPutc(s, 'x'), -1);
  EXPECT_EQ(data[0], '0');
  StreamClose(s);
}

TEST(MappedStream, ReadsAWholeFile) {
  std::string path = temp_path("mapped");
  write_file(path, "mapped bytes");
  Stream* s = StreamOpenMapped(nullptr, path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->kind, STREAM_MAPPED);
  char buf[32];
  EXPECT_EQ(StreamRead(s, buf, 32), 12);
  EXPECT_EQ(std::string(buf, 12), "mapped bytes");
  EXPECT_EQ(StreamLength64(s), 12);
  StreamClose(s);
  EXPECT_EQ(StreamOpenMapped(nullptr, "/nonexistent-dir/m"), nullptr);
  unlink(path.c_str());
}

// ---- Memory-file streams ----

using MemFileStream = EnvFixture;

TEST_F(MemFileStream, WritesReadsAndSeeksAcrossBlocks) {
  Stream* s = StreamOpenMemFile(*env);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->name, "Memory File");
  std::string data;
  for (int i = 0; i < 3 * 4096 + 100; ++i) data += static_cast<char>(i * 31 + 7);
  EXPECT_EQ(StreamWrite(s, data.data(), static_cast<int32_t>(data.size())), static_cast<int32_t>(data.size()));
  EXPECT_EQ(StreamLength64(s), static_cast<int64_t>(data.size()));
  // Negative offsets from the current position and from the end.
  EXPECT_EQ(StreamSeek(s, -100, 1), 0);
  EXPECT_EQ(StreamTell(s), 3 * 4096);
  EXPECT_EQ(StreamSeek(s, -4097, 2), 0);
  EXPECT_EQ(StreamTell(s), static_cast<int32_t>(data.size()) - 4097);
  EXPECT_EQ(StreamGetc(s), static_cast<uint8_t>(data[data.size() - 4097]));
  EXPECT_EQ(StreamUngetc(s, 0), 0);
  EXPECT_EQ(StreamTell(s), static_cast<int32_t>(data.size()) - 4097);
  EXPECT_NE(StreamSeek(s, -1, 0), 0);
  EXPECT_EQ(s->error, STREAM_ERR_SEEK);
  EXPECT_EQ(StreamSeek(s, 0, 0), 0);
  std::string back(data.size() + 10, '\0');
  EXPECT_EQ(StreamRead(s, back.data(), static_cast<int32_t>(back.size())), static_cast<int32_t>(data.size()));
  EXPECT_EQ(s->error, STREAM_ERR_READ);
  EXPECT_EQ(back.substr(0, data.size()), data);
  EXPECT_EQ(StreamGetc(s), -1);
  // Overwrite in the middle, then write past the end: the gap reads as zeros.
  EXPECT_EQ(StreamSeek(s, 4090, 0), 0);
  EXPECT_EQ(StreamWrite(s, "ABCDEFGHIJ", 10), 10);
  EXPECT_EQ(StreamSeek(s, 50000, 0), 0);
  EXPECT_EQ(StreamPutc(s, 'Z'), 'Z');
  EXPECT_EQ(StreamLength64(s), 50001);
  EXPECT_EQ(StreamSeek(s, 4088, 0), 0);
  char mid[14];
  EXPECT_EQ(StreamRead(s, mid, 14), 14);
  EXPECT_EQ(std::string(mid + 2, 10), "ABCDEFGHIJ");
  EXPECT_EQ(mid[0], data[4088]);
  EXPECT_EQ(mid[13], data[4101]);
  EXPECT_EQ(StreamSeek(s, 49990, 0), 0);
  char tail[11];
  EXPECT_EQ(StreamRead(s, tail, 11), 11);
  EXPECT_EQ(std::string(tail, 11), std::string(10, '\0') + "Z");
  StreamClose(s);
  EXPECT_EQ(mfs_open_count(&env->io.store), 0u);
}

TEST_F(MemFileStream, TheThirtyThirdFileFailsWithCodeSix) {
  std::vector<Stream*> open;
  for (int i = 0; i < 32; ++i) {
    Stream* s = StreamOpenMemFile(*env);
    ASSERT_NE(s, nullptr) << i;
    EXPECT_EQ(s->memfile_number, i + 1);
    open.push_back(s);
  }
  EXPECT_EQ(StreamOpenMemFile(*env), nullptr);
  EXPECT_EQ(mfs_last_error(&env->io.store), static_cast<uint32_t>(MFS_NO_SLOT));
  EXPECT_EQ(mfs_last_error(&env->io.store), 0u);  // read clears it
  // A freed slot is used again.
  StreamClose(open[4]);
  Stream* again = StreamOpenMemFile(*env);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->memfile_number, 5);
  open[4] = again;
  for (Stream* s : open) StreamClose(s);
}

TEST_F(MemFileStream, CopyHelpers) {
  Stream* a = StreamOpenMemFile(*env);
  Stream* b = StreamOpenMemFile(*env);
  Stream* c = StreamOpenMemFile(*env);
  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  StreamWrite(a, data.data(), 5000);
  // StreamCopy starts from 0 whatever the source position.
  EXPECT_EQ(StreamCopy(a, b), 0);
  EXPECT_EQ(StreamCopyCounter(), 5000);
  EXPECT_EQ(StreamLength64(b), 5000);
  // StreamCopyWhole takes the source's position as its length and rewinds it.
  EXPECT_EQ(StreamSeek(a, 1300, 0), 0);
  EXPECT_EQ(StreamCopyWhole(a, c), 0);
  EXPECT_EQ(StreamTell(a), 0);
  EXPECT_EQ(StreamLength64(c), 1300);
  // StreamCopyN fails when the source runs short.
  EXPECT_EQ(StreamSeek(a, 4000, 0), 0);
  EXPECT_EQ(StreamCopyN(a, c, 999), 0);
  EXPECT_EQ(StreamCopyN(a, c, 2), -1);
  std::string got(2299, '\0');
  StreamSeek(c, 0, 0);
  EXPECT_EQ(StreamRead(c, got.data(), 2299), 2299);
  EXPECT_EQ(got, data.substr(0, 1300) + data.substr(4000, 999));
  // A destination that refuses writes stops the copy.
  const char block[] = "abc";
  Stream* ro = StreamOpenBlock(nullptr, block, 3, "ro");
  EXPECT_EQ(StreamCopy(a, ro), -1);
  EXPECT_EQ(StreamCopyN(a, ro, 10), -1);
  StreamClose(ro);
  StreamClose(a);
  StreamClose(b);
  StreamClose(c);
}
