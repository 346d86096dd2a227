#include <gtest/gtest.h>

#include "ControlDeckCore/server/pairing/PairedDevice.h"

using namespace veltrane::deck;

namespace {
Date at(const char* text) { return *iso8601::parse(text); }
}  // namespace

TEST(PairedDevice, CodesSevenKeysAndReadsThemBack) {
    PairedDevice device{"D1", "Tab", "tablet", std::string(64, 'a'), at("2025-01-31T12:00:00Z"),
                        at("2025-02-01T08:30:00Z"), true, true};
    Json json = device.toJson();
    EXPECT_EQ(json, Json::parse(R"({"id":"D1","name":"Tab","kind":"tablet","tokenHash":")" + std::string(64, 'a') +
                                R"(","createdAt":"2025-01-31T12:00:00Z","lastSeen":"2025-02-01T08:30:00Z","revoked":true})"));
    auto back = PairedDevice::fromJson(json, at("2030-01-01T00:00:00Z"));
    ASSERT_TRUE(back);
    device.connected = false;  // never coded
    EXPECT_EQ(*back, device);
}

TEST(PairedDevice, ReadsMissingOptionalKeysAsDefaults) {
    const Date readAt = at("2025-03-01T00:00:00Z");
    for (const char* text : {R"({"id":"D","name":"N"})",
                             R"({"id":"D","name":"N","kind":null,"tokenHash":null,"createdAt":null,"lastSeen":null,"revoked":null})"}) {
        auto device = PairedDevice::fromJson(Json::parse(text), readAt);
        ASSERT_TRUE(device) << text;
        EXPECT_EQ(*device, (PairedDevice{"D", "N", "unknown", "", readAt, readAt, false, false})) << text;
    }
}

TEST(PairedDevice, RefusesMissingRequiredKeysAndWrongTypes) {
    const char* cases[] = {
        R"({"name":"N"})",
        R"({"id":"D"})",
        R"({"id":null,"name":"N"})",
        R"({"id":7,"name":"N"})",
        R"({"id":"D","name":"N","kind":3})",
        R"({"id":"D","name":"N","revoked":"yes"})",
        R"({"id":"D","name":"N","revoked":1})",
        R"({"id":"D","name":"N","createdAt":"yesterday"})",
        R"({"id":"D","name":"N","lastSeen":1738324800})",
        R"(["D","N"])",
    };
    for (const char* text : cases)
        EXPECT_FALSE(PairedDevice::fromJson(Json::parse(text), Date{})) << text;
}
