#pragma once
// An accessibility tree built in the test: elements with a description and
// children, one application per process id.

#include <map>

#include "platform/accessibility/AccessibilityTree.h"

namespace veltrane::testing {

class FakeElement final : public accessibility::Element {
public:
    std::optional<accessibility::AttributeValue> description;
    accessibility::ElementList children;
};

inline std::shared_ptr<FakeElement> fakeElement(std::optional<std::string> description,
                                                accessibility::ElementList children = {}) {
    auto element = std::make_shared<FakeElement>();
    if (description) element->description = accessibility::AttributeValue{*description};
    element->children = std::move(children);
    return element;
}

class FakeAccessibilityTree final : public accessibility::AccessibilityTree {
public:
    std::map<std::string, std::vector<std::int32_t>, std::less<>> running;
    std::map<std::int32_t, accessibility::ElementList> windows;
    int requests = 0;

    std::vector<std::int32_t> runningApplications(std::string_view bundleId) override {
        ++requests;
        auto it = running.find(bundleId);
        return it == running.end() ? std::vector<std::int32_t>{} : it->second;
    }
    accessibility::ElementRef application(std::int32_t pid) override {
        if (!windows.count(pid)) return nullptr;
        auto app = std::make_shared<FakeElement>();
        app->children = windows[pid];
        return app;
    }
    void setMessagingTimeout(const accessibility::ElementRef&, std::chrono::milliseconds) override {}
    std::optional<accessibility::AttributeValue> copyAttributeValue(const accessibility::ElementRef& element,
                                                                    std::string_view attribute) override {
        ++requests;
        const auto* fake = dynamic_cast<const FakeElement*>(element.get());
        if (!fake) return std::nullopt;
        if (attribute == "AXDescription") return fake->description;
        if (attribute == "AXWindows" || attribute == "AXChildren") return accessibility::AttributeValue{fake->children};
        return std::nullopt;
    }
};

}  // namespace veltrane::testing
