#include "ControlDeckCore/media/Playhead.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "platform/text/CanonicalText.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media {

namespace {

constexpr const char* kQQMusicBundle = "com.tencent.QQMusicMac";
// A transport reading older than this no longer speaks for the player.
constexpr double kControlsFreshness = 1.5;
// Positions this close are the same position.
constexpr double kSamePosition = 0.02;
// Players that report whole seconds lag the real position by under a second.
constexpr double kWholeSecondTolerance = 0.051;
constexpr double kWholeSecondAhead = 0.05;
constexpr double kWholeSecondBehind = 1.05;

std::string_view trimmed(const OptionalText& text) {
    return text ? text::trimmingWhitespaceAndNewlines(*text) : std::string_view();
}

bool isArtistSeparator(char32_t c) {
    switch (c) {
    case U'/': case U'\uFF0F': case U'\u3001': case U',': case U'\uFF0C': case U';': case U'&': case U'\uFF06':
        return true;
    default:
        return false;
    }
}

std::vector<std::string> artistPieces(const OptionalText& artist) {
    std::vector<std::string> pieces;
    if (!artist || artist->empty()) return pieces;
    // Canonical forms first: the pieces then sort by scalar value as bytes.
    const std::string lower = text::nfc(text::lowercased(*artist));
    std::string_view rest = lower;
    std::size_t start = 0;
    auto take = [&](std::size_t end) {
        auto piece = text::trimmingWhitespaceAndNewlines(rest.substr(start, end - start));
        if (!piece.empty()) pieces.emplace_back(piece);
    };
    for (std::size_t i = 0; i < rest.size();) {
        auto d = text::decodeScalar(rest, i);
        if (d.valid && isArtistSeparator(d.scalar)) {
            take(i);
            start = i + d.length;
        }
        i += d.length;
    }
    take(rest.size());
    return pieces;
}

// Two titles agree when the first, trimmed, is not blank and equals the
// second as given.
bool titlesAgree(const OptionalText& titleA, const OptionalText& titleB) {
    const auto a = trimmed(titleA);
    if (a.empty()) return false;
    return text::canonicallyEqual(a, titleB ? std::string_view(*titleB) : std::string_view());
}

double projection(double elapsed, double captured, bool playing, double rate, double now) {
    if (!playing) return elapsed;
    return elapsed + (now - captured) * (rate > 0 ? rate : 1.0);
}

double clamped(double value, double duration) {
    if (!(value >= 0)) return 0;
    if (duration > 0 && value > duration) return duration;
    return value;
}

}  // namespace

std::string Playhead::artistKey(const OptionalText& artist) {
    auto pieces = artistPieces(artist);
    std::sort(pieces.begin(), pieces.end());
    std::string key;
    for (const auto& piece : pieces) {
        if (!key.empty()) key += '/';
        key += piece;
    }
    return key;
}

std::set<std::string> Playhead::artistTokens(const OptionalText& artist) {
    auto pieces = artistPieces(artist);
    return {pieces.begin(), pieces.end()};
}

bool Playhead::sameTrack(const OptionalText& titleA, const OptionalText& titleB, const OptionalText& artistA,
                         const OptionalText& artistB) {
    return titlesAgree(titleA, titleB) && artistKey(artistA) == artistKey(artistB);
}

OptionalText Playhead::richerArtist(const OptionalText& a, const OptionalText& b) {
    const auto ta = trimmed(a), tb = trimmed(b);
    if (ta.empty()) return b;
    if (tb.empty()) return a;
    return artistTokens(std::string(ta)).size() < artistTokens(std::string(tb)).size() ? b : a;
}

bool Playhead::sameTitleCompatibleArtists(const OptionalText& titleA, const OptionalText& titleB,
                                          const OptionalText& artistA, const OptionalText& artistB) {
    if (!titlesAgree(titleA, titleB)) return false;
    const auto a = artistTokens(artistA), b = artistTokens(artistB);
    if (a.empty() || b.empty()) return true;
    return std::includes(a.begin(), a.end(), b.begin(), b.end()) ||
           std::includes(b.begin(), b.end(), a.begin(), a.end());
}

