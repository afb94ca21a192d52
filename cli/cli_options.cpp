#include "cli_options.h"

#include <cstring>

namespace cli {

namespace {

bool is_command(const std::string& s) {
  return s == "convert" || s == "info" || s == "formats" || s == "options";
}

}  // namespace

const char* usage_text() {
  return "usage: tabulon COMMAND [ARGS]\n"
         "\n"
         "  tabulon convert IN OUT [options]      convert one file\n"
         "  tabulon info FILE [options] [--json]   describe a file\n"
         "  tabulon formats [--all]                list the file formats this build reads or writes\n"
         "  tabulon options                        list the keyword options\n"
         "  tabulon --version | --help | COMMAND --help\n"
         "\n"
         "Exit status: 0 done (warnings allowed), 1 the conversion failed, 2 a usage error.\n";
}

const char* command_usage(const std::string& command) {
  if (command == "convert")
    return "usage: tabulon convert IN OUT [options]\n"
           "\n"
           "IN or OUT may be '-' for standard input or output (text outputs; binary inputs are\n"
           "read into a temporary file first). The output is written under a temporary name and\n"
           "replaces OUT only when it is complete.\n"
           "\n"
           "  -i, --from FMT        input format: stata, spss (sav), por, sas (sas7bdat), xpt,\n"
           "                        excel (xls), xlsx, csv, tsv, txt, fixed, schema, or a code;\n"
           "                        default from the content or extension\n"
           "  -o, --to FMT          output format, the same names; default from the extension\n"
           "  -s, --set KEY=VALUE   set a keyword option (see 'tabulon options'); repeatable\n"
           "      --keep LIST       keep only these variables (names, a-b ranges, wildcards, _NUMBERS, @file)\n"
           "      --drop LIST       drop these variables\n"
           "      --where EXPR      transfer only the cases for which EXPR is true (see below)\n"
           "      --member NAME     the member, table or sheet to read\n"
           "      --optimize        choose the narrowest exact storage types (default)\n"
           "      --no-optimize     keep the input's storage types\n"
           "      --schema          also write the .SCH description beside a delimited output\n"
           "                        (fixed-column output always has one: it is needed to read it)\n"
           "      --programs LIST   also write programs reading a fixed-column output (formats 19, 39,\n"
           "                        40, 41, 46): any of sas, spss, stata, all, separated by commas\n"
           "      --strict          fail (exit 1) when the conversion changes any value, name or label\n"
           "  -y, --overwrite       replace an existing output file\n"
           "  -q, --quiet           only errors\n"
           "  -v, --verbose         every warning and information; -vv also library diagnostics\n"
           "\n"
           "--where EXPR: comparisons  = <> < <= > >=  of a variable with a value or an expression;\n"
           "  join them with & (and), | (or), ! (not) and parentheses. \"a = 1,2,3\" is true when any\n"
           "  value matches. Strings are in double quotes (compared without case), dates in square\n"
           "  brackets ([12/31/2020]), NA or _missing is the missing value. Arithmetic: + - * / %.\n"
           "  Examples:  --where 'age >= 65 & region = \"North\"'   --where 'income <> NA'\n";
  if (command == "info")
    return "usage: tabulon info FILE [options] [--json]\n"
           "\n"
           "Shows what the file says about itself (release, encoding, compression, byte order,\n"
           "creation and modification times, the program that wrote it), its cases and its\n"
           "variables: type, width, measurement level, display format, missing values, labels.\n"
           "What a file does not record is left out (null in JSON). The encoding of a text file\n"
           "is guessed from its first block.\n"
           "\n"
           "  -i, --from FMT        input format (name or code)\n"
           "  -s, --set KEY=VALUE   set a keyword option; repeatable\n"
           "      --member NAME     the member, table or sheet to read\n"
           "      --json            one JSON object on stdout\n"
           "  -q, --quiet / -v, --verbose\n";
  if (command == "formats")
    return "usage: tabulon formats [--all]\n\nLists the formats this build reads or writes: code, read/write, name,\n"
           "extensions. --all lists the rest of the format registry too.\n";
  if (command == "options")
    return "usage: tabulon options\n\nLists the keyword options: keyword, default, choices, description.\n";
  return usage_text();
}

namespace {

bool parse_programs(const std::string& list, int& mask) {
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    const std::string word = list.substr(at, comma - at);
    if (word == "sas") mask |= 1;
    else if (word == "spss") mask |= 2;
    else if (word == "stata") mask |= 4;
    else if (word == "all") mask |= 7;
    else return false;
    at = comma + 1;
  }
  return true;
}

}  // namespace

