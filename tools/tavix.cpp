// tavix: runs one SQL statement through libtavix and prints the answer.
//
//   tavix [--csv] "SELECT ..."
//
// The result goes to standard output (exit 0); an error text goes to standard
// error (exit 1). Standard input passes through to the library, so
// `... | tavix "SELECT count(*) FROM stdin"` reads the piped data.
#include <cstdio>
#include <cstring>

#include "tavix.h"

int main(int argc, char** argv) {
  bool csv = false;
  const char* sql = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--csv") == 0) {
      csv = true;
    } else if (sql == nullptr) {
      sql = argv[i];
    } else {
      sql = nullptr;
      break;
    }
  }
  if (sql == nullptr) {
    std::fprintf(stderr, "usage: tavix [--csv] \"SELECT ...\"\n");
    return 2;
  }
  char* text = nullptr;
  const int rc = csv ? tavix_query_csv(sql, &text) : tavix_query_json(sql, &text);
  if (rc == 2) {
    std::fprintf(stderr, "error: OutOfMemory\n");
    return 1;
  }
  std::FILE* stream = rc == 0 ? stdout : stderr;
  std::fputs(text, stream);
  if (rc != 0) std::fputc('\n', stream);
  tavix_free(text);
  return rc == 0 ? 0 : 1;
}
