#include "StateFolder.h"

#include "kiv/StateFolder.h"

#include "Format.h"
#include "RandomHex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kiv {
namespace {

constexpr char kDeviceIdFile[] = "device-id";
constexpr char kDevicePrefix[] = "kiv-";
constexpr size_t kDeviceDigits = 12;
constexpr size_t kMaxDeviceIdLine = 64;  // longer than any id of ours
constexpr char kLockFile[] = "lock";
// Less room than this counts as a full folder: one erase block of a router's
// NOR flash, which its file system needs free to go on writing at all.
constexpr unsigned long long kLeastRoom = 64 * 1024;
constexpr char kWhatItMeans[] =
    ": records not stored by the platform will not survive a stop or a power cut";

bool IsGeneratedDeviceId(const std::string& id) {
  const size_t prefix = sizeof kDevicePrefix - 1;
  return id.size() == prefix + kDeviceDigits && id.compare(0, prefix, kDevicePrefix) == 0 &&
         id.find_first_not_of("0123456789abcdef", prefix) == std::string::npos;
}

std::string NewDeviceId() { return kDevicePrefix + RandomHex(kDeviceDigits); }

// Flushes what the system holds of path (opened with flags) to the storage.
std::string SyncPath(const std::string& path, int flags) {
  int descriptor = open(path.c_str(), flags | O_CLOEXEC);
  if (descriptor < 0) return Format("cannot open %s: %s", path.c_str(), std::strerror(errno));
  int result = fsync(descriptor);
  int error = errno;
  close(descriptor);
  // A file system that cannot flush a folder (EINVAL) has nothing to flush.
  if (result != 0 && !(error == EINVAL && (flags & O_DIRECTORY))) {
    return Format("cannot flush %s to the storage: %s", path.c_str(), std::strerror(error));
  }
  return "";
}

std::string WriteWhole(const std::string& path, const FileWriter& write) {
  std::FILE* out = std::fopen(path.c_str(), "wbe");
  if (out == nullptr) return Format("cannot create %s: %s", path.c_str(), std::strerror(errno));
  bool written = write(out);
  int error = errno;
  if (std::fclose(out) != 0 && written) {
    written = false;
    error = errno;
  }
  return written ? "" : Format("cannot write %s: %s", path.c_str(), std::strerror(error));
}

// Why the state folder cannot be written to, with error (an errno value).
std::string CannotWriteToFolder(const char* folder, int error) {
  return Format("cannot write to the state folder %s: %s%s", folder, std::strerror(error),
                kWhatItMeans);
}

// Why a folder that could be locked still cannot keep records, or "".
std::string RoomProblem(const char* folder) {
  if (access(folder, W_OK) != 0) return CannotWriteToFolder(folder, errno);
  struct statvfs room {};
  if (statvfs(folder, &room) != 0) return "";  // unknown: the writes will tell
  if (room.f_flag & ST_RDONLY) {
    return Format("the state folder %s is on a read-only file system%s", folder,
                  kWhatItMeans);
  }
  if (room.f_frsize > 0 && room.f_bavail < kLeastRoom / room.f_frsize) {
    return Format("the state folder %s is full (%llu KiB free)%s", folder,
                  static_cast<unsigned long long>(room.f_bavail) * room.f_frsize / 1024,
                  kWhatItMeans);
  }
  return "";
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SyncFolder(const std::string& folder) {
  return SyncPath(folder, O_RDONLY | O_DIRECTORY);
}

bool WriteBytes(std::FILE* out, const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

bool ReadFirstLine(const std::string& path, size_t most, std::string* line) {
  std::FILE* in = std::fopen(path.c_str(), "rbe");
  if (in == nullptr) return false;
  line->clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n' && line->size() <= most) {
    line->push_back(static_cast<char>(c));
  }
  std::fclose(in);
  return c == '\n' && line->size() <= most;
}

std::string ReplaceFile(const std::string& path, const FileWriter& write) {
  const std::string written = path + ".new";
  std::string problem = WriteWhole(written, write);
  if (problem.empty()) problem = SyncPath(written, O_RDONLY);
  if (problem.empty() && std::rename(written.c_str(), path.c_str()) != 0) {
    problem = Format("cannot rename %s to %s: %s", written.c_str(), path.c_str(), std::strerror(errno));
  }
  if (!problem.empty()) {
    std::remove(written.c_str());
    return problem;
  }
  return SyncFolder(FolderOf(path));
}

std::string StateFolder() {
  const char* folders = std::getenv("STATE_DIRECTORY");
  if (folders == nullptr || *folders == '\0') return "";
  std::string list = folders;
  return list.substr(0, list.find(':'));
}

std::string StateFilePath(const std::string& name) {
  std::string folder = StateFolder();
  return folder.empty() ? "" : folder + "/" + name;
}

std::string GeneratedDeviceId(std::string* problem) {
  problem->clear();
  const std::string path = StateFilePath(kDeviceIdFile);
  if (path.empty()) return NewDeviceId();
  std::string id;
  if (ReadFirstLine(path, kMaxDeviceIdLine, &id) && IsGeneratedDeviceId(id)) return id;
  if (access(path.c_str(), F_OK) == 0) {
    *problem = Format("%s holds no device id of the SDK's; a new one replaces it. ", path.c_str());
  }
  id = NewDeviceId();
  std::string failure = ReplaceFile(
      path, [&id](std::FILE* out) { return std::fprintf(out, "%s\n", id.c_str()) > 0; });
  if (!failure.empty()) *problem += Format("cannot store the device id: %s", failure.c_str());
  return id;
}

// ---- The lock -------------------------------------------------------------------

StateFolderLock::StateFolderLock(int descriptor, bool takenElsewhere)
    : descriptor_(descriptor), takenElsewhere_(takenElsewhere) {}

StateFolderLock::~StateFolderLock() {
  if (descriptor_ >= 0) close(descriptor_);
}

StateFolderLock::StateFolderLock(StateFolderLock&& other) noexcept
    : descriptor_(other.descriptor_), takenElsewhere_(other.takenElsewhere_) {
  other.descriptor_ = -1;
}

StateFolderLock& StateFolderLock::operator=(StateFolderLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = other.descriptor_;
    takenElsewhere_ = other.takenElsewhere_;
    other.descriptor_ = -1;
  }
  return *this;
}

namespace {

// Opens and locks the folder's lock file: its descriptor, or -1 with the
// reason in *problem (and *inUse when another process holds the lock).
int LockFolder(const char* folder, std::string* problem, bool* inUse) {
  struct stat status {};
  if (stat(folder, &status) != 0) {
    *problem = Format("the state folder %s cannot be used: %s%s", folder,
                      std::strerror(errno), kWhatItMeans);
    return -1;
  }
  if (!S_ISDIR(status.st_mode)) {
    *problem = Format("the state folder %s is not a folder%s", folder, kWhatItMeans);
    return -1;
  }
  const std::string path = Format("%s/%s", folder, kLockFile);
  int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    *problem = CannotWriteToFolder(folder, errno);
    return -1;
  }
  if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) return descriptor;
  int error = errno;
  close(descriptor);
  *inUse = error == EWOULDBLOCK;
  *problem = *inUse
                 ? Format("the state folder %s is in use by another process (it holds %s): a second "
                          "one there would overwrite its records; give each its own STATE_DIRECTORY",
                          folder, path.c_str())
                 : Format("cannot lock %s: %s: nothing keeps a second process from using the same "
                          "state folder",
                          path.c_str(), std::strerror(error));
  return -1;
}

}  // namespace

StateFolderLock AcquireStateFolder(std::string* problem) {
  problem->clear();
  const std::string folder = StateFolder();
  if (folder.empty()) return {};
  bool inUse = false;
  int descriptor = LockFolder(folder.c_str(), problem, &inUse);
  if (descriptor >= 0) *problem = RoomProblem(folder.c_str());
  return StateFolderLock(descriptor, inUse);
}

}  // namespace kiv
