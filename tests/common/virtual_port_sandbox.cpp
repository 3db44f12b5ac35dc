// Every test process gets a virtual-port folder of its own, so suites running side by side
// never meet each other's simulated devices, nor those the user runs meanwhile.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "serial/port_map.h"

namespace {

class VirtualPortSandbox : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string name = (std::filesystem::temp_directory_path() / "pelkar1-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    folder_ = name;
    pelkar::SetVirtualPortFolderForTests(folder_);
  }
  void TearDown() override {
    pelkar::SetVirtualPortFolderForTests({});
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::filesystem::path folder_;
};

[[maybe_unused]] ::testing::Environment* const kSandbox =
    ::testing::AddGlobalTestEnvironment(new VirtualPortSandbox);

}  // namespace
