// Office Open XML workbooks: shared strings, styles, relationships, the workbook part and
// the worksheets, each zip member streamed through the XML text reader (never held whole).
#include "formats/sheets/xlsx_reader.h"

#include <cstdio>
#include <libxml/encoding.h>
#include <libxml/xmlreader.h>

#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "api/env_record.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "engine/format_hooks.h"
#include "formats/sheets/xls_reader.h"
#include "io/xml_lib.h"
#include "io/zip_archive.h"

namespace tabulon {

namespace {

constexpr const char kOutOfMemory[] =
    "Tabulon cannot obtain enough memory to read your Excel 2007 file\n Please save it in Excel as a delimited "
    "ASCII (csv) file\nThen read your newly saved file in Tabulon";
constexpr int32_t kMaxRow = 1048575;
constexpr uint32_t kMaxColumn = 255;

// libxml2 reader node types
constexpr int kElement = 1, kText = 3, kCdata = 4, kWhitespace = 13, kSignificantWhitespace = 14, kEndElement = 15;

bool is_text_node(int t) { return t == kText || t == kCdata || t == kWhitespace || t == kSignificantWhitespace; }

std::string_view view(const xmlChar* s) {
  return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}
std::string_view local(std::string_view qname) {
  const size_t colon = qname.find(':');
  return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

struct ZipCloser {
  void operator()(ZipReader* z) const { zip_close_read(z); }
};

// One zip member read through the XML text reader, pulled from the zip in pieces.
class MemberXml {
 public:
  MemberXml(EnvRecord& env, ZipReader* zip, std::string member, const char* xml_error)
      : env_(env), zip_(zip), member_(std::move(member)), xml_error_(xml_error) {}
  ~MemberXml() {
    if (reader_) XML_FN(xmlFreeTextReader)(reader_);
    if (open_) zip_close_member(zip_);
  }
  MemberXml(const MemberXml&) = delete;
  MemberXml& operator=(const MemberXml&) = delete;

  // False when the package has no such member.
  bool open() {
    switch (zip_open_member(zip_, member_.c_str())) {
      case ZipStatus::Ok:
        break;
      case ZipStatus::Missing:
        return false;
      case ZipStatus::InfoError:
        RaiseErrorF(env_, "Invalid Excel file -- Error obtaining characteristics of %s", member_.c_str());
      default:
        RaiseErrorF(env_, "Error opening Excel stream: %s", member_.c_str());
    }
    open_ = true;
    // No network, no DTD loading, no entity substitution; the parser's own limits on
    // text size and entity expansion stay on. Messages come from us, not from stderr.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;
    reader_ = XML_FN(xmlReaderForIO)(&MemberXml::read_cb, nullptr, this, member_.c_str(), nullptr, options);
    if (!reader_) RaiseError(env_, kOutOfMemory, nullptr);
    return true;
  }

  // The next node's type; 0 at the end of the member (whose checksum is then checked).
  int next() {
    const int r = XML_FN(xmlTextReaderRead)(reader_);
    if (r == 1) {
      type_ = XML_FN(xmlTextReaderNodeType)(reader_);
      return type_;
    }
    if (read_failed_) RaiseErrorF(env_, "Error reading Excel stream: %s", member_.c_str());
    if (r < 0) RaiseError(env_, xml_error_, nullptr);
    finish();
    return 0;
  }
  std::string_view name() const { return local(view(XML_FN(xmlTextReaderConstName)(reader_))); }
  std::string_view value() const { return view(XML_FN(xmlTextReaderConstValue)(reader_)); }
  bool empty_element() const { return XML_FN(xmlTextReaderIsEmptyElement)(reader_) == 1; }
  int depth() const { return XML_FN(xmlTextReaderDepth)(reader_); }
  // Calls f(local name, value) for each attribute of the current element. Ask for
  // empty_element() and depth() before: they describe the attribute afterwards.
  template <class F>
  void attributes(F&& f) {
    while (XML_FN(xmlTextReaderMoveToNextAttribute)(reader_) == 1)
      f(local(view(XML_FN(xmlTextReaderConstName)(reader_))), value());
  }
  // The text content of the current element (its text nodes joined), leaving the reader on its end.
  std::string text() { return text(empty_element(), depth()); }
  // The same for an element whose attributes were read: its emptiness and depth from before.
  std::string text(bool empty, int d) {
    std::string out;
    if (empty) return out;
    for (int t = next(); t != 0; t = next()) {
      if (t == kEndElement && depth() == d) break;
      if (is_text_node(t)) out += value();
    }
    return out;
  }

 private:
  static int read_cb(void* ctx, char* buf, int len) {
    auto* self = static_cast<MemberXml*>(ctx);
    if (len <= 0) return 0;
    const int got = zip_read_piece(self->zip_, buf, static_cast<unsigned>(len));
    if (got < 0) self->read_failed_ = true;
    return got;
  }
  void finish() {
    if (!open_) return;
    open_ = false;
    const ZipStatus st = zip_close_member(zip_);
    if (st == ZipStatus::CrcError) RaiseError(env_, "CRC error in zip archive", nullptr);
    if (st != ZipStatus::Ok) RaiseErrorF(env_, "Error reading Excel stream: %s", member_.c_str());
  }

  EnvRecord& env_;
  ZipReader* zip_;
  std::string member_;
  const char* xml_error_;
  xmlTextReaderPtr reader_ = nullptr;
  bool open_ = false;
  bool read_failed_ = false;
  int type_ = 0;
};

template <class T>
bool parse_uint(std::string_view s, T& out) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
    s.remove_prefix(1);
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr != s.data();
}

bool parse_double(std::string_view s, double& out) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\r' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t'))
    s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

