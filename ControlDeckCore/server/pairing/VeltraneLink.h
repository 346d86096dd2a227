#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/shared/DeckClock.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/server/pairing/PairedDevice.h"

namespace veltrane::deck {

// The bridge to the streaming sender: keeps the mirroring state the
// application reports, issues one-time stream codes ("tickets") to paired
// devices, and writes the stream-grants file the sender reads (the devices
// that may stream and the hashes of the live tickets; never a plain code).
//
// A recursive lock guards the state, the tickets and the file; issue() holds
// it across the write it triggers.
class VeltraneLink {
public:
    static constexpr std::uint16_t kDefaultPort = 5901;
    static constexpr double kTicketLifetime = 45;  // seconds
    static constexpr const char* kFolderName = "Connection";
    static constexpr const char* kFileName = "stream-grants.json";

    struct Ticket {
        std::string hash;  // Token::sha256 of the code
        std::string deviceId;
        std::string remoteHost;
        double expires = 0;  // seconds since 1970

        bool operator==(const Ticket&) const = default;
    };

    // The file's content. Every key is required when it is read back.
    struct Grants {
        std::vector<std::string> devices;
        std::vector<Ticket> tickets;

        // Compact JSON: {"devices":[...],"tickets":[{"deviceId","expires","hash","remoteHost"}...]}.
        std::string encode() const;
        static std::optional<Grants> parse(std::string_view text);

        bool operator==(const Grants&) const = default;
    };

    using CodeSource = std::function<std::string()>;

    // `dataDirectory` is the Control Deck's data directory; the file lives in
    // its "Connection" folder, which is created owner-only here (a failure is
    // left for the first write to report). `codes` draws the 6-digit codes.
    explicit VeltraneLink(std::filesystem::path dataDirectory, DeckClock clock = systemNow, CodeSource codes = {});

    const std::filesystem::path& file() const { return file_; }

    std::uint16_t port() const;
    bool ready() const;
    std::optional<std::string> error() const;
    void setState(std::uint16_t port, bool ready, std::optional<std::string> error);

    // The live tickets, oldest first, as last pruned.
    std::vector<Ticket> tickets() const;

    // Rewrites the file for `devices`: the ids of those not revoked, and the
    // tickets that have not expired and belong to one of them. Throws
    // std::system_error when the file cannot be written.
    void persist(const std::vector<PairedDevice>& devices);

    // A new code for `deviceId` valid for 45 s, replacing the device's earlier
    // ticket; the file is rewritten. Throws DeckError::revoked() when the
    // device is not among `devices` or is revoked, and persist()'s errors (the
    // new ticket then stays in memory).
    std::string issue(const std::string& deviceId, const std::string& host, const std::vector<PairedDevice>& devices);

private:
    std::filesystem::path folder_;
    std::filesystem::path file_;
    DeckClock clock_;
    CodeSource codes_;

    mutable std::recursive_mutex lock_;
    std::uint16_t port_ = kDefaultPort;
    bool ready_ = false;
    std::optional<std::string> error_;
    std::vector<Ticket> tickets_;

    double nowSeconds() const;
};

}  // namespace veltrane::deck
