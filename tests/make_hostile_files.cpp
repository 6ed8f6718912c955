// Writes the hostile-file battery of every format into one folder, for
// running players against it by hand or from tools/hostile-battery.sh:
//   make_hostile_files FOLDER
// Each file is named <format>-<what is wrong>.<ext>; "good" is the intact one.
#include <cstdio>
#include <string>

#include "hostile_files.h"
#include "wav_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  int written = 0;
  for (const char* format : {"wav", "dff", "wsd", "dsf"}) {
    for (const hostile_file& file : hostile_files(format)) {
      const std::string path = folder + "/" + format + "-" + file.name;
      if (!write_file(path, file.bytes)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      ++written;
    }
  }
  std::printf("%d\n", written);
  return 0;
}
