#include "platform/accessibility/AtspiAccessibilityTree.h"

#include <atspi/atspi.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cstdlib>

namespace veltrane::accessibility {
namespace {

using SteadyClock = std::chrono::steady_clock;

class AtspiElement final : public Element {
public:
    explicit AtspiElement(AtspiAccessible* object) : object_(object) {}
    ~AtspiElement() override { g_object_unref(object_); }
    AtspiAccessible* object() const { return object_; }

private:
    AtspiAccessible* object_;  // owned reference
};

AtspiAccessible* objectOf(const ElementRef& element) {
    const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    return atspi ? atspi->object() : nullptr;
}

// A text libatspi hands over, released; none after an error.
std::optional<std::string> taken(gchar* text, GError* error) {
    if (error) {
        g_error_free(error);
        g_free(text);
        return std::nullopt;
    }
    if (!text) return std::nullopt;
    std::string result(text);
    g_free(text);
    return result;
}

std::optional<ElementList> children(AtspiAccessible* object) {
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(object, &error);
    if (error) {
        g_error_free(error);
        return std::nullopt;
    }
    ElementList list;
    for (gint i = 0; i < count; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, &error);
        if (error) {
            g_error_free(error);
            error = nullptr;
            continue;
        }
        if (child) list.push_back(std::make_shared<AtspiElement>(child));
    }
    return list;
}

// The first element of role "menu bar" below `object`, breadth first and
// only a few levels down (GTK puts it in the window's layout box).
constexpr int kMenuBarSearchDepth = 4;

std::optional<ElementList> menuBar(AtspiAccessible* object) {
    ElementList level = children(object).value_or(ElementList{});
    for (int depth = 0; depth < kMenuBarSearchDepth && !level.empty(); ++depth) {
        ElementList next;
        for (const auto& element : level) {
            GError* error = nullptr;
            const AtspiRole role = atspi_accessible_get_role(objectOf(element), &error);
            if (error) {
                g_error_free(error);
                continue;
            }
            if (role == ATSPI_ROLE_MENU_BAR) return ElementList{element};
            auto below = children(objectOf(element));
            if (below) next.insert(next.end(), below->begin(), below->end());
        }
        level = std::move(next);
    }
    return std::nullopt;
}

// Asked without starting it: NameHasOwner never activates a service.
bool accessibilityBusRunning() {
    if (const char* address = std::getenv("AT_SPI_BUS_ADDRESS"); address && *address) return true;
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        bus->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments("org.a11y.Bus")
            .storeResultsTo(owned);
        return owned;
    } catch (const sdbus::Error&) {
        return false;
    }
}

}  // namespace

struct AtspiAccessibilityTree::Impl {
    struct Application {
        std::string name;
        std::int32_t pid = 0;
        ElementRef element;
    };
    std::vector<Application> applications;
    std::optional<SteadyClock::time_point> listedAt;

    const std::vector<Application>& list() {
        const auto now = SteadyClock::now();
        if (listedAt && now - *listedAt < kApplicationListReuse) return applications;
        applications.clear();
        listedAt = now;
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return applications;
        atspi_accessible_clear_cache(desktop);
        const auto apps = children(desktop);
        g_object_unref(desktop);
        for (const auto& app : apps.value_or(ElementList{})) {
            GError* error = nullptr;
            auto name = taken(atspi_accessible_get_name(objectOf(app), &error), error);
            error = nullptr;
            const guint pid = atspi_accessible_get_process_id(objectOf(app), &error);
            if (error) {
                g_error_free(error);
                continue;
            }
            applications.push_back({name.value_or(""), static_cast<std::int32_t>(pid), app});
        }
        return applications;
    }
};

AtspiAccessibilityTree::AtspiAccessibilityTree(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AtspiAccessibilityTree::~AtspiAccessibilityTree() = default;

std::unique_ptr<AtspiAccessibilityTree> AtspiAccessibilityTree::ifRunning() {
    if (!accessibilityBusRunning()) return nullptr;
    if (atspi_init() < 0) return nullptr;
    return std::unique_ptr<AtspiAccessibilityTree>(new AtspiAccessibilityTree(std::make_unique<Impl>()));
}

std::vector<std::int32_t> AtspiAccessibilityTree::runningApplications(std::string_view bundleId) {
    std::vector<std::int32_t> pids;
    for (const auto& app : impl_->list())
        if (app.name == bundleId) pids.push_back(app.pid);
    return pids;
}

ElementRef AtspiAccessibilityTree::application(std::int32_t pid) {
    for (const auto& app : impl_->list())
        if (app.pid == pid) {
            // The walk must see the window as it is now, not libatspi's cache.
            atspi_accessible_clear_cache(objectOf(app.element));
            return app.element;
        }
    return nullptr;
}

void AtspiAccessibilityTree::setMessagingTimeout(const ElementRef&, std::chrono::milliseconds timeout) {
    atspi_set_timeout(static_cast<gint>(timeout.count()), -1);
}

std::optional<AttributeValue> AtspiAccessibilityTree::copyAttributeValue(const ElementRef& element,
                                                                         std::string_view attribute) {
    AtspiAccessible* object = objectOf(element);
    if (!object) return std::nullopt;
    if (attribute == "AXWindows" || attribute == "AXChildren") {
        auto list = children(object);
        if (!list) return std::nullopt;
        return AttributeValue{std::move(*list)};
    }
    if (attribute == "AXMenuBar") {
        auto bar = menuBar(object);
        if (!bar) return std::nullopt;
        return AttributeValue{std::move(*bar)};
    }
    if (attribute == "AXDescription" || attribute == "AXTitle") {
        GError* error = nullptr;
        auto text = taken(attribute == "AXTitle" ? atspi_accessible_get_name(object, &error)
                                                 : atspi_accessible_get_description(object, &error),
                          error);
        if (!text) return std::nullopt;
        return AttributeValue{std::move(*text)};
    }
    return std::nullopt;
}

}  // namespace veltrane::accessibility

// libatspi copies names from the registry's events into caches it never
// frees (they live as long as the process); LeakSanitizer would report them
// against every program that reads the tree.
extern "C" const char* __lsan_default_suppressions() { return "leak:libatspi.so\n"; }
