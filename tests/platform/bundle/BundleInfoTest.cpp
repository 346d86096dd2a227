#include "platform/bundle/BundleInfo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::bundle {
namespace {

TEST(BundleInfoTest, TheFileSitsBesideTheExecutableUnlessNamed) {
    {
        testing::ScopedVariable unset(BundleInfo::kFileVariable, nullptr);
        EXPECT_EQ(BundleInfo::filePath(), std::filesystem::read_symlink("/proc/self/exe").parent_path() / "Info.json");
    }
    testing::TempDirectory folder;
    const auto path = folder.path() / "settings.json";
    testing::ScopedVariable named(BundleInfo::kFileVariable, path.c_str());
    EXPECT_EQ(BundleInfo::filePath(), path);
    std::ofstream(path) << R"({"on": true, "off": false, "text": "true", "null": null})";
    EXPECT_EQ(BundleInfo::boolean("on"), true);
    EXPECT_EQ(BundleInfo::boolean("off"), false);
    EXPECT_EQ(BundleInfo::boolean("text"), std::nullopt);
    EXPECT_EQ(BundleInfo::boolean("null"), std::nullopt);
    EXPECT_EQ(BundleInfo::boolean("missing"), std::nullopt);
}

}  // namespace
}  // namespace veltrane::bundle