// "B12" into 0-based column and row; false when it is no cell reference.
bool cell_ref(std::string_view s, uint32_t& col, int32_t& row) {
  size_t i = 0;
  uint32_t c = 0;
  if (i < s.size() && s[i] == '$') ++i;
  const size_t letters = i;
  while (i < s.size() && i - letters < 4) {
    char ch = s[i];
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    if (ch < 'A' || ch > 'Z') break;
    c = c * 26 + static_cast<uint32_t>(ch - 'A' + 1);
    ++i;
  }
  if (i == letters) return false;
  if (i < s.size() && s[i] == '$') ++i;
  uint32_t r = 0;
  auto res = std::from_chars(s.data() + i, s.data() + s.size(), r);
  if (res.ec != std::errc() || r == 0 || r > kMaxRow + 1) return false;
  col = c - 1;
  row = static_cast<int32_t>(r - 1);
  return true;
}

// "2024-03-01", "2024-03-01T12:30:00.5" into a day number.
bool iso_day(std::string_view s, double& day) {
  DateParts p;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  auto num = [&](size_t at, size_t n, int& out) {
    if (at + n > s.size()) return false;
    auto r = std::from_chars(s.data() + at, s.data() + at + n, out);
    return r.ec == std::errc() && r.ptr == s.data() + at + n;
  };
  if (!num(0, 4, y) || s.size() < 10 || s[4] != '-' || !num(5, 2, mo) || s[7] != '-' || !num(8, 2, d)) return false;
  if (s.size() > 10) {
    if (s[10] != 'T' && s[10] != ' ') return false;
    if (!num(11, 2, h) || s.size() < 16 || s[13] != ':' || !num(14, 2, mi)) return false;
    if (s.size() > 16) {
      if (s[16] != ':') return false;
      std::string_view rest = s.substr(17);
      while (!rest.empty() && (rest.back() == 'Z')) rest.remove_suffix(1);
      auto r = std::from_chars(rest.data(), rest.data() + rest.size(), sec);
      if (r.ec != std::errc()) return false;
    }
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec >= 61) return false;
  p.year = y;
  p.month = mo - 1;
  p.mday = d;
  p.flags = kPartsDate;
  double whole;
  if (!parts_to_day(p, &whole)) return false;
  day = whole + (h * 3600 + mi * 60 + sec) / 86400.0;
  return true;
}

struct Package {
  EnvRecord& env;
  ZipReader* zip;
  Workbook& wb;
  std::vector<uint32_t> sst;        // shared string -> text index
  std::vector<FormatClass> xfs;     // cell style -> class and decimals
  std::map<std::string, std::string> rels;  // Id -> Target of worksheets
  bool have_rels = false;
  struct SheetEntry {
    std::string name, rid, target;
  };
  std::vector<SheetEntry> sheets;
  struct Name {
    std::string name, ref;
    int32_t local_sheet = -1;
  };
  std::vector<Name> names;

