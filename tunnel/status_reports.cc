#include "tunnel/status_reports.h"

#include <cstdio>

#include "tunnel/core_config.h"
#include "tunnel/core_process.h"

namespace tessarin {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string FormatUtcTimestamp(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year;
  unsigned month;
  unsigned day;
  CivilFromDays(days, &year, &month, &day);
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                static_cast<long long>(year), month, day, static_cast<unsigned>(rest / 3600),
                static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
  return buffer;
}

std::string UtcTimestamp(SystemPort& system) {
  return FormatUtcTimestamp(static_cast<int64_t>(system.UnixTimeTicks() / 10000000ULL));
}

EncodableValueMap IdleStatus() {
  EncodableValueMap map;
  map[EncodableValue("stage")] = EncodableValue("disconnected");
  map[EncodableValue("protocol")] = EncodableValue("auto");
  map[EncodableValue("message")] = EncodableValue("Native tunnel bridge is idle.");
  map[EncodableValue("connectedAt")] = EncodableValue();
  map[EncodableValue("latencyMs")] = EncodableValue();
  map[EncodableValue("throughputMbps")] = EncodableValue();
  map[EncodableValue("nodeId")] = EncodableValue();
  map[EncodableValue("regionCode")] = EncodableValue();
  return map;
}

EncodableValueMap ActiveStatus(SystemPort& system, const std::string& identifier,
                               const std::string& message) {
  const std::string now = UtcTimestamp(system);
  EncodableValueMap map = IdleStatus();
  map[EncodableValue("stage")] = EncodableValue("connected");
  map[EncodableValue("protocol")] = EncodableValue("vlessWs");
  map[EncodableValue("message")] = EncodableValue(message);
  map[EncodableValue("sessionId")] = EncodableValue(identifier);
  map[EncodableValue("updatedAt")] = EncodableValue(now);
  return map;
}

EncodableValueMap ConnectedStatus(SystemPort& system, const EncodableValueMap& request,
                                  const std::string& identifier, const std::string& message) {
  const std::string now = UtcTimestamp(system);
  EncodableValueMap map;
  map[EncodableValue("stage")] = EncodableValue("connected");
  map[EncodableValue("protocol")] = EncodableValue("vlessWs");
  map[EncodableValue("message")] = EncodableValue(message);
  map[EncodableValue("sessionId")] = EncodableValue(identifier);
  map[EncodableValue("connectedAt")] = EncodableValue(now);
  map[EncodableValue("updatedAt")] = EncodableValue(now);
  map[EncodableValue("latencyMs")] = EncodableValue();
  map[EncodableValue("throughputMbps")] = EncodableValue();
  map[EncodableValue("nodeId")] = EncodableValue(LookupStringValue(request, "nodeId"));
  map[EncodableValue("nodeName")] = EncodableValue(LookupStringValue(request, "nodeName"));
  map[EncodableValue("regionCode")] = EncodableValue(LookupStringValue(request, "regionCode"));
  return map;
}

EncodableValueMap ReadinessStatus(SystemPort& system) {
  const bool present =
      CoreExecutableExists(system, CoreExecutablePath(ApplicationDirectory(system)));
  EncodableValueMap map;
  map[EncodableValue("ready")] = EncodableValue(present);
  map[EncodableValue("permissionRequired")] = EncodableValue(false);
  map[EncodableValue("platform")] = EncodableValue("windows");
  map[EncodableValue("message")] = EncodableValue(
      present ? "Windows sing-box proxy core is ready; TUN mode also requires administrator "
                "routing support."
              : "Windows sing-box proxy core is missing.");
  return map;
}

EncodableValueMap MissingCoreDetails(const flutter::MethodCall& call) {
  EncodableValueMap map;
  map[EncodableValue("snapshot")] = EncodableValue(IdleStatus());
  map[EncodableValue("method")] = EncodableValue(call.MethodName());
  return map;
}

}  // namespace tessarin
