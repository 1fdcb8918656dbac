#include "vips/rendering.h"

#include <memory>

namespace vips {

VImage renderingThumbnail(const raw::Rendering& r, int box, VipsSize size) {
    // Options are made last: options handed to no operation are never freed.
    auto options = [&] {
        return VImage::option()->set("height", box)->set("size", size)->set("no_rotate", true);
    };
    if (r.kind == raw::Rendering::Kind::preview) {
        auto unref = [](VipsBlob* blob) { vips_area_unref(VIPS_AREA(blob)); };
        std::unique_ptr<VipsBlob, decltype(unref)> jpeg(
            vips_blob_new(nullptr, r.jpeg.data(), r.jpeg.size()), unref);
        return VImage::thumbnail_buffer(jpeg.get(), box,
                                        options()->set("option_string", "fail_on=error"));
    }
    VImage pixels = VImage::new_from_memory(const_cast<unsigned char*>(r.rgb.data()), r.rgb.size(),
                                            r.width, r.height, 3, VIPS_FORMAT_UCHAR);
    return pixels.thumbnail_image(box, options());
}

}  // namespace vips