  Package(EnvRecord& e, ZipReader* z, Workbook& w) : env(e), zip(z), wb(w) {}
  void shared_strings();
  void styles();
  void relationships();
  void workbook();
  void worksheet(size_t index, const std::string& member);
  void defined_names();
};

// Text of a string item: its runs joined, phonetic guides left out.
std::string string_item(MemberXml& x) {
  std::string out;
  if (x.empty_element()) return out;
  const int d = x.depth();
  int in_t = 0, in_phonetic = 0;
  for (int t = x.next(); t != 0; t = x.next()) {
    if (t == kElement) {
      const std::string_view n = x.name();
      const bool empty = x.empty_element();
      if (n == "rPh") in_phonetic += empty ? 0 : 1;
      if (n == "t" && !empty) ++in_t;
    } else if (t == kEndElement) {
      if (x.depth() == d) break;
      const std::string_view n = x.name();
      if (n == "rPh" && in_phonetic > 0) --in_phonetic;
      if (n == "t" && in_t > 0) --in_t;
    } else if (is_text_node(t) && in_t > 0 && in_phonetic == 0) {
      out += x.value();
    }
  }
  return out;
}

void Package::shared_strings() {
  MemberXml x(env, zip, "xl/sharedStrings.xml", "XML error reading string table");
  if (!x.open()) return;
  for (int t = x.next(); t != 0; t = x.next()) {
    if (t != kElement) continue;
    const std::string_view n = x.name();
    if (n == "sst") {
      uint64_t unique = 0;
      x.attributes([&](std::string_view a, std::string_view v) {
        if (a == "uniqueCount") parse_uint(v, unique);
      });
      // The count is a hint: a damaged file may claim billions of strings in a few bytes.
      sst.reserve(static_cast<size_t>(std::min<uint64_t>(unique, 1u << 16)));
    } else if (n == "si") {
      sst.push_back(wb.add_text(string_item(x)));
    }
  }
}

void Package::styles() {
  MemberXml x(env, zip, "xl/styles.xml", "XML error reading style sheet");
  if (!x.open())
    RaiseError(env, "Excel .xlxb binary files are not supported, Please resave in Excel as an .xlsx file", nullptr);
  std::map<uint32_t, FormatClass> custom;
  std::vector<uint32_t> xf_ids;
  int xfs_depth = -1;
  for (int t = x.next(); t != 0; t = x.next()) {
    if (t == kEndElement) {
      if (x.depth() == xfs_depth && x.name() == "cellXfs") xfs_depth = -1;
      continue;
    }
    if (t != kElement) continue;
    const std::string_view n = x.name();
    if (n == "numFmt") {
      uint32_t id = 0;
      bool has_id = false;
      FormatClass fc;
      x.attributes([&](std::string_view a, std::string_view v) {
        if (a == "numFmtId") has_id = parse_uint(v, id);
        if (a == "formatCode") fc = xls_classify_format(v);
      });
      if (has_id) custom[id] = fc;
    } else if (n == "cellXfs") {
      if (!x.empty_element()) xfs_depth = x.depth();
    } else if (n == "xf" && xfs_depth >= 0) {
      uint32_t id = 0;
      x.attributes([&](std::string_view a, std::string_view v) {
        if (a == "numFmtId") parse_uint(v, id);
      });
      xf_ids.push_back(id);
    }
  }
  xfs.reserve(xf_ids.size());
  for (uint32_t id : xf_ids) {
    auto it = custom.find(id);
    xfs.push_back(it != custom.end() ? it->second : xlsx_builtin_format(id));
  }
}

void Package::relationships() {
  MemberXml x(env, zip, "xl/_rels/workbook.xml.rels", "XML error workbook 'rels' file");
  if (!x.open()) return;
  have_rels = true;
  for (int t = x.next(); t != 0; t = x.next()) {
    if (t != kElement || x.name() != "Relationship") continue;
    std::string id, target, type;
    x.attributes([&](std::string_view a, std::string_view v) {
      if (a == "Id") id = v;
      if (a == "Target") target = v;
      if (a == "Type") type = v;
    });
    if (type.find("worksheet") != std::string::npos) rels[id] = target;
  }
}

