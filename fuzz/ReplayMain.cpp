// Replays inputs through a fuzz target without libFuzzer, so that any
// compiler and any preset (the sanitizers, the board under qemu) can run the
// inputs a fuzzer kept: each file named on the command line, and each file
// of each folder named there (by name, names starting with '.' skipped), is
// handed to LLVMFuzzerTestOneInput once. A crash or a sanitizer report ends
// the program; a path that cannot be read is an error.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool IsFolder(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The files of a folder, by name; false when it cannot be listed.
bool ListFolder(const std::string& folder, std::vector<std::string>& files) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!IsFolder(folder + "/" + name)) files.push_back(folder + "/" + name);
  }
  return true;
}

bool ReadWhole(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!IsFolder(argv[i])) {
      files.push_back(argv[i]);
    } else if (!ListFolder(argv[i], files)) {
      fprintf(stderr, "cannot list %s\n", argv[i]);
      return 1;
    }
  }
  for (const std::string& file : files) {
    std::string bytes;
    if (!ReadWhole(file, bytes)) {
      fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    printf("%s\n", file.c_str());  // before the call: a crash names its input
    fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  printf("replayed %zu inputs\n", files.size());
  return 0;
}
