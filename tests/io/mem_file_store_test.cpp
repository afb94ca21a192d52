#include "io/mem_file_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace tabulon;

TEST(MemFileStore, ErrorCodes) {
  MemFileStore st{};
  EXPECT_EQ(mfs_init(&st, 0, 0, false), static_cast<uint32_t>(MFS_BAD_PARAMS));
  EXPECT_EQ(mfs_shutdown(&st), static_cast<uint32_t>(MFS_NOT_INIT));
  ASSERT_EQ(mfs_init(&st, 4096, 32, false), 0u);
  EXPECT_EQ(st.magic, kMemStoreMagic);
  EXPECT_EQ(mfs_init(&st, 4096, 32, false), static_cast<uint32_t>(MFS_ALREADY_INIT));
  EXPECT_EQ(mfs_last_error(&st), static_cast<uint32_t>(MFS_ALREADY_INIT));
  EXPECT_EQ(mfs_last_error(&st), 0u);
  char c;
  struct {
    uint8_t number;
    uint32_t code;
  } cases[] = {{0, MFS_BAD_NUMBER}, {33, MFS_BAD_NUMBER}, {255, MFS_BAD_NUMBER}, {1, MFS_NOT_OPEN}, {32, MFS_NOT_OPEN}};
  for (auto& k : cases) {
    EXPECT_EQ(mfs_read(&st, k.number, &c, 1), -1);
    EXPECT_EQ(mfs_last_error(&st), k.code) << int(k.number);
    EXPECT_EQ(mfs_close(&st, k.number), k.code);
  }
  EXPECT_EQ(mfs_shutdown(&st), 0u);
  EXPECT_EQ(st.magic, 0u);
}

TEST(MemFileStore, ShutdownFreesOpenFiles) {
  MemFileStore st{};
  ASSERT_EQ(mfs_init(&st, 64, 3, false), 0u);  // small blocks: many links
  std::string data(1000, 'x');
  for (int i = 0; i < 3; ++i) {
    uint8_t n = mfs_open(&st);
    ASSERT_EQ(n, i + 1);
    EXPECT_EQ(mfs_write(&st, n, data.data(), data.size()), 1000);
  }
  EXPECT_EQ(mfs_open(&st), 0);
  EXPECT_EQ(mfs_last_error(&st), static_cast<uint32_t>(MFS_NO_SLOT));
  EXPECT_EQ(mfs_open_count(&st), 3u);
  EXPECT_EQ(mfs_shutdown(&st), 0u);  // the sanitizer build checks nothing leaks
}

TEST(MemFileStore, IntegrityCheckCatchesDamage) {
  MemFileStore st{};
  ASSERT_EQ(mfs_init(&st, 4096, 4, true), 0u);
  uint8_t n = mfs_open(&st);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(mfs_write(&st, n, "abcdef", 6), 6);
  EXPECT_EQ(mfs_seek(&st, n, 2), 0);
  EXPECT_EQ(mfs_getc(&st, n), 'c');
  // A damaged descriptor is refused with code 8.
  MemFileDesc* d = st.files[0];
  d->length += 1000;
  char buf[8];
  EXPECT_EQ(mfs_read(&st, n, buf, 8), -1);
  EXPECT_EQ(mfs_last_error(&st), static_cast<uint32_t>(MFS_DESC_CHECK));
  d->length -= 1000;
  EXPECT_EQ(mfs_read(&st, n, buf, 8), 3);
  // A damaged header is refused with code 5, and closing leaves it as it is.
  st.max_files = 200;
  EXPECT_EQ(mfs_open(&st), 0);
  EXPECT_EQ(mfs_last_error(&st), static_cast<uint32_t>(MFS_HEADER_CHECK));
  EXPECT_EQ(mfs_shutdown(&st), static_cast<uint32_t>(MFS_HEADER_CHECK));
  EXPECT_EQ(st.magic, kMemStoreMagic);
  st.max_files = 4;
  EXPECT_EQ(mfs_shutdown(&st), 0u);
}

TEST(MemFileStore, RandomAccessMatchesAFlatBuffer) {
  MemFileStore st{};
  ASSERT_EQ(mfs_init(&st, 100, 1, true), 0u);  // odd block size exercises every boundary
  uint8_t n = mfs_open(&st);
  std::vector<uint8_t> model;
  uint32_t seed = 1;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  for (int step = 0; step < 2000; ++step) {
    uint64_t pos = next() % 3000;
    size_t len = next() % 350 + 1;
    ASSERT_EQ(mfs_seek(&st, n, static_cast<int64_t>(pos)), 0);
    if (next() % 2) {
      std::vector<uint8_t> bytes(len);
      for (auto& b : bytes) b = static_cast<uint8_t>(next() >> 24);
      ASSERT_EQ(mfs_write(&st, n, bytes.data(), len), static_cast<int64_t>(len));
      if (model.size() < pos + len) model.resize(pos + len, 0);
      std::memcpy(model.data() + pos, bytes.data(), len);
    } else {
      std::vector<uint8_t> got(len);
      size_t expect = pos >= model.size() ? 0 : std::min(len, model.size() - pos);
      ASSERT_EQ(mfs_read(&st, n, got.data(), len), static_cast<int64_t>(expect));
      if (expect) {
        ASSERT_EQ(std::memcmp(got.data(), model.data() + pos, expect), 0) << step;
      }
    }
    ASSERT_EQ(mfs_length(&st, n), static_cast<int64_t>(model.size()));
  }
  EXPECT_EQ(mfs_shutdown(&st), 0u);
}
