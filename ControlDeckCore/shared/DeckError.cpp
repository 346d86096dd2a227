#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

namespace {
std::string messageFor(DeckError::Case c, const std::string& payload) {
    using C = DeckError::Case;
    switch (c) {
        case C::invalidActionType: return "Action type \u201C" + payload + "\u201D is not allowed.";
        case C::permissionDenied:
            return "macOS denied \u201C" + payload + "\u201D. Grant it in System Settings on the Mac.";
        case C::featureDisabled: return payload + " is turned off in Veltrane Control Deck settings.";
        case C::conflict:
        case C::invalidState: return payload;
        case C::malformedPayload: return "The request body is not a valid command.";
        case C::unauthorized: return "This device is not paired.";
        case C::revoked: return "This device\u2019s access was revoked.";
        case C::notFound: return "Not found.";
        case C::tooLarge: return "That file is larger than the 256 MB limit.";
    }
    return payload;
}
}  // namespace

DeckError::DeckError(Case c, std::string payload)
    : case_(c), payload_(std::move(payload)), message_(messageFor(case_, payload_)) {}

std::string DeckError::code() const {
    switch (case_) {
        case Case::invalidActionType: return "invalid_action";
        case Case::permissionDenied: return "permission_denied";
        case Case::featureDisabled: return "feature_disabled";
        case Case::conflict: return "conflict";
        case Case::invalidState: return "invalid_state";
        case Case::malformedPayload: return "malformed_payload";
        case Case::unauthorized: return "unpaired";
        case Case::revoked: return "revoked";
        case Case::notFound: return "not_found";
        case Case::tooLarge: return "payload_too_large";
    }
    return "invalid_state";
}

int DeckError::status() const {
    switch (case_) {
        case Case::invalidActionType: return 400;
        case Case::permissionDenied: return 409;
        case Case::featureDisabled: return 409;
        case Case::conflict: return 409;
        case Case::invalidState: return 422;
        case Case::malformedPayload: return 400;
        case Case::unauthorized: return 401;
        case Case::revoked: return 403;
        case Case::notFound: return 404;
        case Case::tooLarge: return 413;
    }
    return 422;
}

}  // namespace veltrane::deck
