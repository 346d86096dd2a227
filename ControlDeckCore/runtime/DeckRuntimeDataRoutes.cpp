// Settings, layout, actions, applications, screenshots and static files.

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <system_error>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/fs/FileSystem.h"

namespace veltrane::deck {

namespace {

constexpr std::array<std::string_view, 3> kThemes{"system", "light", "dark"};

// 8-4-4-4-12 hexadecimal digits in either letter case.
bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

}  // namespace

HTTPResponse DeckRuntime::okWithoutCacheHeader(const Json& data) {
    return HTTPResponse{
        200, {{"Content-Type", "application/json; charset=utf-8"}}, JSON::text(Json{{"ok", true}, {"data", data}})};
}

HTTPResponse DeckRuntime::layoutResponse() {
    return onQueue([&] { return okWithoutCacheHeader(layout_.encode()); });
}

Json DeckRuntime::appsPayload() {
    std::vector<AppRecord> apps = withApps([](AppLaunching& launcher) { return launcher.listApplications(); });
    Json list = Json::array();
    for (const AppRecord& app : apps) {
        list.push_back(Json{{"bundleId", app.bundleId},
                            {"name", app.name},
                            {"path", app.path},
                            {"icon", "/api/apps/" + percentEncodedPath(app.bundleId) + "/icon"}});
    }
    return list;
}

void DeckRuntime::applySettings(const std::string& body) {
    onQueue([&] {
        const Json object = parseObjectBody(body);
        const Json* theme = JSON::member(object, "theme");
        if (theme != nullptr && theme->is_string()) {
            const std::string name = theme->get<std::string>();
            if (std::find(kThemes.begin(), kThemes.end(), name) != kThemes.end()) settings_.theme = name;
        }
        writeSettingsFile();
        broadcastState();
    });
}

Json DeckRuntime::actionsPayload() {
    return onQueue([&] {
        Json list = Json::array();
        for (const CustomActionDef& action : actions_) {
            Json payload = Json::object();
            for (const auto& [key, value] : action.payload) payload[key] = value.any();
            list.push_back(Json{{"id", action.id},
                                {"title", action.title},
                                {"icon", action.icon},
                                {"commandType", action.commandType},
                                {"payload", std::move(payload)}});
        }
        return list;
    });
}

void DeckRuntime::replaceActions(const std::string& body) {
    onQueue([&] {
        actions_ = parseActionsBody(body);
        writeActionsFile();
        broadcastState();
    });
}

HTTPResponse DeckRuntime::screenshotRoute(const HTTPRequest& request) {
    const std::string id = request.path.substr(kScreenshotsPrefix.size());
    if (!isUUID(id)) throw DeckError::notFound();
    // Screenshots are written under upper-case ids; a tablet may send either case.
    const std::string stored = upperCased(id);
    const std::filesystem::path file = store_.screenshotURL(stored);
    const std::shared_ptr<fs::FileSystem> files = fs::FileSystem::local();
    if (request.method == "GET") {
        std::optional<std::string> png = files->readFile(file);
        if (!png) throw DeckError::notFound();
        return HTTPResponse::bytes(200, std::move(*png), "image/png");
    }
    if (files->fileExists(file) && !files->removeFile(file))
        throw std::runtime_error("Could not delete the screenshot " + file.string());
    if (lastScreenshotId_ && upperCased(*lastScreenshotId_) == stored) {
        lastScreenshotId_.reset();
        lastScreenshotAt_.reset();
    }
    broadcastState();
    return HTTPResponse::ok(Json{{"deleted", true}});
}

HTTPResponse DeckRuntime::serveStatic(const std::string& path) {
    if (options_.staticDirectory) {
        std::error_code error;
        const std::filesystem::path& root = *options_.staticDirectory;
        if (std::filesystem::is_directory(root, error)) {
            if (std::optional<HTTPResponse> file = HTTPServer::file(root, path)) return std::move(*file);
            // Client-side routes of the dashboard get its index.html.
            if (path.rfind("/api", 0) != 0) {
                if (std::optional<HTTPResponse> index = HTTPServer::file(root, "/")) return std::move(*index);
            }
        }
    }
    if (path == "/" || path == "/index.html") return HTTPServer::builtInPage();
    return HTTPResponse::text(404,
                              "Dashboard assets are missing. Build the dashboard and restart Veltrane Control Deck.");
}

}  // namespace veltrane::deck
