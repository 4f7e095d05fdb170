// Entry point of the tool: parse the command line, then run the one action it names.
#include <cstdio>
#include <variant>

#include "app_main_args.h"

int main(int argc, char** argv) {
  auto parsed = app_parse_args(argc, argv, stdout);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return 0;
}
