// Runs a command in a network of its own (see private_net.hpp), so that
// the demo and the benchmark talk only to the wharf they start.
//   in_private_net COMMAND [ARG...]
#include <unistd.h>

#include <cstdio>

#include "private_net.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: in_private_net COMMAND [ARG...]\n");
    return 2;
  }
  if (const char* problem = enter_private_network(false)) {
    std::fprintf(stderr, "in_private_net: %s; not running %s\n", problem, argv[1]);
    return 1;
  }
  ::execvp(argv[1], argv + 1);
  std::perror(argv[1]);
  return 127;
}
