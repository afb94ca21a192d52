// A disk file served by a second thread must answer every operation as the plain file does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "io/input_buffer.h"
#include "io/stream.h"

using namespace tabulon;

namespace {

constexpr int64_t kMiB = 1 << 20;

std::string temp_path(const std::string& leaf) {
  return std::string(::testing::TempDir()) + "tabulon_async_" + std::to_string(getpid()) + "_" + leaf;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string random_bytes(size_t n) {
  std::mt19937 rng(19);
  std::string bytes(n, '\0');
  for (auto& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Two threads even on a one-core machine, so the threaded path is the one under test.
struct AsyncStream : ::testing::Test {
  void SetUp() override { setenv("TABULON_THREADS", "2", 1); }
  void TearDown() override { unsetenv("TABULON_THREADS"); }
};

enum class Op { Read, ReadRaw, Getc, Ungetc, Seek, Tell, Length };
struct Step {
  Op op;
  int64_t a = 0;
  int32_t origin = 0;
};

// Runs one step; returns the result and appends any bytes read.
int64_t run(Stream* s, const Step& step, std::string& got) {
  switch (step.op) {
    case Op::Read: {
      std::string buf(static_cast<size_t>(step.a), '\0');
      int32_t n = StreamRead(s, buf.data(), static_cast<int32_t>(step.a));
      got.append(buf, 0, n > 0 ? static_cast<size_t>(n) : 0);
      return n;
    }
    case Op::ReadRaw: {
      std::string buf(static_cast<size_t>(step.a), '\0');
      int64_t n = StreamReadRaw(s, buf.data(), step.a);
      got.append(buf, 0, n > 0 ? static_cast<size_t>(n) : 0);
      return n;
    }
    case Op::Getc:
      return StreamGetc(s);
    case Op::Ungetc:
      return StreamUngetc(s, static_cast<int32_t>(step.a));
    case Op::Seek:
      return StreamSeek64(s, step.a, step.origin);
    case Op::Tell:
      return StreamTell64(s);
    case Op::Length:
      return StreamLength64(s);
  }
  return 0;
}

}  // namespace

TEST_F(AsyncStream, ReadingAheadAnswersAsThePlainFile) {
  const std::string path = temp_path("read");
  const std::string bytes = random_bytes(static_cast<size_t>(2 * kMiB + 777));
  std::ofstream(path, std::ios::binary) << bytes;
  Stream* plain = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  Stream* ahead = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  ASSERT_TRUE(plain && ahead);
  ASSERT_TRUE(StreamStartAsync(ahead));
  ASSERT_NE(ahead->async, nullptr);

  const int64_t size = static_cast<int64_t>(bytes.size());
  const Step steps[] = {
      {Op::Length},       {Op::Read, 10},
      {Op::Getc},         {Op::Ungetc, static_cast<uint8_t>(bytes[10])},
      {Op::Getc},         {Op::ReadRaw, kMiB},  // across the first hand-over
      {Op::Tell},         {Op::Seek, 5, 0},  // back within the chunk held
      {Op::Read, 100},    {Op::Seek, kMiB + 9, 0},  // forward into the chunk read ahead
      {Op::Read, 4096},   {Op::Seek, 2 * kMiB + 3, 0},  // beyond both
      {Op::Read, 64},     {Op::Seek, -200, 1},
      {Op::Tell},         {Op::Read, 1000},
      {Op::Seek, -10, 2}, {Op::Read, 100},  // short: the end is no failure
      {Op::Getc},         {Op::Tell},
      {Op::Seek, 0, 0},   {Op::ReadRaw, size + 5},
      {Op::Seek, -1, 0},  {Op::Seek, size + 10, 0},
      {Op::Read, 4},      {Op::Tell},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    std::string got_plain, got_ahead;
    const int64_t r_plain = run(plain, steps[i], got_plain);
    const int64_t r_ahead = run(ahead, steps[i], got_ahead);
    EXPECT_EQ(r_ahead, r_plain) << "step " << i;
    EXPECT_TRUE(got_ahead == got_plain) << "step " << i;
    EXPECT_EQ(ahead->error, plain->error) << "step " << i;
    EXPECT_FALSE(ahead->error & STREAM_ERR_DEVICE) << "step " << i;
  }
  // An input buffer over the threaded stream sees the whole file and a clean end.
  ASSERT_EQ(StreamSeek64(ahead, 0, 0), 0);
  InputBuffer in;
  in.attach(ahead);
  std::string all(bytes.size(), '\0');
  EXPECT_EQ(in.read_some(all.data(), all.size() + 1), bytes.size());
  EXPECT_TRUE(all == bytes);
  EXPECT_FALSE(ahead->error & STREAM_ERR_READ);
  StreamClose(plain);
  StreamClose(ahead);
  unlink(path.c_str());
}

TEST_F(AsyncStream, WritingBehindGivesTheSameFile) {
  const std::string plain_path = temp_path("plain"), behind_path = temp_path("behind");
  // w+: the SAS writers read back what they wrote.
  Stream* plain = StreamOpenFile(nullptr, plain_path.c_str(), "wb+", 8192);
  Stream* behind = StreamOpenFile(nullptr, behind_path.c_str(), "wb+", 8192);
  ASSERT_TRUE(plain && behind);
  ASSERT_TRUE(StreamStartAsync(behind));
  const std::string block = random_bytes(300000);
  for (Stream* s : {plain, behind}) {
    for (int i = 0; i < 8; ++i) {  // about 2.3 MiB: two hand-overs and a tail
      EXPECT_EQ(StreamWrite(s, block.data(), static_cast<int32_t>(block.size())), static_cast<int32_t>(block.size()));
      EXPECT_EQ(StreamPutc(s, 'a' + i), 'a' + i);
      EXPECT_EQ(StreamTell64(s), (i + 1) * static_cast<int64_t>(block.size() + 1));
    }
    // Patch a header, go back to the end, carry on.
    EXPECT_EQ(StreamSeek64(s, 100, 0), 0);
    EXPECT_EQ(StreamWrite(s, "HEADER", 6), 6);
    EXPECT_EQ(StreamTell64(s), 106);
    EXPECT_EQ(StreamSeek64(s, 0, 2), 0);
    EXPECT_EQ(StreamWrite(s, "tail", 4), 4);
    EXPECT_EQ(StreamLength64(s), 8 * static_cast<int64_t>(block.size() + 1) + 4);
    // Read back the patch.
    char back[8] = {};
    EXPECT_EQ(StreamSeek64(s, 98, 0), 0);
    EXPECT_EQ(StreamRead(s, back, 8), 8);
    EXPECT_EQ(std::string(back + 2, 6), "HEADER");
    EXPECT_EQ(StreamGetc(s), static_cast<uint8_t>(block[106]));
    EXPECT_EQ(StreamTell64(s), 107);
    EXPECT_EQ(StreamFlush(s), 0);
    EXPECT_EQ(s->error, 0u);
  }
  StreamClose(plain);
  StreamClose(behind);
  const std::string a = read_file(plain_path), b = read_file(behind_path);
  EXPECT_EQ(a.size(), 8 * (block.size() + 1) + 4);
  EXPECT_TRUE(a == b);
  unlink(plain_path.c_str());
  unlink(behind_path.c_str());
}

TEST_F(AsyncStream, AFullDiskFailsTheFlushAndStaysFailed) {
  // Less than a chunk: held back, so the failure shows at the flush.
  Stream* s = StreamOpenFile(nullptr, "/dev/full", "wb", 8192);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(StreamStartAsync(s));
  EXPECT_EQ(StreamWrite(s, "hello", 5), 5);
  EXPECT_EQ(StreamFlush(s), -1);
  EXPECT_TRUE(s->error & STREAM_ERR_WRITE);
  EXPECT_EQ(StreamWrite(s, "x", 1), 0);
  EXPECT_EQ(StreamPutc(s, 'x'), -1);
  // The lost bytes cannot come back: a seek does not pretend the file is whole.
  EXPECT_EQ(StreamSeek64(s, 0, 0), -1);
  EXPECT_TRUE(s->error & STREAM_ERR_WRITE);
  StreamClose(s);

  // Beyond two chunks: the write that hands over the third learns the first failed.
  s = StreamOpenFile(nullptr, "/dev/full", "wb", 8192);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(StreamStartAsync(s));
  const std::string block(static_cast<size_t>(kMiB / 2), 'z');
  int64_t accepted = 0;
  for (int i = 0; i < 8 && !(s->error & STREAM_ERR_WRITE); ++i)
    accepted += StreamWrite(s, block.data(), static_cast<int32_t>(block.size()));
  EXPECT_TRUE(s->error & STREAM_ERR_WRITE);
  EXPECT_LT(accepted, 8 * static_cast<int64_t>(block.size()));
  EXPECT_EQ(StreamFlush(s), -1);
  StreamClose(s);
}

TEST_F(AsyncStream, AFailedReadIsNotTakenForTheEnd) {
  // A directory opens for reading but every read fails (EISDIR).
  const std::string dir = std::string(::testing::TempDir());
  Stream* s = StreamOpenFile(nullptr, dir.c_str(), "rb", 32767);
  ASSERT_NE(s, nullptr);
  InputBuffer in;
  in.attach(s);
  EXPECT_EQ(in.take(4), nullptr);
  EXPECT_EQ(s->error & (STREAM_ERR_READ | STREAM_ERR_DEVICE), STREAM_ERR_READ | STREAM_ERR_DEVICE);
  StreamClose(s);

  // An ordinary end sets the read bit alone, which the input buffer takes back.
  const std::string path = temp_path("short");
  std::ofstream(path, std::ios::binary) << "abc";
  s = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  ASSERT_TRUE(s && StreamStartAsync(s));
  in.attach(s);
  char buf[8];
  EXPECT_EQ(in.read_some(buf, 8), 3u);
  EXPECT_EQ(s->error, 0u);
  StreamClose(s);
  unlink(path.c_str());
}

TEST_F(AsyncStream, OneThreadWhenAskedAndNeverForStandardStreamsOrPipes) {
  const std::string path = temp_path("one");
  std::ofstream(path, std::ios::binary) << "x";
  setenv("TABULON_THREADS", "1", 1);
  EXPECT_EQ(StreamThreads(), 1);
  Stream* s = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(StreamStartAsync(s));
  EXPECT_EQ(s->async, nullptr);
  EXPECT_EQ(StreamGetc(s), 'x');
  StreamClose(s);
  setenv("TABULON_THREADS", "2", 1);
  EXPECT_EQ(StreamThreads(), 2);
  s = StreamOpenFile(nullptr, "stdout", "wb", 8192);
  EXPECT_FALSE(StreamStartAsync(s));
  StreamClose(s);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string pipe_path = "/proc/self/fd/" + std::to_string(fds[1]);
  s = StreamOpenFile(nullptr, pipe_path.c_str(), "wb", 8192);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(StreamStartAsync(s));
  StreamClose(s);
  close(fds[0]);
  close(fds[1]);
  unlink(path.c_str());
}

// An input buffer lends the read-ahead chunks in place and copies only across their edges:
// takes, peeks, seeks and single bytes in any mix give the bytes of the file at every
// position, as over the plain file.
TEST_F(AsyncStream, InputBufferOverLentChunksMatchesThePlainFile) {
  const std::string path = temp_path("lent");
  const std::string bytes = random_bytes(static_cast<size_t>(3 * kMiB + 12345));
  std::ofstream(path, std::ios::binary) << bytes;
  Stream* plain = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  Stream* ahead = StreamOpenFile(nullptr, path.c_str(), "rb", 32767);
  ASSERT_TRUE(plain && ahead && StreamStartAsync(ahead));
  InputBuffer a, b;
  a.attach(plain);
  b.attach(ahead);
  std::mt19937 rng(7);
  const size_t sizes[] = {1, 8, 100, 4096, 300000, 1100000};
  for (int step = 0; step < 4000; ++step) {
    // Spells of reading by the caller (chunks read when wanted) between spells read ahead,
    // switched with a chunk in flight or not.
    if (step % 97 == 0) StreamReadByCaller(ahead, (step / 97) % 2 == 1);
    const int64_t at = a.tell();
    ASSERT_EQ(b.tell(), at);
    const size_t n = sizes[rng() % 6];
    switch (rng() % 5) {
      case 0: {
        const uint8_t* p = a.take(n);
        const uint8_t* q = b.take(n);
        ASSERT_EQ(p == nullptr, q == nullptr) << "take " << n << " at " << at;
        if (q) ASSERT_EQ(std::memcmp(q, bytes.data() + at, n), 0) << "take " << n << " at " << at;
        break;
      }
      case 1: {
        size_t got_a, got_b;
        a.peek(n, &got_a);
        const uint8_t* q = b.peek(n, &got_b);
        ASSERT_GE(got_b, std::min(n, bytes.size() - static_cast<size_t>(at)));
        ASSERT_EQ(std::memcmp(q, bytes.data() + at, got_b), 0) << "peek " << n << " at " << at;
        const size_t k = std::min(got_a, got_b) / 2;
        a.advance(k);
        b.advance(k);
        break;
      }
      case 2: {
        const int c = b.getc();
        ASSERT_EQ(c, a.getc());
        if (c >= 0) ASSERT_EQ(c, static_cast<uint8_t>(bytes[static_cast<size_t>(at)]));
        break;
      }
      case 3: {  // near the current position, or anywhere
        int64_t to = rng() % 2 ? at - static_cast<int64_t>(rng() % 5000) : static_cast<int64_t>(rng() % bytes.size());
        if (to < 0) to = 0;
        ASSERT_EQ(b.seek(to), a.seek(to));
        break;
      }
      default:
        ASSERT_EQ(b.skip(static_cast<int64_t>(n)), a.skip(static_cast<int64_t>(n)));
    }
  }
  EXPECT_FALSE(ahead->error & STREAM_ERR_READ);
  StreamClose(plain);
  StreamClose(ahead);
  unlink(path.c_str());
}
