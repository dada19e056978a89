// What the engine is started with: where its files are and what the user
// interface application gets as arguments.
#ifndef TESSARIN_SHELL_ENGINE_PROJECT_H_
#define TESSARIN_SHELL_ENGINE_PROJECT_H_

#include <cstdint>
#include <string>
#include <vector>

struct EngineProject {
  // The three paths lie inside |dataDirectory| and stay relative when it is;
  // the engine resolves them.
  explicit EngineProject(const std::wstring& dataDirectory)
      : assetsPath(dataDirectory + L"\\flutter_assets"),
        icuDataPath(dataDirectory + L"\\icudtl.dat"),
        aotLibraryPath(dataDirectory + L"\\app.so") {}

  std::wstring assetsPath;
  std::wstring icuDataPath;
  std::wstring aotLibraryPath;
  std::string entrypoint;
  std::vector<std::string> entrypointArguments;
  int32_t option1 = 0;
  int32_t option2 = 0;
};

#endif  // TESSARIN_SHELL_ENGINE_PROJECT_H_
