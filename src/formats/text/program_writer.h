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
  bool short_labels = false;       // SPSS variable labels in at most two pieces of 120 characters
  std::string user_header;         // copied to the top when set
  std::string encoding;            // the output encoding the user asked for
  std::string date_pattern[3];     // date, time and date-time patterns of the data
};

// Extra programs: bit 0 SAS, bit 1 SPSS, bit 2 Stata.
enum : uint32_t { kProgramSas = 1, kProgramSpss = 2, kProgramStata = 4, kAllPrograms = 7 };

// SPSS, Stata and SAS read dates, times and date-times written with these patterns.
extern const char* const kPackagePatterns[3];

// Line ends, comments, label mode and encoding from the environment's options.
void program_context_settings(EnvRecord& env, ProgramContext& c);
// Start columns and widths of c.vars in a fixed-column data file.
void program_layout(ProgramContext& c, bool preserve);
// Names legal for the program of an output format (47: SAS, SPSS and Stata alike).
void legalize_program_names(EnvRecord& env, int32_t code);
// The extra programs the environment asks for beside an output of this format: none for
// formats whose data the programs cannot read, never the output's own program.
uint32_t extra_program_mask(EnvRecord& env, int32_t code);
// Writes the asked programs beside c.out_path, reading c.data_path; raises
// "Error writing extra program file: %s" on failure.
void write_extra_programs(ProgramContext& c, uint32_t mask);
// The user's header for a program extension ("sps", "sas", "do", ...), or "".
std::string read_user_header(EnvRecord& env, const char* ext);
// Writes a program text in the output encoding; false when the file cannot be written.
bool write_file(EnvRecord& env, const std::string& path, const std::string& text);

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
  uint32_t extras = 0;     // programs still to write beside the output at close
};

// A fixed-column text output (19) with programs beside it: the data takes the programs'
// layout, names and date patterns so that each program reads it back.
struct FixedTextWithPrograms : TextWriter {
  ProgramContext programs;
  uint32_t extras = 0;
};
// Prepares `w` before text_writer_open; the programs are written by fixed_text_programs_close.
void fixed_text_programs_prepare(EnvRecord& env, FixedTextWithPrograms& w, uint32_t extras);
void fixed_text_programs_after_open(FixedTextWithPrograms& w);
void fixed_text_programs_close(FixedTextWithPrograms& w);

}  // namespace tabulon
