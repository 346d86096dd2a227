#include "platform/image/IconRenderer.h"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <memory>

#include "platform/image/PNGImage.h"

namespace veltrane::image {
namespace {

struct SurfaceFree {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

bool hasExtension(const std::filesystem::path& file, const char* extension) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == extension;
}

bool drawSVG(cairo_t* cr, const std::filesystem::path& file, int side) {
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_file(file.c_str(), &error);
    if (handle == nullptr) {
        if (error != nullptr) g_error_free(error);
        return false;
    }
    // The document is fitted into the viewport with its aspect ratio kept.
    RsvgRectangle viewport{0, 0, static_cast<double>(side), static_cast<double>(side)};
    bool drawn = rsvg_handle_render_document(handle, cr, &viewport, &error);
    if (error != nullptr) g_error_free(error);
    g_object_unref(handle);
    return drawn;
}

bool drawPNG(cairo_t* cr, const std::filesystem::path& file, int side) {
    Surface source(cairo_image_surface_create_from_png(file.c_str()));
    if (cairo_surface_status(source.get()) != CAIRO_STATUS_SUCCESS) return false;
    const int width = cairo_image_surface_get_width(source.get());
    const int height = cairo_image_surface_get_height(source.get());
    if (width <= 0 || height <= 0) return false;
    const double scale = static_cast<double>(side) / std::max(width, height);
    cairo_translate(cr, (side - width * scale) / 2, (side - height * scale) / 2);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, source.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    return cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

// cairo keeps premultiplied native-endian ARGB words.
RGBAImage straightRGBA(cairo_surface_t* surface, int side) {
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    RGBAImage image{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side) * side * 4)};
    for (int y = 0; y < side; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < side; ++x) {
            std::uint32_t argb = row[x];
            std::uint32_t a = argb >> 24;
            std::uint8_t* out = &image.pixels[(static_cast<std::size_t>(y) * side + x) * 4];
            auto unpremultiply = [a](std::uint32_t c) -> std::uint8_t {
                return static_cast<std::uint8_t>(a == 0 ? 0 : std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
            };
            out[0] = unpremultiply((argb >> 16) & 0xff);
            out[1] = unpremultiply((argb >> 8) & 0xff);
            out[2] = unpremultiply(argb & 0xff);
            out[3] = static_cast<std::uint8_t>(a);
        }
    }
    return image;
}

}  // namespace

std::optional<std::string> IconRenderer::renderPNG(const std::filesystem::path& file, int side) {
    if (side <= 0 || side > PNGImage::kMaxSide) return std::nullopt;
    std::error_code error;
    auto size = std::filesystem::file_size(file, error);
    if (error || size == 0 || size > kMaxFileBytes) return std::nullopt;
    const bool svg = hasExtension(file, ".svg");
    if (!svg && !hasExtension(file, ".png")) return std::nullopt;

    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    Context cr(cairo_create(surface.get()));
    if (!(svg ? drawSVG(cr.get(), file, side) : drawPNG(cr.get(), file, side))) return std::nullopt;
    return PNGImage::encode(straightRGBA(surface.get(), side));
}

}  // namespace veltrane::image
