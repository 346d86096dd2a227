#pragma once
// Players' desktop-wide notifications read as now-playing readings. Every
// player names its keys its own way, so each value has a list of keys tried
// in order, and the player is told by the notification's name.

#include <optional>
#include <string_view>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "platform/notifications/NotificationCenter.h"

namespace veltrane::media {

namespace DistributedNowPlaying {

using notifications::UserInfo;

// The reading a notification carries, captured at `now` (seconds since the
// reference date); none without a usable title.
std::optional<MediaRemoteNowPlaying::Snapshot> parse(std::string_view name, const UserInfo& userInfo, double now);
std::optional<MediaRemoteNowPlaying::Snapshot> parse(std::string_view name, const UserInfo& userInfo);

// Whether a notification of any name looks like a player's: QQ Music's by
// its name, others by track keys beside a state key.
bool isPlayerNotification(std::string_view name, const std::optional<UserInfo>& userInfo);

// A number as notifications carry it: a finite double, or text that is a
// whole decimal number in the C locale (no white space, no hex, no
// infinities or NaN).
std::optional<double> number(const notifications::InfoValue& value);

}  // namespace DistributedNowPlaying

}  // namespace veltrane::media
