// The settings store on the registry stand-in: defaults, fallbacks and saves.
#include <gtest/gtest.h>

#include <filesystem>

#include "core_test_env.h"
#include "platform/registry.h"
#include "settings/settings_store.h"

namespace fs = std::filesystem;
using namespace zarvion;

namespace {

class SettingsStoreTest : public zarvion::testing::TempHomeTest {};

TEST_F(SettingsStoreTest, EmptyStoreGivesDefaultsAndCreatesOnlyTheFolders) {
  EXPECT_EQ(SettingsStore::ReadDrawMode(), 0x00100000u);
  EXPECT_FALSE(fs::exists(Home() + "/Holmvard"));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kCapDir), Home() + "/Holmvard/Bitmap");
  EXPECT_TRUE(fs::is_directory(Home() + "/Holmvard/Bitmap"));
  EXPECT_FALSE(fs::exists(Home() + "/Holmvard/Movie"));  // only the default in use
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), Home() + "/Holmvard/Movie");
  EXPECT_TRUE(fs::is_directory(Home() + "/Holmvard/Movie"));
  EXPECT_FALSE(RegKeyExists(Hive::kCurrentUser, kSettingsKey));
  EXPECT_FALSE(fs::exists(HiveFilePath(Hive::kCurrentUser)));
}

TEST_F(SettingsStoreTest, DrawModeAboveTheLargestGridIsCapped) {
  struct {
    uint32_t stored, read;
  } const cases[] = {{0x00100001, 0x00100000}, {0xFFFFFFFF, 0x00100000}, {0x80000000, 0x00100000},
                     {0x00090000, 0x00090000}, {0x00000005, 0x00000005}, {0x00100000, 0x00100000}};
  for (const auto& c : cases) {
    ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, c.stored));
    EXPECT_EQ(SettingsStore::ReadDrawMode(), c.read) << std::hex << c.stored;
  }
  // A value of the wrong type is unusable.
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, "4"));
  EXPECT_EQ(SettingsStore::ReadDrawMode(), 0x00100000u);
}

TEST_F(SettingsStoreTest, StoredFoldersAreUsedOnlyWhenTheyExist) {
  // A missing folder falls back to the default and is neither created nor
  // rewritten.
  const std::string missing = root_.string() + "/nothere";
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, missing));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kCapDir), Home() + "/Holmvard/Bitmap");
  EXPECT_FALSE(fs::exists(missing));
  std::string stored;
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, &stored));
  EXPECT_EQ(stored, missing);

  // An existing folder reads back unchanged, trailing separator included,
  // whether it was stored with its terminating zero or without.
  const std::string video = MakeFolder("video") + "/";
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, video));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), video);
  ASSERT_TRUE(RegSetValue(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, REG_SZ, video.data(),
                          static_cast<uint32_t>(video.size())));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), video);
  EXPECT_FALSE(fs::exists(Home() + "/Holmvard/Movie"));

  // 260 bytes or more cannot be read into the folder buffer.
  std::string deep = MakeFolder("d");
  while (deep.size() < 259) deep += "/x";
  deep.resize(259);
  fs::create_directories(deep);
  ASSERT_TRUE(
      RegSetValue(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, REG_SZ, deep.data(), 259));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), deep);
  std::string tooDeep = deep.substr(0, 257) + "/y";
  fs::create_directories(tooDeep);
  ASSERT_EQ(tooDeep.size(), 259u);
  tooDeep += "/";
  ASSERT_TRUE(
      RegSetValue(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, REG_SZ, tooDeep.data(), 260));
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), Home() + "/Holmvard/Movie");
}

TEST_F(SettingsStoreTest, SaveThenReadBack) {
  const std::string cap = MakeFolder("抓图");
  const std::string rec = MakeFolder("rec") + "/";
  SettingsStore::SaveSettings(0x00040000, cap, rec);
  EXPECT_EQ(SettingsStore::ReadDrawMode(), 0x00040000u);
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kCapDir), cap);
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), rec);
  // Folders are stored as their bytes alone, without a terminating zero.
  char raw[300];
  uint32_t size = sizeof raw;
  ASSERT_TRUE(RegGetValue(Hive::kCurrentUser, "software\\holmvard\\zarvion", kCapDirValue, REG_SZ,
                          raw, &size));
  EXPECT_EQ(size, cap.size() + 1);
  EXPECT_FALSE(fs::exists(Home() + "/Holmvard"));
}

TEST_F(SettingsStoreTest, DefaultFoldersFollowHome) {
  ::setenv("HOME", (Home() + "/").c_str(), 1);
  EXPECT_EQ(SettingsStore::DefaultParentFolder(), Home() + "/Holmvard");
  EXPECT_EQ(SettingsStore::DefaultFolder(kCapDir), Home() + "/Holmvard/Bitmap");
  // An uncreatable default is still returned; the file write fails later.
  ::setenv("HOME", (root_ / "no" / "such").c_str(), 1);
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir),
            (root_ / "no/such/Holmvard/Movie").string());
  EXPECT_FALSE(fs::exists(root_ / "no"));
}

}  // namespace
