#include "platform/settings_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kn::platform {
namespace {

namespace fs = std::filesystem;

// Each test process has its own XDG_CONFIG_HOME (see test_main.cpp).
fs::path StoreFile() { return fs::path(std::getenv("XDG_CONFIG_HOME")) / "TALVERN" / "kestrelnet.ini"; }

void WriteFile(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(SettingsFile, MissingStoreReadsDefault)
{
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);
    EXPECT_EQ(ReadSettingInt(nullptr, "BindPort", 7), 7);
    EXPECT_EQ(ReadSettingInt("Settings", nullptr, 7), 7);
}

TEST(SettingsFile, WrittenValuesReadBack)
{
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8123));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8123);
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", -5));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), -5);
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", INT32_MIN));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), INT32_MIN);
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", INT32_MAX));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), INT32_MAX);
    EXPECT_EQ(ReadSettingInt("Other", "BindPort", 1), 1);
    EXPECT_NE(ReadFile(StoreFile()).find("[Settings]"), std::string::npos);
    // The temporary file is gone after the rename.
    int files = 0;
    for (const auto &entry : fs::directory_iterator(StoreFile().parent_path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST(SettingsFile, UncleanValuesReadAsDefault)
{
    for (const char *value : {"abc", "12x", "", "0x10", "99999999999", "2147483648", "-2147483649", "1 2"}) {
        WriteFile(StoreFile(), std::string("[Settings]\nBindPort=") + value + "\n");
        EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000) << '"' << value << '"';
    }
    WriteFile(StoreFile(), "[Settings]\nBindPort = 8042 \r\n");
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8042);
    WriteFile(StoreFile(), "\x01\xff[Settings\nBindPort=8042\n");
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);
}

TEST(SettingsFile, WriteKeepsOtherSectionsAndValues)
{
    WriteFile(StoreFile(), "; comment\n[Display]\nWidth=640\n\n[Settings]\nReplyTimeout=3000\nBindPort=8001\n"
                           "[Tail]\nBindPort=1\n");
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8002));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 0), 8002);
    EXPECT_EQ(ReadSettingInt("Settings", "ReplyTimeout", 0), 3000);
    EXPECT_EQ(ReadSettingInt("Display", "Width", 0), 640);
    EXPECT_EQ(ReadSettingInt("Tail", "BindPort", 0), 1);
    EXPECT_NE(ReadFile(StoreFile()).find("; comment"), std::string::npos);

    ASSERT_TRUE(WriteSettingInt("Display", "Height", 480));
    EXPECT_EQ(ReadSettingInt("Display", "Height", 0), 480);
    EXPECT_EQ(ReadSettingInt("Display", "Width", 0), 640);
    EXPECT_EQ(ReadSettingInt("Tail", "BindPort", 0), 1);
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 0), 8002);
}

TEST(SettingsFile, UnwritableFolderFailsTheWrite)
{
    // A regular file where the folder should be: no permission games, so the
    // test also holds when it runs as root.
    const fs::path blocker = fs::path(std::getenv("XDG_CONFIG_HOME")) / "blocker";
    WriteFile(blocker, "x");
    const std::string saved = std::getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    EXPECT_FALSE(WriteSettingInt("Settings", "BindPort", 8005));
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(SettingsFile, LocationFollowsNamesAndHome)
{
    SetSettingsLocation("Maker", "library");
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8100));
    EXPECT_TRUE(fs::exists(fs::path(std::getenv("XDG_CONFIG_HOME")) / "Maker" / "library.ini"));
    EXPECT_FALSE(fs::exists(StoreFile()));

    const std::string saved = std::getenv("XDG_CONFIG_HOME");
    const fs::path home = fs::path(saved) / "home";
    fs::create_directories(home);
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(ReadSettingInt("Settings", "BindPort", 8000), 8000);
    ASSERT_TRUE(WriteSettingInt("Settings", "BindPort", 8200));
    EXPECT_TRUE(fs::exists(home / ".config" / "Maker" / "library.ini"));
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    SetSettingsLocation("TALVERN", "kestrelnet");
}

}  // namespace
}  // namespace kn::platform
