#include "tunnel/os_ports.h"

#include "tunnel/diagnostics_log.h"
#include "tunnel/job_signal.h"

namespace tessarin {

void SystemPort::Pause(uint32_t milliseconds, const JobSignal& signal) {
  signal.Pause(milliseconds);
}

void WriteLog(const OsPorts& ports, const std::string& text) {
  if (ports.log != nullptr) ports.log->Write(text);
}

}  // namespace tessarin
