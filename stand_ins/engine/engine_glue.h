// What the native and the Windows stand-in engines share: the calls that do
// the same in both, and the state behind them. Each build defines the rest.
#ifndef TESSARIN_STAND_INS_ENGINE_ENGINE_GLUE_H_
#define TESSARIN_STAND_INS_ENGINE_ENGINE_GLUE_H_

#include <map>
#include <string>
#include <vector>

#include "engine_api/flutter_windows.h"

namespace stand_in {

// The entrypoint arguments the host passed at engine creation.
std::vector<std::string> EntrypointArguments(const EngineStartProperties& properties);

// Top-level window messages the engine consumes from now on, with their results.
std::map<UINT, LRESULT>& ConsumedMessages();

// Each build's own: its messenger shut down, the engine freed.
void DestroyEngine(FlutterDesktopEngineRef engine);

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_ENGINE_ENGINE_GLUE_H_
