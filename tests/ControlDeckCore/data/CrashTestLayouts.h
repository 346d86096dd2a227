#pragma once
// The two layouts the save loop alternates between: large enough that a kill
// often lands in the middle of writing one.

#include <string>

#include "ControlDeckCore/data/LayoutDocument.h"

namespace veltrane::testing {

inline deck::LayoutDocument crashTestLayout(int variant) {
    deck::LayoutDocument layout{1, {}, "system"};
    for (int p = 0; p < 6; ++p) {
        deck::DeckPage page{p == 5 ? "system" : "page-" + std::to_string(p), "Page " + std::to_string(variant), {}};
        for (int i = 0; i < 60; ++i) {
            deck::JSONValue::Object settings{{"note", std::string(150, static_cast<char>('a' + variant))},
                                             {"index", i}};
            page.widgets.push_back({"w-" + std::to_string(p) + "-" + std::to_string(i), "timer", (i % 3) * 4,
                                    (i / 3) * 2, 4, 2, std::move(settings)});
        }
        layout.pages.push_back(std::move(page));
    }
    return layout;
}

}  // namespace veltrane::testing