void Package::workbook() {
  MemberXml x(env, zip, "xl/workbook.xml", "XML error reading style sheet");
  if (!x.open()) RaiseErrorF(env, "Error opening Excel stream: %s", "xl/workbook.xml");
  for (int t = x.next(); t != 0; t = x.next()) {
    if (t != kElement) continue;
    const std::string_view n = x.name();
    if (n == "sheet") {
      SheetEntry s;
      x.attributes([&](std::string_view a, std::string_view v) {
        if (a == "name") s.name = v;
        if (a == "id") s.rid = v;  // r:id
      });
      auto it = rels.find(s.rid);
      if (it != rels.end()) s.target = it->second;
      sheets.push_back(std::move(s));
    } else if (n == "workbookPr") {
      x.attributes([&](std::string_view a, std::string_view v) {
        // xsd:boolean: "1" and "true" both mean the 1904 system
        if (a == "date1904") wb.date1904 = v == "1" || v == "true";
      });
    } else if (n == "definedName") {
      Name nm;
      const bool empty = x.empty_element();
      const int d = x.depth();
      x.attributes([&](std::string_view a, std::string_view v) {
        if (a == "name") nm.name = v;
        if (a == "localSheetId") parse_uint(v, nm.local_sheet);
      });
      nm.ref = x.text(empty, d);
      if (!nm.name.empty() && nm.name[0] != '_') names.push_back(std::move(nm));
    }
  }
}

// "Sheet1!$A$1:$C$10", "'My sheet'!A1" into a range of the workbook.
void Package::defined_names() {
  for (const Name& nm : names) {
    std::string_view ref = nm.ref;
    std::string sheet_name;
    const size_t bang = ref.rfind('!');
    if (bang == std::string_view::npos) continue;
    std::string_view sp = ref.substr(0, bang);
    if (sp.size() >= 2 && sp.front() == '\'' && sp.back() == '\'') {
      sp = sp.substr(1, sp.size() - 2);
      for (size_t i = 0; i < sp.size(); ++i) {
        sheet_name += sp[i];
        if (sp[i] == '\'' && i + 1 < sp.size() && sp[i + 1] == '\'') ++i;
      }
    } else {
      sheet_name = sp;
    }
    int32_t sheet = -1;
    for (size_t i = 0; i < wb.sheets.size(); ++i)
      if (wb.sheets[i].name == sheet_name) sheet = static_cast<int32_t>(i);
    if (sheet < 0) continue;
    std::string_view cells = ref.substr(bang + 1);
    const size_t colon = cells.find(':');
    uint32_t c1, c2;
    int32_t r1, r2;
    if (!cell_ref(cells.substr(0, colon), c1, r1)) continue;
    if (colon == std::string_view::npos) {
      c2 = c1;
      r2 = r1;
    } else if (!cell_ref(cells.substr(colon + 1), c2, r2)) {
      continue;
    }
    if (c1 > kMaxColumn || c2 > kMaxColumn) continue;
    WksRange r;
    r.name = nm.name;
    r.sheet = sheet;
    r.first_sheet = r.last_sheet = static_cast<uint32_t>(sheet);
    r.first_col = static_cast<uint8_t>(c1);
    r.last_col = static_cast<uint8_t>(c2);
    r.first_row = static_cast<uint32_t>(r1);
    r.last_row = static_cast<uint32_t>(r2);
    wb.ranges.push_back(std::move(r));
  }
}

