#include "formats/sheets/sheet_writer_common.h"

#include "api/env_record.h"
#include "dict/var_record.h"
#include "tabulon/tabulon.h"

namespace tabulon {

std::string sheet_name_from_path(std::string_view path, size_t max_units) {
  const size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && dot > 0) path = path.substr(0, dot);
  std::string name;
  size_t units = 0;
  for (size_t i = 0; i < path.size();) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > path.size()) len = path.size() - i;
    const size_t need = len == 4 ? 2 : 1;  // characters beyond the BMP take two UTF-16 units
    if (units + need > max_units) break;
    if (len == 1 && (c < 0x20 || std::string_view("[]:*?/\\").find(static_cast<char>(c)) != std::string_view::npos))
      name += '_';
    else
      name.append(path.substr(i, len));
    units += need;
    i += len;
  }
  while (!name.empty() && name.front() == '\'') name.erase(0, 1);
  while (!name.empty() && name.back() == '\'') name.pop_back();
  return name.empty() ? std::string("Sheet1") : name;
}

std::string sheet_name_for_output(const EnvRecord& env) {
  const TransferState& t = env.transfer;
  if (t.current_member >= 0 && static_cast<size_t>(t.current_member) < t.members.size() &&
      !t.members[static_cast<size_t>(t.current_member)].empty())
    return sheet_name_from_path(t.members[static_cast<size_t>(t.current_member)] + ".member");  // keeps its own dots
  return sheet_name_from_path(t.output_path);
}

SheetCellKind sheet_cell_kind(const VarRecord& v) {
  switch (v.ttype) {
    case T_STRING: return kCellAlpha;
    case T_BYTE:
    case T_INT:
    case T_LONG: return kCellNumb0;
    case T_DATE: return kCellDate;
    case T_TIME: return kCellTime;
    case T_DATETIME: return kCellDateTime;
    default:
      if (v.decimals == 1) return kCellNumb1;
      if (v.decimals == 2) return kCellNumb2;
      return kCellNumbG;
  }
}

uint32_t sheet_column_width(const VarRecord& v, uint32_t fallback) {
  uint32_t width = fallback;
  if (v.ttype == T_STRING) width = v.print_width > 35 ? 35 : v.print_width;
  const size_t name = utf8_chars(v.name);
  if (name > width) width = static_cast<uint32_t>(name) + 3;
  return width;
}

size_t utf8_chars(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

}  // namespace tabulon
