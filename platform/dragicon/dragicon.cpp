#include "dragicon/dragicon.h"

#include <vips/vips8>

#include <cstring>

#include "handles/handles.h"
#include "vips/input.h"

namespace dragicon {

struct Icon::Impl {
    vips::VImage image;  // 4-band 8-bit sRGB with alpha, decoded into memory
};

Icon::Icon(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Icon::~Icon() = default;
Icon::Icon(Icon&&) noexcept = default;
Icon& Icon::operator=(Icon&&) noexcept = default;

platform::Result<Icon> Icon::decode(const void* data, std::size_t length) {
    const char* step = "decoding the drag icon";
    if (data == nullptr || length == 0) return platform::Failure{"no image data", step};
    if (auto started = vips::start(); !started.ok()) return started.failed();
    try {
        // Only a kind vips::start lets load (a source, so that libvips never
        // falls back to its buffer loaders' sniffers).
        vips::VSource source = vips::VSource::new_from_memory(data, length);
        if (!vips::allowedLoaderOf(source.get_source()))
            return platform::Failure{"not an image of a kind that is read", step};
        // new_from_source only reads the header: copy_memory() below decodes every
        // pixel, so truncated or corrupt data fails here rather than later.
        // A damaged or truncated image is no icon (rather than one padded with black).
        vips::VImage in = vips::VImage::new_from_source(
            source, "", vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
        vips::VImage rgb = in.colourspace(VIPS_INTERPRETATION_sRGB);
        if (!rgb.has_alpha()) rgb = rgb.bandjoin_const({255});
        rgb = rgb.extract_band(0, vips::VImage::option()->set("n", 4)).cast(VIPS_FORMAT_UCHAR);
        auto impl = std::make_unique<Impl>();
        impl->image = rgb.copy_memory();
        if (impl->image.width() < 1 || impl->image.height() < 1)
            return platform::Failure{"the image has no pixels", step};
        return Icon(std::move(impl));
    } catch (const vips::VError& e) {
        return platform::Failure{vips::errorText(e.what()), step};
    }
}

int Icon::width() const {
    return impl_->image.width();
}
int Icon::height() const {
    return impl_->image.height();
}

Pixels Icon::render(int width, int height) const {
    Pixels out;
    out.width = width < 1 ? 1 : width;
    out.height = height < 1 ? 1 : height;
    out.rgba.assign(std::size_t(out.width) * out.height * 4, 0);
    try {
        vips::VImage img = impl_->image.premultiply();
        if (img.width() != out.width || img.height() != out.height) {
            double hs = double(out.width) / img.width();
            double vs = double(out.height) / img.height();
            img = img.resize(hs, vips::VImage::option()->set("vscale", vs));
            // Rounding in resize may leave a pixel more or less: make the size exact.
            img = img.embed(0, 0, out.width, out.height,
                            vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
        }
        img = (img + 0.5).cast(VIPS_FORMAT_UCHAR);
        std::size_t size = 0;
        handles::GlibString mem(static_cast<char*>(img.write_to_memory(&size)));
        if (size == out.rgba.size()) std::memcpy(out.rgba.data(), mem.get(), size);
    } catch (const vips::VError&) {
        vips_error_clear();  // a blank icon
    }
    return out;
}

}  // namespace dragicon
