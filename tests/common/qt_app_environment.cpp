// One QApplication for the whole test run, made before the first test.
#include <memory>

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // The suite never shows a window; run without a display also outside CTest.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // What Qt keeps (the file dialog's settings in QtProject.conf, caches) goes to a folder
    // of this run's own, never into the user's home.
    home_ = std::make_unique<QTemporaryDir>();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
      qputenv(name, home_->filePath(QString::fromLatin1(name)).toLocal8Bit());
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
    home_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "pelkar_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QTemporaryDir> home_;
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtApp =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace
