#pragma once
// Tables that map romanised or English names of artists, songs and albums to
// their names in Chinese characters, the script the lyric services index.

#include <string>
#include <vector>

namespace veltrane::lyrics {

// One way an artist key can name a table's artist.
struct ArtistMatch {
    enum class Kind {
        contains,      // the key holds `text`, so a co-artist matches too
        equals,        // the key is exactly `text` (short forms)
        containsBoth,  // the key holds `text` and `second`
    };
    Kind kind = Kind::contains;
    std::string text;
    std::string second;
};

struct ArtistRule {
    std::vector<ArtistMatch> matches;  // any one of them
    std::string result;
};

struct TitleRule {
    std::vector<std::string> keys;  // whole alias keys, any one of them
    std::string result;
};

// The titles (or albums) of one artist.
struct AliasGroup {
    std::string hanArtist;    // the artist table's result for this artist
    std::string romanArtist;  // else looked for in the artist key
    bool exactArtist = false;  // the artist key must equal `romanArtist`
    std::vector<TitleRule> rules;
};

// Ordered lists of rules: the first that matches gives the answer.
struct AliasTables {
    std::vector<ArtistRule> artists;
    std::vector<AliasGroup> titles;
    std::vector<AliasGroup> albums;

    // The tables this build ships.
    static const AliasTables& shipped();
};

}  // namespace veltrane::lyrics
