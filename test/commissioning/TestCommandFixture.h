// `pelmora test` run as a command through the loaded plug-in, with a private folder for the
// simulator files and setups a case writes.
#pragma once

#include "TestCommands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

class TestCommandFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        // One folder per suite and process: other checkouts may run the same tests at once.
        dir = std::filesystem::temp_directory_path() /
              ("pelmora-" + std::string(test->test_suite_name()) + "-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A simulator file with these contents in the folder; its path.
    std::string WriteSim(const std::string& name, const std::string& json) {
        const std::filesystem::path path = dir / name;
        std::ofstream(path) << json;
        return path.string();
    }

    int Run(const TestArguments& a) {
        out.str({});
        err.str({});
        const CommandContext ctx{out, err, plugin};
        return RunTest(ctx, a);
    }

    PluginLibrary plugin;
    std::filesystem::path dir;
    std::ostringstream out;
    std::ostringstream err;
};
