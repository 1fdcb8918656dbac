// dragbridge: a Node-API add-on that drags files out of one of the host's X11
// windows ("start") and reports what such a drag puts on a pasteboard
// ("pasteboard"). Both exports take one options object and run on the
// JavaScript main thread.
#include <node_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dragicon/dragicon.h"
#include "pasteboard/pasteboard.h"
#include "xdnd/xdnd.h"

namespace {

namespace pb = ::pasteboard;

// Type under which the first dragged file offers the URLs of all dragged files
// with their titles; "WebURLsWithTitlesPboardType" is its legacy name.
constexpr const char* titledURLsType =
    "dyn.ah62d4rv4gu8zs3pcnzme2641rf4guzdmsv0gn64uqm10c6xenv61a3k";
constexpr const char* legacyTitledURLsType = "WebURLsWithTitlesPboardType";

// ---- Pasteboard writers

// The first dragged file: everything its URL offers, then the list of all
// dragged URLs with titles under titledURLsType.
class QVFirstDraggedFile : public pb::Writer {
  public:
    std::optional<pb::FileURL> url;
    // [[URL string of every dragged file], [one "" title per file]]
    pb::PropertyList urlsWithTitles = pb::PropertyList::array();

    std::vector<std::string> writableTypes(const pb::Pasteboard& pasteboard) const override {
        if (!url) return {};
        auto types = url->writableTypes(pasteboard);
        types.push_back(titledURLsType);
        return types;
    }

    pb::WritingOptions writingOptions(const std::string& type,
                                      const pb::Pasteboard& pasteboard) const override {
        if (type == titledURLsType) return pb::writingNone;
        return url ? url->writingOptions(type, pasteboard) : pb::writingNone;
    }

    std::optional<pb::PropertyList> propertyList(const std::string& type) const override {
        if (type == titledURLsType) return urlsWithTitles;
        return url ? url->propertyList(type) : std::nullopt;
    }
};

// ---- Dragging source

// Operations a drag allows, as a bit mask.
using DragOperation = unsigned long;
constexpr DragOperation dragOperationCopy = 1;
constexpr DragOperation dragOperationEvery = ~DragOperation{0};

// Where the drop target of a drag lies.
enum class DraggingContext : long { outsideApplication = 0, withinApplication = 1 };

class QVFileDragSource {
  public:
    DragOperation sourceOperationMaskForDraggingContext(DraggingContext context) const {
        return context == DraggingContext::outsideApplication ? dragOperationCopy
                                                              : dragOperationEvery;
    }
};

// ---- Options

// A pending JavaScript exception (from a throwing getter) is cleared: reading
// options never throws.
bool clearPendingException(napi_env env) {
    bool pending = false;
    napi_is_exception_pending(env, &pending);
    if (pending) {
        napi_value ignored;
        napi_get_and_clear_last_exception(env, &ignored);
    }
    return pending;
}

// Whether a string with U+FFFD in its UTF-8 form held a lone surrogate (which
// the runtime replaced with U+FFFD) rather than a real U+FFFD.
bool hasLoneSurrogate(napi_env env, napi_value string) {
    size_t units = 0;
    if (napi_get_value_string_utf16(env, string, nullptr, 0, &units) != napi_ok) return true;
    std::vector<char16_t> text(units + 1);
    napi_get_value_string_utf16(env, string, text.data(), text.size(), &units);
    for (size_t i = 0; i < units; ++i) {
        char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) return true;
    }
    return false;
}

// The "files" of an options object as file URLs, in order, duplicates kept;
// entries that are not non-empty strings naming a possible file are skipped.
std::vector<pb::FileURL> fileURLs(napi_env env, napi_value options) {
    napi_value files = nullptr;
    napi_get_named_property(env, options, "files", &files);
    if (clearPendingException(env)) files = nullptr;
    uint32_t length = 0;
    napi_get_array_length(env, files, &length);

    std::vector<pb::FileURL> urls;
    // A sparse array can claim billions of elements: reserve for the usual
    // few, not for its length, so that it cannot exhaust memory up front.
    urls.reserve(std::min<uint32_t>(length, 1024));
    for (uint32_t i = 0; i < length; ++i) {
        napi_value element = nullptr;
        if (napi_get_element(env, files, i, &element) != napi_ok) {
            clearPendingException(env);
            continue;
        }
        size_t size = 0;
        if (napi_get_value_string_utf8(env, element, nullptr, 0, &size) != napi_ok || size == 0)
            continue;
        std::string path(size + 1, '\0');
        size_t copied = 0;
        napi_get_value_string_utf8(env, element, path.data(), path.size(), &copied);
        path.resize(copied);
        // A path with a NUL byte names no file (it would be cut short), nor
        // does a string that is not valid Unicode.
        if (path.find('\0') != std::string::npos) continue;
        if (path.find("\xEF\xBF\xBD") != std::string::npos && hasLoneSurrogate(env, element))
            continue;
        if (auto url = pb::FileURL::withPath(path)) urls.push_back(std::move(*url));
    }
    return urls;
}