bool Playhead::sameKnownField(const OptionalText& a, const OptionalText& b) {
    const auto ta = trimmed(a), tb = trimmed(b);
    return ta.empty() || tb.empty() || text::canonicallyEqual(ta, tb);
}

bool Playhead::sameRecording(const OptionalText& titleA, const OptionalText& titleB, const OptionalText& artistA,
                             const OptionalText& artistB, const OptionalText& aAlbum, const OptionalText& bAlbum,
                             const OptionalText& aSource, const OptionalText& bSource, const OptionalText& aBundleId,
                             const OptionalText& bBundleId) {
    if (!sameTrack(titleA, titleB, artistA, artistB)) return false;
    if (!sameKnownField(aAlbum, bAlbum)) return false;
    const auto bundleA = trimmed(aBundleId), bundleB = trimmed(bBundleId);
    if (!bundleA.empty() && !bundleB.empty()) return text::canonicallyEqual(bundleA, bundleB);
    return sameKnownField(aSource, bSource);
}

Playhead::Snapshot Playhead::reconcilePlayback(const Snapshot& incoming, const std::optional<Snapshot>& controls,
                                               std::optional<double> rawElapsed, double now) {
    if (!controls || now - controls->capturedAt >= kControlsFreshness) return incoming;
    const bool bothQQ = incoming.bundleId == std::string(kQQMusicBundle) &&
                        controls->bundleId == std::string(kQQMusicBundle) && trimmed(controls->title).empty();
    if (!sameTrack(incoming.title, controls->title, incoming.artist, controls->artist) && !bothQQ) return incoming;

    Snapshot result = incoming;
    result.isPlaying = controls->isPlaying;
    if (controls->isPlaying) {
        result.playbackRate = std::isnan(incoming.playbackRate) ? 1.0 : std::max(incoming.playbackRate, 1.0);
        return result;
    }
    result.playbackRate = 0;
    if (rawElapsed && std::isfinite(*rawElapsed) && *rawElapsed >= 0) {
        result.elapsed = incoming.duration > 0 ? std::min(*rawElapsed, incoming.duration) : *rawElapsed;
        result.elapsedKnown = true;
        result.capturedAt = now;
    } else {
        result.elapsedKnown = false;
    }
    return result;
}

Playhead::Snapshot Playhead::merge(const Snapshot& incoming, const Current& current, double now, bool forceAnchor) {
    const bool same = sameRecording(incoming.title, current.title, incoming.artist, current.artist, incoming.album,
                                    current.album, incoming.source, current.source, incoming.bundleId,
                                    current.bundleId);
    const double duration = incoming.duration > 0 ? incoming.duration : current.duration;
    Snapshot result = incoming;

    if (!incoming.elapsedKnown) {
        result.elapsed =
            same ? clamped(projection(current.elapsed, current.captured, current.playing, current.rate, now), duration)
                 : 0;
        result.capturedAt = now;
        return result;
    }

    if (forceAnchor || !same || current.playing != incoming.isPlaying) return incoming;
    const double pIn = clamped(
        projection(incoming.elapsed, incoming.capturedAt, incoming.isPlaying, incoming.playbackRate, now), duration);
    const double pCur =
        clamped(projection(current.elapsed, current.captured, current.playing, current.rate, now), duration);
    const bool nearWhole = std::fabs(incoming.elapsed - std::round(incoming.elapsed)) <= kWholeSecondTolerance;
    const bool keep = std::fabs(pIn - pCur) < kSamePosition ||
                      (nearWhole && pIn <= pCur + kWholeSecondAhead && pCur - pIn < kWholeSecondBehind);
    if (!keep) return incoming;
    result.elapsed = current.elapsed;
    result.capturedAt = current.captured;
    result.elapsedKnown = true;
    return result;
}

bool Playhead::staleRolloverElapsed(double elapsed, double previousElapsed, double previousDuration) {
    if (elapsed <= 15) return false;
    if (previousElapsed <= 15 && previousDuration <= 30) return false;
    if (previousDuration > 20 && elapsed > previousDuration - 30 && std::fabs(elapsed - previousDuration) < 40)
        return true;
    return previousElapsed > 20 && std::fabs(elapsed - previousElapsed) < 25;
}

}  // namespace veltrane::media
