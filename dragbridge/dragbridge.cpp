// dragbridge: a Node-API add-on that drags files out of one of the host's X11
// windows ("start") and reports what such a drag puts on a pasteboard
// ("pasteboard"). Both exports take one options object and run on the
// JavaScript main thread.
#include <limits.h>
#include <node_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dragicon/dragicon.h"
#include "pasteboard/pasteboard.h"
#include "xdnd/guarded.h"
#include "xdnd/xdnd.h"

namespace {

namespace pb = ::pasteboard;

// Type under which the first dragged file offers the URLs of all dragged files
// with their titles, and its legacy name.
using pb::legacyTitledURLsType;
using pb::titledURLsType;

#ifdef DRAGBRIDGE_TEST_HOOKS
// Test builds only: throws where $DRAGBRIDGE_THROW_IN names, to show that no
// C++ exception gets past the exports.
void testHook(const char* where) {
    const char* at = std::getenv("DRAGBRIDGE_THROW_IN");
    if (at != nullptr && std::strcmp(at, where) == 0) throw std::runtime_error(where);
}
#else
constexpr void testHook(const char*) {}
#endif

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

// Where the drop target of a drag lies.
enum class DraggingContext : long { outsideApplication = 0, withinApplication = 1 };

// Decides which drag operations (xdnd::Operation bits) a drag allows.
class QVFileDragSource {
  public:
    unsigned long sourceOperationMaskForDraggingContext(DraggingContext context) const {
        return context == DraggingContext::outsideApplication ? xdnd::opCopy : xdnd::opEvery;
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

// A property of an options object; nullptr when it cannot be read (no
// object, or a getter that threw).
napi_value namedProperty(napi_env env, napi_value object, const char* name) {
    napi_value value = nullptr;
    napi_get_named_property(env, object, name, &value);
    if (clearPendingException(env)) value = nullptr;
    return value;
}

// A Node-API handle scope for one step of a loop: the handles a step makes
// are released when it ends instead of piling up in the caller's scope.
class HandleScope {
  public:
    explicit HandleScope(napi_env env) : env(env) { napi_open_handle_scope(env, &scope); }
    ~HandleScope() {
        if (scope != nullptr) napi_close_handle_scope(env, scope);
    }
    HandleScope(const HandleScope&) = delete;
    HandleScope& operator=(const HandleScope&) = delete;

  private:
    napi_env env;
    napi_handle_scope scope = nullptr;
};

// The indices below `length` at which an array, or an object on its
// prototype chain, holds a property: ascending, each once. These are the only
// indices whose element can be anything but undefined, so a sparse array that
// claims billions of elements costs only the ones it holds.
std::vector<uint32_t> elementIndices(napi_env env, napi_value array, uint32_t length) {
    std::vector<uint32_t> indices;
    napi_value keys = nullptr;
    if (napi_get_all_property_names(env, array, napi_key_include_prototypes, napi_key_skip_symbols,
                                    napi_key_keep_numbers, &keys) != napi_ok) {
        // A proxy on the prototype chain whose key trap threw: the array's own.
        clearPendingException(env);
        if (napi_get_all_property_names(env, array, napi_key_own_only, napi_key_skip_symbols,
                                        napi_key_keep_numbers, &keys) != napi_ok) {
            clearPendingException(env);
            return indices;
        }
    }
    uint32_t count = 0;
    napi_get_array_length(env, keys, &count);
    for (uint32_t k = 0; k < count; ++k) {
        HandleScope scope(env);
        napi_value key = nullptr;
        napi_valuetype type = napi_undefined;
        double index = -1;
        // Indices come as numbers; every other key is a string.
        if (napi_get_element(env, keys, k, &key) != napi_ok ||
            napi_typeof(env, key, &type) != napi_ok || type != napi_number ||
            napi_get_value_double(env, key, &index) != napi_ok)
            continue;
        if (index >= 0 && index < length && index == std::trunc(index))
            indices.push_back(uint32_t(index));
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

// The "files" of an options object as file URLs, in order, duplicates kept;
// entries that are not non-empty strings naming a possible file are skipped.
std::vector<pb::FileURL> fileURLs(napi_env env, napi_value options) {
    napi_value files = namedProperty(env, options, "files");
    uint32_t length = 0;
    napi_get_array_length(env, files, &length);
    std::vector<pb::FileURL> urls;
    if (length == 0) return urls;

    std::vector<uint32_t> indices = elementIndices(env, files, length);
    // Reserve for the usual few: most entries of a huge array may be no paths.
    urls.reserve(std::min<size_t>(indices.size(), 1024));
    for (uint32_t i : indices) {
        HandleScope scope(env);
        napi_value element = nullptr;
        if (napi_get_element(env, files, i, &element) != napi_ok) {
            clearPendingException(env);
            continue;
        }
        // No file has a path longer than PATH_MAX bytes: such a string is
        // dropped by its length, before any of it is copied. Each UTF-16 unit
        // takes at least one byte of UTF-8, so the unit count, known without
        // reading the string, rules out most such strings first.
        size_t units = 0, size = 0;
        if (napi_get_value_string_utf16(env, element, nullptr, 0, &units) != napi_ok ||
            units > PATH_MAX ||
            napi_get_value_string_utf8(env, element, nullptr, 0, &size) != napi_ok || size == 0 ||
            size > PATH_MAX)
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

// The options of start, read once; every check is made on this.
struct StartOptions {
    std::optional<std::uint64_t> window;  // none: "handle" is not an 8-byte buffer
    std::vector<pb::FileURL> urls;
    std::vector<std::uint8_t> icon;  // a copy of the "icon" bytes; empty when not a buffer
    double width = 0, height = 0;    // 0 when missing, not a number, or not finite
};

// The bytes of a Node buffer; none when the value is not a buffer.
std::optional<std::vector<std::uint8_t>> bufferBytes(napi_env env, napi_value value) {
    void* data = nullptr;
    size_t length = 0;
    if (napi_get_buffer_info(env, value, &data, &length) != napi_ok) return std::nullopt;
    auto* bytes = static_cast<const std::uint8_t*>(data);
    return std::vector<std::uint8_t>(bytes, bytes + length);
}

double finiteNumber(napi_env env, napi_value value) {
    double number = 0;
    napi_get_value_double(env, value, &number);
    return std::isfinite(number) ? number : 0.0;
}

// Reads "handle", "files", "icon", "width" and "height", in this order.
StartOptions readStartOptions(napi_env env, napi_value options) {
    StartOptions read;
    auto handle = bufferBytes(env, namedProperty(env, options, "handle"));
    if (handle && handle->size() == 8) {
        // The handle holds the X11 window id, in machine byte order.
        std::uint64_t window = 0;
        std::memcpy(&window, handle->data(), sizeof window);
        read.window = window;
    }
    read.urls = fileURLs(env, options);
    read.icon =
        bufferBytes(env, namedProperty(env, options, "icon")).value_or(std::vector<std::uint8_t>{});
    read.width = finiteNumber(env, namedProperty(env, options, "width"));
    read.height = finiteNumber(env, namedProperty(env, options, "height"));
    return read;
}

// The dragging source of every drag, made by the first start that begins one
// and kept for the life of the process.
std::unique_ptr<QVFileDragSource> source;

// The largest icon side shown, in pixels: a bigger icon (or display size) is
// scaled down to fit, keeping its proportions.
constexpr double maxIconSide = 1024;

// While a drag runs, the environment's teardown cancels it (and releases its
// X connection and loop handles) before the loop goes away.
void cancelDragOnTeardown(void*) {
    xdnd::guarded([] { xdnd::cancel(false); }, [] {});
}

// A connection on which the window exists; nullptr when there is none.
std::unique_ptr<xdnd::Connection> openHostWindow(std::uint64_t window) {
    if (window == 0) return nullptr;
    auto connection = xdnd::Connection::open();
    if (!connection.ok() || !connection.value()->windowExists(xdnd::WindowId(window)))
        return nullptr;
    return std::move(connection.value());
}

// The icon as shown: at its display size (both "width" and "height" positive,
// else the size the image decoded with, capped at maxIconSide) and centred on
// the pointer, its edges aligned to the nearest pixels.
xdnd::Icon placedIcon(const dragicon::Icon& image, const StartOptions& options,
                      const xdnd::Connection::Pointer& p) {
    double width = options.width, height = options.height;
    if (!(width > 0 && height > 0)) {
        width = image.width();
        height = image.height();
    }
    if (double scale = maxIconSide / std::max(width, height); scale < 1) {
        width *= scale;
        height *= scale;
    }
    double frameX = p.x - width * 0.5, frameY = p.y - height * 0.5;
    long minX = std::lround(frameX), minY = std::lround(frameY);
    long maxX = std::lround(frameX + width), maxY = std::lround(frameY + height);
    dragicon::Pixels pixels =
        image.render(int(std::max(1L, maxX - minX)), int(std::max(1L, maxY - minY)));
    xdnd::Icon icon;
    icon.width = pixels.width;
    icon.height = pixels.height;
    icon.rgba = std::move(pixels.rgba);
    icon.hotX = int(p.x - minX);
    icon.hotY = int(p.y - minY);
    return icon;
}

// What the drag offers: its writers on a private pasteboard of its own;
// nullptr when that could not be made (allocation failed), so that there is
// no drag, as if the platform had declined it.
std::shared_ptr<pb::Pasteboard> dragPasteboard(const std::vector<pb::FileURL>& urls) {
    try {
        auto board = pb::Pasteboard::withUniqueName();
        board->clearContents();
        board->writeObjects(writers(urls));
        board->releaseGlobally();
        return board;
    } catch (...) {
        return nullptr;
    }
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

// Every type of the pasteboard's items, once each, in item order.
std::vector<std::string> offeredTypes(const pb::Pasteboard& board) {
    std::vector<std::string> types;
    for (const auto& item : board.pasteboardItems())
        for (const auto& type : item.types())
            if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
    return types;
}

// Begins the X drag of the pasteboard's contents from the window.
void beginDrag(napi_env env, std::unique_ptr<xdnd::Connection> connection, std::uint64_t window,
               std::shared_ptr<pb::Pasteboard> board, xdnd::Icon icon) {
    uv_loop_s* loop = nullptr;
    napi_get_uv_event_loop(env, &loop);
    if (loop == nullptr) return;
    xdnd::Request request;
    request.window = xdnd::WindowId(window);
    request.types = offeredTypes(*board);
    request.data = [board](const std::string& type) { return dragData(*board, type); };
    const QVFileDragSource* dragSource = source.get();
    request.operationMask = [dragSource](bool inside) {
        return dragSource->sourceOperationMaskForDraggingContext(
            inside ? DraggingContext::withinApplication : DraggingContext::outsideApplication);
    };
    request.icon = std::move(icon);
    request.finished = [env](xdnd::Outcome) {
        napi_remove_env_cleanup_hook(env, cancelDragOnTeardown, nullptr);
    };
    if (xdnd::begin(loop, std::move(connection), std::move(request)).ok())
        napi_add_env_cleanup_hook(env, cancelDragOnTeardown, nullptr);
}

// start on its read options: the first failing check's message, or nullptr
// once the drag has been requested.
const char* startDrag(napi_env env, const StartOptions& options) {
    if (!options.window) return "Invalid native window handle";
    auto connection = openHostWindow(*options.window);
    if (!connection) return "Native window is unavailable";
    if (options.urls.empty()) return "No files to drag";
    if (options.icon.empty()) return "Invalid drag icon";
    auto image = dragicon::Icon::decode(options.icon.data(), options.icon.size());
    if (!image.ok()) return "Invalid drag icon";

    auto pointer = connection->pointerIn(xdnd::WindowId(*options.window));
    xdnd::Icon icon =
        placedIcon(image.value(), options, pointer.value_or(xdnd::Connection::Pointer{}));
    std::shared_ptr<pb::Pasteboard> board = dragPasteboard(options.urls);
    if (!source) source = std::make_unique<QVFileDragSource>();
    testHook("start");
    if (board && pointer)
        beginDrag(env, std::move(connection), *options.window, std::move(board), std::move(icon));
    return nullptr;
}

napi_value start(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {nullptr};
    napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
    if (const char* failure = startDrag(env, readStartOptions(env, argv[0]))) {
        napi_throw_error(env, nullptr, failure);
        return nullptr;
    }
    napi_value result = nullptr;
    napi_get_boolean(env, true, &result);
    return result;
}

// ---- Pasteboard inspector

// The types of the item at `index` as a list; empty when there is no such item.
pb::PropertyList typesOf(const std::vector<pb::Item>& items, std::size_t index) {
    auto types = pb::PropertyList::array();
    if (index < items.size())
        for (const auto& type : items[index].types())
            types.push_back(type);
    return types;
}

// Writes the writers of a drag of the given files to a private pasteboard and
// returns, as compact JSON text, what reading it back yields.
napi_value inspectPasteboard(napi_env env, napi_callback_info info) {
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
    testHook("pasteboard");

    pb::PropertyList report = {
        {"items", static_cast<std::uint64_t>(items.size())},
        {"files", std::move(files)},
        {"urlList", std::move(urlList)},
        {"titles", std::move(titles)},
        {"sameByName", sameByName},
        {"firstTypes", typesOf(items, 0)},
        {"secondTypes", typesOf(items, 1)},
    };
    board->releaseGlobally();
    std::string text = report.dump(-1, ' ', false, pb::PropertyList::error_handler_t::replace);
    napi_value result = nullptr;
    napi_create_string_utf8(env, text.data(), text.size(), &result);
    return result;
}

// Every export runs behind the trampoline: a C++ exception (only allocation
// can fail) gives the caller undefined and never reaches the runtime.
template <napi_value (*Export)(napi_env, napi_callback_info)>
napi_value exported(napi_env env, napi_callback_info info) noexcept {
    return xdnd::guarded([&] { return Export(env, info); }, [] { return napi_value{nullptr}; });
}

}  // namespace

// ---- Module registration

extern "C" NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
    return 8;
}

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    static const napi_property_descriptor properties[2] = {
        {"start", nullptr, exported<start>, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"pasteboard", nullptr, exported<inspectPasteboard>, nullptr, nullptr, nullptr,
         napi_default, nullptr},
    };
    return xdnd::guarded(
        [&] {
            napi_define_properties(env, exports, 2, properties);
            return exports;
        },
        [&] { return exports; });
}
