#include <gtest/gtest.h>

#include "ControlDeckCore/shared/DeckError.h"

using veltrane::deck::DeckError;

TEST(DeckError, WireFormOfEveryCase) {
    struct Row {
        DeckError error;
        const char* code;
        int status;
        const char* message;
    };
    const Row rows[] = {
        {DeckError::invalidActionType("shell"), "invalid_action", 400, "Action type \u201Cshell\u201D is not allowed."},
        {DeckError::invalidActionType(""), "invalid_action", 400, "Action type \u201C\u201D is not allowed."},
        {DeckError::permissionDenied("Accessibility"), "permission_denied", 409,
         "macOS denied \u201C" "Accessibility\u201D. Grant it in System Settings on the Mac."},
        {DeckError::featureDisabled("Media"), "feature_disabled", 409,
         "Media is turned off in Veltrane Control Deck settings."},
        {DeckError::conflict("Already paired."), "conflict", 409, "Already paired."},
        {DeckError::conflict(""), "conflict", 409, ""},
        {DeckError::invalidState(" raw\u201Ctext "), "invalid_state", 422, " raw\u201Ctext "},
        {DeckError::malformedPayload(), "malformed_payload", 400, "The request body is not a valid command."},
        {DeckError::unauthorized(), "unpaired", 401, "This device is not paired."},
        {DeckError::revoked(), "revoked", 403, "This device\u2019s access was revoked."},
        {DeckError::notFound(), "not_found", 404, "Not found."},
        {DeckError::tooLarge(), "payload_too_large", 413, "That file is larger than the 256 MB limit."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(row.error.code(), row.code);
        EXPECT_EQ(row.error.status(), row.status);
        EXPECT_EQ(row.error.message(), row.message);
        EXPECT_STREQ(row.error.what(), row.message);
        EXPECT_EQ(row.error.errorCode(), row.status);
    }
}

TEST(DeckError, EqualityIsCaseAndPayload) {
    EXPECT_EQ(DeckError::conflict("a"), DeckError::conflict("a"));
    EXPECT_FALSE(DeckError::conflict("a") == DeckError::conflict("b"));
    EXPECT_FALSE(DeckError::conflict("a") == DeckError::invalidState("a"));
    EXPECT_STREQ(DeckError::errorDomain, "ControlDeckCore.DeckError");
}
