// The maps every bridge reply reports the tunnel with.
#ifndef TESSARIN_TUNNEL_STATUS_REPORTS_H_
#define TESSARIN_TUNNEL_STATUS_REPORTS_H_

#include <cstdint>
#include <string>

#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "tunnel/os_ports.h"

namespace tessarin {

// "YYYY-MM-DDTHH:MM:SSZ" for whole seconds since the Unix epoch (UTC).
std::string FormatUtcTimestamp(int64_t seconds);
// The current time in that form.
std::string UtcTimestamp(SystemPort& system);

flutter::EncodableValueMap IdleStatus();
flutter::EncodableValueMap ActiveStatus(SystemPort& system, const std::string& identifier,
                                        const std::string& message);
flutter::EncodableValueMap ConnectedStatus(SystemPort& system,
                                           const flutter::EncodableValueMap& request,
                                           const std::string& identifier,
                                           const std::string& message);
flutter::EncodableValueMap ReadinessStatus(SystemPort& system);
flutter::EncodableValueMap MissingCoreDetails(const flutter::MethodCall& call);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_STATUS_REPORTS_H_
