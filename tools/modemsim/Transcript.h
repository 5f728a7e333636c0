// Every byte the tool sends, appended to a file exactly as it came.
#ifndef MODEMSIM_TRANSCRIPT_H
#define MODEMSIM_TRANSCRIPT_H

#include <string>

namespace modemsim {

class Transcript {
public:
  // An empty path records nothing. Throws std::runtime_error when the file
  // cannot be written.
  explicit Transcript(const std::string& path);
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // A failed write is reported on standard error.
  void Append(const std::string& bytes);

private:
  int fd_ = -1;
};

}  // namespace modemsim

#endif
