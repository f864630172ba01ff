// Runs one end-to-end case file through the exported functions.
//
//   tavix_case_runner <file.test>      (REWRITE=1 rewrites expected blocks)
//
// A case file is a sequence of directives, each a header line, a body and a
// fence ("----"):
//
//   # comment
//   file name=items.csv [escaped] [nonl]
//   <file lines>
//   ----
//
//   query json|csv [stdin=NAME] [escaped] [over=A,B,...] [cpus=N,M,...]
//   <statement lines; {DIR} is the fixture directory>
//   ----
//   <expected lines, up to a blank line or the end of the file>
//
//   generate name=big.csv kind=KIND bytes=N [seed=S] [from=NAME]
//   temp missing | temp normal
//
// `over=A,B,...` runs the statement once per fixture name, with {FILE}
// standing for the name, and every run must give the one expected block:
// the way to show that files on both sides of a size threshold (one byte
// under it and one byte over, so that different executors answer) give the
// same answer. The name `stdin` runs the statement with its source
// '{DIR}/{FILE}' read as `stdin`, from the `stdin=` fixture.
//
// `cpus=N,M,...` runs the statement (every `over=` name) once for each count,
// with the runner limited to the first N CPUs it may run on: the processor
// count the library sees, which its threads inherit. One CPU keeps a large
// file on the one-thread executors, several hand it to the worker threads.
//
// `escaped` decodes (file, query statement) or encodes (query output) \r,
// \t, \\ and \xNN (and decodes \n), so CRLF, tabs, byte-order marks and
// NULs stay visible. `nonl` drops the file's last
// line end. An expected block holding blank lines is fenced twice: "----" on
// two lines before it and after it. The outcome is rendered as the result
// text (followed by "<no final newline>" when it lacks one, "<empty>" when
// empty), as the error text for return code 1, or as "<rc 2>".
//
// Every query runs with TEMP pointing at a fresh directory that must be empty
// again afterwards, and with standard input from /dev/null unless `stdin=`
// names a fixture file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "generators.h"
#include "support/cpu_limit.h"
#include "tavix.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string word;  // the directive's second word ("json", "csv", ...)
  std::map<std::string, std::string> values;
  bool has(const std::string& flag) const { return values.count(flag) > 0; }
};

Options parseHeader(const std::string& line, std::string& directive) {
  std::istringstream in(line);
  in >> directive;
  Options opts;
  std::string token;
  bool first = true;
  while (in >> token) {
    size_t eq = token.find('=');
    if (eq == std::string::npos) {
      if (first) opts.word = token;
      opts.values[token] = "";
    } else {
      opts.values[token.substr(0, eq)] = token.substr(eq + 1);
    }
    first = false;
  }
  return opts;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string decodeEscapes(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out.push_back(s[i]);
      continue;
    }
    char n = s[++i];
    if (n == 'r') out.push_back('\r');
    else if (n == 't') out.push_back('\t');
    else if (n == 'n') out.push_back('\n');
    else if (n == '\\') out.push_back('\\');
    else if (n == 'x' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back('\\');
      out.push_back(n);
    }
  }
  return out;
}

std::string encodeEscapes(const std::string& s) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    if (c == '\n') out.push_back('\n');
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
  return s;
}

std::string renderOutcome(int rc, const char* text, bool escaped) {
  if (rc == 2) return "<rc 2>\n";
  std::string body = text != nullptr ? text : "";
  if (escaped) body = encodeEscapes(body);
  if (rc == 1) return body + "\n";
  if (body.empty()) return "<empty>\n";
  if (body.back() != '\n') body += "\n<no final newline>\n";
  return body;
}

// Redirects descriptor 0 for the duration of one query.
class StdinRedirect {
 public:
  explicit StdinRedirect(const std::string& path) {
    saved_ = dup(0);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
      dup2(fd, 0);
      close(fd);
    }
  }
  ~StdinRedirect() {
    dup2(saved_, 0);
    close(saved_);
  }

 private:
  int saved_;
};

using tavix::test::CpuLimit;

