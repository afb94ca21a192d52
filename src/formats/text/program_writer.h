// Programs for other packages beside a text data file: SPSS syntax (39), a SAS program (40),
// a Stata do-file and dictionary (41), schemas (46, 53, 55), Mplus input (64) and the three
// programs together (47).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/text/text_writer.h"

namespace tabulon {

struct VarRecord;
struct MissingSpec;

// Places items in fields of a fixed width, a few per line, within a line limit.
class ColumnWriter {
 public:
  ColumnWriter(std::string& out, const char* eol, int per_line, size_t field, size_t limit = 80, size_t indent = 0);
  void add(const std::string& item);
  void finish();  // ends a line in progress

 private:
  std::string& out_;
  const char* eol_;
  int per_line_;
  size_t field_, limit_, indent_;
  int count_ = 0;
  size_t column_ = 0;
};

// What every program generator needs to know.
struct ProgramContext {
  EnvRecord* env = nullptr;
  int32_t code = 0;                // output format
  std::vector<VarRecord*> vars;    // kept variables
  std::vector<uint32_t> start;     // 0-based first column of each variable in the data
  std::vector<uint32_t> width;
  uint32_t total = 0;              // record width
  std::string eol = "\r\n";
  std::string data_path;           // as the program names it
  std::string out_path;            // the output path (program or data)
  bool comments = true;            // explanatory comments and the generated header
  std::string user_header;         // copied to the top when set
  std::string encoding;            // the output encoding the user asked for
  std::string date_pattern[3];     // date, time and date-time patterns of the data
};

// Program texts (UTF-8).
std::string spss_program(ProgramContext& c);
void stata_program(ProgramContext& c, const std::string& dct_path, std::string* do_file, std::string* dictionary);
std::string schema_program(ProgramContext& c);
std::string mplus_program(ProgramContext& c);
std::string sas_program(ProgramContext& c);

// Helpers shared by the generators.
std::string program_header(const ProgramContext& c, const char* package);
std::string number_text15(double x);  // "%.15g"
std::string path_with_extension(const std::string& path, const char* ext);
// The variables whose value labels equal those of an earlier variable point at it:
// leader[k] == k for the first variable of each set, -1 without labels.
std::vector<int> label_set_leaders(const std::vector<VarRecord*>& vars);
// A parse pattern for a write pattern ("%0d" reads as "%d").
std::string read_pattern_of(const std::string& write_pattern);

struct ProgramWriter : FormatState {
  ProgramContext ctx;
  TextWriter data;
  StreamPtr data_stream;   // the data file when it is not the output itself
  bool mplus = false;
  std::vector<char> line;  // Mplus records
};

}  // namespace tabulon
