// Buffered reading of a binary or text file: large reads from the stream, records handed out
// in place, a logical position that saves and restores independently of the read-ahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tabulon {

struct Stream;

class InputBuffer {
 public:
  void attach(Stream* stream);
  Stream* stream() const { return stream_; }
  // Goes on through another handle on the same stream (StreamShareFile), keeping the bytes
  // buffered: the two agree on the position.
  void rebind(Stream* stream) { stream_ = stream; }
  // Bytes of the file, -1 when unknown.
  int64_t length() const { return length_; }
  int64_t tell() const { return base_ + static_cast<int64_t>(pos_); }
  // Pointer to the next n bytes (valid until the next call), or null at a short read.
  const uint8_t* take(size_t n);
  // Pointer to up to n bytes without consuming them (valid until the next call); *avail gets
  // how many are there, fewer than n only where the file ends. advance consumes k <= *avail.
  const uint8_t* peek(size_t n, size_t* avail);
  void advance(size_t k) { pos_ += k < end_ - pos_ ? k : end_ - pos_; }
  bool read(void* out, size_t n);
  // Copies up to n bytes; returns how many there were before the end of the file.
  size_t read_some(void* out, size_t n);
  // One byte, or -1 at the end of the file; ungetc gives the last one back.
  int getc() { return pos_ < end_ ? data_[pos_++] : (fill(1) ? data_[pos_++] : -1); }
  void ungetc() {
    if (pos_ > 0) --pos_;
  }
  bool skip(int64_t n);
  bool seek(int64_t position);
  // The next bytes equal text (consumed only when they do).
  bool expect(const char* text, size_t n);

 private:
  bool fill(size_t n);

  Stream* stream_ = nullptr;
  // The bytes held: in buf_, or in place in the stream's chunk read ahead (StreamBorrow),
  // which saves a copy of nearly all of a file read from start to end.
  std::vector<uint8_t> buf_;
  const uint8_t* data_ = nullptr;
  size_t pos_ = 0;     // next byte at data_
  size_t end_ = 0;     // bytes held at data_
  int64_t base_ = 0;   // file position of data_[0]
  int64_t length_ = -1;
};

}  // namespace tabulon
