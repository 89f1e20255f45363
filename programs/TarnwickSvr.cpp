// The engine. Does its work only when started with "/s".
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "/s") != 0) return 0;
  return 0;
}