// The pasteboard writers of a drag: a QVFirstDraggedFile for the first file
// (also when there is none), then each further file URL as its own writer.
std::vector<std::shared_ptr<const pb::Writer>> writers(const std::vector<pb::FileURL>& urls) {
    auto strings = pb::PropertyList::array();
    auto titles = pb::PropertyList::array();
    for (const auto& url : urls) {
        strings.push_back(url.absoluteString());
        titles.push_back("");
    }
    auto first = std::make_shared<QVFirstDraggedFile>();
    if (!urls.empty()) first->url = urls.front();
    first->urlsWithTitles = pb::PropertyList::array({std::move(strings), std::move(titles)});

    std::vector<std::shared_ptr<const pb::Writer>> result;
    result.reserve(urls.size() > 0 ? urls.size() : 1);
    result.push_back(std::move(first));
    for (size_t i = 1; i < urls.size(); ++i)
        result.push_back(std::make_shared<pb::FileURL>(urls[i]));
    return result;
}

// ---- Drag session start

// The dragging source of every drag, made by the first start that begins one
// and kept for the life of the process.
std::unique_ptr<QVFileDragSource> source;

// The largest icon side shown, in pixels: a bigger icon (or display size) is
// scaled down to fit, keeping its proportions.
constexpr double maxIconSide = 1024;

// While a drag runs, the environment's teardown cancels it (and releases its
// X connection and loop handles) before the loop goes away.
void cancelDragOnTeardown(void*) {
    xdnd::cancel(false);
}

// The bytes offered for one X selection target: the pasteboard's data for the
// type, except "text/uri-list", which lists the URLs of every dragged file.
std::optional<std::string> dragData(const pb::Pasteboard& board, const std::string& type) {
    if (type != "text/uri-list") return board.dataForType(type);
    std::string list;
    for (const auto& item : board.pasteboardItems())
        if (auto bytes = item.dataForType(type)) list += *bytes;
    if (list.empty()) return std::nullopt;
    return list;
}

napi_value start(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {nullptr};
    napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
    napi_value options = argv[0];
    auto property = [&](const char* name) -> napi_value {
        napi_value value = nullptr;
        napi_get_named_property(env, options, name, &value);
        if (clearPendingException(env)) value = nullptr;
        return value;
    };
    auto fail = [&](const char* message) -> napi_value {
        napi_throw_error(env, nullptr, message);
        return nullptr;
    };

    void* handleData = nullptr;
    size_t handleLength = 0;
    if (napi_get_buffer_info(env, property("handle"), &handleData, &handleLength) != napi_ok ||
        handleLength != 8)
        return fail("Invalid native window handle");
    // The handle holds the X11 window id, in machine byte order.
    std::uint64_t window = 0;
    std::memcpy(&window, handleData, sizeof window);
    std::unique_ptr<xdnd::Connection> connection;
    if (window != 0) connection = xdnd::Connection::open();
    if (!connection || !connection->windowExists(xdnd::WindowId(window)))
        return fail("Native window is unavailable");

    auto urls = fileURLs(env, options);
    if (urls.empty()) return fail("No files to drag");

    void* iconData = nullptr;
    size_t iconLength = 0;
    if (napi_get_buffer_info(env, property("icon"), &iconData, &iconLength) != napi_ok ||
        iconLength == 0)
        return fail("Invalid drag icon");
    auto image = dragicon::Icon::decode(iconData, iconLength);
    if (!image) return fail("Invalid drag icon");

    // Display size: both "width" and "height" positive and finite, else the
    // size the image decoded with.
    auto number = [&](const char* name) {
        double value = 0;
        napi_get_value_double(env, property(name), &value);
        return std::isfinite(value) ? value : 0.0;
    };
    double width = number("width"), height = number("height");
    if (!(width > 0 && height > 0)) {
        width = image->width();
        height = image->height();
    }
    if (double scale = maxIconSide / std::max(width, height); scale < 1) {
        width *= scale;
        height *= scale;
    }

    // The icon centred on the pointer, its edges aligned to the nearest pixels.
    auto pointer = connection->pointerIn(xdnd::WindowId(window));
    xdnd::Connection::Pointer p = pointer.value_or(xdnd::Connection::Pointer{});
    double frameX = p.x - width * 0.5, frameY = p.y - height * 0.5;
    long minX = std::lround(frameX), minY = std::lround(frameY);
    long maxX = std::lround(frameX + width), maxY = std::lround(frameY + height);
    dragicon::Pixels pixels =
        image->render(int(std::max(1L, maxX - minX)), int(std::max(1L, maxY - minY)));

    // What the drag offers: its writers on a private pasteboard of its own.
    std::shared_ptr<pb::Pasteboard> board;
    try {
        board = pb::Pasteboard::withUniqueName();
        board->clearContents();
        board->writeObjects(writers(urls));
        board->releaseGlobally();
    } catch (...) {
        board = nullptr;  // allocation failed: no drag, as if the platform declined it
    }

    if (!source) source = std::make_unique<QVFileDragSource>();

    uv_loop_s* loop = nullptr;
    napi_get_uv_event_loop(env, &loop);
    if (board && pointer && loop) {
        xdnd::Request request;
        request.window = xdnd::WindowId(window);
        for (const auto& item : board->pasteboardItems())
            for (const auto& type : item.types())
                if (std::find(request.types.begin(), request.types.end(), type) ==
                    request.types.end())
                    request.types.push_back(type);
        request.data = [board](const std::string& type) { return dragData(*board, type); };
        const QVFileDragSource* dragSource = source.get();
        request.operationMask = [dragSource](bool inside) {
            return dragSource->sourceOperationMaskForDraggingContext(
                inside ? DraggingContext::withinApplication : DraggingContext::outsideApplication);
        };
        request.icon.width = pixels.width;
        request.icon.height = pixels.height;
        request.icon.rgba = std::move(pixels.rgba);
        request.icon.hotX = int(p.x - minX);
        request.icon.hotY = int(p.y - minY);
        request.finished = [env](xdnd::Outcome) {
            napi_remove_env_cleanup_hook(env, cancelDragOnTeardown, nullptr);
        };
        if (xdnd::begin(loop, std::move(connection), std::move(request)))
            napi_add_env_cleanup_hook(env, cancelDragOnTeardown, nullptr);
    }

    napi_value result = nullptr;
    napi_get_boolean(env, true, &result);
    return result;
}

