#include "tunnel/os_ports.h"

#include "tunnel/diagnostics_log.h"
#include "tunnel/job_signal.h"
#include "tunnel/start_thread.h"

namespace tessarin {

void SystemPort::Pause(uint32_t milliseconds, const JobSignal& signal) {
  signal.Pause(milliseconds);
}

bool SystemPort::WaitFor(const JobSignal& signal, uint32_t milliseconds,
                         const std::function<bool()>& ready) {
  return signal.WaitFor(milliseconds, ready);
}

bool SystemPort::StartThread(const char* where, std::function<void()> body) {
  return tessarin::StartThread(where, std::move(body));
}

void WriteLog(const OsPorts& ports, const std::string& text) { WriteLog(ports.log, text); }

void WriteLog(LogPort* log, const std::string& text) noexcept {
  // A line that cannot be written (not even into memory) is lost, never a
  // step of what it describes.
  if (log == nullptr) return;
  try {
    log->Write(text);
  } catch (...) {
  }
}

}  // namespace tessarin
