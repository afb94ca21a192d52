// Excel binary workbook output (format 48).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {

// Writes a BIFF workbook stream as the "Workbook" stream of a new compound file.
// 0, or a compound-file error code.
int32_t xls_write_compound(const std::string& path, const std::vector<uint8_t>& workbook);

}  // namespace tabulon
