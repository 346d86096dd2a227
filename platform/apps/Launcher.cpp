#include "platform/apps/Launcher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <signal.h>

#include <memory>
#include <string_view>

namespace veltrane::apps {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using Ref = std::unique_ptr<T, ObjectUnref>;

// Runs in the child between fork and exec: our process ignores SIGPIPE and
// that disposition would otherwise survive exec into the application.
void resetSignals(gpointer) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void fail(GError* error, const char* fallback) {
    std::string message = error != nullptr && error->message != nullptr ? error->message : fallback;
    if (error != nullptr) g_error_free(error);
    throw LaunchError(message);
}

void launch(GAppInfo* app, GList* uris) {
    GError* error = nullptr;
    gboolean launched;
    if (G_IS_DESKTOP_APP_INFO(app))
        launched = g_desktop_app_info_launch_uris_as_manager(G_DESKTOP_APP_INFO(app), uris, nullptr,
                                                              G_SPAWN_SEARCH_PATH, resetSignals, nullptr,
                                                              nullptr, nullptr, &error);
    else
        launched = g_app_info_launch_uris(app, uris, nullptr, &error);
    if (!launched) fail(error, "The application could not be started.");
}

}  // namespace

void Launcher::launchDesktopFile(const std::filesystem::path& file) {
    Ref<GDesktopAppInfo> app(g_desktop_app_info_new_from_filename(file.c_str()));
    if (!app) throw LaunchError("The application entry " + file.string() + " could not be loaded.");
    launch(G_APP_INFO(app.get()), nullptr);
}

void Launcher::openURI(const std::string& uri) {
    Ref<GFile> file(g_file_new_for_uri(uri.c_str()));
    GError* error = nullptr;
    Ref<GAppInfo> handler(g_file_query_default_handler(file.get(), nullptr, &error));
    if (!handler) fail(error, "No application is set to open that link.");
    GList uris{const_cast<char*>(uri.c_str()), nullptr, nullptr};
    launch(handler.get(), &uris);
}

bool Launcher::isValidURI(const std::string& text) {
    // GLib lets through spaces and other characters that a URI must carry
    // percent-encoded; a strict reader does not.
    static constexpr std::string_view kAllowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=%";
    if (text.find_first_not_of(kAllowed) != std::string::npos) return false;
    return g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr) != FALSE;
}

std::string Launcher::fileURI(const std::filesystem::path& path) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string result = uri != nullptr ? uri : "";
    g_free(uri);
    return result;
}

}  // namespace veltrane::apps
