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

void WriteLog(const OsPorts& ports, const std::string& text) {
  if (ports.log != nullptr) ports.log->Write(text);
}

}  // namespace tessarin
