#pragma once
// An accessibility tree built in the test: elements with a description, a
// title and children, one application per process id (with its windows and
// an optional menu bar).

#include <map>

#include "platform/accessibility/AccessibilityTree.h"

namespace veltrane::testing {

class FakeElement : public accessibility::Element {
public:
    std::optional<accessibility::AttributeValue> description;
    std::optional<accessibility::AttributeValue> title;
    accessibility::ElementList children;
};

class FakeApplication final : public FakeElement {
public:
    accessibility::ElementRef menuBar;
};

inline std::shared_ptr<FakeElement> fakeElement(std::optional<std::string> description,
                                                accessibility::ElementList children = {}) {
    auto element = std::make_shared<FakeElement>();
    if (description) element->description = accessibility::AttributeValue{*description};
    element->children = std::move(children);
    return element;
}

// A titled element, such as a menu or a menu item.
inline std::shared_ptr<FakeElement> titledElement(std::string title, accessibility::ElementList children = {}) {
    auto element = std::make_shared<FakeElement>();
    element->title = accessibility::AttributeValue{std::move(title)};
    element->children = std::move(children);
    return element;
}

class FakeAccessibilityTree final : public accessibility::AccessibilityTree {
public:
    std::map<std::string, std::vector<std::int32_t>, std::less<>> running;
    std::map<std::int32_t, accessibility::ElementList> windows;
    std::map<std::int32_t, accessibility::ElementRef> menuBars;
    bool isTrusted = true;
    int requests = 0;

    std::vector<std::int32_t> runningApplications(std::string_view bundleId) override {
        ++requests;
        auto it = running.find(bundleId);
        return it == running.end() ? std::vector<std::int32_t>{} : it->second;
    }
    accessibility::ElementRef application(std::int32_t pid) override {
        if (!windows.count(pid)) return nullptr;
        auto app = std::make_shared<FakeApplication>();
        app->children = windows[pid];
        if (menuBars.count(pid)) app->menuBar = menuBars[pid];
        return app;
    }
    void setMessagingTimeout(const accessibility::ElementRef&, std::chrono::milliseconds) override {}
    bool trusted() override { return isTrusted; }
    std::optional<accessibility::AttributeValue> copyAttributeValue(const accessibility::ElementRef& element,
                                                                    std::string_view attribute) override {
        ++requests;
        const auto* fake = dynamic_cast<const FakeElement*>(element.get());
        if (!fake) return std::nullopt;
        if (attribute == "AXMenuBar") {
            const auto* app = dynamic_cast<const FakeApplication*>(fake);
            if (!app || !app->menuBar) return std::nullopt;
            return accessibility::AttributeValue{accessibility::ElementList{app->menuBar}};
        }
        if (attribute == "AXDescription") return fake->description;
        if (attribute == "AXTitle") return fake->title;
        if (attribute == "AXWindows" || attribute == "AXChildren") return accessibility::AttributeValue{fake->children};
        return std::nullopt;
    }
};

}  // namespace veltrane::testing