std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    names.push_back(entry.path().filename().string());
    fs::remove_all(entry.path(), ec);
  }
  return names;
}

// The source an `over=` statement names its fixture by.
const std::string kFileSource = "'{DIR}/{FILE}'";

struct Replacement {
  size_t first_line;  // first line of the expected block
  size_t end_line;    // one past its last line (fences included)
  std::string actual;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tavix_case_runner <file.test>\n";
    return 2;
  }
  const std::string case_path = argv[1];
  std::ifstream in(case_path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << case_path << "\n";
    return 2;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  const char* tmp_root = std::getenv("TMPDIR");
  fs::path root = fs::path(tmp_root != nullptr && *tmp_root ? tmp_root : "/tmp") /
                  ("tavix_case_" + std::to_string(getpid()));
  const fs::path fixtures = root / "data";
  const fs::path temp_dir = root / "temp";
  fs::create_directories(fixtures);
  fs::create_directories(temp_dir);
  setenv("TEMP", temp_dir.c_str(), 1);

  const bool rewrite = std::getenv("REWRITE") != nullptr;
  std::vector<Replacement> replacements;
  int passed = 0;
  int failed = 0;

  size_t i = 0;
  while (i < lines.size()) {
    const std::string& header = lines[i];
    if (header.empty() || header[0] == '#') {
      ++i;
      continue;
    }
    const size_t header_line = i;
    std::string directive;
    Options opts = parseHeader(header, directive);
    ++i;
    if (directive == "temp") {
      setenv("TEMP", opts.word == "missing" ? (root / "missing").c_str() : temp_dir.c_str(), 1);
      continue;
    }
    if (directive == "generate") {
      std::string content;
      std::string error;
      if (opts.has("from")) {
        std::ifstream from(fixtures / opts.values["from"], std::ios::binary);
        opts.values["from_content"] = std::string(std::istreambuf_iterator<char>(from), {});
      }
      if (!generateFixture(opts.values, content, error)) {
        std::cerr << case_path << ":" << header_line + 1 << ": " << error << "\n";
        return 2;
      }
      std::ofstream(fixtures / opts.values["name"], std::ios::binary) << content;
      continue;
    }
    std::vector<std::string> body;
    while (i < lines.size() && lines[i] != "----") body.push_back(lines[i++]);
    if (i >= lines.size()) {
      std::cerr << case_path << ":" << header_line + 1 << ": missing ----\n";
      return 2;
    }
    ++i;  // the fence
    if (directive == "file") {
      std::string content;
      for (size_t k = 0; k < body.size(); ++k) {
        content += opts.has("escaped") ? decodeEscapes(body[k]) : body[k];
        if (k + 1 < body.size() || !opts.has("nonl")) content += "\n";
      }
      std::ofstream(fixtures / opts.values["name"], std::ios::binary) << content;
      continue;
    }
    if (directive != "query") {
      std::cerr << case_path << ":" << header_line + 1 << ": unknown directive " << directive << "\n";
      return 2;
    }
    std::string statement;
    for (size_t k = 0; k < body.size(); ++k) statement += (k ? "\n" : "") + body[k];
    if (opts.has("escaped")) statement = decodeEscapes(statement);
    // The fixture names the statement runs over: those of `over=`, or one
    // run of the statement as written.
    std::vector<std::string> over;
    if (opts.has("over")) {
      std::istringstream names(opts.values["over"]);
      for (std::string name; std::getline(names, name, ',');) over.push_back(name);
      if (over.empty() || statement.find("{FILE}") == std::string::npos) {
        std::cerr << case_path << ":" << header_line + 1 << ": over= needs names and {FILE}\n";
        return 2;
      }
      const bool reads_stdin = std::find(over.begin(), over.end(), "stdin") != over.end();
      if (reads_stdin && (!opts.has("stdin") || statement.find(kFileSource) == std::string::npos)) {
        std::cerr << case_path << ":" << header_line + 1
                  << ": over=...,stdin needs stdin= and the source " << kFileSource << "\n";
        return 2;
      }
    } else {
      over.push_back("");
    }
    std::vector<size_t> cpu_counts;
    if (opts.has("cpus")) {
      std::istringstream counts(opts.values["cpus"]);
      for (std::string count; std::getline(counts, count, ',');) {
        const size_t n = std::strtoull(count.c_str(), nullptr, 10);
        if (n == 0) {
          std::cerr << case_path << ":" << header_line + 1 << ": cpus= needs counts of 1 or more\n";
          return 2;
        }
        cpu_counts.push_back(n);
      }
    }
    if (cpu_counts.empty()) cpu_counts.push_back(0);

    // The expected block: up to a blank line, or between doubled fences.
    const size_t expected_first = i;
    std::string expected;
    if (i + 1 < lines.size() && lines[i] == "----" && lines[i + 1] == "----") {
      i += 2;
      while (i < lines.size() && !(lines[i] == "----" && i + 1 < lines.size() && lines[i + 1] == "----"))
        expected += lines[i++] + "\n";
      i = std::min(lines.size(), i + 2);
    } else {
      while (i < lines.size() && !lines[i].empty()) expected += lines[i++] + "\n";
    }

    std::string first_actual;
    for (size_t cpu_run = 0; cpu_run < cpu_counts.size(); ++cpu_run) {
      const size_t cpus = cpu_counts[cpu_run];
      const CpuLimit limit(cpus);
      const std::string on_cpus = cpus == 0 ? "" : " (on " + std::to_string(cpus) + " CPUs)";
      for (size_t run = 0; run < over.size(); ++run) {
        std::string sql = statement;
        if (over[run] == "stdin") sql = replaceAll(sql, kFileSource, "stdin");
        sql = replaceAll(replaceAll(sql, "{FILE}", over[run]), "{DIR}", fixtures.string());
        char* text = nullptr;
        int rc;
        {
          StdinRedirect redirect(opts.has("stdin") ? (fixtures / opts.values["stdin"]).string()
                                                   : std::string("/dev/null"));
          rc = opts.word == "csv" ? tavix_query_csv(sql.c_str(), &text)
                                  : tavix_query_json(sql.c_str(), &text);
        }
        const std::string actual = renderOutcome(rc, text, opts.has("escaped"));
        if (rc != 2) tavix_free(text);
        if (cpu_run == 0 && run == 0) first_actual = actual;

        std::vector<std::string> left = leftovers(temp_dir);
        bool ok = actual == expected;
        if (!left.empty()) {
          ok = false;
          std::cerr << case_path << ":" << header_line + 1 << ": files left in TEMP:";
          for (const auto& name : left) std::cerr << " " << name;
          std::cerr << "\n";
        }
        if (ok) {
          ++passed;
        } else {
          ++failed;
          if (actual != expected) {
            std::cerr << case_path << ":" << header_line + 1 << ": mismatch for\n" << sql << on_cpus
                      << "\n--- expected\n" << expected << "--- actual\n" << actual << "---\n";
          }
        }
        if (rewrite && actual != first_actual) {
          std::cerr << case_path << ":" << header_line + 1 << ": the answer over " << over[run]
                    << on_cpus << " differs from the one over " << over[0] << ", which the block keeps\n";
        }
      }
    }
    replacements.push_back({expected_first, i, first_actual});
  }

  if (rewrite) {
    std::ofstream out(case_path, std::ios::binary);
    size_t next = 0;
    for (const Replacement& r : replacements) {
      for (; next < r.first_line; ++next) out << lines[next] << "\n";
      const bool needs_double_fence = r.actual.find("\n\n") != std::string::npos ||
                                      r.actual.rfind("\n", 0) == 0;
      if (needs_double_fence) out << "----\n----\n" << r.actual << "----\n----\n";
      else out << r.actual;
      next = r.end_line;
    }
    for (; next < lines.size(); ++next) out << lines[next] << "\n";
  }

  std::error_code ec;
  fs::remove_all(root, ec);
  std::cout << case_path << ": " << passed << " passed, " << failed << " failed\n";
  return failed == 0 || rewrite ? 0 : 1;
}
