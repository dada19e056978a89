// The engine wrappers against the native stand-in engine: what reaches the
// engine's C interface, and in which order things end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/engine_project.h"
#include "shell/flutter_engine.h"
#include "shell/flutter_view_controller.h"
#include "stand_ins/engine/stand_in_controls.h"

namespace {

class EngineWrappersTest : public ::testing::Test {
 protected:
  void SetUp() override { stand_in::ResetEngine(); }
};

TEST_F(EngineWrappersTest, ProjectPathsLieInsideTheDataDirectory) {
  const EngineProject project(L"data");
  EXPECT_EQ(project.assetsPath, L"data\\flutter_assets");
  EXPECT_EQ(project.icuDataPath, L"data\\icudtl.dat");
  EXPECT_EQ(project.aotLibraryPath, L"data\\app.so");
  EXPECT_EQ(project.entrypoint, "");
  EXPECT_TRUE(project.entrypointArguments.empty());
  EXPECT_EQ(project.option1, 0);
  EXPECT_EQ(project.option2, 0);
}

TEST_F(EngineWrappersTest, StartPropertiesCarryTheProject) {
  EngineProject project(L"C:\\app\\data");
  {
    flutter::FlutterEngine engine(project);
    const stand_in::EngineStart start = stand_in::LastEngineStart();
    EXPECT_EQ(start.assets, L"C:\\app\\data\\flutter_assets");
    EXPECT_EQ(start.icu, L"C:\\app\\data\\icudtl.dat");
    EXPECT_EQ(start.aot, L"C:\\app\\data\\app.so");
    EXPECT_FALSE(start.entrypoint_null) << "an empty entrypoint is \"\", not none";
    EXPECT_EQ(start.argc, 0);
    EXPECT_TRUE(start.argv_null) << "no arguments means no array";
  }
  project.entrypointArguments = {"--mode", "a b", ""};
  project.option1 = 7;
  project.option2 = -3;
  flutter::FlutterEngine engine(project);
  const stand_in::EngineStart start = stand_in::LastEngineStart();
  EXPECT_EQ(start.argc, 3);
  EXPECT_FALSE(start.argv_null);
  EXPECT_EQ(start.arguments, (std::vector<std::string>{"--mode", "a b", ""}));
  EXPECT_EQ(start.option1, 7);
  EXPECT_EQ(start.option2, -3);
}

TEST_F(EngineWrappersTest, AnEngineNotHandedOverIsDestroyedByItsWrapper) {
  { flutter::FlutterEngine engine{EngineProject(L"data")}; }
  EXPECT_EQ(stand_in::Counts().engine_destroys, 1);

  FlutterDesktopEngineRef handed_over = nullptr;
  {
    flutter::FlutterEngine engine{EngineProject(L"data")};
    handed_over = engine.HandOverEngine();
    ASSERT_NE(handed_over, nullptr);
    // Still usable after the hand-over: the messenger works on.
    EXPECT_NE(engine.Messenger(), nullptr);
  }
  EXPECT_EQ(stand_in::Counts().engine_destroys, 1);
  // Its new owner ends it.
  FlutterDesktopEngineDestroy(handed_over);
}

TEST_F(EngineWrappersTest, RegistrarNeedsARunningEngine) {
  stand_in::SetEngineCreateFails(true);
  flutter::FlutterEngine engine{EngineProject(L"data")};
  testing::internal::CaptureStderr();
  EXPECT_EQ(engine.RegistrarForPlugin("any"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Cannot get plugin registrar on an engine that isn't running; call Run first.\n");
  EXPECT_EQ(stand_in::Counts().engine_destroys, 0);

  stand_in::SetEngineCreateFails(false);
  flutter::FlutterEngine running{EngineProject(L"data")};
  EXPECT_NE(running.RegistrarForPlugin("any"), nullptr);
}

TEST_F(EngineWrappersTest, NextFrameCallbackRunsOnceAndALaterOneReplacesIt) {
  flutter::FlutterEngine engine{EngineProject(L"data")};
  int first = 0;
  int second = 0;
  engine.SetNextFrameCallback([&] { ++first; });
  engine.SetNextFrameCallback([&] { ++second; });
  stand_in::ProduceFrame();
  stand_in::ProduceFrame();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);

  // A callable may register the next one from inside its own run.
  int chained = 0;
  engine.SetNextFrameCallback([&] { engine.SetNextFrameCallback([&] { ++chained; }); });
  stand_in::ProduceFrame();
  stand_in::ProduceFrame();
  EXPECT_EQ(chained, 1);
}

TEST_F(EngineWrappersTest, ControllerOwnsTheEngineAndEndsItFirst) {
  {
    flutter::FlutterViewController controller(430, 860, EngineProject(L"data"));
    ASSERT_NE(controller.View(), nullptr);
    ASSERT_NE(controller.Engine(), nullptr);
    controller.ForceRedraw();
    controller.Engine()->ReloadSystemFonts();
    const stand_in::EngineCounts counts = stand_in::Counts();
    EXPECT_EQ(counts.redraws, 1);
    EXPECT_EQ(counts.font_reloads, 1);
  }
  const stand_in::EngineCounts counts = stand_in::Counts();
  EXPECT_EQ(counts.controller_destroys, 1);
  // Ended once, by the controller, not again by the engine wrapper.
  EXPECT_EQ(counts.engine_destroys, 1);
}

TEST_F(EngineWrappersTest, FailedControllerHasNoViewAndDestroysNothing) {
  stand_in::SetViewControllerCreateFails(true);
  FlutterDesktopEngineRef orphan = nullptr;
  testing::internal::CaptureStderr();
  {
    flutter::FlutterViewController controller(430, 860, EngineProject(L"data"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create view controller.\n");
    EXPECT_EQ(controller.View(), nullptr);
    ASSERT_NE(controller.Engine(), nullptr);
    orphan = controller.Engine()->HandOverEngine();
  }
  EXPECT_EQ(stand_in::Counts().controller_destroys, 0);
  EXPECT_EQ(stand_in::Counts().engine_destroys, 0);
  // Nobody owns that engine any more; the test frees it.
  FlutterDesktopEngineDestroy(orphan);
}

TEST_F(EngineWrappersTest, MissingEngineStillYieldsAControllerWithoutView) {
  stand_in::SetEngineCreateFails(true);
  const int creates = stand_in::Counts().controller_creates;
  testing::internal::CaptureStderr();
  flutter::FlutterViewController controller(430, 860, EngineProject(L"data"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create view controller.\n");
  EXPECT_EQ(controller.View(), nullptr);
  EXPECT_EQ(stand_in::Counts().controller_creates, creates) << "no engine, no controller call";
}

TEST_F(EngineWrappersTest, TopLevelMessagesAreOfferedToTheEngine) {
  flutter::FlutterViewController controller(430, 860, EngineProject(L"data"));
  EXPECT_FALSE(controller.HandleTopLevelWindowProc(nullptr, 0x0005, 0, 0).has_value());
  stand_in::ConsumeTopLevelMessage(0x0005, 42);
  const auto consumed = controller.HandleTopLevelWindowProc(nullptr, 0x0005, 0, 0);
  ASSERT_TRUE(consumed.has_value());
  EXPECT_EQ(*consumed, 42);
}

}  // namespace