void Package::worksheet(size_t index, const std::string& member) {
  MemberXml x(env, zip, member, "XML error reading worksheet");
  if (!x.open()) return;  // a sheet whose part is missing reads as a sheet without cells
  const int32_t sheet = static_cast<int32_t>(index);
  int32_t row = -1;
  // The cell being read.
  uint32_t col = 0;
  int32_t cell_row = 0;
  int32_t next_col = 0;
  uint32_t style = 0;
  std::string type, v, inline_text;
  bool have_v = false, have_inline = false;

  auto store = [&] {
    if (!have_v && !have_inline) return;  // a formatted cell without a value
    if (col > kMaxColumn) RaiseError(env, "Internal Error: Column out of range", nullptr);
    const FormatClass fc = style < xfs.size() ? xfs[style] : FormatClass{};
    WksCell& c = wb.cell(sheet, static_cast<uint32_t>(cell_row), col);
    c = WksCell{.col = c.col};
    auto text_cell = [&](std::string s) {
      c.kind = kCellString;
      c.text_index = wb.add_text(std::move(s));
    };
    auto number_cell = [&](double d) {
      c.kind = kCellNumber;
      c.number_class = fc.cls;
      c.decimals = fc.decimals;
      c.value = d;
    };
    if (type == "s") {
      uint32_t k = 0;
      if (!parse_uint(v, k) || k >= sst.size())
        RaiseError(env, "Internal error - string index out of range", nullptr);
      c.kind = kCellString;
      c.text_index = sst[k];
    } else if (type == "inlineStr") {
      text_cell(have_inline ? std::move(inline_text) : std::move(v));
    } else if (type == "str") {
      text_cell(std::move(v));
    } else if (type == "b") {
      double d = 0;
      parse_double(v, d);
      number_cell(d != 0 ? 1.0 : 0.0);
      c.number_class = 0;
      c.boolean = 1;
    } else if (type == "e") {
      const int32_t code = wks_error_code(v);
      c.kind = kCellNumber;
      c.error = 1;
      c.value = code >= 0 ? code : 0x2A;
    } else if (type == "d") {
      double day;
      if (!iso_day(v, day)) {
        text_cell(std::move(v));
      } else {
        // Kept as the serial number Excel would store, so that dates of all cells go one way.
        double serial = wb.date1904 ? day - 1462.0 : (day >= 2.0 && day < 61.0 ? day - 1.0 : day);
        number_cell(serial);
        if (c.number_class != kClassDate && c.number_class != kClassDateTime && c.number_class != kClassTime)
          c.number_class = day == static_cast<double>(static_cast<int64_t>(day)) ? kClassDate : kClassDateTime;
      }
    } else {
      double d;
      if (parse_double(v, d))
        number_cell(d);
      else
        text_cell(std::move(v));
    }
  };

  for (int t = x.next(); t != 0; t = x.next()) {
    if (t != kElement) continue;
    const std::string_view n = x.name();
    if (n == "row") {
      int32_t r = -1;
      x.attributes([&](std::string_view a, std::string_view val) {
        if (a == "r" && parse_uint(val, r)) r -= 1;
      });
      row = r >= 0 && r <= kMaxRow ? r : row + 1;
      if (row > kMaxRow) RaiseError(env, "XML error reading worksheet", nullptr);
      next_col = 0;
    } else if (n == "c") {
      const bool empty = x.empty_element();
      const int d = x.depth();
      type.clear();
      v.clear();
      inline_text.clear();
      have_v = have_inline = false;
      style = 0;
      bool placed = false;
      x.attributes([&](std::string_view a, std::string_view val) {
        if (a == "r") placed = cell_ref(val, col, cell_row);
        if (a == "s") parse_uint(val, style);
        if (a == "t") type = val;
      });
      if (!placed) {
        // Cells without a reference follow the one before them.
        col = static_cast<uint32_t>(next_col);
        cell_row = row < 0 ? 0 : row;
      }
      if (row < 0) row = cell_row;
      next_col = static_cast<int32_t>(col) + 1;
      if (empty) continue;
      for (int u = x.next(); u != 0; u = x.next()) {
        if (u == kEndElement && x.depth() == d) break;
        if (u != kElement) continue;
        const std::string_view cn = x.name();
        if (cn == "v") {
          v = x.text();
          have_v = true;
        } else if (cn == "is") {
          inline_text = string_item(x);
          have_inline = true;
        }
      }
      store();
    }
  }
}

}  // namespace

FormatClass xlsx_builtin_format(uint32_t id) {
  switch (id) {
    case 1:
    case 3:
      return {1, 0};
    case 2:
    case 4:
    case 7:
    case 11:
    case 39:
    case 40:
    case 43:
    case 44:
      return {1, 2};
    case 9:
      return {8, 0};
    case 10:
      return {8, 2};
    case 14:
    case 15:
    case 16:
    case 17:
      return {kClassDate, 0};
    case 18:
    case 19:
    case 20:
    case 21:
    case 45:
    case 46:
    case 47:
      return {kClassTime, 0};
    case 22:
      return {kClassDateTime, 0};
    case 49:
      return {66, 0};
    default:
      return {0, 0};
  }
}

