#include "ControlDeckCore/media/MusicContentPolicy.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/bundle/BundleInfo.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::media {
namespace {

TEST(MusicContentPolicyTest, OnlyABooleanTrueForbidsOutsideLookups) {
    testing::TempDirectory folder;
    const auto path = folder.path() / "Info.json";
    testing::ScopedVariable variable(bundle::BundleInfo::kFileVariable, path.c_str());

    EXPECT_TRUE(MusicContentPolicy::externalLookupsAllowed()) << "no file";
    const std::pair<const char*, bool> cases[] = {
        {R"({"VeltraneLicensedMusicContent": false})", true},
        {R"({"VeltraneLicensedMusicContent": "true"})", true},
        {R"({"VeltraneLicensedMusicContent": 1})", true},
        {R"({"Other": true})", true},
        {R"([{"VeltraneLicensedMusicContent": true}])", true},
        {R"({"VeltraneLicensedMusicContent": true)", true},
        {R"({"VeltraneLicensedMusicContent": true})", false},
        {R"({"VeltraneLicensedMusicContent": false})", true},  // a changed file counts at once
    };
    for (const auto& [text, allowed] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(MusicContentPolicy::externalLookupsAllowed(), allowed);
    }
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_TRUE(MusicContentPolicy::externalLookupsAllowed()) << "unreadable";
}

}  // namespace
}  // namespace veltrane::media
