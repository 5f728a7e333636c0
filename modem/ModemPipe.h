// The byte pipe under modemctl's command layer. The layer waits, reads and
// writes only through the pipe in use; by default that is the serial line of
// nb_init_serial (the descriptor in `fd`, read with its 0.5 s timeout).
// Tests and fuzz targets put another pipe in its place (MemoryPipe) to run
// the layer in process, with a virtual clock. Internal: nothing here is
// exported from modemctl.
#ifndef MODEMCTL_MODEM_PIPE_H
#define MODEMCTL_MODEM_PIPE_H

#include <cstddef>
#include <sys/types.h>

namespace modemctl {

class Pipe {
public:
  // One byte from the modem: 1 with the byte stored, 0 once the line has
  // been silent for its read timeout (0.5 s), or a negative errno value when
  // the read failed (it then returns at once).
  virtual int ReadByte(char* byte) = 0;
  // Writes up to size bytes: how many were taken (0 included), or a
  // negative errno value.
  virtual ssize_t Write(const char* bytes, size_t size) = 0;
  // Lets the time pass: the pause before each wait cycle, and the pause after
  // a failed read that keeps a dead line from spinning.
  virtual void Pause(unsigned microseconds) = 0;

protected:
  // Pipes are never destroyed through this interface; so the serial line's
  // pipe, a static object, needs no destructor to run at exit.
  ~Pipe() = default;
};

// The command layer uses pipe from now on; null gives it the serial line
// back. Failures of the line are reported afresh on the new one. The pipe
// must outlive its use. Not thread-safe, like the layer.
void UsePipe(Pipe* pipe);

// Uses a pipe while it lives.
class PipeInUse {
public:
  explicit PipeInUse(Pipe& pipe) { UsePipe(&pipe); }
  ~PipeInUse() { UsePipe(nullptr); }
  PipeInUse(const PipeInUse&) = delete;
  PipeInUse& operator=(const PipeInUse&) = delete;
};

}  // namespace modemctl

#endif  // MODEMCTL_MODEM_PIPE_H
