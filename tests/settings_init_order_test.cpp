// The library names its settings store from a static initialiser, and so
// does this file: whichever initialiser runs first, the store's names must
// be the ones set, and nothing may be built twice over (the sanitizer build
// reports a leak at exit if it is).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "platform/settings_file.h"

namespace {

// Runs before main, and in this program before the settings file's own
// initialisers (objects are initialised in link order, the library last).
const bool g_bNamedEarly = [] {
    kn::platform::SetSettingsLocation("TALVERN", "kestrelnet");
    return true;
}();

TEST(SettingsInitOrder, NamesSetBeforeTheStoreIsBuiltAreKept)
{
    ASSERT_TRUE(g_bNamedEarly);
    char folder[] = "/tmp/kn-settings-order-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    ASSERT_EQ(0, setenv("XDG_CONFIG_HOME", folder, 1));
    ASSERT_TRUE(kn::platform::WriteSettingInt("Settings", "BindPort", 8123));
    std::ifstream file(std::string(folder) + "/TALVERN/kestrelnet.ini");
    ASSERT_TRUE(file.good());
    EXPECT_EQ(8123, kn::platform::ReadSettingInt("Settings", "BindPort", 0));
}

}  // namespace
