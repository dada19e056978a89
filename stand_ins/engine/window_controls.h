// Test controls the Windows stand-in engine exports beside the engine calls.
#ifndef TESSARIN_STAND_INS_ENGINE_WINDOW_CONTROLS_H_
#define TESSARIN_STAND_INS_ENGINE_WINDOW_CONTROLS_H_

#include "engine_api/flutter_windows.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The engine consumes |message| with |result| from now on; 0 resets. */
FLUTTER_EXPORT void StandInConsumeTopLevelMessage(UINT message, LRESULT result);
FLUTTER_EXPORT void StandInResetConsumedMessages(void);
FLUTTER_EXPORT int StandInFontReloadCount(void);
FLUTTER_EXPORT int StandInFramesProduced(void);

#ifdef __cplusplus
}
#endif

#endif /* TESSARIN_STAND_INS_ENGINE_WINDOW_CONTROLS_H_ */