bool parse_cli(int argc, char** argv, CliOptions& out, std::string& error) {
  int i = 1;
  if (i >= argc) {
    error = "no command given";
    return false;
  }
  std::string first = argv[i];
  if (first == "--help" || first == "-h") {
    out.help = true;
    return true;
  }
  if (first == "--version") {
    out.command = "--version";
    return true;
  }
  if (!is_command(first)) {
    error = "unknown command '" + first + "'";
    return false;
  }
  out.command = first;
  ++i;
  auto value_of = [&](const std::string& opt, std::string& dest) -> bool {
    if (i + 1 >= argc) {
      error = "option " + opt + " needs a value";
      return false;
    }
    dest = argv[++i];
    return true;
  };
  for (; i < argc; ++i) {
    std::string a = argv[i];
    std::string v;
    // --opt=value form
    std::string name = a, inline_value;
    bool has_inline = false;
    if (a.rfind("--", 0) == 0) {
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        inline_value = a.substr(eq + 1);
        has_inline = true;
      }
    }
    auto take = [&](std::string& dest) -> bool {
      if (has_inline) {
        dest = inline_value;
        return true;
      }
      return value_of(name, dest);
    };
    if (name == "-h" || name == "--help") {
      out.help = true;
    } else if (name == "-i" || name == "--from") {
      if (!take(out.from)) return false;
    } else if (name == "-o" || name == "--to") {
      if (!take(out.to)) return false;
    } else if (name == "-s" || name == "--set") {
      if (!take(v)) return false;
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) {
        error = "option " + name + " takes KEY=VALUE, got '" + v + "'";
        return false;
      }
      out.sets.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (name == "--keep") {
      if (!take(v)) return false;
      out.keeps.push_back(v);
    } else if (name == "--drop") {
      if (!take(v)) return false;
      out.drops.push_back(v);
    } else if (name == "--where") {
      if (!take(out.where)) return false;
    } else if (name == "--member") {
      if (!take(out.member)) return false;
    } else if (name == "--programs") {
      if (!take(v)) return false;
      if (!parse_programs(v, out.programs)) {
        error = "--programs takes sas, spss, stata or all, separated by commas; got '" + v + "'";
        return false;
      }
    } else if (name == "--optimize") {
      out.optimize = true;
      out.optimize_given = true;
    } else if (name == "--no-optimize") {
      out.optimize = false;
      out.optimize_given = true;
    } else if (name == "-y" || name == "--overwrite") {
      out.overwrite = true;
    } else if (name == "-q" || name == "--quiet") {
      out.quiet = true;
    } else if (name == "-v" || name == "--verbose") {
      out.verbose += 1;
    } else if (name == "-vv") {
      out.verbose += 2;
    } else if (name == "--strict") {
      out.strict = true;
    } else if (name == "--schema") {
      out.schema = true;
    } else if (name == "--all") {
      out.all = true;
    } else if (name == "--json") {
      out.json = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      error = "unknown option '" + a + "'";
      return false;
    } else {
      out.files.push_back(a);
    }
  }
  if (out.help) return true;
  size_t want = out.command == "convert" ? 2 : out.command == "info" ? 1 : 0;
  if (out.files.size() != want) {
    error = out.command + " takes " + std::to_string(want) + " file argument" + (want == 1 ? "" : "s") +
            ", got " + std::to_string(out.files.size());
    return false;
  }
  if (out.programs && out.command != "convert") {
    error = "--programs is an option of 'convert'";
    return false;
  }
  if ((out.strict || out.schema) && out.command != "convert") {
    error = std::string(out.strict ? "--strict" : "--schema") + " is an option of 'convert'";
    return false;
  }
  if (out.all && out.command != "formats") {
    error = "--all is an option of 'formats'";
    return false;
  }
  if (out.json && out.command != "info") {
    error = "--json is an option of 'info'";
    return false;
  }
  return true;
}

}  // namespace cli
