#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/system/HostName.h"

using veltrane::sys::prettyHostName;
using veltrane::sys::prettyHostNameIn;

TEST(HostName, PrettyHostNameFromMachineInfo) {
    struct Row {
        const char* text;
        std::optional<std::string> name;
    };
    const Row rows[] = {
        {"PRETTY_HOSTNAME=Studio\n", "Studio"},
        {"PRETTY_HOSTNAME=\"Lena's Laptop\"\nCHASSIS=laptop\n", "Lena's Laptop"},
        {"PRETTY_HOSTNAME='Say \"hi\"'", "Say \"hi\""},
        {"PRETTY_HOSTNAME=\"a \\\"b\\\" \\\\ \\n\"", "a \"b\" \\ \\n"},
        {"PRETTY_HOSTNAME=Deep\\ Thought", "Deep Thought"},
        {"  PRETTY_HOSTNAME=\"Café Desk\"  \r\n", "Café Desk"},
        {"PRETTY_HOSTNAME=First\nPRETTY_HOSTNAME=Second\n", "Second"},
        {"#PRETTY_HOSTNAME=Commented\nICON_NAME=computer\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"PRETTY_HOSTNAMEX=Other\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(prettyHostNameIn(row.text), row.name) << row.text;
}

TEST(HostName, ReadsTheFileAndToleratesItsAbsence) {
    auto path = std::filesystem::temp_directory_path() / ("machine-info-" + std::to_string(::getpid()));
    std::ofstream(path) << "PRETTY_HOSTNAME=\"Deck Test\"\n";
    EXPECT_EQ(prettyHostName(path), "Deck Test");
    std::filesystem::remove(path);
    EXPECT_EQ(prettyHostName(path), std::nullopt);
}

TEST(HostName, LocalizedNameIsNeverEmpty) {
    auto name = veltrane::sys::localizedHostName();
    if (name) {
        EXPECT_FALSE(name->empty());
    }
}
