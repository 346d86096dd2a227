#pragma once
// The accessibility tree through AT-SPI2 (libatspi): an application is an
// application object of the registry's desktop, found by process id; a
// running application's identifier is the name it gives the registry (its
// program name). "AXWindows" are the application's children, "AXChildren"
// an element's children, "AXDescription" its description, "AXTitle" its
// name; "AXMenuBar" is a list of the one element of role "menu bar" found a
// few levels below the application. The messaging
// time-out is libatspi's, which is one for the whole process.
//
// Not thread-safe (libatspi is not): one caller at a time.

#include <memory>

#include "platform/accessibility/AccessibilityTree.h"

namespace veltrane::accessibility {

class AtspiAccessibilityTree final : public AccessibilityTree {
public:
    // The registry's application list is reused for this long: listing it
    // costs a request per application.
    static constexpr std::chrono::seconds kApplicationListReuse{2};

    // Connects when the session already runs an accessibility bus; none
    // otherwise (we never start one).
    static std::unique_ptr<AtspiAccessibilityTree> ifRunning();
    ~AtspiAccessibilityTree() override;

    std::vector<std::int32_t> runningApplications(std::string_view bundleId) override;
    ElementRef application(std::int32_t pid) override;
    void setMessagingTimeout(const ElementRef& application, std::chrono::milliseconds timeout) override;
    std::optional<AttributeValue> copyAttributeValue(const ElementRef& element, std::string_view attribute) override;

private:
    struct Impl;
    explicit AtspiAccessibilityTree(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltrane::accessibility