// ---- Pasteboard inspector

// Writes the writers of a drag of the given files to a private pasteboard and
// returns, as compact JSON text, what reading it back yields.
napi_value inspectPasteboard(napi_env env, napi_callback_info info) {
    napi_value result = nullptr;
    try {
        size_t argc = 1;
        napi_value argv[1] = {nullptr};
        napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
        auto urls = fileURLs(env, argv[0]);

        auto board = pb::Pasteboard::withUniqueName();
        board->clearContents();
        board->writeObjects(writers(urls));

        auto dynList = board->propertyListForType(titledURLsType);
        auto legacyList = board->propertyListForType(legacyTitledURLsType);
        auto fileURLsRead = board->readFileURLs();

        const auto& items = board->pasteboardItems();
        auto firstTypes = pb::PropertyList::array();
        if (!items.empty())
            for (const auto& type : items[0].types())
                firstTypes.push_back(type);
        auto secondTypes = pb::PropertyList::array();
        if (items.size() >= 2)
            for (const auto& type : items[1].types())
                secondTypes.push_back(type);
        auto files = pb::PropertyList::array();
        for (const auto& url : fileURLsRead)
            files.push_back(url.path().value_or(""));

        auto urlList = pb::PropertyList::array();
        auto titles = pb::PropertyList::array();
        if (dynList && dynList->is_array() && dynList->size() == 2) {
            urlList = (*dynList)[0];
            titles = (*dynList)[1];
        }
        bool sameByName = dynList && legacyList && *dynList == *legacyList;

        pb::PropertyList report = {
            {"items", static_cast<std::uint64_t>(items.size())},
            {"files", std::move(files)},
            {"urlList", std::move(urlList)},
            {"titles", std::move(titles)},
            {"sameByName", sameByName},
            {"firstTypes", std::move(firstTypes)},
            {"secondTypes", std::move(secondTypes)},
        };
        board->releaseGlobally();
        std::string text = report.dump(-1, ' ', false, pb::PropertyList::error_handler_t::replace);
        napi_create_string_utf8(env, text.data(), text.size(), &result);
    } catch (...) {
        // Only allocation can fail here; the caller gets undefined, never an
        // exception.
        result = nullptr;
    }
    return result;
}

}  // namespace

// ---- Module registration

extern "C" NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
    return 8;
}

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    static const napi_property_descriptor properties[2] = {
        {"start", nullptr, start, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"pasteboard", nullptr, inspectPasteboard, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    napi_define_properties(env, exports, 2, properties);
    return exports;
}
