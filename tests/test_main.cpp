// Test entry point: every test process gets a settings folder of its own, so
// no test ever reads or writes the user's real settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

class SettingsFolder : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrelnet-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        m_Dir = pattern;
        setenv("XDG_CONFIG_HOME", m_Dir.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(m_Dir, ec);
    }

private:
    std::string m_Dir;
};

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SettingsFolder);
    return RUN_ALL_TESTS();
}
