// Stream throughput: a 100 MB file read through a file stream and through a
// compound-file stream in 64 KB requests (from the page cache), and memory-file
// writes of 100 MB in 8 KB pieces. Prints MB/s figures; not a test.
//   bench_stream_bench [directory]   (default /tmp)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "io/io_state.h"
#include "io/stream.h"

using namespace tabulon;

namespace {

constexpr size_t kSize = 100u << 20;
constexpr int32_t kRequest = 64 << 10;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of several passes of reading the stream to its end in 64 KB requests.
double read_rate(const std::function<Stream*()>& open, uint64_t* checksum) {
  std::vector<char> buf(kRequest);
  double best = 1e9;
  for (int pass = 0; pass < 5; ++pass) {
    Stream* s = open();
    if (!s) return 0;
    auto t0 = std::chrono::steady_clock::now();
    uint64_t total = 0, sum = 0;
    for (;;) {
      int32_t got = StreamRead(s, buf.data(), kRequest);
      if (got <= 0) break;
      total += static_cast<uint64_t>(got);
      sum += static_cast<uint8_t>(buf[static_cast<size_t>(got) - 1]);
      if (got < kRequest) break;
    }
    double t = seconds_since(t0);
    StreamClose(s);
    if (total != kSize) {
      std::fprintf(stderr, "short read: %llu\n", static_cast<unsigned long long>(total));
      return 0;
    }
    *checksum = sum;
    if (t < best) best = t;
  }
  return kSize / best / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string plain = dir + "/tabulon_bench_" + std::to_string(getpid()) + ".bin";
  std::string cfb = dir + "/tabulon_bench_" + std::to_string(getpid()) + ".cfb";
  std::vector<char> data(kSize);
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 2654435761u >> 24);

  // The files: one plain, one compound file with a single 100 MB stream.
  Stream* w = StreamOpenFile(nullptr, plain.c_str(), "wb", 8192);
  for (size_t at = 0; at < kSize; at += kRequest) StreamWrite(w, data.data() + at, kRequest);
  StreamClose(w);
  auto t0 = std::chrono::steady_clock::now();
  w = StreamOpenStorage(cfb.c_str(), "Data", 4, nullptr);
  for (size_t at = 0; at < kSize; at += kRequest) StreamWrite(w, data.data() + at, kRequest);
  StreamClose(w);
  double cfb_write = kSize / seconds_since(t0) / 1e6;

  uint64_t sum_file = 0, sum_cfb = 0;
  double file_rate = read_rate([&] { return StreamOpenFile(nullptr, plain.c_str(), "rb", 8192); }, &sum_file);
  double cfb_rate = read_rate([&] { return StreamOpenStorage(cfb.c_str(), "Data", 1, nullptr); }, &sum_cfb);

  // Memory file: 100 MB in 8 KB pieces, then read back.
  auto env = std::make_unique<EnvRecord>();
  io_env_open(*env, 0);
  double mem_best = 1e9;
  for (int pass = 0; pass < 3; ++pass) {
    Stream* m = StreamOpenMemFile(*env);
    auto t1 = std::chrono::steady_clock::now();
    for (size_t at = 0; at < kSize; at += 8192) StreamWrite(m, data.data() + at, 8192);
    double t = seconds_since(t1);
    if (t < mem_best) mem_best = t;
    if (StreamLength64(m) != static_cast<int64_t>(kSize)) std::fprintf(stderr, "memory file length wrong\n");
    StreamClose(m);
  }
  io_env_close(*env);

  std::printf("file stream read, 64 KB requests:      %8.0f MB/s\n", file_rate);
  std::printf("compound-file stream read, 64 KB:      %8.0f MB/s\n", cfb_rate);
  std::printf("compound-file write + commit (100 MB): %8.0f MB/s\n", cfb_write);
  std::printf("memory-file write, 8 KB pieces:        %8.0f MB/s\n", kSize / mem_best / 1e6);
  std::printf("(checksums %llu %llu)\n", static_cast<unsigned long long>(sum_file),
              static_cast<unsigned long long>(sum_cfb));
  unlink(plain.c_str());
  unlink(cfb.c_str());
  return sum_file == sum_cfb ? 0 : 1;
}
