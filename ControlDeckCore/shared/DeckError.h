#pragma once

#include <exception>
#include <string>

namespace veltrane::deck {

// The Control Deck's one error type. Its code and message reach clients as
// {"ok":false,"error":{"code":...,"message":...}} with its HTTP status.
class DeckError : public std::exception {
public:
    enum class Case {
        invalidActionType,
        permissionDenied,
        featureDisabled,
        conflict,
        invalidState,
        malformedPayload,
        unauthorized,
        revoked,
        notFound,
        tooLarge,
    };

    static DeckError invalidActionType(std::string type) { return {Case::invalidActionType, std::move(type)}; }
    static DeckError permissionDenied(std::string permission) { return {Case::permissionDenied, std::move(permission)}; }
    static DeckError featureDisabled(std::string feature) { return {Case::featureDisabled, std::move(feature)}; }
    static DeckError conflict(std::string message) { return {Case::conflict, std::move(message)}; }
    static DeckError invalidState(std::string message) { return {Case::invalidState, std::move(message)}; }
    static DeckError malformedPayload() { return {Case::malformedPayload, {}}; }
    static DeckError unauthorized() { return {Case::unauthorized, {}}; }
    static DeckError revoked() { return {Case::revoked, {}}; }
    static DeckError notFound() { return {Case::notFound, {}}; }
    static DeckError tooLarge() { return {Case::tooLarge, {}}; }

    Case kind() const { return case_; }
    const std::string& payload() const { return payload_; }

    std::string code() const;
    int status() const;
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Identity of the error when bridged to a generic error description.
    static constexpr const char* errorDomain = "ControlDeckCore.DeckError";
    int errorCode() const { return status(); }

    bool operator==(const DeckError& other) const { return case_ == other.case_ && payload_ == other.payload_; }

private:
    DeckError(Case c, std::string payload);
    Case case_;
    std::string payload_;
    std::string message_;
};

}  // namespace veltrane::deck
