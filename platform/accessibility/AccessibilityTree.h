#pragma once
// Other applications' user-interface elements, read through the desktop's
// accessibility service: elements by application, their attributes by the
// names the readers use ("AXWindows", "AXChildren", "AXDescription",
// "AXTitle", "AXMenuBar").
// AtspiAccessibilityTree reads them through AT-SPI2; tests build trees of
// their own.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace veltrane::accessibility {

// One element of another application; what it refers to is the tree's own.
class Element {
public:
    virtual ~Element() = default;
};
using ElementRef = std::shared_ptr<const Element>;
using ElementList = std::vector<ElementRef>;

// An attribute's value: text, a list of elements, or something else.
using AttributeValue = std::variant<std::monostate, std::string, ElementList>;

class AccessibilityTree {
public:
    virtual ~AccessibilityTree() = default;

    // Process ids of the running applications with that identifier.
    virtual std::vector<std::int32_t> runningApplications(std::string_view bundleId) = 0;
    // The application element of a process; none when it shows nothing.
    virtual ElementRef application(std::int32_t pid) = 0;
    // How long a request to that application may wait for its answer.
    virtual void setMessagingTimeout(const ElementRef& application, std::chrono::milliseconds timeout) = 0;
    // The attribute's value; none on any failure (no such attribute, no
    // answer in time, the application gone).
    virtual std::optional<AttributeValue> copyAttributeValue(const ElementRef& element, std::string_view attribute) = 0;
    // Whether the desktop lets us read other applications at all.
    virtual bool trusted() { return true; }
};

// The attribute as text; none for any other value or a failure.
inline std::optional<std::string> textAttribute(AccessibilityTree& tree, const ElementRef& element,
                                                std::string_view attribute) {
    auto value = tree.copyAttributeValue(element, attribute);
    if (!value) return std::nullopt;
    if (auto* text = std::get_if<std::string>(&*value)) return std::move(*text);
    return std::nullopt;
}

// The attribute as a list of elements; empty for any other value or a failure.
inline ElementList elementsAttribute(AccessibilityTree& tree, const ElementRef& element, std::string_view attribute) {
    auto value = tree.copyAttributeValue(element, attribute);
    if (!value) return {};
    if (auto* list = std::get_if<ElementList>(&*value)) return std::move(*list);
    return {};
}

// A desktop whose accessibility service is off: no application is seen.
class NoAccessibility final : public AccessibilityTree {
public:
    std::vector<std::int32_t> runningApplications(std::string_view) override { return {}; }
    ElementRef application(std::int32_t) override { return nullptr; }
    void setMessagingTimeout(const ElementRef&, std::chrono::milliseconds) override {}
    std::optional<AttributeValue> copyAttributeValue(const ElementRef&, std::string_view) override {
        return std::nullopt;
    }
    bool trusted() override { return false; }
};

}  // namespace veltrane::accessibility
