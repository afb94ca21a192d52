#include "io/input_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "io/stream.h"

namespace tabulon {

namespace {
constexpr size_t kChunk = 1 << 18;
}

void InputBuffer::attach(Stream* stream) {
  stream_ = stream;
  buf_.assign(kChunk, 0);
  data_ = buf_.data();
  pos_ = end_ = 0;
  base_ = stream ? StreamTell64(stream) : 0;
  if (base_ < 0) base_ = 0;
  length_ = stream ? StreamLength64(stream) : -1;
}

// Makes at least n bytes available from pos_; false when the file ends first.
bool InputBuffer::fill(size_t n) {
  if (!stream_) return false;
  const size_t left = end_ - pos_;
  base_ += static_cast<int64_t>(pos_);
  // The bytes held always end where the stream stands. Where its chunk read ahead holds them
  // too, and more, everything is served in place: a record that ran over a chunk's edge costs
  // a copy once, not at every later request.
  size_t before, after;
  if (StreamLentChunk(stream_, &before, &after) && after > 0 && left <= before) {
    size_t got;
    const uint8_t* p = StreamBorrow(stream_, SIZE_MAX, &got);
    data_ = p - left;
    pos_ = 0;
    end_ = left + got;
    if (end_ >= n) return true;
  }
  const size_t held = end_ - pos_;
  // Bytes held in buf_ move to its front before it may grow; lent ones are copied after.
  if (data_ == buf_.data() && pos_ > 0) std::memmove(buf_.data(), data_ + pos_, held);
  const bool lent = data_ != buf_.data();
  if (n > buf_.size()) buf_.resize(n < kChunk ? kChunk : n);
  if (lent && held) std::memcpy(buf_.data(), data_ + pos_, held);
  data_ = buf_.data();
  pos_ = 0;
  end_ = held;
  // From the next chunk only the missing bytes are copied: the request after them is served
  // in place again.
  size_t got;
  const uint8_t* p;
  if (end_ == 0 && (p = StreamBorrow(stream_, SIZE_MAX, &got)) != nullptr && got >= n) {
    data_ = p;
    end_ = got;
    return true;
  } else if (end_ == 0 && got) {
    std::memcpy(buf_.data(), p, got);
    end_ = got;
  }
  while (end_ < n && (p = StreamBorrow(stream_, n - end_, &got)) != nullptr) {
    std::memcpy(buf_.data() + end_, p, got);
    end_ += got;
  }
  while (end_ < n) {
    const uint32_t before_bits = stream_->error;
    int64_t read = StreamReadRaw(stream_, buf_.data() + end_, static_cast<int64_t>(buf_.size() - end_));
    // Reading ahead meets the end of the file with a short read: that is not a read error of
    // the case just delivered, so the stream's bit is put back as it was.
    if (!(before_bits & STREAM_ERR_READ) && !(stream_->error & STREAM_ERR_DEVICE))
      stream_->error &= ~static_cast<uint32_t>(STREAM_ERR_READ);
    if (read <= 0) return false;
    end_ += static_cast<size_t>(read);
  }
  return true;
}

const uint8_t* InputBuffer::take(size_t n) {
  if (end_ - pos_ < n && !fill(n)) return nullptr;
  const uint8_t* p = data_ + pos_;
  pos_ += n;
  return p;
}

const uint8_t* InputBuffer::peek(size_t n, size_t* avail) {
  if (end_ - pos_ < n) fill(n);
  *avail = end_ - pos_;
  return data_ + pos_;
}

bool InputBuffer::read(void* out, size_t n) {
  uint8_t* dst = static_cast<uint8_t*>(out);
  while (n > 0) {
    if (pos_ == end_ && !fill(1)) return false;
    size_t k = end_ - pos_;
    if (k > n) k = n;
    std::memcpy(dst, data_ + pos_, k);
    pos_ += k;
    dst += k;
    n -= k;
  }
  return true;
}

size_t InputBuffer::read_some(void* out, size_t n) {
  uint8_t* dst = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < n) {
    if (pos_ == end_ && !fill(1)) break;
    const size_t k = std::min(n - done, end_ - pos_);
    std::memcpy(dst + done, data_ + pos_, k);
    pos_ += k;
    done += k;
  }
  return done;
}

bool InputBuffer::skip(int64_t n) {
  if (n < 0) return false;
  if (static_cast<int64_t>(end_ - pos_) >= n) {
    pos_ += static_cast<size_t>(n);
    return true;
  }
  const int64_t target = tell() + n;
  if (length_ >= 0 && target > length_) return false;
  return seek(target);
}

bool InputBuffer::seek(int64_t position) {
  if (position < 0 || !stream_) return false;
  if (position >= base_ && position <= base_ + static_cast<int64_t>(end_)) {
    pos_ = static_cast<size_t>(position - base_);
    return true;
  }
  if (length_ >= 0 && position > length_) return false;
  if (StreamSeek64(stream_, position, SEEK_SET) != 0) return false;
  base_ = position;
  data_ = buf_.data();
  pos_ = end_ = 0;
  return true;
}

bool InputBuffer::expect(const char* text, size_t n) {
  const uint8_t* p;
  if (end_ - pos_ < n && !fill(n)) return false;
  p = data_ + pos_;
  if (std::memcmp(p, text, n) != 0) return false;
  pos_ += n;
  return true;
}

}  // namespace tabulon
