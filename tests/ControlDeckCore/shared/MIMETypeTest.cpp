#include <gtest/gtest.h>

#include <utility>

#include "ControlDeckCore/shared/MIMEType.h"

using veltrane::deck::mimeType;

TEST(StaticFileTypes, MimeTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/index.html", "text/html; charset=utf-8"},
        {"/app.JS", "text/javascript; charset=utf-8"},
        {"/s.css", "text/css; charset=utf-8"},
        {"/m.json", "application/manifest+json"},
        {"/m.webmanifest", "application/manifest+json"},
        {"/i.png", "image/png"},
        {"/i.jpg", "image/jpeg"},
        {"/i.JPEG", "image/jpeg"},
        {"/i.svg", "image/svg+xml"},
        {"/favicon.ico", "image/x-icon"},
        {"/f.woff2", "font/woff2"},
        {"/f.woff", "font/woff"},
        {"/app.js.map", "application/json"},
        {"/notes.txt", "text/plain; charset=utf-8"},
        {"/page.htm", "application/octet-stream"},
        {"/README", "application/octet-stream"},
        {"/dir.d/README", "application/octet-stream"},  // the dot is in a directory name
        {"/trailing.", "application/octet-stream"},
    };
    for (const auto& [path, type] : cases) EXPECT_EQ(mimeType(path), type) << path;
}
