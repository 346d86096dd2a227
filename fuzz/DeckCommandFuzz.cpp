// Any body either parses into a command whose arguments keep their rules, or
// fails with a DeckError; nothing else may escape and nothing may crash.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/shared/DeckError.h"

using namespace veltrane::deck;

namespace {
void require(bool condition) {
    if (!condition) std::abort();
}

void checkArguments(const DeckCommand& command) {
    using C = DeckCommand;
    if (auto c = command.get<C::SetVolume>()) require(c->level >= 0 && c->level <= 1);
    if (auto c = command.get<C::SetBrightness>()) require(c->level >= 0 && c->level <= 1 && !c->displayId.empty());
    if (auto c = command.get<C::MediaSeek>()) require(std::isfinite(c->position) && c->position >= 0);
    if (auto c = command.get<C::StartTimer>())
        require(c->seconds >= C::minTimerSeconds && c->seconds <= C::maxTimerSeconds);
    if (auto c = command.get<C::OpenFile>()) require(C::isSafePath(c->path) && c->path.front() == '/');
    if (auto c = command.get<C::OpenFolder>()) require(C::isSafePath(c->path) && c->path.find('\0') == std::string::npos);
    if (auto c = command.get<C::OpenURL>()) require(C::isWebURL(c->url));
    if (auto c = command.get<C::RunShortcut>()) require(c->name.find_first_of(";`") == std::string::npos);
    if (auto c = command.get<C::TakeScreenshot>()) require(c->mode == "full" || c->mode == "window");
}

void parseAndCheck(const auto& input) {
    try {
        DeckCommand command = [&] {
            if constexpr (std::is_same_v<std::decay_t<decltype(input)>, Json>) return DeckCommand::parse(input);
            else return DeckCommand::parseData(input);
        }();
        checkArguments(command);
        const auto& names = DeckCommand::allowlist();
        bool named = false;
        for (auto name : names) named = named || name == command.typeName();
        require(named);
    } catch (const DeckError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    parseAndCheck(body);
    // Random bytes rarely name a command: let the first byte pick one and the
    // rest supply its arguments.
    if (size > 1) {
        auto object = JSON::parse(body.substr(1));
        if (object && object->is_object()) {
            (*object)["type"] = std::string(DeckCommand::allowlist()[data[0] % DeckCommand::commandCount]);
            parseAndCheck(*object);
        }
    }
    // The predicates take any bytes.
    DeckCommand::isSafePath(body);
    DeckCommand::isSafeShortcutName(body);
    DeckCommand::isWebURL(body);
    return 0;
}