// The start of a package part as text ("" when the package lacks it or it cannot be read):
// document properties are read as plain text, so that a damaged one never fails the workbook.
std::string part_text(ZipReader* zip, const char* name) {
  if (zip_open_member(zip, name) != ZipStatus::Ok) return {};
  std::string text(1 << 16, '\0');
  const int got = zip_read_piece(zip, text.data(), static_cast<unsigned>(text.size()));
  zip_close_member(zip);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

// The text of the first element whose local name is `name` ("" when there is none).
std::string element_text(const std::string& xml, const std::string& name) {
  for (size_t at = 0; (at = xml.find(name, at)) != std::string::npos; at += name.size()) {
    if (at == 0 || (xml[at - 1] != '<' && xml[at - 1] != ':')) continue;
    if (at + name.size() >= xml.size() || (xml[at + name.size()] != '>' && xml[at + name.size()] != ' ')) continue;
    const size_t open = xml.rfind('<', at);
    const size_t gt = xml.find('>', at);
    if (open == std::string::npos || xml[open + 1] == '/' || gt == std::string::npos) continue;
    const size_t end = xml.find('<', gt);
    if (end == std::string::npos) return {};
    return xml.substr(gt + 1, end - gt - 1);
  }
  return {};
}

// W3C date-time "2021-03-04T10:20:30Z" as "2021-03-04 10:20:30".
std::string w3c_time(const std::string& t) {
  int y, mo, d, h, mi, sec;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec) != 6) return {};
  return fact_time(y, mo, d, h, mi, sec);
}

void note_properties(EnvRecord& env, ZipReader* zip) {
  DatasetFacts& facts = env.transfer.facts;
  const std::string core = part_text(zip, "docProps/core.xml");
  facts.created = w3c_time(element_text(core, "created"));
  facts.modified = w3c_time(element_text(core, "modified"));
  const std::string app = part_text(zip, "docProps/app.xml");
  facts.software = fact_text(element_text(app, "Application").data(), element_text(app, "Application").size());
  const std::string version = element_text(app, "AppVersion");
  if (!facts.software.empty() && !version.empty()) facts.software += " " + fact_text(version.data(), version.size());
}

void xlsx_parse(EnvRecord& env, const char* path, Workbook& wb) {
  XmlLibLoad(env);
  std::unique_ptr<ZipReader, ZipCloser> zip(zip_open_read(path));
  if (!zip) RaiseErrorF(env, "Error opening zip archive %s", path);
  if (!XML_FN(xmlFindCharEncodingHandler)("ISO-8859-1")) RaiseError(env, "no encoding handler found", nullptr);
  try {
    Package pk(env, zip.get(), wb);
    pk.shared_strings();
    pk.styles();
    pk.relationships();
    pk.workbook();
    for (size_t i = 0; i < pk.sheets.size(); ++i) {
      WksSheet& sh = wb.sheets.emplace_back();
      sh.name = pk.sheets[i].name;
    }
    for (size_t i = 0; i < pk.sheets.size(); ++i) {
      std::string member;
      if (!pk.have_rels) {
        member = "xl/worksheets/sheet" + std::to_string(i + 1) + ".xml";
      } else {
        const std::string& target = pk.sheets[i].target;
        if (target.empty()) continue;  // a chart sheet or a broken relationship: no cells
        member = target[0] == '/' ? target.substr(1) : "xl/" + target;
      }
      pk.worksheet(i, member);
    }
    pk.defined_names();
    note_properties(env, zip.get());
  } catch (const std::bad_alloc&) {
    RaiseError(env, kOutOfMemory, nullptr);
  }
  wb.finish();
}

int32_t xlsx_open_input(EnvRecord& env) {
  WorksheetState& st = make_reader_state<WorksheetState>(env);
  xlsx_parse(env, env.transfer.input_path.c_str(), st.wb);
  env.transfer.facts.release = "OOXML";
  env.transfer.facts.encoding = "UTF-8";
  env.transfer.facts.compression = "zip";
  wks_attach(env, st);
  return 0;
}

}  // namespace tabulon
