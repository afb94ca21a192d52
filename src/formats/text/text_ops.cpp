// Entry points of the text formats for the transfer engine.
#include <cstdio>

#include "api/env_record.h"
#include "api/raise.h"
#include "engine/format_hooks.h"
#include "formats/text/delimited_reader.h"
#include "formats/text/fixed_reader.h"
#include "formats/text/line_reader.h"
#include "formats/text/program_writer.h"
#include "formats/text/text_writer.h"
#include "io/stream.h"

namespace tabulon {

namespace {

size_t stream_read(void* ctx, char* buf, size_t n) {
  Stream* s = static_cast<Stream*>(ctx);
  const uint32_t before = s->error;
  int64_t got = StreamReadRaw(s, buf, static_cast<int64_t>(n));
  // Reading ahead in large blocks meets the end of the file with a short read; that is
  // no read error as long as the file itself reports none.
  if (got >= 0 && static_cast<size_t>(got) < n && !(before & STREAM_ERR_READ) &&
      !(s->error & STREAM_ERR_DEVICE))
    s->error &= ~static_cast<uint32_t>(STREAM_ERR_READ);
  return got > 0 ? static_cast<size_t>(got) : 0;
}
int64_t stream_tell(void* ctx) { return StreamTell64(static_cast<Stream*>(ctx)); }
bool stream_seek(void* ctx, int64_t pos) { return StreamSeek64(static_cast<Stream*>(ctx), pos, SEEK_SET) == 0; }

ByteSource stream_source(Stream* s) { return ByteSource{s, stream_read, stream_tell, stream_seek}; }

// The name of the input's encoding for the line reader; byte-order marks are looked for in any case.
const char* input_encoding(EnvRecord& env) {
  const ConverterSlot& slot = env.encoding.input[0];
  if (slot.from.empty() || (slot.flags & kSlotNoConversion)) return "UTF-8";
  return slot.from.c_str();
}

// The line reader hands out UTF-8 already: the names it finds must not be converted again.
void keep_names(EnvRecord& env) { env.encoding.input[0].flags |= kSlotKeepNames; }

// The encoding of a text input as far as its first block tells: a byte-order mark, plain ASCII,
// UTF-8, or other bytes read in the encoding the reader was given.
void note_text_encoding(EnvRecord& env, const RdLine& rd) {
  std::string& out = env.transfer.facts.encoding;
  if (rd.unit_kind != 1)
    out = std::string(rd.unit_kind == 2 ? "UTF-16" : "UTF-32") + (rd.big_endian ? "BE" : "LE") + " (byte-order mark)";
  else if (rd.chunk_pos > 0)
    out = "UTF-8 (byte-order mark)";
  if (!out.empty()) return;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(rd.chunk.data());
  const size_t n = rd.chunk_len;
  bool ascii = true, utf8 = true;
  for (size_t i = 0; i < n && utf8;) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    ascii = false;
    const int len = p[i] >= 0xF0 && p[i] <= 0xF4 ? 4 : p[i] >= 0xE0 ? 3 : p[i] >= 0xC2 && p[i] < 0xE0 ? 2 : 0;
    if (len == 0) {
      utf8 = false;
      break;
    }
    for (int k = 1; k < len && i + k < n; ++k)  // a sequence cut by the end of the block counts as whole
      if ((p[i + k] & 0xC0) != 0x80) utf8 = false;
    i += static_cast<size_t>(len);
  }
  const std::string given = input_encoding(env);
  if (ascii) out = "ASCII (guessed)";
  else if (given != "UTF-8") out = given + " (as set)";
  else if (utf8) out = "UTF-8 (guessed)";
  else out = "8-bit, not UTF-8 (guessed)";
}

int32_t delimited_read_dict(EnvRecord& env) {
  Stream* in = env.transfer.input_stream.get();
  if (!in) RaiseError(env, "Input file is not open", nullptr);
  DelimitedReader& r = make_reader_state<DelimitedReader>(env);
  delimited_prepare(env, r, stream_source(in), input_encoding(env));
  if (r.rd) note_text_encoding(env, *r.rd);
  keep_names(env);
  if (delimited_scan(env, r) < 0) {
    SetMessageF(env, "%s", "No fields were found in the first lines of the input file");
    return -1;
  }
  return 0;
}

int32_t delimited_read_case(EnvRecord& env) {
  DelimitedReader* r = reader_state<DelimitedReader>(env);
  if (!r || !r->rd) return kEndOfData;
  return delimited_read_record(env, *r) == 0 ? kCaseRead : kEndOfData;
}

int32_t delimited_save(EnvRecord& env) {
  DelimitedReader* r = reader_state<DelimitedReader>(env);
  if (!r || !r->rd) return -1;
  r->saved_at = rdline_tell(*r->rd);
  r->saved_lines = r->lines_read;
  r->saved_any = r->any_record;
  return 0;
}

int32_t delimited_restore(EnvRecord& env) {
  DelimitedReader* r = reader_state<DelimitedReader>(env);
  if (!r || !r->rd || r->saved_at < 0) return -1;
  rdline_seek(*r->rd, r->saved_at);
  r->lines_read = r->saved_lines;
  r->any_record = r->saved_any;
  return 0;
}

int32_t fixed_read_dict(EnvRecord& env) {
  Stream* in = env.transfer.input_stream.get();
  if (!in) RaiseError(env, "Input file is not open", nullptr);
  DelimitedReader& r = make_reader_state<DelimitedReader>(env);
  delimited_prepare(env, r, stream_source(in), input_encoding(env));
  keep_names(env);
  fixed_read_schema(env, r, env.transfer.input_path);
  return 0;
}

int32_t fixed_read_case(EnvRecord& env) {
  DelimitedReader* r = reader_state<DelimitedReader>(env);
  if (!r || !r->rd) return kEndOfData;
  return fixed_read_record(env, *r) == 0 ? kCaseRead : kEndOfData;
}

int32_t text_open_output(EnvRecord& env) {
  const int32_t code = env.transfer.output_code;
  const uint32_t extras = extra_program_mask(env, code);
  if (!extras)
    return text_writer_open(env, make_writer_state<TextWriter>(env), code, env.transfer.output_stream.get(),
                            env.transfer.output_path);
  FixedTextWithPrograms& w = make_writer_state<FixedTextWithPrograms>(env);
  fixed_text_programs_prepare(env, w, extras);
  const int32_t r = text_writer_open(env, w, code, env.transfer.output_stream.get(), env.transfer.output_path);
  fixed_text_programs_after_open(w);
  return r;
}

int32_t text_write_case(EnvRecord& env) {
  TextWriter* w = writer_state<TextWriter>(env);
  return w ? text_writer_record(env, *w) : -1;
}

int32_t text_close_output(EnvRecord& env) {
  TextWriter* w = writer_state<TextWriter>(env);
  if (!w) return 0;
  const int32_t r = text_writer_close(env, *w);
  if (auto* with_programs = dynamic_cast<FixedTextWithPrograms*>(w); with_programs && r == 0)
    fixed_text_programs_close(*with_programs);
  return r;
}

}  // namespace

extern const FormatReaderOps kDelimitedTextReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = delimited_read_dict,
    .read_case = delimited_read_case,
    .save_position = delimited_save,
    .restore_position = delimited_restore,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
};

extern const FormatReaderOps kFixedTextReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = fixed_read_dict,
    .read_case = fixed_read_case,
    .save_position = delimited_save,
    .restore_position = delimited_restore,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
};

extern const FormatWriterOps kTextWriter = {
    .flags = 0,
    .open = text_open_output,
    .write_case = text_write_case,
    .close = text_close_output,
};

}  // namespace tabulon
