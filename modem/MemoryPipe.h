// modemctl's byte pipe in memory, with a virtual clock, so that the command
// layer runs in process and in microseconds whatever the modem's timing.
//
// Bytes from the modem arrive at virtual times, in order. A read returns the
// next byte when it is due within the line's read timeout (moving the clock
// to it), else silence after moving the clock by the timeout, as the serial
// line does with VMIN 0 and VTIME 5. Pauses move the clock. Every byte the
// layer writes is kept and handed to a listener, a simulated modem that may
// make its answer arrive. The line can be made to fail. One thread only.
//
// A fuzz target feeds bytes to the layer's reading with it, as message
// lines for the delivery:
//   modemctl::MemoryPipe pipe;
//   modemctl::PipeInUse use(pipe);
//   pipe.Arrive(std::string(data, size));
//   nb_process_urc();  // with a callback set, or nb_clear()
// or as the modem's answers to commands, a piece after each write:
//   pipe.OnWrite([&](const std::string&) { pipe.Arrive(NextPiece()); });
//   nb_init_bc66();  // nb_connect(...), nb_publish_message(...)
// Everything read is echoed to standard output, as on the real line.
#ifndef MODEMCTL_MEMORY_PIPE_H
#define MODEMCTL_MEMORY_PIPE_H

#include "ModemPipe.h"

#include <chrono>
#include <deque>
#include <functional>
#include <string>

namespace modemctl {

class MemoryPipe final : public Pipe {
public:
  using Microseconds = std::chrono::microseconds;
  using Listener = std::function<void(const std::string& written)>;

  static constexpr Microseconds kReadTimeout{500000};

  // bytes arrive delay after now, but never before bytes that arrived earlier.
  void Arrive(const std::string& bytes, Microseconds delay = Microseconds(0));
  // listener gets every write, after the bytes were kept.
  void OnWrite(Listener listener) { listener_ = std::move(listener); }
  // From now on reads, or writes, fail with this errno value; 0 heals them.
  void FailReads(int error) { readError_ = error; }
  void FailWrites(int error) { writeError_ = error; }
  // From now on writes take no bytes (and give no error) while stalled.
  void StallWrites(bool stalled) { stalled_ = stalled; }

  // Every byte written so far.
  const std::string& written() const { return written_; }
  // The virtual time since the pipe was made.
  Microseconds now() const { return now_; }

  int ReadByte(char* byte) override;
  ssize_t Write(const char* bytes, size_t size) override;
  void Pause(unsigned microseconds) override { now_ += Microseconds(microseconds); }

private:
  struct Arrival {
    Microseconds due;
    char byte;
  };

  std::deque<Arrival> incoming_;
  std::string written_;
  Listener listener_;
  Microseconds now_{0};
  int readError_ = 0;
  int writeError_ = 0;
  bool stalled_ = false;
};

}  // namespace modemctl

#endif  // MODEMCTL_MEMORY_PIPE_H
