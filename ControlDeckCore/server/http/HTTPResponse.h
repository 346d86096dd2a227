#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONWriter.h"
#include "platform/system/FileDescriptor.h"

namespace veltrane::deck {

// A body sent from an open regular file: its first `size` bytes, as the peer
// takes them. The descriptor, not the name, is what is sent, so the file may
// be removed meanwhile.
struct FileBody {
    std::shared_ptr<const sys::FileDescriptor> descriptor;
    std::uint64_t size = 0;
    bool operator==(const FileBody&) const = default;
};

// What a request handler answers. The server adds Content-Length, the
// Connection and the cross-origin lines when it writes it.
struct HTTPResponse {
    int status = 200;
    std::map<std::string, std::string> headers;
    std::string body;
    // When set, the body is this file and `body` is not sent. Only file
    // downloads use it: a large file is never held in memory.
    std::optional<FileBody> file{};

    // `object` as JSON text, not cached.
    static HTTPResponse json(int status, const Json& object);
    // 200 {"data":<data>,"ok":true}
    static HTTPResponse ok(const Json& data);
    // The same with the data written by `writeData` straight into the body
    // (reserving `capacity` bytes), for answers made too often for a tree.
    // The data's keys go in sorted order, as JSONWriter asks.
    static HTTPResponse okWritten(const std::function<void(JSONWriter&)>& writeData, std::size_t capacity = 1024);
    // The error's status and {"error":{"code":...,"message":...},"ok":false}
    static HTTPResponse err(const DeckError& error);
    static HTTPResponse text(int status, std::string_view text);
    static HTTPResponse html(int status, std::string_view text);
    static HTTPResponse bytes(int status, std::string bytes, std::string type);
    // Status 200, `headers` and the file as the body.
    static HTTPResponse streamed(std::map<std::string, std::string> headers, FileBody file);

    // Bytes in the body: the file's size or the body's length.
    std::uint64_t contentLength() const { return file ? file->size : body.size(); }

    bool operator==(const HTTPResponse&) const = default;
};

}  // namespace veltrane::deck
