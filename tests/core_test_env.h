// A private registry folder and $HOME for one test, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zarvion::testing {

class TempHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = std::getenv("HOME");
    savedHome_ = home ? home : "";
    root_ = std::filesystem::temp_directory_path() /
            ("zarvion-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "home");
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("ZARVION_REGISTRY_DIR", (root_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    ::setenv("HOME", savedHome_.c_str(), 1);
    ::unsetenv("ZARVION_REGISTRY_DIR");
    std::filesystem::remove_all(root_);
  }
  std::string Home() const { return (root_ / "home").string(); }
  std::string MakeFolder(const std::string& name) const {
    auto p = root_ / name;
    std::filesystem::create_directories(p);
    return p.string();
  }

  std::filesystem::path root_;
  std::string savedHome_;
};

}  // namespace zarvion::testing
